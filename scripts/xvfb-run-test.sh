#!/bin/sh
# Runs a command on a private Xvfb display (free number picked by the server), with
# optional window wait and screenshot; see tests/e2e/xvfb_display.py for the options.
# Needs the Debian packages xvfb and x11-utils (xwininfo).
exec /usr/bin/python3 "$(dirname "$0")/../tests/e2e/xvfb_display.py" "$@"
