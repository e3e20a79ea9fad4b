# Shared by the scripts in scripts/: packages and build.

VOREL_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libsystemd-dev googletest libgtest-dev
  libgmock-dev libbenchmark-dev fonts-dejavu-core fonts-dejavu-extra xvfb xauth
  dpkg-dev file lintian logrotate man-db clang libclang-rt-14-dev iproute2 python3)

vorel_install_packages() {
  local missing=()
  for p in "${VOREL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

vorel_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j2
}
