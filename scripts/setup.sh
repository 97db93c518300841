# Shared set-up for the project's scripts: installs the Debian packages the
# build and the tests need, when they are missing. Sourced, not run.

K24_PACKAGES=(
  g++ cmake ninja-build pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev
  umockdev libumockdev-dev libglib2.0-dev
  mandoc
  clang-tidy
)

k24_ensure_packages() {
  local missing=()
  local package
  for package in "${K24_PACKAGES[@]}"; do
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
