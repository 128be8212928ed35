#!/usr/bin/env bash
# Renders the raster artwork from the SVG sources in Images/src and Themes/src, and the
# desktop icon theme's files in share/icons.
# The results are committed, so the build never runs this; run it after changing a source.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

render() { # <svg> <size> <png>
    rsvg-convert --width "$2" --height "$2" --keep-aspect-ratio "$1" --output "$3"
}

# 16 and 24 pixels use the simplified mark so the quill stays readable in the tray.
mark_for_size() {
    if [ "$1" -le 24 ]; then
        echo "$root/Images/src/quillet-small.svg"
    else
        echo "$root/Images/src/quillet.svg"
    fi
}

for size in 256 64 48 32 24 16; do
    render "$(mark_for_size $size)" $size "$work/mark-$size.png"
done

# Tray icon, smallest image first.
convert "$work"/mark-{16,24,32,48,64,256}.png "$root/Images/icon.ico"

# Application icon of the themes: the about box reads its second image, so 64 pixels comes second.
convert "$work"/mark-{256,64,48,32,24,16}.png "$work/app.ico"
for theme in Light Dark; do
    cp "$work/app.ico" "$root/Themes/${theme}Theme/ico.ico"
done

# The desktop's icon theme: menus, the autostart settings and notifications look it up by name.
hicolor="$root/share/icons/hicolor"
mkdir -p "$hicolor/scalable/apps"
cp "$root/Images/src/quillet.svg" "$hicolor/scalable/apps/eu.kestrum.Quillet.svg"
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "$hicolor/${size}x${size}/apps"
    render "$(mark_for_size $size)" $size "$work/hicolor.png"
    convert "$work/hicolor.png" -define png:exclude-chunks=date,time "$hicolor/${size}x${size}/apps/eu.kestrum.Quillet.png"
done

rsvg-convert --width 150 --height 38 "$root/Themes/src/QLIcon-light.svg" --output "$root/Themes/LightTheme/QLIcon.png"
rsvg-convert --width 150 --height 38 "$root/Themes/src/QLIcon-dark.svg" --output "$root/Themes/DarkTheme/QLIcon.png"

# Strip time stamps so unchanged artwork renders to unchanged files.
for png in "$root"/Themes/*Theme/QLIcon.png; do
    convert "$png" -define png:exclude-chunks=date,time "$png"
done
echo "Rendered artwork into Images/, Themes/ and share/icons/."
