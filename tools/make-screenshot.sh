#!/bin/sh
# Makes docs/window.png: the main window on a private X server.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$here/docs"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 800x600x24" \
    "$here/build/tools/zelvor-screenshot" "$here/docs/window.png"
echo "wrote $here/docs/window.png"
