# Sourced by scripts/test-wine for --install PACKAGE.zip; uses its in_wine, make_prefix,
# run_runner, log, $build and $wine_lib. In a fresh prefix:
#  1. install: kvmon.inf's DefaultInstall through setupapi's InstallHinfSection, run by the
#     32-bit rundll32 (a 32-bit system folder, as on the systems the monitor is made for);
#     the DLL must be in the system folder, byte for byte the package's, and the monitor key
#     must hold "Driver" and "ReadCycle";
#  2. the runner's InstalledMonitorTest cases load the installed DLL with that key as the
#     registry root (they leave ReadCycle at 3000);
#  3. installing again keeps that ReadCycle;
#  4. DefaultUninstall removes the DLL and the key;
#  5. the runner's KvmonInf cases: installing from a folder without kvmon.dll fails, with
#     the missing file reported by setupapi, and registers nothing. (Wine's own default
#     handler, behind rundll32, asks for the file again and again instead of prompting.)
# Prints the runners' summaries, each failed check with expected and actual values, and
# "N passed, N failed"; returns non-zero on any failure.

install_key='HKLM\System\CurrentControlSet\Control\Print\Monitors\Kestravon Language Monitor'
install_passed=0
install_failed=0

# install_check WHAT EXPECTED ACTUAL
install_check() {
    if [[ $2 == "$3" ]]; then
        install_passed=$((install_passed + 1))
    else
        printf 'FAIL: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
        install_failed=$((install_failed + 1))
    fi
}

# The monitor key's values as "NAME TYPE DATA" lines, or "absent".
install_values() {
    local out
    if ! out=$(in_wine "$wine_lib/wine64" reg query "$install_key" 2>/dev/null); then
        echo absent
        return
    fi
    tr -d '\r' <<<"$out" | awk '$2 ~ /^REG_/ { print $1, $2, $3 }'
}

# install_inf SECTION INF_WINDOWS_PATH: the 32-bit rundll32, as an installer would run it;
# its output goes to the log.
install_inf() {
    in_wine "$wine_lib/wine" 'C:\windows\syswow64\rundll32.exe' \
        setupapi.dll,InstallHinfSection "$1" 128 "$2" >>"$install_log" 2>&1 || true
    in_wine "$wine_lib/wineserver" -w
}

# install_runner FILTER: the runner's cases matching FILTER; their passes count as checks.
install_runner() {
    local out=$build/wine-install-${1%%.*}.log status ran
    set +e
    run_runner --gtest_filter="$1" >"$out" 2>&1
    status=$?
    set -e
    sed -n '/^\[==========\] .* ran\./,$p' "$out" | grep -v 'wrong ELF class' || true
    ran=$(sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) test.*/\1/p' "$out" | tail -1)
    install_passed=$((install_passed + ${ran:-0}))
    if ((status != 0 || ${ran:-0} == 0)); then
        echo "FAIL: the runner ($1) ended with status $status; its output: $out"
        tail -20 "$out"
        install_failed=$((install_failed + 1))
    fi
}

install_test() {
    local zip=$1 start=$SECONDS name dll
    install_packages unzip
    install_log=$build/wine-install.log
    : >"$install_log"
    export WINEPREFIX=$build/wineprefix-install
    rm -rf "$WINEPREFIX"
    make_prefix >>"$install_log" 2>&1

    # The package as an integrator unpacks it, in C:\kvmon-package.
    local unpack=$WINEPREFIX/drive_c/kvmon-package
    mkdir -p "$unpack"
    (cd "$unpack" && unzip -q "$zip")
    name=$(basename "$zip" .zip)
    local inf="C:\\kvmon-package\\$name\\kvmon.inf"
    local sysdir=$WINEPREFIX/drive_c/windows/syswow64
    log "install test: $name into $WINEPREFIX"

    install_inf DefaultInstall "$inf"
    if cmp -s "$unpack/$name/kvmon.dll" "$sysdir/kvmon.dll"; then dll=installed; else dll="missing or different"; fi
    install_check "kvmon.dll in the system folder (syswow64)" installed "$dll"
    install_check "values of the monitor key" "Driver REG_SZ kvmon.dll|ReadCycle REG_DWORD 0x7d0" \
        "$(install_values | paste -sd'|')"

    KVMON_INSTALLED_DLL='C:\windows\system32\kvmon.dll' install_runner 'InstalledMonitorTest.*'

    install_inf DefaultInstall "$inf"
    install_check "values after installing again (a set ReadCycle is kept)" \
        "Driver REG_SZ kvmon.dll|ReadCycle REG_DWORD 0xbb8" "$(install_values | paste -sd'|')"

    install_inf DefaultUninstall "$inf"
    if [[ -e $sysdir/kvmon.dll ]]; then dll=present; else dll=absent; fi
    install_check "kvmon.dll after DefaultUninstall" absent "$dll"
    install_check "monitor key after DefaultUninstall" absent "$(install_values)"

    KVMON_PACKAGE_INF=$inf install_runner 'KvmonInf.*'
    in_wine "$wine_lib/wineserver" -k 2>/dev/null || true

    echo "Install test took $((SECONDS - start)) s; Wine output: $install_log"
    echo "$install_passed passed, $install_failed failed"
    ((install_failed == 0))
}
