#!/bin/sh
# An automatic calibration of voltage on one simulated supply, 5 points x 10
# readings: its total time against the settle times and the meter's reading
# times it waited (from the certificate's timing).
# Usage: bench/bench_autocal.sh BUILD_DIR [SETTLE]
set -eu
build=${1:-build}
settle=${2:-0.5}
work=$(mktemp -d)
trap 'kill $sim 2>/dev/null; rm -rf "$work"' EXIT
"$build/psusim" --supply 1 --output-offset 1=0.2 --correction-step 1=-0.03 --dmm 0 >"$work/sim.out" &
sim=$!
while ! grep -q "dmm on" "$work/sim.out" 2>/dev/null; do sleep 0.1; done
device=$(head -n 1 "$work/sim.out")
meter=$(sed -n 's/^dmm on //p' "$work/sim.out")
drivers=$(cd "$(dirname "$0")/../examples/station/drivers" && pwd)
printf 'name = "Bench"\n[[reference]]\nname = "dmm"\nkind = "dmm"\nlink = "tcp://%s"\ndriver = "%s/generic-dmm.toml"\n' \
    "$meter" "$drivers" >"$work/station.toml"
"$build/psuctl" calibrate --auto -p "$device" --no-lock -a 1 -m 1 --station "$work/station.toml" \
    --points 5 --readings 10 --settle "$settle" --certificate "$work" >/dev/null
python3 - "$work"/cal-*.json <<'PY'
import json, sys
t = json.load(open(sys.argv[1]))["timing"]
waited = t["settle_seconds"] + t["reading_seconds"]
print(f"total {t['total_seconds']:.3f} s, settle {t['settle_seconds']:.3f} s + readings {t['reading_seconds']:.3f} s"
      f" = {waited:.3f} s, engine adds {100 * (t['total_seconds'] / waited - 1):.1f} %")
PY
