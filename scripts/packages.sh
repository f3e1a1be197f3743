# Debian packages the build, the tests and the demo need; sourced by the scripts.
TOLVANE_PACKAGES=(cmake make g++ pkg-config libgtest-dev librabbitmq-dev libcurl4-openssl-dev
                  libssl-dev rabbitmq-server python3 python3-pika python3-aio-pika
                  python3-setuptools procps dpkg-dev file systemd iproute2 openssl lintian
                  libmicrohttpd-dev libsystemd-dev python3-prometheus-client
                  nlohmann-json3-dev)

# Fuzzing only (scripts/fuzz.sh): clang, its sanitizer and libFuzzer run-times, and the
# symbolizer that puts file and line into their reports.
TOLVANE_FUZZ_PACKAGES=(clang libclang-rt-14-dev llvm-14)

# Lint only (scripts/lint.sh): the layout and naming checkers, and clang for their compile database.
TOLVANE_LINT_PACKAGES=(clang clang-format clang-tidy)

# Installs whatever of TOLVANE_PACKAGES is missing (needs root on a fresh machine).
install_packages() {
    install_missing "${TOLVANE_PACKAGES[@]}"
    install_node
}

# Node.js and npm for the test whose requester runs OpenTelemetry's JavaScript SDK: Debian's
# when the machine has none, a newer one installed from elsewhere kept as it is.
install_node() {
    command -v node >/dev/null && command -v npm >/dev/null && return 0
    install_missing nodejs npm
}

# Installs whatever of TOLVANE_FUZZ_PACKAGES is missing.
install_fuzz_packages() {
    install_missing "${TOLVANE_FUZZ_PACKAGES[@]}"
}

# Installs whatever of TOLVANE_LINT_PACKAGES is missing.
install_lint_packages() {
    install_missing "${TOLVANE_LINT_PACKAGES[@]}"
}

install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
