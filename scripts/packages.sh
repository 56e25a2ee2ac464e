# Debian packages the build and the test layers need; sourced by run.sh and test.sh.
# ensure_packages PKG...: installs what is missing (as root), or prints the
# exact apt-get line and stops.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q </dev/null
        apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
    else
        echo "Missing Debian packages. Install them with:"
        echo "  sudo apt-get install -y ${missing[*]}"
        exit 1
    fi
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libusb-1.0-0-dev nlohmann-json3-dev libvalijson-dev
                googletest libgtest-dev libsqlite3-dev libpq-dev)
TEST_PACKAGES=("${BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
               wine wine64 umockdev libumockdev-dev clang libclang-rt-14-dev
               dpkg-dev file lintian nsis unzip devscripts jq openssl osslsigncode
               wixl msitools postgresql sqlite3 chromium)
