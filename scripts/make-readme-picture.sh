#!/bin/sh
# Makes docs/before-after.png: the bundled sample beside the module's own blur of it. Needs a build (the default
# preset) and ImageMagick.
set -eu
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/mistvane --quiet sample/wizard.bmp "$work/blurred.bmp"
convert sample/wizard.bmp "$work/blurred.bmp" -bordercolor white -border 8 +append \
  -strip -define png:exclude-chunks=date,time docs/before-after.png
