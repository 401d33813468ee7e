#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks that the programs run from /usr/bin
# and carry cap_net_raw, that a normal user can probe with it, and that removing and purging it leaves
# no file behind. Needs root and dpkg; skips otherwise.
# Usage: package_test.sh BUILD_DIR [FAKENET_RUN]
set -uo pipefail
build=$1
fakenet=${2:-}
package=tezmaro

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing a package needs root"
  exit 77
fi
for tool in dpkg dpkg-deb cpack unshare; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is missing"
    exit 77
  fi
done
if grep -q '^TEZMARO_SANITIZE:[A-Z]*=.' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "SKIP: a sanitizer build makes no package worth installing"
  exit 77
fi
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
  echo "SKIP: $package is already installed here; the test will not replace it"
  exit 77
fi

work=$(mktemp -d)
cleanup() {
  dpkg --purge "$package" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/out/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libqt6widgets6; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done

dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; echo "FAIL: dpkg -i"; exit 1; }
files=$(dpkg -L "$package")

# Even --list runs with no network at all: nothing of the machine's own is ever probed.
list=$(unshare -n /usr/bin/tezmaro-cli --list)
grep -q '^1  US 北美  103$' <<<"$list" || fail "tezmaro-cli --list from /usr/bin: $list"
for program in /usr/bin/tezmaro /usr/bin/tezmaro-cli; do
  getcap "$program" | grep -q 'cap_net_raw=ep' || fail "no cap_net_raw on $program: $(getcap "$program")"
done
for installed in /usr/share/applications/tezmaro.desktop /usr/share/icons/hicolor/scalable/apps/tezmaro.svg \
                 /usr/share/icons/hicolor/48x48/apps/tezmaro.png /usr/share/man/man1/tezmaro-cli.1.gz; do
  [ -s "$installed" ] || fail "$installed not installed"
done

# A normal user, in a namespace where no group may open datagram ICMP sockets: only the capability
# the package set lets the probe through.
if [ -n "$fakenet" ] && "$fakenet" -- true 2>/dev/null; then
  "$fakenet" --default reply:3 -- setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    /usr/bin/tezmaro-cli SA --timeout 500 >"$work/probe.out" 2>&1
  status=$?
  [ "$status" -eq 0 ] || fail "a normal user could not probe: status $status, $(cat "$work/probe.out")"
fi

dpkg -r "$package" >"$work/remove.log" 2>&1 || fail "dpkg -r: $(cat "$work/remove.log")"
dpkg --purge "$package" >>"$work/remove.log" 2>&1 || fail "dpkg --purge: $(cat "$work/remove.log")"
while IFS= read -r path; do
  if [ -f "$path" ] || [ -L "$path" ]; then
    fail "left behind: $path"
  elif [ -d "$path" ] && [ -z "$(ls -A "$path")" ] && ! dpkg -S "$path" >/dev/null 2>&1; then
    fail "empty directory left behind: $path"
  fi
done <<<"$files"
ls /var/lib/dpkg/info/"$package".* >/dev/null 2>&1 && fail "dpkg still keeps $package's control files"
dpkg-query -W "$package" >/dev/null 2>&1 && fail "$package still known to dpkg"

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "package: built, installed, used and removed cleanly"
