#!/usr/bin/env bash
# Runs a command as it is when not root; as root (CI), as the unprivileged user tessaron-e2e, made here on
# first use, for programs that refuse root (sway). The command and what it reads must be readable by others.
set -euo pipefail
user=tessaron-e2e
if [[ $(id -u) -ne 0 ]]; then exec "$@"; fi
if ! id -u "$user" >/dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
fi
cd /tmp
exec runuser -u "$user" -- "$@"
