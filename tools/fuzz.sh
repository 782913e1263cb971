#!/bin/bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs them side by side, each for
# FUZZ_SECONDS (default 60). Exits non-zero when a target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-fuzz
seconds=${FUZZ_SECONDS:-60}
mkdir -p "$out"

qt_flags=$(pkg-config --cflags Qt5Core Qt5Network)
qt_libs=$(pkg-config --libs Qt5Core Qt5Network)
flags="-std=c++17 -O1 -g -fPIC -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -fno-sanitize=vptr"

sip=server/src/sip/message
# The message model proper: tables, parameter lists, URIs, addresses, message and grammar.
sources=""
for name in kbasecontactaddress kbaserequesturi kbaseuri kbaseviaaddress kparamvalue kurischemes \
    sipconstants sipcontenttype sipgrammar sipheader sipmessage sipmessagefields sipmessageparser \
    sipmessagerouting sipmessageserializer sipmethod sippatterns sipsdpaction sipstatus \
    urigrammar; do
    sources="$sources $sip/$name.cpp"
done
# shellcheck disable=SC2086
clang++ $flags $qt_flags -Iserver/src -Iserver/tests/sip/message \
    server/fuzz/sipmessage_fuzzer.cpp $sources server/src/core/identifiers.cpp \
    $qt_libs -o "$out/sipmessage_fuzzer"
# shellcheck disable=SC2086
rtsp=server/src/rtsp
clang++ $flags $qt_flags -Iserver/src server/fuzz/rtspresponse_fuzzer.cpp $rtsp/rtspmessage.cpp \
    $rtsp/rtspsdp.cpp $rtsp/rtspresponsereader.cpp $rtsp/rtspdigest.cpp server/src/core/digestchallenge.cpp $sip/sipstatus.cpp \
    $sip/sipconstants.cpp $qt_libs -o "$out/rtspresponse_fuzzer"

corpus=$out/corpus/sipmessage
mkdir -p "$corpus"
cp -n server/tests/sip/message/data/rfc4475/*.dat "$corpus"/ 2>/dev/null || true
cp -n server/tests/sip/message/data/rfc3261/*.sip "$corpus"/ 2>/dev/null || true

velk=server/src/velk
# shellcheck disable=SC2086
clang++ $flags $qt_flags -Iserver/src server/fuzz/velkprotocol_fuzzer.cpp $velk/velkprotocol.cpp \
    server/src/core/identifiers.cpp $qt_libs -o "$out/velkprotocol_fuzzer"
# Seeds: a report with events, a block answer and a bare head.
corpus_velk=$out/corpus/velkprotocol
mkdir -p "$corpus_velk"
printf '\x01\x01\x01\x2a\0\0\0\x07\0abcd\x03\x02\x01\0%020d\x01\x02\x01\0\xa5\x05' 0 \
    > "$corpus_velk/report"
{ printf '\x01\x04\x08\x05\0\0\0\x07\0abcd\0%08d\x03' 0; head -c 256 /dev/zero; } \
    > "$corpus_velk/block-answer"
printf '\x01\x04\x06\0\0\0\0\x07\0\0\0\0\0' > "$corpus_velk/head"

# The HTTP request reader: the connection fed directly, with the URL and form parsers.
mkdir -p "$out/moc"
moc="$(pkg-config --variable=host_bins Qt5Core)/moc"
for h in qhttpconnection qhttprequest qhttpresponse qhttpserver; do
    "$moc" "$root/server/src/http/qhttpserver/$h.h" -o "$out/moc/moc_$h.cpp"
done
http=server/src/http
# shellcheck disable=SC2086
clang++ $flags $qt_flags -Iserver/src server/fuzz/httprequest_fuzzer.cpp \
    $http/qhttpserver/{qhttpconnection,qhttprequest,qhttpresponse,qhttpserver}.cpp \
    $http/{formdata,pagepath}.cpp server/src/core/timescale.cpp "$out"/moc/moc_*.cpp \
    $qt_libs -lhttp_parser -o "$out/httprequest_fuzzer"
# SIP over TCP framing and the STUN answer reader of the SIP engine.
# shellcheck disable=SC2086
clang++ $flags $qt_flags -Iserver/src server/fuzz/sipstreamframer_fuzzer.cpp \
    server/src/sip/sipstreamframer.cpp $qt_libs -o "$out/sipstreamframer_fuzzer"
# shellcheck disable=SC2086
clang++ $flags $qt_flags -Iserver/src server/fuzz/stunmessage_fuzzer.cpp \
    server/src/sip/stunmessage.cpp $qt_libs -o "$out/stunmessage_fuzzer"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$out"
# All targets at once, so the run takes FUZZ_SECONDS whatever their number.
run() {
    # The corpus argument may name several folders; the first one takes the new inputs.
    local name=$1 max_len=$2 corpus=$3
    # shellcheck disable=SC2086
    "./${name}_fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 $corpus > "$out/$name.log" 2>&1
}
run sipmessage 16384 "$corpus" &
pids=($!)
run velkprotocol 1024 "$corpus_velk" &
pids+=($!)
mkdir -p corpus/rtspresponse corpus/httprequest
printf '\0GET /index.htm?a=1&b=%%41 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nx=1' \
    > corpus/httprequest/get
run httprequest 8192 corpus/httprequest &
pids+=($!)
run rtspresponse 4096 "corpus/rtspresponse $root/server/fuzz/corpus/rtspresponse" &
pids+=($!)
for name in sipstreamframer stunmessage; do
    mkdir -p "corpus/$name"
    run "$name" 4096 "corpus/$name $root/server/fuzz/corpus/$name" &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
for log in "$out"/sipmessage.log "$out"/velkprotocol.log "$out"/rtspresponse.log \
    "$out"/httprequest.log "$out"/sipstreamframer.log "$out"/stunmessage.log; do
    echo "== $log"
    tail -n 30 "$log"
done
exit $status
