#!/usr/bin/env bash
# Records samples/demo.pcap, the capture that `make demo` replays: real
# servers (nginx, two busybox httpd, dnsmasq) in one network namespace, real
# clients (curl, dig) in another, the two joined by a veth pair, tcpdump on
# the client's side. No traffic leaves the two namespaces.
#
# For maintainers, not for `make test`: needs root, installs what it needs.
#   scripts/record-sample.sh [OUTPUT]     (default samples/demo.pcap)
set -euo pipefail

out=$(realpath -m "${1:-samples/demo.pcap}")
server_ns=nqwfp-server
client_ns=nqwfp-client
server=10.77.0.1
client=10.77.0.2

[ "$(id -u)" -eq 0 ] || { echo "record-sample: needs root (network namespaces)" >&2; exit 1; }

need=()
for p in iproute2 nginx-light dnsmasq-base busybox curl bind9-dnsutils tcpdump; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

work=$(mktemp -d)
cleanup() {
  set +e
  for pidfile in "$work"/*.pid; do [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null; done
  ip netns del "$server_ns" 2>/dev/null
  ip netns del "$client_ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Two namespaces joined by a veth pair; nothing else is routed.
ip netns add "$server_ns"
ip netns add "$client_ns"
ip link add nqwfp-srv netns "$server_ns" type veth peer name nqwfp-cli netns "$client_ns"
ip -n "$server_ns" addr add "$server/24" dev nqwfp-srv
ip -n "$client_ns" addr add "$client/24" dev nqwfp-cli
for ns in "$server_ns" "$client_ns"; do ip -n "$ns" link set lo up; done
ip -n "$server_ns" link set nqwfp-srv up
ip -n "$client_ns" link set nqwfp-cli up
# Small segments keep the sample small and show data split over packets.
ip -n "$client_ns" link set nqwfp-cli mtu 1000

# Servers: nginx on 80, busybox httpd on 8080 and 8081, dnsmasq on 53.
mkdir -p "$work/www"
printf '<html><body>nqwfp demo page</body></html>\n' > "$work/www/index.html"
printf 'hello from the demo server\n' > "$work/www/hello.txt"
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work;
  server { listen $server:80; root $work/www; }
}
CONF
ip netns exec "$server_ns" nginx -c "$work/nginx.conf"
for port in 8080 8081; do
  ip netns exec "$server_ns" busybox httpd -f -p "$server:$port" -h "$work/www" &
  echo $! > "$work/httpd-$port.pid"
done
ip netns exec "$server_ns" dnsmasq --no-resolv --no-hosts --bind-interfaces --listen-address="$server" \
  --port=53 --pid-file="$work/dnsmasq.pid" --address=/demo.test/$server --host-record=www.demo.test,$server \
  --user=root
sleep 1

# Capture on the client's side of the veth.
ip netns exec "$client_ns" tcpdump -i nqwfp-cli -s 0 -U -w "$work/capture.pcap" 2>"$work/tcpdump.log" &
echo $! > "$work/tcpdump.pid"
sleep 1

# Clients: dig from fixed source ports (the demo policy names them) and curl.
ip netns exec "$client_ns" dig +tries=1 +time=2 -b "$client#5300" @"$server" www.demo.test A > /dev/null
ip netns exec "$client_ns" curl -s -o /dev/null "http://$server/"
ip netns exec "$client_ns" curl -s -o /dev/null "http://$server/hello.txt"
ip netns exec "$client_ns" dig +tries=1 +time=2 -b "$client#5301" @"$server" demo.test A > /dev/null
ip netns exec "$client_ns" curl -s -o /dev/null "http://$server:8080/hello.txt"
ip netns exec "$client_ns" curl -s -o /dev/null "http://$server:8081/"
ip netns exec "$client_ns" dig +tries=1 +time=2 -b "$client#5302" @"$server" demo.test TXT > /dev/null
sleep 1

kill -INT "$(cat "$work/tcpdump.pid")"
wait "$(cat "$work/tcpdump.pid")" 2>/dev/null || true
rm -f "$work/tcpdump.pid"
mkdir -p "$(dirname "$out")"
cp "$work/capture.pcap" "$out"
echo "record-sample: wrote $out ($(stat -c %s "$out") bytes): $(cat "$work/tcpdump.log" | tail -1)"
