#!/bin/bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a time of its own.
#   tools/fuzz.sh [SECONDS] [TARGET ...]
# SECONDS per target (default FUZZ_SECONDS, else 60); no TARGET runs them all. At most
# FUZZ_JOBS targets run at once (default: the number of processors), each on a processor of its
# own. Seeds come from server/fuzz/corpus/ and the SIP test messages; what a run adds stays in
# build-fuzz/corpus/. Exits non-zero when a target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-fuzz
seeds=$root/server/fuzz/corpus
seconds=${1:-${FUZZ_SECONDS:-60}}
shift || true
jobs=${FUZZ_JOBS:-$(nproc)}
all=(sipfields sipmessage velkprotocol httprequest rtspresponse sipstreamframer stunmessage)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
mkdir -p "$out"

qt_flags=$(pkg-config --cflags Qt5Core Qt5Network)
qt_libs=$(pkg-config --libs Qt5Core Qt5Network)
flags="-std=c++17 -O1 -g -fPIC -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -fno-sanitize=vptr"
build() {
    local name=$1
    shift
    # shellcheck disable=SC2086
    clang++ $flags $qt_flags -Iserver/src "server/fuzz/${name}_fuzzer.cpp" "$@" $qt_libs \
        -o "$out/${name}_fuzzer"
}

sip=server/src/sip/message
# The message model proper: tables, parameter lists, URIs, addresses, message and grammar.
sip_sources=()
for name in kbasecontactaddress kbaserequesturi kbaseuri kbaseviaaddress kparamvalue kurischemes \
    sipconstants sipcontenttype sipgrammar sipheader sipmessage sipmessagefields sipmessageparser \
    sipmessagerouting sipmessageserializer sipmethod sippatterns sipsdpaction sipstatus \
    urigrammar; do
    sip_sources+=("$sip/$name.cpp")
done
rtsp=server/src/rtsp
velk=server/src/velk
http=server/src/http

for name in "${targets[@]}"; do
    case $name in
    sipfields)
        # The bodies and digest texts the engine reads come with it.
        build sipfields "${sip_sources[@]}" $sip/sdpreader.cpp $sip/dtmfrelaybody.cpp \
            $sip/sipcodectable.cpp server/src/core/identifiers.cpp \
            server/src/core/digestchallenge.cpp server/src/common/codecs/audiocodeclist.cpp \
            server/src/common/codecs/dtmfevent.cpp ;;
    sipmessage)
        build sipmessage -Iserver/tests/sip/message "${sip_sources[@]}" \
            server/src/core/identifiers.cpp ;;
    rtspresponse)
        build rtspresponse $rtsp/rtspmessage.cpp $rtsp/rtspsdp.cpp $rtsp/rtspresponsereader.cpp \
            $rtsp/rtspdigest.cpp server/src/core/digestchallenge.cpp $sip/sipstatus.cpp \
            $sip/sipconstants.cpp ;;
    velkprotocol)
        build velkprotocol $velk/velkprotocol.cpp server/src/core/identifiers.cpp ;;
    httprequest)
        # The HTTP request reader: the connection fed directly, with the URL and form parsers.
        mkdir -p "$out/moc"
        moc="$(pkg-config --variable=host_bins Qt5Core)/moc"
        for h in qhttpconnection qhttprequest qhttpresponse qhttpserver; do
            "$moc" "$root/$http/qhttpserver/$h.h" -o "$out/moc/moc_$h.cpp"
        done
        build httprequest $http/qhttpserver/{qhttpconnection,qhttprequest,qhttpresponse,qhttpserver}.cpp \
            $http/{formdata,pagepath}.cpp server/src/core/timescale.cpp "$out"/moc/moc_*.cpp \
            -lhttp_parser ;;
    sipstreamframer)
        build sipstreamframer server/src/sip/sipstreamframer.cpp ;;
    stunmessage)
        build stunmessage server/src/sip/stunmessage.cpp ;;
    *)
        echo "unknown target: $name (targets: ${all[*]})" >&2
        exit 2 ;;
    esac
done

# The seed folders of a target; the run's own corpus comes first and takes the new inputs.
corpora() {
    local name=$1
    mkdir -p "$out/corpus/$name"
    case $name in
    sipfields | sipmessage)
        echo "$out/corpus/$name $seeds/sip $root/server/tests/sip/message/data/rfc4475" \
            "$root/server/tests/sip/message/data/rfc3261" ;;
    *) echo "$out/corpus/$name $seeds/$name" ;;
    esac
}
max_len() {
    case $1 in
    sipfields | sipmessage) echo 16384 ;;
    velkprotocol) echo 1024 ;;
    httprequest) echo 8192 ;;
    *) echo 4096 ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$out"
run() {
    local name=$1
    # shellcheck disable=SC2046
    "./${name}_fuzzer" -max_total_time="$seconds" -max_len="$(max_len "$name")" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 $(corpora "$name") > "$out/$name.log" 2>&1
}
status=0
running=()
for name in "${targets[@]}"; do
    if [ ${#running[@]} -ge "$jobs" ]; then
        wait "${running[0]}" || status=1
        running=("${running[@]:1}")
    fi
    run "$name" &
    running+=($!)
done
for pid in "${running[@]}"; do
    wait "$pid" || status=1
done
for name in "${targets[@]}"; do
    echo "== $name"
    tail -n 30 "$out/$name.log"
done
# What each target did: executions in all and a second, and the coverage reached.
for name in "${targets[@]}"; do
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$name.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$name.log")
    cov=$(grep -o 'cov: [0-9]*' "$out/$name.log" | tail -n 1)
    printf '%-16s %12s runs %8s/s  %s\n' "$name" "${runs:-?}" "${rate:-?}" "${cov:-}"
done
exit $status
