#!/bin/sh
# Rebuilds the bundled sample: ImageMagick's built-in "logo:" picture (the ImageMagick wizard, shipped with
# Debian's imagemagick package under the ImageMagick licence), scaled to 400 x 300 and stored as a plain 24-bit
# BMP with the 40-byte info header and unpadded rows.
set -eu
cd "$(dirname "$0")/.."
convert logo: -resize 400x300! -type TrueColor -define bmp:format=bmp3 -compress none BMP3:sample/wizard.bmp
