# Shared set-up for the project's scripts: installs the Debian packages the
# build and the tests need, when they are missing. Sourced, not run.

K24_PACKAGES=(
  g++ cmake ninja-build pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev
  umockdev libumockdev-dev libglib2.0-dev
  mandoc
  libpcap-dev tshark
  clang-14 libclang-rt-14-dev
  clang-tidy
)

# The Windows cross build and Wine, to run its tests (scripts/test's Windows part).
K24_WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
  wine64 python3
)

# Installs the packages named (default: K24_PACKAGES) that are missing.
k24_ensure_packages() {
  local missing=()
  local package
  local wanted=("$@")
  if [ ${#wanted[@]} -eq 0 ]; then
    wanted=("${K24_PACKAGES[@]}")
  fi
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing Debian packages: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Configures and builds one preset; extra arguments go to the configure step.
k24_build() {
  local preset=$1
  shift
  cmake --preset "$preset" "$@"
  cmake --build --preset "$preset" --parallel "$(nproc)"
}
