#!/usr/bin/env bash
# Installs what building, testing and the demo need (Debian packages), once.
set -euo pipefail
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev
          python3 python3-aiosmtpd qt6-base-dev xvfb xauth x11-utils libssl-dev nkf coreutils tzdata fonts-ipafont-gothic
          clang libclang-rt-14-dev openssl ca-certificates util-linux libc-bin dpkg-dev desktop-file-utils
          msmtp s-nail qt6-l10n-tools qt6-translations-l10n media-types xdotool file iproute2 procps
          weston qt6-wayland lintian at-spi2-core dbus-daemon python3-pyatspi
          postfix dovecot-core linux-perf time libidn2-dev ripmime jq)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  # The mail system is only a test server here: installed without a configuration of its
  # own, so that it neither asks questions nor starts a system-wide service.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
