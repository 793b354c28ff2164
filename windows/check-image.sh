#!/usr/bin/env bash
# Verifies that a built quadhdmi.sys is a loadable kernel driver image:
#   PE32+ for AMD64, native subsystem, entry point DriverEntry, imports only from ks.sys,
#   ntoskrnl.exe and hal.dll, no TLS, no C run-time start-up, no dynamic initialisers.
# Usage: check-image.sh <image> [objdump]
set -u
image=${1:?usage: check-image.sh <image> [objdump]}
objdump=${2:-x86_64-w64-mingw32-objdump}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok:   $*"; }

[ -f "$image" ] || { echo "FAIL: no image at $image"; exit 1; }
headers=$("$objdump" -p "$image" 2>&1) || { echo "FAIL: $objdump cannot read $image"; echo "$headers"; exit 1; }
sections=$("$objdump" -h "$image" 2>&1)
symbols=$("$objdump" -t "$image" 2>/dev/null)

# Format and machine.
if grep -q "file format pei-x86-64" <<<"$headers" && grep -Eq "^Magic[[:space:]]+020b" <<<"$headers"; then
    ok "PE32+ image for AMD64"
else
    fail "not a PE32+ AMD64 image"
fi

# Subsystem 1 is native (kernel mode).
if grep -Eq "^Subsystem[[:space:]]+0*1[[:space:]]+\(NT native\)" <<<"$headers"; then
    ok "subsystem native"
else
    fail "subsystem is not native: $(grep -E '^Subsystem' <<<"$headers")"
fi

# Imports: every DLL name must be one of the three kernel modules.
dlls=$(grep -E "^[[:space:]]*DLL Name:" <<<"$headers" | sed -E 's/^[[:space:]]*DLL Name:[[:space:]]*//' | tr -d '\r')
if [ -z "$dlls" ]; then
    fail "the image imports nothing (ks.sys and ntoskrnl.exe are expected)"
fi
bad=0
while read -r dll; do
    [ -z "$dll" ] && continue
    case "${dll,,}" in
        ks.sys|ntoskrnl.exe|hal.dll) ;;
        *) fail "import from $dll"; bad=1 ;;
    esac
done <<<"$dlls"
[ $bad -eq 0 ] && [ -n "$dlls" ] && ok "imports only from: $(tr '\n' ' ' <<<"$dlls")"

# No thread-local storage: no .tls section and an empty TLS directory.
tls_dir=$(grep -E "Thread Storage Directory" <<<"$headers" | awk '{print $3}')
if grep -Eq "[[:space:]]\.tls[[:space:]]" <<<"$sections" || { [ -n "$tls_dir" ] && [ $((16#$tls_dir)) -ne 0 ]; }; then
    fail "the image has thread-local storage"
else
    ok "no TLS"
fi

# No dynamic initialisers: no .ctors/.init_array section with content, and the constructor list
# that mingw's linker script places in .text (between __CTOR_LIST__ and __DTOR_LIST__, two
# sentinels of 8 bytes) holds no entry.
ctor_sections=0
while read -r _ name size _; do
    case "$name" in
        .ctors*|.init_array*) [ $((16#$size)) -ne 0 ] && ctor_sections=1 ;;
    esac
done < <(grep -E "^[[:space:]]*[0-9]+[[:space:]]+\." <<<"$sections")
if [ $ctor_sections -ne 0 ]; then
    fail "the image has a .ctors/.init_array section with content"
else
    ctor=$(awk '$NF == "__CTOR_LIST__" || $NF == "___CTOR_LIST__" {print $(NF-1); exit}' <<<"$symbols" | sed -E 's/^0x//')
    dtor=$(awk '$NF == "__DTOR_LIST__" || $NF == "___DTOR_LIST__" {print $(NF-1); exit}' <<<"$symbols" | sed -E 's/^0x//')
    if [ -n "$ctor" ] && [ -n "$dtor" ]; then
        span=$((16#$dtor - 16#$ctor))
        if [ $span -eq 16 ]; then
            ok "no dynamic initialisers"
        else
            fail "dynamic initialisers present (constructor list spans $span bytes)"
        fi
    elif [ -z "$symbols" ] || ! grep -q "SYMBOL TABLE" <<<"$symbols"; then
        fail "no symbol table to look for dynamic initialisers in (do not strip before the check)"
    else
        ok "no dynamic initialisers (no constructor list)"
    fi
fi

# No C run-time start-up: the entry point is DriverEntry itself, and no start-up routine is linked.
entry=$(grep -E "^AddressOfEntryPoint" <<<"$headers" | awk '{print $2}')
base=$(grep -E "^ImageBase" <<<"$headers" | awk '{print $2}')
# Symbol values are offsets in their section (numbered from 1 in the symbol table, from 0 in the
# section table).
driver_entry=""
entry_line=$(grep -E "\) 0x[0-9a-fA-F]+ DriverEntry$" <<<"$symbols" | head -n 1)
if [ -n "$entry_line" ]; then
    sec=$(sed -E 's/.*\(sec +([0-9]+)\).*/\1/' <<<"$entry_line")
    value=$(awk '{print $(NF-1)}' <<<"$entry_line" | sed -E 's/^0x//')
    vma=$(awk -v idx=$((sec - 1)) '$1 == idx {print $4; exit}' <<<"$sections")
    [ -n "$vma" ] && driver_entry=$(printf '%x' $((16#$vma + 16#$value)))
fi
if [ -z "$driver_entry" ]; then
    fail "no DriverEntry symbol"
elif [ -z "$entry" ] || [ -z "$base" ] || [ $((16#$entry + 16#$base)) -ne $((16#$driver_entry)) ]; then
    fail "entry point ($entry) is not DriverEntry ($driver_entry)"
else
    ok "entry point is DriverEntry"
fi
crt=$(awk '{print $NF}' <<<"$symbols" | grep -E '^_*(mainCRTStartup|wmainCRTStartup|WinMainCRTStartup|DllMainCRTStartup|_CRT_INIT|tmainCRTStartup|pei386_runtime_relocator|dyn_tls_init|do_global_ctors|main)$' | sort -u | tr '\n' ' ')
if [ -n "$crt" ]; then
    fail "C run-time start-up code linked: $crt"
else
    ok "no C run-time start-up"
fi

if [ $failures -ne 0 ]; then
    echo "$image: $failures check(s) failed"
    exit 1
fi
echo "$image: image checks passed"
