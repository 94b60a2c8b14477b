# Sourced by scripts/run and scripts/test: installs the Debian packages that are missing
# (as root; apt-get update only when something must be installed).
# ensure_packages [--i386] PACKAGE...
ensure_packages() {
    local i386=0 missing=() p
    if [[ ${1:-} == --i386 ]]; then i386=1; shift; fi
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    printf '\n==== installing: %s\n' "${missing[*]}" >&2
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null || { echo "need root to install: ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    if ((i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >&2
}
