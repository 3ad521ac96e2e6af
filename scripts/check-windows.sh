#!/usr/bin/env bash
# Compiles every source of the tool (link/, record/, netlink/, roster/, widgets/, app/, panels/) for Windows with
# MinGW-w64, syntax only, against the Qt 6 headers of the Linux build: the
# Windows branches (ClearCommError, COMn port names) are checked without a
# Windows machine. Nothing is linked or run.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
QT=$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)
# PSUTOOL_VERSION: the build gives the project's version to app/startup.cpp.
flags=(-fsyntax-only -std=c++17 -Wall -Wextra -Wno-attributes -DQT_NO_CONTEXTLESS_CONNECT -DPSUTOOL_VERSION='"0"'
       -I. -I"$QT" -I"$QT/QtCore" -I"$QT/QtGui" -I"$QT/QtWidgets" -I"$QT/QtSerialPort" -I"$QT/QtNetwork")
# The plotting library's one header, without the rest of /usr/include.
plotdir=$(mktemp -d)
trap 'rm -rf "$plotdir"' EXIT
ln -s /usr/include/qcustomplot.h "$plotdir/qcustomplot.h"
flags+=(-I"$plotdir" -I"$QT/QtPrintSupport")
failed=0
count=0
for src in link/*.cpp record/*.cpp netlink/*.cpp roster/*.cpp widgets/*.cpp app/*.cpp panels/*.cpp; do
  count=$((count + 1))
  if ! "$CXX" "${flags[@]}" "$src"; then
    echo "windows: $src does not compile" >&2
    failed=$((failed + 1))
  fi
done
echo "windows syntax check: $((count - failed)) of $count sources compile"
[ "$failed" -eq 0 ]
