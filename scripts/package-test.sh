#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, starts the server the way its systemd unit
# says (ExecStart, User, Group, WorkingDirectory, AmbientCapabilities: no service manager runs
# here), asks it with dig, stops it with SIGTERM (exit code 0 expected), and removes the package.
#
#   scripts/package-test.sh [BUILD_DIR]      (default: build-package; run as root)
#
# It installs into this system and binds 127.0.0.1:53, so it is not part of the normal test run.
# PACKAGE_TEST_ZONES=skip leaves out the answer from the shipped zone file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-package}
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
[ "$(id -u)" = 0 ] || { echo "package-test: run as root" >&2; exit 2; }

fail() { echo "package-test: FAIL: $*" >&2; exit 1; }
step() { echo "--- $*"; }

pid=""
installed=no
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  if [ "$installed" = yes ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q dnsserver >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

step "build the package in $dir"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
targets="dnsserver dnsserver-encrypt"
if grep -q '^dnsserver_db:' "$dir/Makefile" 2>/dev/null || [ -f "$root/src/db/CMakeLists.txt" ]; then
  targets="$targets dnsserver_db"
fi
cmake --build "$dir" -j "$(nproc)" --target $targets
rm -f "$dir"/dnsserver_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/dnsserver_*.deb)
echo "$deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '{print $6}' | grep -v '/$' | sed 's/^\.//'

step "install it with apt"
dpkg-query -W dnsserver >/dev/null 2>&1 && fail "a dnsserver package is already installed"
# (No "grep -q" or "head" on pipes: with pipefail an early reader's exit fails the pipeline.)
udp_local() { ss -Hlun 2>/dev/null | awk '{print $4}'; }
if [ -n "$(udp_local | grep -E '^(127\.0\.0\.1|0\.0\.0\.0|\*):53$' || true)" ]; then
  fail "127.0.0.1:53 is taken; the default settings listen there"
fi
installed=yes
(cd "$dir" && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./$(basename "$deb")")

step "check the installed files"
unit=/usr/lib/systemd/system/dnsserver.service
[ -f /lib/systemd/system/dnsserver.service ] && unit=/lib/systemd/system/dnsserver.service
for f in /usr/sbin/dnsserver /usr/bin/dnsserver-encrypt /etc/dnsserver/dnscfg.ini /etc/dnsserver/domains/localhost \
         "$unit" /usr/share/man/man8/dnsserver.8 /usr/share/doc/dnsserver/configuration.md; do
  [ -e "$f" ] || fail "$f is missing"
done
getent passwd dnsserver >/dev/null || fail "no system user dnsserver"
[ "$(stat -c '%U:%G %a' /etc/dnsserver/dnscfg.ini)" = "root:dnsserver 640" ] || fail "dnscfg.ini owner or mode"
[ "$(stat -c '%U' /var/log/dnsserver)" = dnsserver ] || fail "/var/log/dnsserver is not the service's"
man -l /usr/share/man/man8/dnsserver.8 >/dev/null 2>&1 || fail "the manual page does not format"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no "$unit" || fail "systemd-analyze verify $unit"
fi

# Every library the installed programs need comes from a package the control file names: the
# server's and the tool's from Depends, the database module's from Depends or Recommends.
depends=$(dpkg-query -W -f='${Depends}' dnsserver)
recommends=$(dpkg-query -W -f='${Recommends}' dnsserver)
check_libs() {
  local file=$1 allowed=$2 lib path pkg
  for lib in $(objdump -p "$file" | awk '$1 == "NEEDED" {print $2}'); do
    path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ && !found {print $NF; found = 1}')
    [ -n "$path" ] || { [ "$allowed" = recommends ] && continue; fail "$file: $lib not found"; }
    pkg=""
    for candidate in "$(readlink -f "$path")" "$path" "$(readlink -f "$path" | sed 's|^/usr/lib/|/lib/|')"; do
      [ -n "$pkg" ] || pkg=$(dpkg -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p') || true
    done
    [ -n "$pkg" ] || fail "$file: no package owns $lib"
    if ! grep -qw -- "$pkg" <<<"$depends"; then
      if [ "$allowed" = recommends ] && grep -qw -- "$pkg" <<<"$recommends"; then continue; fi
      fail "$file needs $lib from $pkg, which the package does not name"
    fi
  done
}
check_libs /usr/sbin/dnsserver depends
check_libs /usr/bin/dnsserver-encrypt depends
[ -e /usr/lib/dnsserver/dnsserver_db.so ] && check_libs /usr/lib/dnsserver/dnsserver_db.so recommends
[ -e /usr/sbin/dnsserver-db ] && check_libs /usr/sbin/dnsserver-db recommends

step "start it as $unit says"
unit_value() { sed -n "s/^$1=//p" "$unit" | tail -n1; }
exec_start=$(unit_value ExecStart)
user=$(unit_value User)
group=$(unit_value Group)
workdir=$(unit_value WorkingDirectory)
caps=$(unit_value AmbientCapabilities)
[ -n "$exec_start" ] && [ -n "$user" ] || fail "the unit has no ExecStart or User"
capargs=()
if [ -n "$caps" ]; then
  list=$(echo "$caps" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ \+/,/g')
  capargs=(--inh-caps="$list" --ambient-caps="$list")
fi
echo "ExecStart=$exec_start  User=$user  Group=${group:-$user}  WorkingDirectory=${workdir:-/}  AmbientCapabilities=$caps"
journal=$(mktemp /tmp/dnsserver-package-journal.XXXXXX)
read -r -a argv <<<"$exec_start"
(cd "${workdir:-/}" && exec setpriv --reuid="$user" --regid="${group:-$user}" --init-groups --no-new-privs \
   "${capargs[@]}" -- "${argv[@]}") >"$journal" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  [ -n "$(udp_local | grep -x '127\.0\.0\.1:53' || true)" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null || { cat "$journal"; fail "the server did not start"; }
[ -n "$(udp_local | grep -x '127\.0\.0\.1:53' || true)" ] || { cat "$journal"; fail "nothing on 127.0.0.1:53"; }
running_as=$(stat -c %U "/proc/$pid")
[ "$running_as" = "$user" ] || fail "the server runs as $running_as, not $user"

step "ask it"
got=$(dig @127.0.0.1 -p 53 +short +time=2 +tries=2 whoami.localhost A || true)
echo "whoami.localhost A: $got"
[ "$got" = 127.0.0.1 ] || { cat "$journal"; fail "no answer for whoami.localhost"; }
if [ "${PACKAGE_TEST_ZONES:-}" != skip ]; then
  got=$(dig @127.0.0.1 -p 53 +short +time=2 +tries=2 localhost AAAA || true)
  echo "localhost AAAA (zone file): $got"
  [ "$got" = ::1 ] || { cat "$journal"; fail "no answer from the shipped localhost zone"; }
fi

step "stop it with SIGTERM"
kill -TERM "$pid"
code=0
for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "still running 30 s after SIGTERM"
wait "$pid" || code=$?
pid=""
echo "exit code $code"
echo "standard output (the journal):"; sed 's/^/  | /' "$journal"
[ "$code" = 0 ] || fail "exit code $code after SIGTERM"
rm -f "$journal"

step "remove the package"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q dnsserver
[ -e /usr/sbin/dnsserver ] && fail "/usr/sbin/dnsserver is still there after remove"
[ -e /etc/dnsserver/dnscfg.ini ] || fail "remove took the settings (only purge may)"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q dnsserver
installed=no
[ -e /etc/dnsserver/dnscfg.ini ] && fail "purge left /etc/dnsserver/dnscfg.ini"
echo "package-test: PASS"
