#!/usr/bin/env bash
# `cmake --install` into a scratch prefix: the bundle, the launcher and icon in the XDG locations, and a
# `tessaron` command on PATH that is the bundle's program.
# Usage: install_test.sh <build folder>
set -euo pipefail
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tessaron-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "install: $*" >&2; exit 1; }
bundle=$prefix/lib/tessaron/Tessaron.app
for f in Contents/MacOS/tessaron Contents/MacOS/server Contents/MacOS/ihash \
         Contents/Resources/logo.png Contents/Resources/AppIcon.png Contents/Resources/README.html; do
  [[ -f "$bundle/$f" ]] || fail "missing $bundle/$f"
done
launcher=$prefix/share/applications/com.marrowbeck.tessaron.desktop
[[ -f "$launcher" ]] || fail "no launcher at $launcher"
[[ -f "$prefix/share/icons/hicolor/256x256/apps/com.marrowbeck.tessaron.png" ]] || fail "no icon"
desktop-file-validate "$launcher" || fail "the launcher does not validate"

# The launcher's program is the bundle's, and it runs: asked for a backend that does not exist it says so.
exec_line=$(sed -n 's/^Exec=//p' "$launcher")
program=${exec_line//\"/}
[[ "$program" == "$bundle/Contents/MacOS/tessaron" ]] || fail "Exec is $exec_line"
status=0
output=$(TESSARON_PLATFORM=none "$program" 2>&1) || status=$?
[[ $status == 2 && "$output" == *"names no backend"* ]] || fail "the launcher's program said ($status): $output"

# `tessaron` on PATH is the same program.
[[ "$(readlink -f "$prefix/bin/tessaron")" == "$(readlink -f "$program")" ]] || fail "bin/tessaron is not the bundle's"
status=0
output=$(PATH="$prefix/bin:$PATH" TESSARON_PLATFORM=none tessaron 2>&1) || status=$?
[[ $status == 2 ]] || fail "tessaron on PATH said ($status): $output"
echo "install: bundle, launcher, icon and command in place under $prefix"
