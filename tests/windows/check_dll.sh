#!/usr/bin/env bash
# Checks the shape of a built kvmon.dll: a 32-bit x86 PE image that exports exactly the two
# entry points by plain name, imports the spooler's ANSI functions from SPOOLSS.dll by plain
# name, depends on KERNEL32, USER32, ADVAPI32 and SPOOLSS alone, imports only functions the
# import profile (docs/imports.tsv) lists for that DLL and that no Windows 95, 98, 98 SE or ME
# lacks, has no TLS directory and no debug sections, and carries the Russian string table.
# Usage: check_dll.sh path/to/kvmon.dll
set -u

dll=${1:?usage: check_dll.sh path/to/kvmon.dll}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
here=$(cd "$(dirname "$0")" && pwd)
strings_h=${KVMON_STRINGS_H:-$here/../../resources/strings.h}
profile=${KVMON_IMPORTS_TSV:-$here/../../docs/imports.tsv}

failures=0
fail() {
    echo "FAIL: $1"
    echo "  expected: $2"
    echo "  actual:   $3"
    failures=$((failures + 1))
}
# Sorted, comma-joined list of the lines on stdin.
joined() { sort -f | paste -sd, -; }

[[ -f $dll ]] || { echo "FAIL: no such file: $dll"; exit 1; }
dump=$("$objdump" -p "$dll" 2>&1) || { echo "FAIL: $objdump -p $dll: $dump"; exit 1; }

# ---- image type ----
format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$dump" | head -1)
[[ $format == pei-i386 ]] || fail "image format" "pei-i386" "${format:-none}"
magic=$(awk '$1 == "Magic" { print $2, $3 }' <<<"$dump")
[[ $magic == "010b (PE32)" ]] || fail "optional header magic" "010b (PE32)" "${magic:-none}"
grep -q '^Characteristics' <<<"$dump" && ! grep -qx $'\tDLL' <<<"$dump" &&
    fail "image characteristics" "DLL" "not flagged as a DLL"

# ---- exports: the names of the [Ordinal/Name Pointer] table ----
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
               t && /^$/ { t = 0 }
               t && /^\t\[/ { sub(/^\t\[ *[0-9]+\] /, ""); print }' <<<"$dump" | joined)
want_exports=$(printf '%s\n' DllMain InitializeMonitorEx | joined)
[[ $exports == "$want_exports" ]] || fail "exported names" "$want_exports" "${exports:-none}"

# ---- imports: "DLL Name:" blocks and their member names ----
imports=$(awk '/^\tDLL Name: / { dll = $3; next }
               /^\tvma: / { next }
               /^$/ { dll = "" }
               dll != "" && /^\t[0-9a-f]+\t/ { print toupper(dll) "\t" $NF }' <<<"$dump")
dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$dump" | tr '[:lower:]' '[:upper:]' | joined)
allowed=(KERNEL32.DLL USER32.DLL ADVAPI32.DLL SPOOLSS.DLL)
for d in ${dlls//,/ }; do
    [[ " ${allowed[*]} " == *" $d "* ]] ||
        fail "imported DLL $d" "only $(IFS=,; echo "${allowed[*]}")" "$dlls"
done
grep -qw SPOOLSS.DLL <<<"${dlls//,/ }" || fail "SPOOLSS.dll import" "present" "${dlls:-no imports}"

spooler=$(awk -F'\t' '$1 == "SPOOLSS.DLL" { print $2 }' <<<"$imports" | joined)
want_spooler=$(printf '%s\n' OpenPrinterA ClosePrinter GetPrinterA GetPrinterDriverA SetPrinterA \
    SetJobA EnumPrintersA EnumPortsA EnumJobsA | joined)
[[ $spooler == "$want_spooler" ]] || fail "names imported from SPOOLSS.dll" "$want_spooler" "${spooler:-none}"
# The same functions must not come from winspool.drv or anywhere else either.
for name in ${want_spooler//,/ }; do
    other=$(awk -F'\t' -v n="$name" '$2 == n && $1 != "SPOOLSS.DLL" { print $1 }' <<<"$imports" | joined)
    [[ -z $other ]] || fail "$name imported elsewhere" "SPOOLSS.dll only" "$other"
done

# ---- import profile: every import listed for its DLL, none absent on a 9x release ----
if [[ -r $profile ]]; then
    header=$(head -1 "$profile")
    [[ $header == $'function\tdll\twin95\twin98\twin98se\twinme\tnt4\trestriction\tsource' ]] ||
        fail "import profile header" "function, dll, win95, win98, win98se, winme, nt4, restriction, source" "$header"
    while IFS=$'\t' read -r d name; do
        [[ -n $name ]] || continue
        row=$(awk -F'\t' -v n="$name" -v d="${d%.DLL}" 'NR > 1 && $1 == n && toupper($2) == d' "$profile")
        if [[ -z $row ]]; then
            fail "import $d!$name" "a row of $profile" "not listed"
            continue
        fi
        absent=$(awk -F'\t' '{ s = ""; split("win95 win98 win98se winme", os, " ")
                              for (i = 3; i <= 6; i++) if ($i == "absent") s = s (s ? "," : "") os[i - 2]
                              print s }' <<<"$row")
        [[ -z $absent ]] || fail "import $d!$name" "present on every 9x release" "absent on $absent"
    done <<<"$imports"
else
    fail "import profile" "readable $profile" "missing"
fi

# ---- loader: no TLS directory (Windows 95 refuses such a DLL), no debug sections ----
tls=$(awk '$1 == "Entry" && $2 == "9" { print $3, $4 }' <<<"$dump")
[[ -z $tls || $tls == "00000000 00000000" ]] || fail "TLS directory" "none" "$tls"
sections=$("$objdump" -h "$dll" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
grep -qx '.tls' <<<"$sections" && fail "sections" "no .tls" ".tls present"
debug=$(grep '^\.debug' <<<"$sections" | paste -sd, -)
[[ -z $debug ]] || fail "debug sections" "none (they ship in kvmon.dll.debug)" "$debug"

# ---- resources: string table in Russian (0x0419) holding the UTF-16 texts ----
# objdump prints the resource tree indented: type entries by 3 spaces, languages by 7.
langs=$(awk '/^[0-9a-f]+   Entry: ID: / { type = $4 }
             /^[0-9a-f]+       Entry: ID: / && type == "0x000006," { sub(/,$/, "", $4); print $4 }' <<<"$dump" |
    sort -u | paste -sd, -)
[[ $langs == 0x000419 ]] || fail "string table language" "0x000419" "${langs:-no string table}"

if [[ -r $strings_h ]]; then
    rsrc=$("$objdump" -s -j .rsrc "$dll" | awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5 && i <= NF; i++) if ($i ~ /^[0-9a-f]+$/) printf "%s", $i }')
    for macro in KVMON_TEXT_CONNECT_FAILED KVMON_TEXT_PRINTER_NAME; do
        text=$(sed -n "s/^#define $macro \"\(.*\)\"\$/\1/p" "$strings_h")
        [[ -n $text ]] || { fail "text $macro in $strings_h" "a #define" "not found"; continue; }
        # A string table entry is its UTF-16 length followed by the UTF-16LE characters.
        utf16=$(printf '%b' "$text" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -d ' \n')
        len=$(( ${#utf16} / 4 ))
        entry=$(printf '%02x%02x' $((len & 255)) $((len >> 8)))$utf16
        [[ $rsrc == *"$entry"* ]] ||
            fail "string $macro in .rsrc" "UTF-16LE, $len characters: ${utf16:0:48}..." "no such entry"
    done
else
    fail "string texts" "readable $strings_h" "missing"
fi

if ((failures)); then
    echo "$dll: $failures check(s) failed"
    exit 1
fi
echo "$dll: PE32 i386 DLL; exports $exports; SPOOLSS.dll: $spooler; DLLs: $dlls; $(wc -l <<<"$imports") imports in the profile, none absent on 9x; no TLS, no debug sections; strings 0x0419 ok"
