#!/usr/bin/env bash
# Replays a capture twice, once with the stand-in client answering from a
# policy and once with a client driver whose own policy is the same, and
# checks that the two logs agree line for line: every call with its
# arguments and result, every classify verdict and every injection. Only
# the addresses of reply objects differ (each client makes its own).
#   same_as_stand_in.sh NQWFP CLIENT.so CAPTURE POLICY [CLIENT-ARG]
set -u
nqwfp=$1 client=$2 capture=$3 policy=$4 arg=${5:-}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
clientArgs=(--client "$client")
[ -n "$arg" ] && clientArgs+=(--client-arg "$arg")
"$nqwfp" replay "$capture" --local 10.77.0.2 --policy "$policy" --log "$dir/stand-in.jsonl" --no-progress \
  2>"$dir/stand-in.txt" || { cat "$dir/stand-in.txt"; exit 1; }
"$nqwfp" replay "$capture" --local 10.77.0.2 --policy "$policy" "${clientArgs[@]}" --log "$dir/client.jsonl" \
  --no-progress 2>"$dir/client.txt" || { cat "$dir/client.txt"; exit 1; }
normalize() { sed -E 's/"replyObject":[1-9][0-9]*/"replyObject":"(object)"/' "$1"; }
calls=$(grep -c '"call"' "$dir/client.jsonl")
[ "$calls" -gt 0 ] || { echo "FAILED: no call into the client"; exit 1; }
if ! diff <(normalize "$dir/stand-in.jsonl") <(normalize "$dir/client.jsonl") >"$dir/diff"; then
  head -40 "$dir/diff"
  echo "FAILED: the client's log differs from the stand-in's"
  exit 1
fi
# The summaries agree too, but for the run's duration.
diff <(grep -v '^replay time:' "$dir/stand-in.txt") <(grep -v '^replay time:' "$dir/client.txt") ||
  { echo "FAILED: the summaries differ"; exit 1; }
echo "$calls calls, verdicts and injections as the stand-in's"
