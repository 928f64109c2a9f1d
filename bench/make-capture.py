#!/usr/bin/env python3
"""Makes a large capture from a small one by repeating its packets.

    bench/make-capture.py SAMPLE OUT PACKETS [--period SECONDS]

Copy k of the sample starts k * period seconds after the sample does (0.5 s
by default, longer than the sample itself). In every TCP and UDP
conversation the higher port, when above 1023 (the client's ephemeral
port), moves into a range of its own per conversation of its protocol:
conversation j (in the order the sample opens them) of the M of its
protocol uses the ports from 1024 + j * S, S = 64512 // M, and copy k the
(k mod S)-th of them. So copies do not share a connection, and a policy can
still tell the sample's conversations apart by local port range (printed on
standard error). The IPv4 header checksum and the TCP and UDP checksums are
computed again for every packet, so they are valid even where the sample's
were left to the network card (a UDP checksum of 0, "none", stays 0).
Packets that are not IPv4 TCP or UDP are copied as they are. The output is
a classic pcap file with the sample's link type and microsecond times;
PACKETS packets are written, the last copy cut short as needed.

Link types: Ethernet (1, with or without one 802.1Q tag), raw IPv4 (101,
228), Linux cooked v1 (113).
"""

import argparse
import struct
import sys

LINK_IP_OFFSET = {1: 14, 101: 0, 228: 0, 113: 16}
FIRST_PORT = 1024
PORT_SPACE = 65536 - FIRST_PORT


def fail(why):
    sys.exit("make-capture: " + why)


def read_pcap(path):
    """Returns (link type, [(seconds, microseconds, bytes, wire length)])."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        fail(path + ": not a pcap file")
    magic = data[:4]
    formats = {b"\xd4\xc3\xb2\xa1": ("<", 1), b"\xa1\xb2\xc3\xd4": (">", 1),
               b"\x4d\x3c\xb2\xa1": ("<", 1000), b"\xa1\xb2\x3c\x4d": (">", 1000)}
    if magic not in formats:
        fail(path + ": not a classic pcap file (pcapng is not read here)")
    endian, per_micro = formats[magic]
    link_type = struct.unpack(endian + "I", data[20:24])[0] & 0x0FFFFFFF
    packets, offset = [], 24
    while offset + 16 <= len(data):
        sec, frac, captured, wire = struct.unpack(endian + "IIII", data[offset:offset + 16])
        offset += 16
        if offset + captured > len(data):
            fail(path + ": cut short in packet %d" % (len(packets) + 1))
        packets.append((sec, frac // per_micro, data[offset:offset + captured], wire))
        offset += captured
    return link_type, packets


def ones_sum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def finish(total):
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class Template:
    """One packet of the sample, ready to be written with another port."""

    def __init__(self, frame, ip_offset):
        self.frame = bytearray(frame)
        self.port_at = None  # offset of the port that moves
        self.conversation = None
        self.sum_at = None  # offset of the transport checksum
        self.partial = 0  # sum of pseudo header and segment without the moving port and checksum
        self.parse(ip_offset)

    def parse(self, ip_offset):
        f = self.frame
        if ip_offset == 14 and len(f) >= 18 and f[12:14] == b"\x81\x00":
            ip_offset = 18
        if ip_offset >= 14 and f[ip_offset - 2:ip_offset] not in (b"\x08\x00",):
            return
        if len(f) < ip_offset + 20 or f[ip_offset] >> 4 != 4:
            return
        header = (f[ip_offset] & 15) * 4
        total = struct.unpack("!H", f[ip_offset + 2:ip_offset + 4])[0]
        flags_fragment = struct.unpack("!H", f[ip_offset + 6:ip_offset + 8])[0]
        protocol = f[ip_offset + 9]
        if header < 20 or total < header or len(f) < ip_offset + total:
            return
        f[ip_offset + 10:ip_offset + 12] = b"\0\0"
        f[ip_offset + 10:ip_offset + 12] = struct.pack("!H", finish(ones_sum(bytes(f[ip_offset:ip_offset + header]))))
        if protocol not in (6, 17) or flags_fragment & 0x3FFF:
            return
        start, length = ip_offset + header, total - header
        if length < (20 if protocol == 6 else 8):
            return
        source, destination = struct.unpack("!HH", f[start:start + 4])
        higher = max(source, destination)
        if higher < FIRST_PORT:
            return
        sum_at = start + (16 if protocol == 6 else 6)
        if protocol == 17 and f[sum_at:sum_at + 2] == b"\0\0":
            sum_at = None  # sent without a checksum
        else:
            f[sum_at:sum_at + 2] = b"\0\0"
        self.port_at = start + (0 if source == higher else 2)
        addresses = bytes(f[ip_offset + 12:ip_offset + 20])
        self.conversation = (protocol, higher, min(source, destination), frozenset((addresses[:4], addresses[4:])))
        if sum_at is not None:
            f[self.port_at:self.port_at + 2] = b"\0\0"
            pseudo = addresses + struct.pack("!BBH", 0, protocol, length)
            self.partial = ones_sum(pseudo) + ones_sum(bytes(f[start:start + length]))
            self.sum_at = sum_at

    def with_port(self, port):
        if self.port_at is None:
            return bytes(self.frame)
        f = self.frame
        f[self.port_at:self.port_at + 2] = struct.pack("!H", port)
        if self.sum_at is not None:
            checksum = finish(self.partial + port)
            if self.frame_is_udp and checksum == 0:
                checksum = 0xFFFF  # UDP sends a computed zero as all ones
            f[self.sum_at:self.sum_at + 2] = struct.pack("!H", checksum)
        return bytes(f)

    @property
    def frame_is_udp(self):
        return self.conversation is not None and self.conversation[0] == 17


def main():
    parser = argparse.ArgumentParser(description="Repeats a capture's packets with ports and times shifted.")
    parser.add_argument("sample")
    parser.add_argument("out")
    parser.add_argument("packets", type=int)
    parser.add_argument("--period", type=float, default=0.5, help="seconds between the starts of two copies")
    args = parser.parse_args()
    if args.packets <= 0:
        fail("give a positive number of packets")

    link_type, sample = read_pcap(args.sample)
    if link_type not in LINK_IP_OFFSET:
        fail("%s: link type %d is not one this script rewrites" % (args.sample, link_type))
    if not sample:
        fail(args.sample + ": no packets")
    span = (sample[-1][0] - sample[0][0]) + (sample[-1][1] - sample[0][1]) / 1e6
    if args.period <= span:
        fail("a period of %g s is not longer than the sample (%g s)" % (args.period, span))

    templates = [Template(frame, LINK_IP_OFFSET[link_type]) for _, _, frame, _ in sample]
    conversations = {}  # conversation -> (index within its protocol, protocol)
    per_protocol = {}
    for t in templates:
        if t.conversation is not None and t.conversation not in conversations:
            protocol = t.conversation[0]
            conversations[t.conversation] = per_protocol.get(protocol, 0)
            per_protocol[protocol] = per_protocol.get(protocol, 0) + 1
    stride = {p: PORT_SPACE // n for p, n in per_protocol.items()}
    for conversation, index in conversations.items():
        protocol, port = conversation[0], conversation[1]
        low = FIRST_PORT + index * stride[protocol]
        print("make-capture: %s port %d -> local ports %d-%d" %
              ("tcp" if protocol == 6 else "udp", port, low, low + stride[protocol] - 1), file=sys.stderr)

    start_micros = sample[0][0] * 1000000 + sample[0][1]
    period_micros = int(round(args.period * 1e6))
    out = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, link_type))
    written = 0
    with open(args.out, "wb") as f:
        f.write(out)
        out.clear()
        copy = 0
        while written < args.packets:
            for (sec, micros, _, wire), t in zip(sample, templates):
                if written == args.packets:
                    break
                when = sec * 1000000 + micros + copy * period_micros
                if t.conversation is None:
                    frame = bytes(t.frame)
                else:
                    protocol = t.conversation[0]
                    low = FIRST_PORT + conversations[t.conversation] * stride[protocol]
                    frame = t.with_port(low + copy % stride[protocol])
                out += struct.pack("<IIII", when // 1000000, when % 1000000, len(frame), wire - len(t.frame) + len(frame))
                out += frame
                written += 1
            copy += 1
            if len(out) > 1 << 20:
                f.write(out)
                out.clear()
        f.write(out)
    print("make-capture: %d packets, %d copies of %s, in %s" % (written, copy, args.sample, args.out), file=sys.stderr)


if __name__ == "__main__":
    main()
