#!/usr/bin/env bash
# Runs a test program of build/image under Wine, in the prefix that
# run-image-tests.sh made next to the program's folder.
set -euo pipefail
program=$1
shift
export WINEPREFIX=${NQ_WINEPREFIX:-$(cd "$(dirname "$program")/.." && pwd)/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$program" "$@"
