"""Reads the status record that tessaro publishes, with a check-value implementation of its own
(SipHash-1-3, key of 16 zero bytes, over the record's hash stream)."""

import struct

MASK = (1 << 64) - 1
# The POSIX stand-in's object for the console section "Local\Korvel-QM4410-LAN-Proxy".
CONSOLE_SECTION = "/dev/shm/Local_Korvel-QM4410-LAN-Proxy"


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & MASK


def siphash13(data, k0=0, k1=0):
    v0 = k0 ^ 0x736F6D6570736575
    v1 = k1 ^ 0x646F72616E646F6D
    v2 = k0 ^ 0x6C7967656E657261
    v3 = k1 ^ 0x7465646279746573

    def rnd():
        nonlocal v0, v1, v2, v3
        v0 = (v0 + v1) & MASK; v1 = _rotl(v1, 13); v1 ^= v0; v0 = _rotl(v0, 32)
        v2 = (v2 + v3) & MASK; v3 = _rotl(v3, 16); v3 ^= v2
        v0 = (v0 + v3) & MASK; v3 = _rotl(v3, 21); v3 ^= v0
        v2 = (v2 + v1) & MASK; v1 = _rotl(v1, 17); v1 ^= v2; v2 = _rotl(v2, 32)

    n = len(data)
    full = n - n % 8
    for i in range(0, full, 8):
        m = struct.unpack_from("<Q", data, i)[0]
        v3 ^= m
        rnd()
        v0 ^= m
    tail = data[full:] + bytes(7 - n % 8)
    m = (n & 0xFF) << 56 | int.from_bytes(tail[:7], "little")
    v3 ^= m
    rnd()
    v0 ^= m
    v2 ^= 0xFF
    for _ in range(3):
        rnd()
    return v0 ^ v1 ^ v2 ^ v3


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("record runs past the view")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]


def _mac_text(r):
    n = r.u64()
    if n != 17:
        raise ValueError("bad MAC length")
    return r.take(17).decode("ascii")


def _status(r, stream):
    variant = r.u32()
    stream += struct.pack("<Q", variant)
    if variant == 0:
        return None
    if variant != 1:
        raise ValueError("bad variant")
    name = r.take(r.u64())
    ip = r.take(4)
    has_mac = r.take(1)[0]
    mac = _mac_text(r) if has_mac == 1 else None
    dev_ip = r.take(4)
    dev_mac = _mac_text(r)
    stream += name + b"\xff" + struct.pack("<Q", 4) + ip + struct.pack("<Q", has_mac)
    if mac:
        stream += struct.pack("<Q", 6) + bytes.fromhex(mac.replace(":", ""))
    stream += struct.pack("<Q", 4) + dev_ip + struct.pack("<Q", 6) + bytes.fromhex(dev_mac.replace(":", ""))
    return {"interface_name": name.decode("utf-8"), "ip": ".".join(map(str, ip)), "mac": mac,
            "device_ip": ".".join(map(str, dev_ip)), "device_mac": dev_mac}


def decode(data):
    """(terminal, pinpad) statuses, None for not connected; raises on a bad record."""
    r = Reader(data)
    version, second = r.take(1)[0], r.take(1)[0]
    if version != 1:
        raise ValueError("format version")
    stream = bytearray([version, second])
    terminal = _status(r, stream)
    pinpad = _status(r, stream)
    check = r.u64()
    if check != siphash13(bytes(stream)):
        raise ValueError("check value")
    return terminal, pinpad


def read(path=CONSOLE_SECTION, tries=6):
    last = None
    for _ in range(tries):
        with open(path, "rb") as f:
            data = f.read(4096)
        try:
            return decode(data)
        except ValueError as e:
            last = e
    raise last


if __name__ == "__main__":
    # The start-up record of both proxies not connected.
    start = bytes.fromhex("010000000000000000 00e680147b2e7e8f36".replace(" ", ""))
    assert decode(start) == (None, None), "start-up record"
    print("ok")
