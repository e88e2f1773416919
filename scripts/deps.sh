#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Runs as root, without sudo.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pkgs=$(grep -v '^#' "$here/packages.txt" | tr '\n' ' ')
missing=$(dpkg-query -W -f='${Package} ${Status}\n' $pkgs 2>/dev/null | grep -v 'install ok installed' | cut -d' ' -f1 || true)
for p in $pkgs; do dpkg-query -W "$p" >/dev/null 2>&1 || missing="$missing $p"; done
if [ -n "$(echo $missing)" ]; then
  export DEBIAN_FRONTEND=noninteractive
  # Services shipped by these packages are started by our scripts, never by the installer.
  if [ ! -e /usr/sbin/policy-rc.d ]; then printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod +x /usr/sbin/policy-rc.d; fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends $pkgs
fi
