#!/usr/bin/env bash
# Renders the PNG icons from packaging/icons/psutool.svg (needs rsvg-convert,
# Debian package librsvg2-bin). The PNGs are kept in the repository, so a build
# needs no SVG renderer; run this after changing the drawing and commit them.
set -euo pipefail
cd "$(dirname "$0")/icons"
for size in 48 256; do
  rsvg-convert -w "$size" -h "$size" psutool.svg -o "psutool-$size.png"
done
