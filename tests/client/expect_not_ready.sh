#!/usr/bin/env bash
# A replay through a client that never raises ClientReady: done (exit 0),
# one warning line that says so, and no call into the client in the log.
#   expect_not_ready.sh NQWFP REPLAY-ARGUMENTS...
set -u
nqwfp=$1
shift
log=$("$nqwfp" replay "$@" --log - 2>/tmp/not-ready.$$)
status=$?
err=$(cat /tmp/not-ready.$$)
rm -f /tmp/not-ready.$$
echo "$err"
[ $status -eq 0 ] || { echo "FAILED: exit status $status"; exit 1; }
[ "$(grep -c 'warning' <<<"$err")" -eq 1 ] && grep -q 'warning: the client .* never raised ClientReady' <<<"$err" ||
  { echo "FAILED: no one-line warning"; exit 1; }
! grep -q '"call"' <<<"$log" || { echo "FAILED: calls went into the client"; exit 1; }
grep -q '"classify"' <<<"$log" || { echo "FAILED: nothing was replayed"; exit 1; }
