#!/usr/bin/env bash
# Checks the windows driver image: PE32, machine i386, native subsystem,
# entry point DriverEntry, imports only from the four platform modules, and
# no static constructors (the kernel would never run them), and the imports
# of the stream layer by their plain names (not for a client driver's image,
# third argument "client", which has none).
set -u
image=$1
objdump=${2:-i686-w64-mingw32-objdump}
kind=${3:-driver}
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

headers=$($objdump -p "$image")
sections=$($objdump -h "$image")
check "file format pei-i386" "grep -q 'file format pei-i386' <<<\"\$headers\""
check "PE32 optional header (magic 010b)" "grep -Eq '^Magic[[:space:]]+010b' <<<\"\$headers\""
check "subsystem native (1)" "grep -Eq '^Subsystem[[:space:]]+0+1[[:space:]]+\(NT native\)' <<<\"\$headers\""

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
nm=${objdump%objdump}nm
sym_addr=$($nm "$image" | awk '$3 == "_DriverEntry@8" {print $1}')
if [ -n "$sym_addr" ] && [ -n "$entry" ] && [ -n "$base" ]; then
  check "entry point is DriverEntry" "[ $(( 0x$sym_addr - 0x$base )) -eq $(( 0x$entry )) ]"
else
  check "entry point is DriverEntry (symbol found)" "false"
fi

dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u)
echo "imports from: $(echo $dlls)"
check "imports at least ntoskrnl.exe" "grep -qx 'ntoskrnl.exe' <<<\"\$dlls\""
for dll in $dlls; do
  case "$dll" in
    ntoskrnl.exe|hal.dll|ndis.sys|fwpkclnt.sys) ;;
    *) check "no import from $dll" "false" ;;
  esac
done
# The stream layer's platform calls, imported by their undecorated names.
[ "$kind" = client ] || for name in FwpsFlowAssociateContext0 FwpsCopyStreamDataToBuffer0 FwpsStreamInjectAsync0 \
            FwpsAllocateNetBufferAndNetBufferList0 FwpsFreeNetBufferList0 IoAllocateMdl IoFreeMdl \
            MmBuildMdlForNonPagedPool _vsnprintf; do
  check "imports $name" "grep -Eq '^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+$name\$' <<<\"\$headers\""
done
check "relocations kept (.reloc)" "grep -q '\.reloc' <<<\"\$sections\""
check "no static constructors (.ctors/.CRT)" "! grep -Eq '\.ctors|\.CRT' <<<\"\$sections\""
[ $fail -eq 0 ] && echo "windows image ($kind): all checks passed"
exit $fail
