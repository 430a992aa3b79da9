#!/bin/bash
# A manual trial, not part of the test suite: the window typed into with a Japanese
# input method (fcitx5 + mozc) under Xvfb and openbox, the mail sent to a local
# aiosmtpd and read back; see scripts/ime_trial.py for the steps. Pictures of every
# step go to BUILD_DIR/artifacts/ime/.
#
# Usage: scripts/ime_trial.sh [BUILD_DIR]     (default: build)
# Needs the Debian packages fcitx5 fcitx5-mozc fcitx5-frontend-qt6 openbox xvfb
# xdotool x11-utils dbus python3-aiosmtpd; run as root it creates the user
# "imetester" (or IME_TRIAL_USER) and runs the trial as that user, since the
# input method's engine is meant for a user's session.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
OUT=$BUILD/artifacts/ime
TRIAL_USER=${IME_TRIAL_USER:-imetester}

missing=()
for tool in Xvfb xdotool xwininfo fcitx5 fcitx5-remote openbox dbus-run-session; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -x /usr/lib/mozc/mozc_server ] || missing+=("mozc_server")
ls /usr/lib/*/qt6/plugins/platforminputcontexts/libfcitx5platforminputcontextplugin.so >/dev/null 2>&1 ||
  missing+=("the fcitx5 input context of Qt 6")
if [ ${#missing[@]} -gt 0 ]; then
  echo "ime_trial: missing ${missing[*]}" >&2
  echo "  apt-get install --no-install-recommends fcitx5 fcitx5-mozc fcitx5-frontend-qt6 openbox xvfb xdotool x11-utils dbus" >&2
  exit 2
fi
[ -x "$BUILD/tarvex" ] || { echo "ime_trial: no program at $BUILD/tarvex (build first)" >&2; exit 2; }

mkdir -p "$OUT"
rm -f "$OUT"/*.png "$OUT"/*.log
run=(dbus-run-session -- /usr/bin/python3 "$ROOT/scripts/ime_trial.py" --build "$BUILD" --out "$OUT")
if [ "$(id -u)" -ne 0 ]; then
  exec "${run[@]}"
fi
id "$TRIAL_USER" >/dev/null 2>&1 || useradd -m "$TRIAL_USER"
chown "$TRIAL_USER" "$OUT"
# The user's own home, not root's: the engine keeps its files there.
exec runuser -u "$TRIAL_USER" -- env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$(getent passwd "$TRIAL_USER" | cut -d: -f6)" \
  USER="$TRIAL_USER" "${run[@]}"
