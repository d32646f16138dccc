#!/usr/bin/env bash
# Usage: as_unprivileged_user.sh BUNDLE PROGRAM [ARGUMENT...]
# Runs PROGRAM as it is when not root; as root (CI), as the unprivileged user tessaron-e2e, made here on first
# use, for programs that refuse root (sway). When that user cannot reach PROGRAM (a clone inside a folder only
# its owner may enter, such as /root), PROGRAM and the Tessaron.app BUNDLE it runs are copied to a folder the
# user can read, for this run only; the suite finds the copy through TESSARON_TEST_BUNDLE.
set -euo pipefail
user=tessaron-e2e
bundle=$1
shift
if [[ $(id -u) -ne 0 ]]; then exec "$@"; fi
if ! id -u "$user" >/dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
fi
cd /tmp
if runuser -u "$user" -- test -x "$1" -a -r "$bundle/Contents/MacOS/tessaron"; then
  exec runuser -u "$user" -- "$@"
fi
stage=$(mktemp -d /tmp/tessaron-e2e-stage.XXXXXX)
trap 'rm -rf "$stage"' EXIT
cp "$1" "$stage/"
cp -R "$bundle" "$stage/Tessaron.app"
chmod -R a+rX "$stage"
program="$stage/$(basename "$1")"
shift
status=0
TESSARON_TEST_BUNDLE="$stage/Tessaron.app" runuser -u "$user" -- "$program" "$@" || status=$?
exit "$status"
