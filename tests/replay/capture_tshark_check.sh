#!/usr/bin/env bash
# tshark reads what `nqwfp replay --write` and `--write-passed` make of the
# demo capture and the HTTP sample: without a warning, with valid checksums
# on every packet the driver injected, the answered requests found by their
# comments, the client's replies as the application received them, byte for
# byte, the exempted request re-sent once, and the interfaces described.
#
#   capture_tshark_check.sh NQWFP SAMPLES_DIR OUT_DIR
set -euo pipefail
nqwfp=$1 samples=$2 out=$3
mkdir -p "$out"
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v tshark >/dev/null || fail "tshark is not installed (scripts/install-deps.sh installs it)"
# tshark, failing on any message it gives (but the one for running as root).
tshark() {
  command tshark "$@" 2>"$out/tshark.err" || { cat "$out/tshark.err" >&2; return 1; }
  if grep -v '^Running as user' "$out/tshark.err" | grep -q .; then cat "$out/tshark.err" >&2; return 1; fi
}

for sample in demo http; do
  "$nqwfp" replay "$samples/$sample.pcap" --local 10.77.0.2 --policy "$samples/$sample.policy" --no-progress \
    --write "$out/$sample.pcapng" --write-passed "$out/$sample-passed.pcapng" 2>"$out/$sample.summary" ||
    fail "the replay of $sample failed: $(cat "$out/$sample.summary")"
  for f in "$sample" "$sample-passed"; do
    tshark -r "$out/$f.pcapng" >/dev/null || fail "tshark warns about $f.pcapng"
    bad=$(tshark -r "$out/$f.pcapng" -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE \
      -Y 'frame.interface_id == 1 && (ip.checksum.status == "Bad" || tcp.checksum.status == "Bad" || _ws.malformed)')
    [ -z "$bad" ] || fail "injected packets in $f.pcapng with bad checksums: $bad"
  done
done

# Both interfaces name the local address and the policy file.
descriptions=$(tshark -r "$out/demo.pcapng" -T fields -e frame.interface_description | sort -u)
[ "$(echo "$descriptions" | grep -c "local host 10.77.0.2, policy $samples/demo.policy")" = 2 ] ||
  fail "interface descriptions: $descriptions"

# The answered requests' segments, found by their comment.
answered=$(tshark -r "$out/demo.pcapng" -Y 'frame.comment contains "answered"' -T fields -e tcp.stream)
[ "$(echo "$answered" | sort -u | wc -w)" = 2 ] || fail "the demo's two answered requests not found: '$answered'"

# Follow TCP Stream: the bytes from the server's end are the client's replies,
# byte for byte. In the whole file, the server's own answer (not delivered)
# is left out with a read filter.
hex() { od -An -tx1 -v | tr -d ' \n'; }
received() {  # FILE STREAM [READ_FILTER]
  tshark -r "$1" ${3:+-2 -R "$3"} -q -z "follow,tcp,raw,$2" | sed -n 's/^\t//p' | tr -d '\n'
}
want=$(for reply in demo-url-reply.http demo-blocked.http; do hex <"$samples/$reply"; echo; done | sort)
for file in demo demo-passed; do
  filter=""
  [ $file = demo ] && filter='not frame.comment contains "not delivered"'
  streams=$(tshark -r "$out/$file.pcapng" -Y 'frame.comment contains "reply to the local application"' \
    -T fields -e tcp.stream | sort -u)
  got=$(for stream in $streams; do received "$out/$file.pcapng" "$stream" "$filter"; echo; done | sort)
  [ "$got" = "$want" ] || fail "the replies in $file.pcapng differ from the reply files: $got"
done

# The exempted request goes out once, re-sent by the driver.
resent=$(tshark -r "$out/http-passed.pcapng" -Y 'tcp contains "X-Allow"' -T fields -e frame.comment)
[ "$resent" = "re-injected by nqwfpdrv" ] || fail "the re-sent request in http-passed.pcapng: '$resent'"
[ "$(tshark -r "$out/http.pcapng" -Y 'frame.comment contains "re-injected by nqwfpdrv" && tcp contains "X-Allow"' |
  wc -l)" = 1 ] || fail "the re-sent request is not in http.pcapng once"

# A path that cannot be written: one line, status 1, nothing replayed.
set +e
message=$("$nqwfp" replay "$samples/demo.pcap" --write /nonexistent/folder/out.pcapng 2>&1)
status=$?
set -e
[ $status = 1 ] && [ "$(echo "$message" | wc -l)" = 1 ] || fail "unwritable --write: status $status, '$message'"
echo "captures of demo and http read by tshark as expected"
