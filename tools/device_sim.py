#!/usr/bin/env python3
"""A simulated Korvel card terminal or PIN pad on its USB link.

It answers SICCT service-discovery requests of its own kind with its announcement, sent to the
reply address written inside the request, and serves TCP on its announced SICCT port and on 443:
each connection echoes what it receives, and when its peer ends its sending it writes out what it
still owes before it closes. The datagrams are composed here byte by byte from the
wire format, independently of the proxy's own encoder.

Run inside the device's network namespace:
  device_sim.py --kind terminal --ip 10.77.1.2 --mac 02:00:00:00:01:02 [--port 4742]
"""

import argparse
import selectors
import signal
import socket
import struct
import sys
import time

KINDS = {
    # kind: (request tag, announcement tag, 0x80 value, default discovery port)
    "terminal": (0xA0, 0xA1, b"\x01\x14", 4742),
    "pinpad": (0xE0, 0xE1, b"\x01\x00", 64742),
}


def field(tag, value):
    assert len(value) <= 255
    return bytes([tag, len(value)]) + value


def announcement(kind, name, ip, mac, port, items=b"", text="", blob=b""):
    _, tag, version, _ = KINDS[kind]
    body = field(0x80, version)
    body += field(0x81, socket.inet_aton(ip))
    body += field(0x83, bytes.fromhex(mac.replace(":", "")))
    body += field(0x84, name.encode("utf-8"))
    body += field(0x82, struct.pack(">H", port))
    if kind == "pinpad":
        body += field(0x85, blob)
        body += field(0x86, text.encode("utf-8"))
    else:
        body += field(0xA3, b"".join(b"\x8a\x01" + bytes([i]) for i in items))
    return bytes([tag, len(body)]) + body


def parse_request(data, kind):
    """The reply address of a request of our kind, or None."""
    req_tag = KINDS[kind][0]
    if len(data) < 2 or data[0] != req_tag or data[1] + 2 != len(data):
        return None
    ip = port = None
    pos = 2
    while len(data) - pos >= 2:
        tag, n = data[pos], data[pos + 1]
        value = data[pos + 2:pos + 2 + n]
        if len(value) != n:
            return None
        if tag == 0x81 and n == 4:
            ip = socket.inet_ntoa(value)
        elif tag == 0x82 and n == 2:
            port = struct.unpack(">H", value)[0]
        pos += 2 + n
    if ip is None or port is None:
        return None
    return ip, port


def drop(sel, outbox, ending, conn):
    sel.unregister(conn)
    conn.close()
    outbox.pop(conn, None)
    ending.discard(conn)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kind", choices=KINDS, required=True)
    ap.add_argument("--ip", required=True)
    ap.add_argument("--mac", required=True)
    ap.add_argument("--name", default=None)
    ap.add_argument("--discovery-port", type=int, default=None)
    ap.add_argument("--sicct-port", type=int, default=4742)
    ap.add_argument("--https-port", type=int, default=443)
    ap.add_argument("--silent", action="store_true", help="never answer discovery requests")
    ap.add_argument("--seconds", type=float, default=600, help="run at most this long")
    args = ap.parse_args()

    kind = args.kind
    name = args.name or ("Sim-Terminal" if kind == "terminal" else "Sim-Pinpad")
    dport = args.discovery_port or KINDS[kind][3]
    datagram = announcement(kind, name, args.ip, args.mac, args.sicct_port, items=b"\x01\x02",
                            text="SICCT-Lite", blob=b"\x00\x01")

    sel = selectors.DefaultSelector()
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    udp.bind(("0.0.0.0", dport))  # the requests come to the link's broadcast address
    sel.register(udp, selectors.EVENT_READ, "udp")

    for port in sorted({args.sicct_port, args.https_port}):
        srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        srv.bind((args.ip, port))
        srv.listen(128)
        srv.setblocking(False)
        sel.register(srv, selectors.EVENT_READ, "listen")

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    deadline = time.monotonic() + args.seconds
    print(f"device_sim {kind} {args.ip} discovery {dport} sicct {args.sicct_port} https {args.https_port}",
          flush=True)
    outbox = {}
    ending = set()  # connections whose peer has ended its sending: the echo still owed goes out first
    while not stop and time.monotonic() < deadline:
        for key, events in sel.select(timeout=0.2):
            sock = key.fileobj
            if key.data == "udp":
                data, sender = sock.recvfrom(2048)
                reply = parse_request(data, kind)
                if reply and not args.silent:
                    sock.sendto(datagram, reply)
                    print(f"answered request from {sender[0]} to {reply[0]}:{reply[1]}", flush=True)
            elif key.data == "listen":
                try:
                    conn, _ = sock.accept()
                except BlockingIOError:
                    continue
                conn.setblocking(False)
                outbox[conn] = bytearray()
                sel.register(conn, selectors.EVENT_READ, "conn")
            else:
                conn = sock
                buf = outbox[conn]
                if events & selectors.EVENT_READ:
                    try:
                        chunk = conn.recv(65536)
                    except BlockingIOError:
                        chunk = None
                    except ConnectionResetError:
                        drop(sel, outbox, ending, conn)
                        continue
                    if chunk == b"":
                        ending.add(conn)
                    elif chunk:
                        buf += chunk
                if buf:
                    try:
                        del buf[:conn.send(buf)]
                    except BlockingIOError:
                        pass
                    except (BrokenPipeError, ConnectionResetError):
                        drop(sel, outbox, ending, conn)
                        continue
                if conn in ending and not buf:
                    drop(sel, outbox, ending, conn)
                    continue
                # Stop reading while much is unsent, so that memory stays bounded.
                mask = selectors.EVENT_READ if len(buf) < (1 << 20) and conn not in ending else 0
                if buf:
                    mask |= selectors.EVENT_WRITE
                sel.modify(conn, mask, "conn")
    return 0


if __name__ == "__main__":
    sys.exit(main())
