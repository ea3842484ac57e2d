#!/bin/sh
# Draws the Corvane icon (an instrument dial) and writes logo.ico and corvane.png next to
# this script.
# A single 64x64 32-bit image keeps the icon in BMP form, which every Windows shell reads.
set -eu
cd "$(dirname "$0")"

convert -size 64x64 xc:none \
    -fill '#1d3557' -draw 'circle 32,32 32,2' \
    -fill '#f1faee' -draw 'circle 32,32 32,8' \
    -stroke '#1d3557' -strokewidth 3 -fill none \
    -draw 'line 14,42 18,40' -draw 'line 16,20 20,23' -draw 'line 32,11 32,16' \
    -draw 'line 48,20 44,23' -draw 'line 50,42 46,40' \
    -stroke '#e63946' -strokewidth 4 -draw 'line 32,36 45,19' \
    -stroke none -fill '#1d3557' -draw 'circle 32,36 32,31' \
    -fill '#e63946' -draw 'roundrectangle 22,46 42,52 3,3' \
    -define icon:auto-resize=64 logo.ico

# Desktop icon themes take PNG; the same picture, for the installed menu entry.
convert logo.ico -strip PNG32:corvane.png
