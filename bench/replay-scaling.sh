#!/usr/bin/env bash
# The replay at scale: captures of 100k, 200k and 400k packets made from the
# sample (bench/make-capture.py), each replayed with its JSON log going to a
# file and again without a log, with bench/replay.policy and with every
# accept and connect pended (bench/replay-pended.policy). Prints, per run,
# packets per second of the whole nqwfp process and its peak resident
# memory, and the ratio of that rate to tcpdump's reading the same file
# (`tcpdump -r FILE -w /dev/null`, and printing it: `tcpdump -nr FILE
# >/dev/null`); then one line for the largest capture:
#   replay: with log X.XX of tcpdump -nr, without log Y.YY, pended Z.ZZ (400k packets)
#
#   bench/replay-scaling.sh [BUILD_DIR]   (default build/host64)
#
# SIZES (packets, "100000 200000 400000") and REPEAT (best of, 3) can be set
# in the environment. Captures and logs go to $BUILD_DIR/bench-replay.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/host64}
nqwfp=${NQWFP:-$build/tools/nqwfp}
work=$build/bench-replay
sizes=${SIZES:-100000 200000 400000}
repeat=${REPEAT:-3}

for tool in tcpdump /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "replay-scaling: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$nqwfp" ] || { echo "replay-scaling: no $nqwfp (make host64)" >&2; exit 1; }
mkdir -p "$work"

# Seconds a command takes, best of $repeat, its output thrown away.
best_seconds() {
  local best="" start end s
  for _ in $(seq "$repeat"); do
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    s=$(( end - start ))
    if [ -z "$best" ] || [ "$s" -lt "$best" ]; then best=$s; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }'
}

# One replay, best of $repeat: "seconds peak_rss_kb" (the largest peak);
# without a log when LOG is empty.
replay_run() {
  local capture=$1 policy=$2 log=$3 best="" rss=0 start end ns kb
  local logging=()
  [ -n "$log" ] && logging=(--log "$log")
  for _ in $(seq "$repeat"); do
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$work/rss.txt" \
      "$nqwfp" replay "$capture" --local 10.77.0.2 --policy "$policy" "${logging[@]}" --no-progress \
      >/dev/null 2>"$work/replay.err" || {
      echo "replay-scaling: the replay of $capture failed:" >&2; tail -n 20 "$work/replay.err" >&2; exit 1; }
    end=$(date +%s%N)
    ns=$(( end - start ))
    kb=$(tail -n 1 "$work/rss.txt")
    [ "$kb" -gt "$rss" ] && rss=$kb
    if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
  done
  awk -v ns="$best" -v kb="$rss" 'BEGIN { printf "%.4f %d\n", ns / 1e9, kb }'
}

echo "replay scaling, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, best of $repeat; log to a file, and none"
printf '%-8s %-7s %9s %10s %9s %11s %7s %11s %7s %12s %7s\n' policy packets seconds packets/s 'peak MB' \
  'tcpdump -w' ratio 'tcpdump -nr' ratio 'no log s' ratio
last=""
for n in $sizes; do
  capture=$work/sample-$n.pcap
  if [ ! -s "$capture" ] || [ "$capture" -ot "$root/bench/make-capture.py" ]; then
    python3 "$root/bench/make-capture.py" "$root/samples/demo.pcap" "$capture" "$n" 2>/dev/null
  fi
  write=$(best_seconds tcpdump -r "$capture" -w /dev/null)
  print=$(best_seconds tcpdump -nr "$capture")
  ratios=""
  for policy in replay replay-pended; do
    name=${policy#replay}; name=${name#-}; name=${name:-demo}
    read -r seconds rss < <(replay_run "$capture" "$root/bench/$policy.policy" "$work/$policy-$n.jsonl")
    read -r bare bareRss < <(replay_run "$capture" "$root/bench/$policy.policy" "")
    [ "$bareRss" -gt "$rss" ] && rss=$bareRss
    awk -v name="$name" -v n="$n" -v s="$seconds" -v b="$bare" -v kb="$rss" -v w="$write" -v p="$print" 'BEGIN {
      rate = n / s; wr = n / w; pr = n / p
      printf "%-8s %-7d %9.3f %10.0f %9.1f %11.0f %7.2f %11.0f %7.2f %12.3f %7.2f\n", name, n, s, rate, kb / 1024, wr,
        rate / wr, pr, rate / pr, b, n / b / pr
    }'
    ratios="$ratios $(awk -v p="$print" -v s="$seconds" -v b="$bare" 'BEGIN { printf "%.2f %.2f", p / s, p / b }')"
  done
  last="$n$ratios"
done
read -r n logRatio bareRatio pendedRatio _ <<<"$last"
echo "replay: with log $logRatio of tcpdump -nr, without log $bareRatio, pended $pendedRatio ($((n / 1000))k packets)"
