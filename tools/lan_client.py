#!/usr/bin/env python3
"""A LAN peer of the proxy: asks for service announcements and talks through the relays.

Datagrams are composed and parsed here byte by byte from the wire format, independently of the
proxy's own code. Every command prints one JSON object on standard output.

  lan_client.py discover --kind terminal --to 10.77.0.1 --port 4742 --reply-ip 10.77.0.2 --reply-port 47420
  lan_client.py listen --port 4742 --seconds 3          # periodic announcements that arrive
  lan_client.py echo --host 10.77.0.1 --port 4742 --bytes 1000000 [--clients 4]
  lan_client.py request --host 10.77.0.1 --port 4742 --bytes 300000   # ends sending, reads to the end
"""

import argparse
import json
import os
import socket
import struct
import sys
import threading
import time

REQUEST_TAG = {"terminal": 0xA0, "pinpad": 0xE0}
VERSION = {"terminal": b"\x01\x14", "pinpad": b"\x01\x00"}


def request(kind, reply_ip, reply_port):
    body = bytes([0x80, 2]) + VERSION[kind]
    body += bytes([0x81, 4]) + socket.inet_aton(reply_ip)
    body += bytes([0x82, 2]) + struct.pack(">H", reply_port)
    return bytes([REQUEST_TAG[kind], len(body)]) + body


def parse_announcement(data):
    if len(data) < 2 or data[0] not in (0xA1, 0xE1) or data[1] + 2 != len(data):
        return None
    out = {"kind": "terminal" if data[0] == 0xA1 else "pinpad", "items": []}
    pos = 2
    while len(data) - pos >= 2:
        tag, n = data[pos], data[pos + 1]
        value = data[pos + 2:pos + 2 + n]
        if len(value) != n:
            return None
        if tag == 0x81 and n == 4:
            out["ip"] = socket.inet_ntoa(value)
        elif tag == 0x82 and n == 2:
            out["port"] = struct.unpack(">H", value)[0]
        elif tag == 0x83 and n == 6:
            out["mac"] = ":".join(f"{b:02X}" for b in value)
        elif tag == 0x84:
            out["name"] = value.decode("utf-8", "replace")
        elif tag == 0x86:
            out["text"] = value.decode("utf-8", "replace")
        elif tag == 0x85:
            out["bytes"] = value.hex()
        elif tag == 0xA3:
            out["items"] += [value[i + 2] for i in range(0, n, 3)]
        pos += 2 + n
    return out


def udp_socket(bind_ip, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind((bind_ip, port))
    return s


def cmd_discover(args):
    s = udp_socket(args.bind, args.reply_port)
    sender = s
    if args.send_from_port is not None:
        # Send from another port than the reply port: the answer must follow the request's text.
        sender = udp_socket(args.bind, args.send_from_port)
    sender.sendto(request(args.kind, args.reply_ip, args.reply_port), (args.to, args.port))
    s.settimeout(args.timeout)
    try:
        data, peer = s.recvfrom(2048)
    except socket.timeout:
        return {"answer": None}
    return {"answer": parse_announcement(data), "from": f"{peer[0]}:{peer[1]}"}


def cmd_listen(args):
    s = udp_socket(args.bind, args.port)
    got = []
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data, peer = s.recvfrom(2048)
        except socket.timeout:
            break
        got.append({"from": f"{peer[0]}:{peer[1]}", "at": time.monotonic(),
                    "announcement": parse_announcement(data)})
    return {"received": got}


def echo_once(host, port, size, results, index, timeout):
    payload = os.urandom(size)
    try:
        c = socket.create_connection((host, port), timeout=timeout)
        received = bytearray()

        def reader():
            while len(received) < size:
                chunk = c.recv(65536)
                if not chunk:
                    break
                received.extend(chunk)

        t = threading.Thread(target=reader)
        t.start()
        view = memoryview(payload)
        for off in range(0, size, 16384):
            c.sendall(view[off:off + 16384])
        t.join(timeout)
        c.close()
        results[index] = bytes(received) == payload
    except OSError as e:
        results[index] = str(e)


def cmd_echo(args):
    results = [None] * args.clients
    threads = [threading.Thread(target=echo_once,
                                args=(args.host, args.port, args.bytes, results, i, args.timeout))
               for i in range(args.clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(args.timeout + 5)
    return {"ok": all(r is True for r in results), "results": [r if r is True else str(r) for r in results]}


def cmd_request(args):
    """Sends a request, ends it with a half-close as socat and `nc -N` do, and reads the echoed
    answer up to the end of the stream."""
    payload = os.urandom(args.bytes)
    probe, rest = payload[:16], payload[16:]
    try:
        c = socket.create_connection((args.host, args.port), timeout=args.timeout)
        # The probe's echo shows that the far side is reached before the request ends: a relay
        # drops a client that goes while it is still connecting to the device.
        c.sendall(probe)
        received = bytearray()
        while len(received) < len(probe):
            chunk = c.recv(65536)
            if not chunk:
                break
            received.extend(chunk)
        got = {}

        def reader():
            try:
                while True:
                    chunk = c.recv(65536)
                    if not chunk:
                        got["eof"] = True
                        return
                    received.extend(chunk)
            except OSError as e:
                got["error"] = str(e)

        t = threading.Thread(target=reader)
        t.start()
        c.sendall(rest)
        c.shutdown(socket.SHUT_WR)
        t.join(args.timeout)
        c.close()
    except OSError as e:
        return {"ok": False, "error": str(e)}
    return {"ok": bytes(received) == payload and got.get("eof", False),
            "received": len(received), **got}


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    d = sub.add_parser("discover")
    d.add_argument("--kind", choices=REQUEST_TAG, required=True)
    d.add_argument("--to", required=True)
    d.add_argument("--port", type=int, required=True)
    d.add_argument("--reply-ip", required=True)
    d.add_argument("--reply-port", type=int, required=True)
    d.add_argument("--send-from-port", type=int, default=None)
    d.add_argument("--bind", default="0.0.0.0")
    d.add_argument("--timeout", type=float, default=3)
    l = sub.add_parser("listen")
    l.add_argument("--port", type=int, required=True)
    l.add_argument("--bind", default="0.0.0.0")
    l.add_argument("--seconds", type=float, default=3)
    e = sub.add_parser("echo")
    e.add_argument("--host", required=True)
    e.add_argument("--port", type=int, required=True)
    e.add_argument("--bytes", type=int, default=1024)
    e.add_argument("--clients", type=int, default=1)
    e.add_argument("--timeout", type=float, default=20)
    r = sub.add_parser("request")
    r.add_argument("--host", required=True)
    r.add_argument("--port", type=int, required=True)
    r.add_argument("--bytes", type=int, default=1024)
    r.add_argument("--timeout", type=float, default=20)
    args = ap.parse_args()
    result = {"discover": cmd_discover, "listen": cmd_listen, "echo": cmd_echo,
              "request": cmd_request}[args.cmd](args)
    print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
