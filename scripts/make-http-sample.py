#!/usr/bin/env python3
"""Writes samples/http.pcap: a small HTTP capture made from scratch (no
network needed), seen from the client host 10.77.0.2 talking to a web server
on 10.77.0.1, with valid IPv4 and TCP checksums. samples/http.policy answers
its requests; `make test` sweeps it with every failure (ctest SweepHttpCapture).

One TCP connection per case, each with its handshake, the client's segments,
the server's answer when the request reaches it, and the close:
  plain      GET /index.html answered by the server, then two pipelined GETs
             in one segment, then a POST whose body follows in two segments
  url        GET /moved, answered by the client from a file (a URL reply)
  primary    GET /ads/banner.png, a primary decision with a reply object
  secondary  GET /track.js, a secondary decision with a reply object and value
  empty      GET /beacon, a primary decision whose reply has no bytes
  exempt     GET /ads/allowed.png carrying X-Allow, exempted: re-sent as it was
  body       POST /ads/upload with its body in later segments: answered, the
             body dropped
"""
import os
import struct
import sys

CLIENT = bytes([10, 77, 0, 2])
SERVER = bytes([10, 77, 0, 1])
CLIENT_MAC = bytes.fromhex("020000000002")
SERVER_MAC = bytes.fromhex("020000000001")
FIN, SYN, RST, PSH, ACK = 0x01, 0x02, 0x04, 0x08, 0x10


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class Capture:
    def __init__(self):
        self.records = []
        self.time = 1700000000.0
        self.ip_id = 1

    def packet(self, src, dst, sport, dport, seq, ack, flags, payload=b""):
        tcp = struct.pack("!HHIIBBHHH", sport, dport, seq, ack, 5 << 4, flags, 64240, 0, 0) + payload
        pseudo = src + dst + struct.pack("!BBH", 0, 6, len(tcp))
        tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp)) + tcp[18:]
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), self.ip_id, 0x4000, 64, 6, 0, src, dst)
        ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
        self.ip_id += 1
        macs = (SERVER_MAC + CLIENT_MAC) if src == CLIENT else (CLIENT_MAC + SERVER_MAC)
        frame = macs + b"\x08\x00" + ip + tcp
        self.time += 0.0005
        self.records.append((self.time, frame))

    def write(self, path):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
            for t, frame in self.records:
                f.write(struct.pack("<IIII", int(t), int((t % 1) * 1e6), len(frame), len(frame)))
                f.write(frame)


class Connection:
    """One client connection to the server, its sequence numbers kept."""

    def __init__(self, capture, port, remote_port=80):
        self.c, self.port, self.remote = capture, port, remote_port
        self.cseq, self.sseq = 1000 * port, 5000 * port
        self.c.packet(CLIENT, SERVER, port, remote_port, self.cseq, 0, SYN)
        self.c.packet(SERVER, CLIENT, remote_port, port, self.sseq, self.cseq + 1, SYN | ACK)
        self.cseq += 1
        self.sseq += 1
        self.c.packet(CLIENT, SERVER, port, remote_port, self.cseq, self.sseq, ACK)

    def send(self, data):
        data = data.encode() if isinstance(data, str) else data
        self.c.packet(CLIENT, SERVER, self.port, self.remote, self.cseq, self.sseq, PSH | ACK, data)
        self.cseq += len(data)
        self.c.packet(SERVER, CLIENT, self.remote, self.port, self.sseq, self.cseq, ACK)

    def answer(self, data):
        data = data.encode() if isinstance(data, str) else data
        self.c.packet(SERVER, CLIENT, self.remote, self.port, self.sseq, self.cseq, PSH | ACK, data)
        self.sseq += len(data)
        self.c.packet(CLIENT, SERVER, self.port, self.remote, self.cseq, self.sseq, ACK)

    def close(self):
        self.c.packet(CLIENT, SERVER, self.port, self.remote, self.cseq, self.sseq, FIN | ACK)
        self.cseq += 1
        self.c.packet(SERVER, CLIENT, self.remote, self.port, self.sseq, self.cseq, FIN | ACK)
        self.sseq += 1
        self.c.packet(CLIENT, SERVER, self.port, self.remote, self.cseq, self.sseq, ACK)


def get(url, extra=""):
    return "GET %s HTTP/1.1\r\nHost: www.example.test\r\nUser-Agent: sample\r\n%s\r\n" % (url, extra)


def post(url, length):
    return ("POST %s HTTP/1.1\r\nHost: www.example.test\r\nContent-Type: text/plain\r\n"
            "Content-Length: %d\r\n\r\n" % (url, length))


def ok(body):
    return "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "samples", "http.pcap")
    cap = Capture()

    plain = Connection(cap, 40001)
    plain.send(get("/index.html"))
    plain.answer(ok("<html>index</html>"))
    plain.send(get("/style.css") + get("/script.js"))
    plain.answer(ok("css") + ok("js"))
    body = "name=sample&text=" + "x" * 43
    plain.send(post("/form", len(body)) + body[:20])
    plain.send(body[20:40])
    plain.send(body[40:])
    plain.answer(ok("thanks"))
    plain.close()

    for port, request in ((40002, get("/moved")), (40003, get("/ads/banner.png")), (40004, get("/track.js")),
                          (40005, get("/beacon"))):
        conn = Connection(cap, port)
        conn.send(request)
        conn.close()

    exempt = Connection(cap, 40006)
    exempt.send(get("/ads/allowed.png", "X-Allow: yes\r\n"))
    exempt.answer(ok("png"))
    exempt.close()

    upload = "u" * 64
    body_conn = Connection(cap, 40007, 8080)
    body_conn.send(post("/ads/upload", len(upload)) + upload[:16])
    body_conn.send(upload[16:48])
    body_conn.send(upload[48:])
    body_conn.close()

    cap.write(out)


if __name__ == "__main__":
    main()
