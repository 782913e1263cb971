#!/bin/bash
# Registrations per second with digest (REGISTER, 401, REGISTER, 200) against the local SIP
# server and, side by side in the same run, against kamailio as a digest registrar; with the
# p99 time of a whole registration. Run by hand:
#   server/bench/sip/registrar/bench_registrar.sh build/server/tests/sip/local/siplocalhost/bin/siplocalhost
# Loopback only; every process it starts is stopped at the end.
set -euo pipefail
host=${1:?path of the siplocalhost test server}
calls=${CALLS:-20000}
rate=${RATE:-5000}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

"$host" 127.0.0.1 15060 & pids+=($!)
sed "s/KAMPORT/15070/" "$here/kamailio.cfg" > "$work/kamailio.cfg"
kamailio -f "$work/kamailio.cfg" -DD -E -P "$work/kamailio.pid" -Y "$work" -m 64 > "$work/kamailio.log" 2>&1 &
pids+=($!)
sleep 1

run() { # name port local-port
    local start end
    start=$(date +%s.%N)
    (cd "$work" && sipp -sf "$here/register.xml" -s alice -au alice -ap pw-alice -i 127.0.0.1 \
        -mi 127.0.0.1 -p "$3" -m "$calls" -r "$rate" -l 500 -nostdin -timeout 120 -recv_timeout 5000 -trace_rtt -rtt_freq 1 \
        -trace_stat -fd 1 -stf "$1.stat.csv" "127.0.0.1:$2" > /dev/null 2>&1 || true)
    end=$(date +%s.%N)
    /usr/bin/python3 - "$1" "$work" "$start" "$end" <<'PY'
import csv, glob, sys
name, work, start, end = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
times = []
for path in glob.glob(work + "/register_*_rtt.csv"):
    with open(path) as f:
        for row in csv.reader(f, delimiter=";"):
            try:
                times.append(float(row[1]))
            except (IndexError, ValueError):
                pass
with open(work + "/%s.stat.csv" % name) as f:
    rows = [r for r in csv.reader(f, delimiter=";") if r]
head, last = rows[0], rows[-1]
ok = int(last[head.index("SuccessfulCall(C)")])
failed = int(last[head.index("FailedCall(C)")])
times.sort()
p99 = times[max(0, int(len(times) * 0.99) - 1)] if times else float("nan")
print("%-9s %6d ok %5d failed  %8.0f registrations/s  p99 %.2f ms"
      % (name, ok, failed, ok / (end - start), p99))
PY
    rm -f "$work"/register_*_rtt.csv
}
run tarnhall 15060 15061
run kamailio 15070 15071
