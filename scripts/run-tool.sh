#!/usr/bin/env bash
# Starts the tool. Without a display it runs under Xvfb, saves a screenshot of
# the screen once the main window is up, prints its path and stops the tool.
set -euo pipefail
build=${1:-build}
tool="$build/psutool"
if [ -x "$build/psutool-demo" ]; then tool="$build/psutool-demo"; fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$tool"
fi

shots="$(pwd)/screenshots"
mkdir -p "$shots"
display=":$(( 90 + RANDOM % 100 ))"
Xvfb "$display" -screen 0 1600x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break || sleep 0.1
done
if [ "$tool" = "$build/psutool-demo" ]; then
  # The demo tours the windows, saves a screenshot of each and quits.
  status=0
  DISPLAY=$display PSUTOOL_TOUR_DIR="$shots" timeout 300 "$tool" || status=$?
  ls -1 "$shots"/*.png
  exit $status
else
  DISPLAY=$display "$tool" &
  app=$!
  sleep 2
  DISPLAY=$display import -window root -crop 300x460+520+0 "$shots/main.png"
  kill $app 2>/dev/null || true
  wait $app 2>/dev/null || true
  echo "Screenshot of the main window: $shots/main.png"
fi
