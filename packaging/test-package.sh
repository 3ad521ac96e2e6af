#!/usr/bin/env bash
# Builds the Debian package from a configured and built folder, lists it,
# unpacks it into a temporary root and runs what it installs from there: the
# command-line programs print their help, the menu entry validates, and the
# tool starts on a virtual X display, shows its main window with its title and
# icon, and keeps running until it is stopped.
#
#   packaging/test-package.sh BUILD_DIR PROGRAM...
#
# PROGRAM... are the programs the build installs (psutool first); usr/bin must
# hold exactly these.
set -euo pipefail
build=$(cd "${1:?usage: test-package.sh BUILD_DIR PROGRAM...}" && pwd)
shift
programs=("$@")
title="精密数控电源测试软件"

work=$(mktemp -d)
tool_pid=""
xvfb_pid=""
cleanup() {
  if [ -n "$tool_pid" ]; then kill "$tool_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "== $* (${SECONDS}s)"; }

step "building the package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; fail "cpack did not build the package"; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}
echo "$(basename "$deb"), $(stat -c %s "$deb") bytes"

step "control fields"
dpkg-deb --field "$deb" Package Version Architecture Section Maintainer Depends | tee "$work/control"
grep -qx 'Section: electronics' "$work/control" || fail "section is not electronics"
grep -q '^Maintainer: .*<.*@.*>' "$work/control" || fail "no maintainer address"
# The library dependencies are computed from the binaries; the font and the Qt
# platform plugins are declared by hand.
depended=$(sed -n 's/^Depends: //p' "$work/control" | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g')
for needed in libc6 libqt6widgets6 libqt6serialport6 qt6-qpa-plugins fonts-wqy-microhei; do
  grep -qx "$needed" <<<"$depended" || fail "Depends does not name $needed"
done

step "contents"
dpkg-deb --contents "$deb" | tee "$work/contents"

root="$work/root"
dpkg-deb -x "$deb" "$root"
[ -d "$root/usr/bin" ] || fail "no usr/bin in the package"
expected=$(printf '%s\n' "${programs[@]}" | sort)
installed=$(ls -1 "$root/usr/bin" | sort)
[ "$installed" = "$expected" ] \
  || fail "usr/bin holds [$(echo $installed)], expected [$(echo $expected)]"
for program in "${programs[@]}"; do
  manpage="$root/usr/share/man/man1/$program.1.gz"
  [ -f "$manpage" ] || fail "no manual page for $program"
  gzip -t "$manpage" || fail "$manpage is not a valid gzip file"
done
for file in usr/share/applications/psutool.desktop \
            usr/share/icons/hicolor/scalable/apps/psutool.svg \
            usr/share/icons/hicolor/48x48/apps/psutool.png \
            usr/share/icons/hicolor/256x256/apps/psutool.png \
            usr/share/doc/psutool/copyright usr/share/doc/psutool/changelog.gz; do
  [ -f "$root/$file" ] || fail "$file is missing"
done

step "menu entry"
desktop="$root/usr/share/applications/psutool.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate refuses the menu entry"
grep -qx "Name\[zh_CN\]=$title" "$desktop" || fail "the menu entry has not the Chinese name"
exec_name=$(sed -n '/^\[Desktop Entry\]/,/^\[/s/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$root/usr/bin/$exec_name" ] || fail "Exec=$exec_name is not an installed program"
[ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon_name.png" ] || fail "Icon=$icon_name is not installed"

if [ -x "$root/usr/bin/psuctl" ]; then
  step "the MQTT bridge's systemd unit"
  unit="$root/usr/lib/systemd/system/psuctl-mqtt@.service"
  [ -f "$unit" ] || fail "psuctl-mqtt@.service is missing"
  [ -f "$root/usr/share/doc/psutool/examples/mqtt-bench.env" ] || fail "the bridge's example settings are missing"
  grep -qx 'ExecStart=/usr/bin/psuctl $PSUCTL_LINE mqtt --bench %i $PSUCTL_MQTT_OPTIONS' "$unit" \
    || fail "the unit does not start psuctl mqtt"
  # Every unit the package installs passes systemd's security review: an
  # overall exposure of 3.0 or less ("OK").
  for installed in "$root"/usr/lib/systemd/system/*.service; do
    review=$(systemd-analyze security --offline=yes "$installed" 2>&1 | tail -n 1)
    echo "$(basename "$installed"): $review"
    exposure=$(printf '%s\n' "$review" | sed -n 's/.*exposure level for .*: \([0-9.]*\) .*/\1/p')
    [ -n "$exposure" ] || fail "systemd-analyze security gives no exposure for $(basename "$installed")"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' || fail "$(basename "$installed") is exposed: $review"
  done
fi

if [ -x "$root/usr/bin/psuctl" ]; then
  step "psuctl serve's systemd unit"
  unit="$root/usr/lib/systemd/system/psuctl-serve@.service"
  [ -f "$unit" ] || fail "psuctl-serve@.service is missing"
  [ -f "$root/usr/share/doc/psutool/examples/serve-bench.env" ] || fail "serve's example settings are missing"
  grep -qx 'ExecStart=/usr/bin/psuctl $PSUCTL_LINE serve $PSUCTL_SERVE_OPTIONS' "$unit" \
    || fail "the unit does not start psuctl serve"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze security --offline=yes "$unit" | tail -n 1
    systemd-analyze security --offline=yes --threshold=30 "$unit" >/dev/null \
      || fail "systemd-analyze security rates psuctl-serve@.service above 3.0"
  fi
fi

for program in psusim psuctl; do
  [ -x "$root/usr/bin/$program" ] || continue
  step "$program --help"
  "$root/usr/bin/$program" --help >"$work/$program.help" 2>&1 \
    || { cat "$work/$program.help"; fail "$program --help failed"; }
  head -n 3 "$work/$program.help"
  grep -qi 'usage' "$work/$program.help" || fail "$program --help prints no usage"
done

step "psutool on a virtual display"
# -displayfd: the server picks a free display and writes its number once it
# accepts clients.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 300); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
  sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb gave no display"
export DISPLAY=":$(tr -d '\n' <"$work/display")"
runtime="$work/runtime"
mkdir -m 700 "$runtime"

# Prints the id of the viewable window titled $1 that the tool started as
# $tool_pid shows, once it is there; fails (showing the tool's output in $2)
# when the tool ends or no such window comes within a minute.
await_window() {
  local title=$1 log=$2 window
  for _ in $(seq 600); do
    kill -0 "$tool_pid" 2>/dev/null || { cat "$log" >&2; fail "psutool ended by itself"; }
    # The top-level window of class psutool (Qt also makes a hidden 1x1 one).
    window=$(xwininfo -root -tree 2>/dev/null | sed -n "s/^ *\(0x[0-9a-f]*\) \"$title\": (\"psutool\".*/\1/p" | head -n 1)
    if [ -n "$window" ] && xwininfo -id "$window" | grep -q 'Map State: IsViewable'; then
      echo "$window"
      return
    fi
    sleep 0.1
  done
  cat "$log" >&2
  fail "no window titled $title appeared"
}

# Both runs name the test's own server, never a display the caller had.
display=$DISPLAY
XDG_RUNTIME_DIR="$runtime" DISPLAY="$display" QT_QPA_PLATFORM=xcb "$root/usr/bin/psutool" >"$work/tool.log" 2>&1 &
tool_pid=$!
window=$(await_window "$title" "$work/tool.log")
echo "main window $window: $(xwininfo -id "$window" | grep -E 'Width|Height' | tr -s ' \n' ' ')"
icons=$(xprop -len 1000000 -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | tr '\n' ' ')
echo "window icon: $icons"
[[ "$icons" == *"48 x 48"* && "$icons" == *"256 x 256"* ]] || fail "the window has not the tool's icon"
sleep 2
kill -0 "$tool_pid" 2>/dev/null || { cat "$work/tool.log"; fail "psutool ended by itself"; }
kill -TERM "$tool_pid"
status=0
wait "$tool_pid" || status=$?
tool_pid=""
[ "$status" -eq 143 ] || { cat "$work/tool.log"; fail "psutool ended with status $status, not by the stop signal"; }
if [ -s "$work/tool.log" ]; then
  cat "$work/tool.log"
  fail "psutool printed something"
fi

step "psutool in English, as the menu entry's English action starts it"
# The English catalogue is compiled into the program: nothing else of the
# package is needed for it.
english="PSU Tester"
action=$(sed -n '/^\[Desktop Action english\]/,/^\[/s/^Exec=//p' "$desktop")
[ "$action" = "psutool --lang en" ] || fail "the menu entry's English action runs [$action]"
kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log"; fail "the test's X server is gone before the English start"; }
XDG_RUNTIME_DIR="$runtime" DISPLAY="$display" QT_QPA_PLATFORM=xcb "$root/usr/bin/psutool" --lang en >"$work/tool-en.log" 2>&1 &
tool_pid=$!
window=$(await_window "$english" "$work/tool-en.log")
echo "main window $window in English"
kill -TERM "$tool_pid"
wait "$tool_pid" || true
tool_pid=""
step "done"
