#!/bin/bash
# Builds the libFuzzer targets (CMake option TARNHALL_FUZZ, clang) in build-fuzz/ and runs them.
#
#   tools/fuzz.sh
#       What the test command runs, with the same verdict for the same commit: each target
#       replays every seed and every saved finding, then runs a fixed number of inputs from a
#       fixed seed, starting from those seeds alone.
#   tools/fuzz.sh SECONDS [TARGET ...]
#       Explores by hand: each target (no TARGET: all of them) for SECONDS from a random seed
#       (FUZZ_SEED picks one), keeping what it learns in build-fuzz/corpus/. An input that
#       fails is left in build-fuzz/findings/TARGET/: once mended, it belongs in
#       server/fuzz/findings/, where every later run replays it.
#
# At most FUZZ_JOBS targets run at once (default: the number of processors). Exits non-zero when
# a target fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-fuzz
all=(sipfields sipmessage velkprotocol httprequest rtspresponse sipstreamframer stunmessage)

mode=check
seconds=
if [ $# -gt 0 ]; then
    mode=explore
    seconds=$1
    shift
    [[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: tools/fuzz.sh [SECONDS [TARGET ...]]" >&2; exit 2; }
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for name in "${targets[@]}"; do
    [[ " ${all[*]} " == *" $name "* ]] || { echo "unknown target: $name (targets: ${all[*]})" >&2; exit 2; }
done
jobs=${FUZZ_JOBS:-$(nproc)}

launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNHALL_FUZZ=ON -DTARNHALL_TESTS=OFF -DTARNHALL_BENCH=OFF "${launcher[@]}" > /dev/null
cmake --build "$out" -j "$jobs" --target "${targets[@]/%/_fuzzer}"

# Seeds and saved findings by the format a target reads: both SIP targets read SIP messages.
format() {
    case $1 in
    sipfields | sipmessage) echo sip ;;
    *) echo "$1" ;;
    esac
}
seed_dirs() {
    local f
    f=$(format "$1")
    echo "$root/server/fuzz/corpus/$f"
    [ ! -d "$root/server/fuzz/findings/$f" ] || echo "$root/server/fuzz/findings/$f"
    if [ "$f" = sip ]; then
        echo "$root/server/tests/sip/message/data/rfc4475" "$root/server/tests/sip/message/data/rfc3261"
    fi
}
max_len() {
    case $1 in
    sipfields | sipmessage) echo 16384 ;;
    velkprotocol) echo 1024 ;;
    httprequest) echo 8192 ;;
    *) echo 4096 ;;
    esac
}
# Where the heap a target's comparisons see differs from run to run (the HTTP target runs an
# event loop) or with the folder the clone lies in (the stream framer's), the addresses they
# show would steer the fixed run differently each time: those targets do without them.
fixed_flags() {
    case $1 in
    httprequest | sipstreamframer) echo -use_cmp=0 ;;
    esac
}
# Inputs of the fixed run: about half a minute each on one processor of a small machine.
fixed_runs() {
    case $1 in
    sipfields) echo 150000 ;;
    sipmessage) echo 10000 ;;
    velkprotocol) echo 2000000 ;;
    httprequest) echo 300000 ;;
    rtspresponse) echo 200000 ;;
    sipstreamframer) echo 100000 ;;
    stunmessage) echo 5000000 ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Qt's hash order, and with it any order of iteration a parser shows, is the same every run.
export QT_HASH_SEED=0
# Without address randomisation, nothing a target does depends on where it was loaded.
norandom=()
setarch "$(uname -m)" -R true 2> /dev/null && norandom=(setarch "$(uname -m)" -R)

# Where a run leaves the inputs that failed; a check starts from nothing each time.
findings() {
    if [ "$mode" = check ]; then echo "$out/check/$1/failed"; else echo "$out/findings/$1"; fi
}
[ "$mode" != check ] || rm -rf "$out/check"

run() {
    local name=$1 bin=$out/fuzz/${1}_fuzzer log=$out/$1.log
    local flags=(-max_len="$(max_len "$name")" -rss_limit_mb=2048 -print_final_stats=1)
    local dirs
    mapfile -t dirs < <(seed_dirs "$name" | tr ' ' '\n')
    mkdir -p "$(findings "$name")"
    if [ "$mode" = check ]; then
        # Each seed and finding as it stands, whole: a corpus run would cut inputs to max_len.
        find "${dirs[@]}" -type f -print0 | sort -z \
            | xargs -0 "${norandom[@]}" "$bin" -timeout=10 -rss_limit_mb=2048 \
                -artifact_prefix="$(findings "$name")/" > "$log" 2>&1 || failed "$log" $?
        # Nothing may depend on the clock. The heap is not purged after a while, nor is anything
        # printed after a while (progress lines, slow inputs), since either would move the
        # addresses that comparisons show the fuzzer, and so its mutations; the corpus is not
        # read again after a while; no alarm cuts into an event loop's wait once a second, and
        # a hang is caught by the limit on the whole run instead.
        # Where the clone lies must not matter either: the run starts from its own folder with
        # relative paths and a fixed environment, so its stack begins alike wherever it runs.
        local relative=()
        for dir in "${dirs[@]}"; do relative+=("../../../${dir#"$root"/}"); done
        mkdir -p "$out/check/$name/corpus"
        (cd "$out/check/$name" && timeout 900 env -i PATH=/usr/bin:/bin QT_HASH_SEED=0 \
            ASAN_OPTIONS="$ASAN_OPTIONS" UBSAN_OPTIONS="$UBSAN_OPTIONS" \
            LSAN_OPTIONS=suppressions=../../../tools/lsan.supp:print_suppressions=0 \
            "${norandom[@]}" "../../fuzz/${name}_fuzzer" "${flags[@]}" -timeout=0 -reload=0 \
            -purge_allocator_interval=-1 -verbosity=0 -report_slow_units=1000000 -seed=1 \
            -runs="$(fixed_runs "$name")" $(fixed_flags "$name") -artifact_prefix=failed/ \
            corpus "${relative[@]}") >> "$log" 2>&1 || failed "$log" $?
    else
        mkdir -p "$out/corpus/$name"
        local seed=()
        [ -z "${FUZZ_SEED:-}" ] || seed=(-seed="$FUZZ_SEED")
        "$bin" "${flags[@]}" "${seed[@]}" -timeout=10 -max_total_time="$seconds" \
            -artifact_prefix="$out/findings/$name/" "$out/corpus/$name" "${dirs[@]}" > "$log" 2>&1 \
            || failed "$log" $?
    fi
}
# Marks the log of a run that failed, whatever the cause (a finding, a time limit, a crash of the
# fuzzer itself), so the summary shows it.
failed() {
    echo "FUZZ RUN FAILED with status $2" >> "$1"
    return 1
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

# What each target did: executions in all and a second, the coverage reached, what failed.
for name in "${targets[@]}"; do
    log=$out/$name.log
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
    seed=$(sed -n 's/^INFO: Seed: //p' "$log" | tail -n 1)
    if [ "$mode" = check ]; then
        seed=1
        cov="corpus: $(find "$out/check/$name/corpus" -type f | wc -l)"
    fi
    replayed=$(grep -c '^Running: ' "$log" || true)
    if grep -a -q -E '^FUZZ RUN FAILED' "$log"; then
        echo "== $name failed:"
        tail -n 40 "$log"
        status=1
    fi
    printf '%-16s %5s replayed %10s runs %7s/s  seed %-10s %s\n' "$name" "$replayed" \
        "${runs:-?}" "${rate:-?}" "${seed:-?}" "${cov:-}"
done
for name in "${targets[@]}"; do
    if [ -n "$(ls -A "$(findings "$name")")" ]; then
        echo "findings of $name in $(findings "$name"): mend them, then keep each in" \
            "server/fuzz/findings/$(format "$name")/"
    fi
done
exit $status
