#!/bin/bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time,
# seeded with the RFC 4475 torture messages. Exits non-zero when a target finds a fault.
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

corpus=$out/corpus/sipmessage
mkdir -p "$corpus"
cp -n server/tests/sip/message/data/rfc4475/*.dat "$corpus"/ 2>/dev/null || true
cp -n server/tests/sip/message/data/rfc3261/*.sip "$corpus"/ 2>/dev/null || true

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$out"
./sipmessage_fuzzer -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$corpus"
