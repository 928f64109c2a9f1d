#!/usr/bin/env bash
# host32 programs (and Wine's 32-bit loader) are i386 code. Some kernels run
# none (IA-32 emulation off: execve of an i386 program fails with "Exec format
# error"). There, i386 programs are handed to QEMU's user-mode emulator
# through binfmt_misc, as on a machine of another architecture, so that every
# build, test and tool runs unchanged. Needs root; does nothing where i386
# code runs natively.
set -euo pipefail

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
echo 'int main(void) { return 0; }' >"$probe_dir/probe.c"
gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe"
"$probe_dir/probe" 2>/dev/null && exit 0

echo "this kernel runs no i386 code: running it under qemu-i386 (binfmt_misc)"
if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed"; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user-static
fi
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-i386" ]; then
  # ELF32, little-endian, executable or shared object, machine EM_386. F: the
  # emulator is opened now, so that it serves in every mount namespace.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" | $SUDO tee "$binfmt/register" >/dev/null
fi
"$probe_dir/probe" || { echo "i386 programs still do not run" >&2; exit 1; }
