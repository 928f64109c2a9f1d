#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when
# they are missing. Needs root (apt-get), as on the project's machines.
#
#   scripts/install-deps.sh          what make demo and the Linux builds need
#   scripts/install-deps.sh image    also Wine (wine, wine32:i386), for make image-test
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib   # host32 and host64
  g++-mingw-w64-i686                   # the windows image
  googletest                           # GoogleTest sources, built per flavour
  libbenchmark-dev                     # make bench
  libhttp-parser-dev                   # parser comparison in the benchmark
  libh2o-evloop0.13                    # its copy of picohttpparser, the other one
  clang libclang-rt-14-dev             # libFuzzer
  libpcap-dev                          # capture replay, host64
  libpcap0.8-dev:i386                  # capture replay, host32 (g++ -m32 links the i386 library)
  libfmt-dev                           # the replay's log writer, header-only for host32 and host64
  tcpdump time                         # make bench: the replay's scaling against tcpdump
  tshark                               # the replay's pcapng output read back (ctest ReplayCaptureTshark)
)
if [ "${1:-}" = image ]; then
  packages+=(wine wine32:i386)         # the driver image under Wine (make image-test)
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

# The i386 libpcap comes from Debian's multiarch archive.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture (for libpcap0.8-dev:i386 and wine32)"
  $SUDO dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# host32 and Wine need a kernel that runs i386 code, or an emulator for it.
"$(dirname "$0")/enable-i386.sh"
