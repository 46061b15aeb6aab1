# Sourced by the build scripts: installs the Debian packages that are missing.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Qt Serial Bus for real CAN interfaces (its plugins: SocketCAN, virtual CAN, ...; canbusutil
# for the tests); Qt's private headers for the driver's own Qt event thread.
BUILD_PACKAGES=(g++ cmake ninja-build qtbase5-dev qtbase5-private-dev libgtest-dev libgmock-dev libbenchmark-dev pkgconf python3
                libqt5serialbus5-dev libqt5serialbus5-plugins libqt5serialbus5-bin)
