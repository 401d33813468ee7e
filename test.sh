#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test; the exit status is ctest's.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
tz_install_missing "${TZ_BUILD_PACKAGES[@]}" "${TZ_TEST_PACKAGES[@]}"
tz_configure_and_build build
cd build
ctest --output-on-failure -j"$(nproc)" --timeout 600
