#!/usr/bin/env bash
# `cmake --install` into a scratch prefix: the executables in lib/tessaron, the resources in share/tessaron,
# the launcher and icon in the XDG locations, and a `tessaron` command on PATH that is the installed program.
# Usage: install_test.sh <build folder>
set -euo pipefail
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tessaron-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "install: $*" >&2; exit 1; }
for f in lib/tessaron/tessaron lib/tessaron/server lib/tessaron/ihash share/tessaron/logo.png \
         share/tessaron/AppIcon.png share/tessaron/README.html share/tessaron/gnome-shell-extension/extension.js \
         share/tessaron/gnome-shell-extension-45/extension.js; do
  [[ -f "$prefix/$f" ]] || fail "missing $prefix/$f"
done
[[ -z "$(find "$prefix" -name '*.app')" ]] || fail "a bundle folder was installed"
launcher=$prefix/share/applications/com.marrowbeck.tessaron.desktop
[[ -f "$launcher" ]] || fail "no launcher at $launcher"
[[ -f "$prefix/share/icons/hicolor/256x256/apps/com.marrowbeck.tessaron.png" ]] || fail "no icon"
desktop-file-validate "$launcher" || fail "the launcher does not validate"

# The launcher's program is the installed one, and it runs: asked for a backend that does not exist it says so.
exec_line=$(sed -n 's/^Exec=//p' "$launcher")
program=${exec_line//\"/}
[[ "$program" == "$prefix/lib/tessaron/tessaron" ]] || fail "Exec is $exec_line"
status=0
output=$(TESSARON_PLATFORM=none "$program" 2>&1) || status=$?
[[ $status == 2 && "$output" == *"names no backend"* ]] || fail "the launcher's program said ($status): $output"

# `tessaron` on PATH is the same program.
[[ "$(readlink -f "$prefix/bin/tessaron")" == "$(readlink -f "$program")" ]] || fail "bin/tessaron is not the installed program"
status=0
output=$(PATH="$prefix/bin:$PATH" TESSARON_PLATFORM=none tessaron 2>&1) || status=$?
[[ $status == 2 ]] || fail "tessaron on PATH said ($status): $output"
echo "install: executables, resources, launcher, icon and command in place under $prefix"
