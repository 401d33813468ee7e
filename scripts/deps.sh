# Sourced by run.sh and test.sh: installs the Debian packages that are missing, and only those.

TZ_BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev libgtest-dev fonts-wqy-microhei xdg-utils)
TZ_TEST_PACKAGES=(iproute2 xvfb xauth xdotool imagemagick x11-utils fping iputils-ping libcap2-bin dpkg-dev file)
# clang only recommends its runtimes (libFuzzer, the sanitizers), so they are named.
TZ_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

tz_install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

tz_configure_and_build() {
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  fi
  cmake --build "$dir" -j"$(nproc)"
}
