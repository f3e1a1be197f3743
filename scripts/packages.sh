# Debian packages the build, the tests and the demo need; sourced by the scripts.
TOLVANE_PACKAGES=(cmake make g++ pkg-config libgtest-dev librabbitmq-dev libcurl4-openssl-dev
                  rabbitmq-server python3 python3-pika procps dpkg-dev file systemd)

# Installs whatever of TOLVANE_PACKAGES is missing (needs root on a fresh machine).
install_packages() {
    local missing=() p
    for p in "${TOLVANE_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
