#!/usr/bin/env bash
# Runs a command that must fail: exit status 1 and, on standard error, a
# line matching the pattern. With --one-line, standard error must be that
# one line and nothing else.
#   expect_failure.sh [--one-line] PATTERN COMMAND...
set -u
oneLine=0
if [ "$1" = --one-line ]; then oneLine=1; shift; fi
pattern=$1
shift
err=$("$@" 2>&1 >/dev/null)
status=$?
echo "$err"
[ $status -eq 1 ] || { echo "FAILED: exit status $status, not 1"; exit 1; }
grep -Eq -- "$pattern" <<<"$err" || { echo "FAILED: no line matches '$pattern'"; exit 1; }
if [ $oneLine -eq 1 ] && [ "$(wc -l <<<"$err")" -ne 1 ]; then echo "FAILED: more than one line"; exit 1; fi
exit 0
