#!/bin/bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time,
# seeded with the RFC 4475 torture messages. Exits non-zero when a target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-fuzz
seconds=${FUZZ_SECONDS:-60}
testdata=${TARNHALL_TESTDATA:-$root/../shared/testdata}
mkdir -p "$out"

qt_flags=$(pkg-config --cflags Qt5Core Qt5Network)
qt_libs=$(pkg-config --libs Qt5Core Qt5Network)
flags="-std=c++17 -O1 -g -fPIC -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -fno-sanitize=vptr"

sip=server/src/sip/message
# The message model proper: tables, parameter lists, URIs, addresses, message and grammar.
sources=""
for name in kbasecontactaddress kbaserequesturi kbaseuri kbaseviaaddress kparamvalue kurischemes \
    sipconstants sipcontenttype sipgrammar sipheader sipmessage sipmessageparser \
    sipmessagerouting sipmessageserializer sipmethod sippatterns sipsdpaction sipstatus \
    urigrammar; do
    sources="$sources $sip/$name.cpp"
done
# shellcheck disable=SC2086
clang++ $flags $qt_flags -Iserver/src -Iserver/tests/sip/message \
    server/fuzz/sipmessage_fuzzer.cpp $sources server/src/core/identifiers.cpp \
    $qt_libs -o "$out/sipmessage_fuzzer"

corpus=$out/corpus/sipmessage
mkdir -p "$corpus"
if [ -d "$testdata/sip/rfc4475" ]; then
    cp -n "$testdata"/sip/rfc4475/*.dat "$corpus"/ 2>/dev/null || true
fi
cp -n server/tests/sip/message/data/rfc3261/*.sip "$corpus"/ 2>/dev/null || true

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$out"
./sipmessage_fuzzer -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$corpus"

# The HTTP request reader: the connection fed directly, with the URL and form parsers.
mkdir -p "$out/moc" && for h in qhttpconnection qhttprequest qhttpresponse qhttpserver; do "$(pkg-config --variable=host_bins Qt5Core)/moc" "$root/server/src/http/qhttpserver/$h.h" -o "$out/moc/moc_$h.cpp"; done
cd "$root" && clang++ $flags $qt_flags -Iserver/src server/fuzz/httprequest_fuzzer.cpp server/src/http/qhttpserver/{qhttpconnection,qhttprequest,qhttpresponse,qhttpserver}.cpp server/src/http/{formdata,pagepath}.cpp server/src/core/timescale.cpp "$out"/moc/moc_*.cpp $qt_libs -lhttp_parser -o "$out/httprequest_fuzzer"
mkdir -p "$out/corpus/httprequest" && printf '\0GET /index.htm?a=1&b=%%41 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nx=1' > "$out/corpus/httprequest/get" && (cd "$out" && ./httprequest_fuzzer -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 corpus/httprequest)
