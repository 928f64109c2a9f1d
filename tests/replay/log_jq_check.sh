#!/usr/bin/env bash
# The log and the summary as a script reads them: the demo's replay with its
# policy, every log line JSON with its type, packet and flow, the summary
# file JSON, and the jq examples README shows, run as shown, giving what
# they promise. Without jq the test is skipped (exit 77).
#   log_jq_check.sh NQWFP SOURCE-DIR WORK-DIR
set -u
nqwfp=$1 root=$2 work=$3
command -v jq >/dev/null || { echo "jq not installed: skipped"; exit 77; }
mkdir -p "$work/build"
cd "$work" || exit 1
"$nqwfp" replay "$root/samples/demo.pcap" --local 10.77.0.2 --policy "$root/samples/demo.policy" \
  --log build/demo-replay.jsonl --summary-json build/summary.json --no-progress 2>/dev/null ||
  { echo "FAILED: the replay"; exit 1; }
fail() { echo "FAILED: $*"; exit 1; }

jq -s -e 'all(has("type") and has("packet") and has("flow"))' build/demo-replay.jsonl >/dev/null ||
  fail "a line without its type, packet or flow"
[ "$(jq -r .type build/demo-replay.jsonl | sort -u | tr '\n' ' ')" = "call classify http injection lookup " ] ||
  fail "types: $(jq -r .type build/demo-replay.jsonl | sort -u | tr '\n' ' ')"
jq -s -e 'map(select(.processId != null)) | length > 0 and all(.process != null)' build/demo-replay.jsonl >/dev/null ||
  fail "a process id without its name"
jq -e '.flows.tcp.pendedPermitted == 1 and .flows.udp.pendedBlocked == 1 and .stream.answeredFlows == 2' \
  build/summary.json >/dev/null || fail "the summary's figures: $(cat build/summary.json)"

# README's examples, each one line beginning with "jq", run as they stand.
mapfile -t examples < <(grep -E '^    jq .*build/demo-replay\.jsonl$' "$root/README.md" | sed 's/^    //')
[ ${#examples[@]} -eq 3 ] || fail "README shows ${#examples[@]} jq examples, not 3"
expected=(3 2 20)  # requests put to the client, pended decisions, lines of flow 5
for i in 0 1 2; do
  out=$(bash -c "${examples[$i]}") || fail "example $((i + 1)) exits non-zero: ${examples[$i]}"
  lines=$(grep -c . <<<"$out")
  [ "$lines" -eq "${expected[$i]}" ] || fail "example $((i + 1)) gives $lines lines, not ${expected[$i]}: ${examples[$i]}"
done
grep -q '"outcome":"url-reply"' <<<"$(bash -c "${examples[0]}")" || fail "no URL reply among the requests"
echo "log and summary read as README shows"
