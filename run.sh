#!/usr/bin/env bash
# Installs what is missing, builds into build/ and starts the window.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
tz_install_missing "${TZ_BUILD_PACKAGES[@]}"
tz_configure_and_build build
if [ ! -x build/tezmaro ]; then
  echo "build/tezmaro does not exist yet: the window is not built."
  exit 1
fi
exec build/tezmaro
