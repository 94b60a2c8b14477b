# Sourced by scripts/run and scripts/test: installs the Debian packages that are missing
# (as root; apt-get update only when something must be installed).
# ensure_packages [--i386] PACKAGE...
#
# A mirror out of sync (an index of one suite that fails to download, "File has unexpected
# size ... Mirror sync in progress?") is tried again; when the install still fails, it is
# tried once more with the release's own suite preferred (apt-get install -t CODENAME), so
# that the amd64 and i386 packages take the same versions. The index that failed is named.
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

    # apt-get update: up to three tries; the error lines of the last one are kept.
    local try update_errors=""
    for try in 1 2 3; do
        update_errors=$({ "${sudo[@]}" apt-get update -qq 2>&1 || true; } |
            grep -E '^E: |^W: (Failed to fetch|Some index files)' || true)
        if [[ -z $update_errors ]]; then break; fi
        printf 'apt-get update, try %d of 3, failed:\n%s\n' "$try" "$update_errors" >&2
        if ((try < 3)); then sleep $((try * ${KVMON_APT_RETRY_PAUSE:-5})); fi
    done

    "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >&2 && return 0

    local codename
    codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}" || true)
    if [[ -n $update_errors ]]; then
        printf 'these package indexes could not be read:\n%s\n' "$update_errors" >&2
    fi
    if [[ -z $codename ]]; then
        echo "install failed, and /etc/os-release names no VERSION_CODENAME to retry with" >&2
        return 1
    fi
    printf '==== install failed; trying again with the %s suite preferred (apt-get install -t %s)\n' \
        "$codename" "$codename" >&2
    "${sudo[@]}" apt-get install -y -qq -t "$codename" "${missing[@]}" >&2
}
