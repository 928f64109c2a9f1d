#!/usr/bin/env bash
# Runs the tests of build/image (tests/image/CMakeLists.txt) on the driver
# image under Wine and ends with one line: nqwfpdrv.sys under Wine: N passed,
# N failed.
#
#   tests/image/run-image-tests.sh BUILD_DIR [ctest arguments...]
#
# The Wine prefix is private to the build folder (BUILD_DIR/wineprefix). The
# test program, and it alone, loads the native kernel modules next to it
# (ntoskrnl.exe, HAL.dll, NDIS.SYS, fwpkclnt.sys) instead of Wine's own:
# per-program overrides under AppDefaults, so Wine's services keep theirs.
set -uo pipefail

# On a kernel that runs no i386 code, scripts/enable-i386.sh hands i386
# programs to qemu-i386; Wine's loader does not start under it (it hangs
# before the first DLL), so the image cannot run there.
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo "nqwfpdrv.sys under Wine: not run: this kernel runs no i386 code, and Wine does not start under qemu-i386"
  exit 0
fi

build=$(cd "$1" && pwd)
shift
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
program=nqwfp_image_tests.exe

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX (the first boot takes a while)"
  mkdir -p "$WINEPREFIX"
  # No Mono or Gecko installer for this one boot: nothing here needs them.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >"$build/wineboot.log" 2>&1 </dev/null
fi

# The wineserver outlives the test processes; its output goes to a file, so
# that no pipe of ours stays open behind it.
wineserver -p >"$build/wineserver.log" 2>&1 </dev/null &
trap 'wineserver -k >/dev/null 2>&1 </dev/null || true' EXIT

cat >"$build/overrides.reg" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\$program\\DllOverrides]
"ntoskrnl.exe"="native"
"hal"="native"
"ndis.sys"="native"
"fwpkclnt.sys"="native"
REG
wine regedit /S "$(winepath -w "$build/overrides.reg")" >/dev/null 2>&1 </dev/null

ctest --test-dir "$build" --output-on-failure --no-tests=error "$@" 2>&1 | tee "$build/image-tests.log"
status=${PIPESTATUS[0]}
summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$build/image-tests.log" | tail -n 1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
failed=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$summary")
if [ -z "$summary" ]; then total=0 failed=0 status=1; fi
echo "nqwfpdrv.sys under Wine: $((total - failed)) passed, $failed failed"
exit "$status"
