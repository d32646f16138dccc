#!/usr/bin/env bash
# The Debian package as a person gets it: built with cpack, installed with dpkg into a root of its own (no file
# of the project there before), its dependencies checked by dpkg against this machine's installed packages,
# and the installed program started far enough to find its installed server and hear it answer on port 5000.
# Usage: package_test.sh <build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tessaron-package.XXXXXX")
program_pid=
cleanup() {
  if [[ -n $program_pid ]] && kill -0 "$program_pid" 2>/dev/null; then kill -KILL "$program_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package: $*" >&2
  [[ -f $work/home/err.txt ]] && tail -n 30 "$work/home/err.txt" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$work/pack") >"$work/cpack.txt" 2>&1 || { cat "$work/cpack.txt" >&2; fail "cpack failed"; }
debs=("$work"/pack/tessaron_*.deb)
[[ -f ${debs[0]} ]] || fail "cpack made no package"
deb=${debs[0]}

# Everything each feature needs at run time: the accessibility bus, opening pages, the sealed archive's store
# and its mounting, and English words read from pictures.
depends=$(dpkg-deb -f "$deb" Depends)
for needed in at-spi2-core xdg-utils gocryptfs fuse3 tesseract-ocr-eng libtesseract5 libsqlite3-0; do
  [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "Depends lacks $needed: $depends"
done

# A root with an empty dpkg database except for the list of what this machine has installed, so that dpkg
# refuses the package if it needs anything a Debian 12 set up like this one lacks.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
: >"$root/var/lib/dpkg/available"
dpkg --root="$root" --log=/dev/null --force-not-root -i "$deb" >"$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt" >&2; fail "dpkg refused the package"; }
[[ "$(dpkg --root="$root" -s tessaron 2>/dev/null | sed -n 's/^Status: //p')" == "install ok installed" ]] ||
  fail "dpkg does not list tessaron as installed"
for f in usr/bin/tessaron usr/lib/tessaron/tessaron usr/lib/tessaron/server usr/share/tessaron/README.html \
         usr/share/tessaron/logo.png usr/share/applications/com.marrowbeck.tessaron.desktop; do
  [[ -e "$root/$f" ]] || fail "the package did not install /$f"
done
grep -qx 'Exec="/usr/lib/tessaron/tessaron"' "$root/usr/share/applications/com.marrowbeck.tessaron.desktop" ||
  fail "the launcher does not start /usr/lib/tessaron/tessaron"

# Started as a person starts it, by the command on PATH, on the simulated desktop with both grants given.
home=$work/home
mkdir -p "$home/runtime" "$home/config/tessaron"
chmod 700 "$home/runtime"
echo '{"encryptArchive": false}' >"$home/config/tessaron/settings.json"
echo '{"grants": {"accessibility": {"granted": true}, "screenCapture": {"granted": true}}}' >"$home/scenario.json"

port_answers() {
  local reply
  exec 3<>/dev/tcp/127.0.0.1/5000 2>/dev/null || return 1
  printf 'GET / HTTP/1.0\r\nHost: 127.0.0.1:5000\r\n\r\n' >&3
  reply=$(timeout 5 head -c 12 <&3 || true)
  exec 3<&-
  [[ $reply == "HTTP/1.1 200" || $reply == "HTTP/1.0 200" ]]
}
port_answers && fail "port 5000 answers before the installed program started"

env -i PATH="$root/usr/bin:/usr/bin:/bin" HOME="$home" XDG_DATA_HOME="$home/share" \
  XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" TESSARON_PLATFORM=sim \
  TESSARON_SCENARIO="$home/scenario.json" TESSARON_LOG=stderr TESSARON_SIM_KEYRING="$home/keyring" \
  tessaron >"$home/out.txt" 2>"$home/err.txt" &
program_pid=$!

deadline=$((SECONDS + 60))
until grep -q "Server process (PID: " "$home/err.txt" && port_answers; do
  kill -0 "$program_pid" 2>/dev/null || fail "the installed program ended before its server answered"
  ((SECONDS < deadline)) || fail "the installed server did not answer on port 5000 within 60 s"
  sleep 0.5
done
grep -qF "Server executable found at: $root/usr/lib/tessaron/server" "$home/err.txt" ||
  fail "the program did not find the installed server"

kill -TERM "$program_pid"
status=0
wait "$program_pid" || status=$?
program_pid=
[[ $status == 0 ]] || fail "the installed program ended with $status on SIGTERM"
deadline=$((SECONDS + 20))
while port_answers; do
  ((SECONDS < deadline)) || fail "port 5000 still answers after the program ended"
  sleep 0.5
done
echo "package: $(basename "$deb") installs into an empty root, its dependencies met, and its server answers"
