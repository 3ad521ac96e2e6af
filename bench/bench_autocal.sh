#!/bin/sh
# An automatic calibration on one simulated supply, 5 points x 10 readings:
# its total time against the settle times and the reference's reading times it
# waited (from the certificate's timing).
#   voltage: a QELT30-05 whose terminals are 0.2 V high, a hidden step of -0.03 V;
#   current: a QELT30-10 letting 0.08 A more through than set, a hidden step of
#            -0.006 A, held in current limit by the simulated electronic load.
# Usage: bench/bench_autocal.sh BUILD_DIR [SETTLE] [voltage|current]
set -eu
build=${1:-build}
settle=${2:-0.5}
quantity=${3:-voltage}
work=$(mktemp -d)
trap 'kill $sim 2>/dev/null; rm -rf "$work"' EXIT
if [ "$quantity" = current ]; then
    model=QELT30-10
    faults="--current-output-offset 1=0.08 --current-correction-step 1=-0.006"
else
    model=QELT30-05
    faults="--output-offset 1=0.2 --correction-step 1=-0.03"
fi
# shellcheck disable=SC2086 # the faults are separate words
"$build/psusim" --supply 1 --model "$model" $faults --dmm 0 --eload 0 >"$work/sim.out" &
sim=$!
while ! grep -q "load on" "$work/sim.out" 2>/dev/null; do sleep 0.1; done
device=$(head -n 1 "$work/sim.out")
drivers=$(cd "$(dirname "$0")/../examples/station/drivers" && pwd)
{
    echo 'name = "Bench"'
    for kind in dmm load; do
        printf '[[reference]]\nname = "%s"\nkind = "%s"\nlink = "tcp://%s"\ndriver = "%s/generic-%s.toml"\n' \
            "$kind" "$kind" "$(sed -n "s/^$kind on //p" "$work/sim.out")" "$drivers" "$kind"
    done
} >"$work/station.toml"
"$build/psuctl" calibrate --auto -p "$device" --no-lock -a 1 -m "$model" --quantity "$quantity" \
    --station "$work/station.toml" --points 5 --readings 10 --settle "$settle" --certificate "$work" >/dev/null || true
python3 - "$work"/cal-*.json <<'PY'
import json, sys
record = json.load(open(sys.argv[1]))
t = record["timing"]
waited = t["settle_seconds"] + t["reading_seconds"]
print(f"{record.get('status', '?')}: total {t['total_seconds']:.3f} s, settle {t['settle_seconds']:.3f} s"
      f" + readings {t['reading_seconds']:.3f} s = {waited:.3f} s, engine adds {100 * (t['total_seconds'] / waited - 1):.1f} %")
PY
