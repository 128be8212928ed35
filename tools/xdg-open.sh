#!/bin/sh
# Opens one URL, such as the tray's log directory, with the desktop's own handler.
# The tray calls this fixed script rather than xdg-open itself, so an installation
# can adapt how folders are opened without touching the program.
if [ "$#" -ne 1 ]; then
    echo "usage: $0 URL" >&2
    exit 2
fi
exec xdg-open "$1"
