#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when
# they are missing. Needs root (apt-get), as on the project's machines.
#
#   scripts/install-deps.sh          everything the builds and the tests need (make test)
#   scripts/install-deps.sh demo     only what the nqwfp tool needs, host32 (make demo)
#   scripts/install-deps.sh image    everything, and Wine (wine, wine32:i386), for make image-test
set -euo pipefail

# The nqwfp tool for host32: the driver, the host platform and the replay.
tool_packages=(
  cmake ninja-build g++ g++-multilib   # host32 (g++ -m32)
  libpcap0.8-dev:i386                  # capture replay, host32 (g++ -m32 links the i386 library)
  libcli11-dev                         # the tool's command line (header-only)
  libfmt-dev                           # the replay's log writer (header-only)
)
# The other flavours, the tests, the benchmarks and the fuzzers.
other_packages=(
  g++-mingw-w64-i686                   # the windows image
  googletest                           # GoogleTest sources, built per flavour
  libbenchmark-dev                     # make bench
  libhttp-parser-dev                   # parser comparison in the benchmark
  libh2o-evloop0.13                    # its copy of picohttpparser, the other one
  clang libclang-rt-14-dev             # libFuzzer
  libpcap-dev                          # capture replay, host64
  tcpdump time                         # make bench: the replay's scaling against tcpdump
  tshark                               # the replay's pcapng output read back (ctest ReplayCaptureTshark)
  jq                                   # README's jq examples run on the demo's log (ctest ReplayLogJq)
)
packages=("${tool_packages[@]}")
case "${1:-}" in
  demo) ;;
  image) packages+=("${other_packages[@]}" wine wine32:i386) ;;  # the driver image under Wine (make image-test)
  "") packages+=("${other_packages[@]}") ;;
  *) echo "install-deps.sh: unknown group '$1' (none, demo or image)" >&2; exit 2 ;;
esac

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
