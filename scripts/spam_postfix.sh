#!/usr/bin/env bash
# Local measurement only, never run by CI: configures the machine's Postfix to
# listen on loopback and deliver every address of example.jp into one Maildir,
# /var/tmp/tarvex-spam/inbox, and starts it, for scripts/spam_compare.py.
# Needs root and the Debian packages postfix and spamassassin; "postfix stop" ends it.
set -euo pipefail
base=/var/tmp/tarvex-spam
mkdir -p "$base/inbox/new" "$base/inbox/cur" "$base/inbox/tmp"
chown -R 65534:65534 "$base"
printf '/.*/ inbox/\n' > /etc/postfix/tarvex_vmailbox
postconf -e inet_interfaces=loopback-only inet_protocols=ipv4 mydestination=localhost myhostname=mx.tarvex.test \
  virtual_mailbox_domains=example.jp "virtual_mailbox_base=$base" \
  virtual_mailbox_maps=regexp:/etc/postfix/tarvex_vmailbox \
  virtual_uid_maps=static:65534 virtual_gid_maps=static:65534
postfix check
postfix status >/dev/null 2>&1 && postfix reload || postfix start
