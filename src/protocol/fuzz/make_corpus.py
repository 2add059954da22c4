#!/usr/bin/env python3
"""Writes the seed corpus of rx_fuzz: real dongle frames in the fuzzer's
input layout (flag byte, then reads as a length byte and its bytes)."""
import os
import sys


def crc_low(data):
    r = 0xFFFF
    for b in data:
        r = ((r >> 8) | (r << 8)) & 0xFFFF
        r ^= b
        r ^= (r & 0xFF) >> 4
        r ^= (r << 12) & 0xFFFF
        r ^= ((r & 0xFF) << 5) & 0xFFFF
    return r & 0xFF


def frame(body):
    return b"QRN" + body + bytes([(256 - crc_low(body)) % 256])


def ack(b3=0):
    return frame(bytes([b3, 0, 0, 0]))


def config(name=b"DONGLE-01\0\0\0", addr=b"A1B2C3D4E5F6", ver=(1, 7)):
    return frame(bytes([1, 2, 0, 0, 0, 28]) + name + b"\x1f" + addr + b"\x1f" + bytes(ver))


def register(name, addr, check=0x80, hr=72, rr=830, bat=90):
    name = name.ljust(25, b"\0")
    return frame(bytes([0, 4, 0, 1, 0, 45]) + name + b"\x1f" + addr + b"\x1f" +
                 bytes([check, 0xC4, hr, rr >> 8, rr & 0xFF, bat]))


def reads(flags, stream, size):
    out = bytes([flags])
    for k in range(0, len(stream), size):
        part = stream[k:k + size]
        out += bytes([0 if len(part) == 298 else len(part)]) + part
    return out


def main(dest):
    os.makedirs(dest, exist_ok=True)
    regs = b"".join(register(b"HRM-%02d" % k, b"C0FFEE%06X" % k) for k in range(25))
    seeds = {
        "ack_bytewise": reads(1, ack(), 1),
        "config": reads(0, config(), 38),
        "ack_then_register": reads(5, ack() + register(b"Qorvessa H7", b"AABBCCDDEEFF"), 63),
        "registers_full_reads": reads(1, regs[:20] + regs, 298),
        "register_no_data": reads(0, register(b"X", b"001122334455", check=0), 55),
        "stalled": reads(0, frame(bytes([1, 7, 0, 0])) + b"\0" * 300 + ack(), 298),
        "partial_magic": reads(0, ack() + b"QR" + b"N" + ack()[3:], 10),
        "noise_between": reads(0, ack() + b"\0\0" + ack() + b"QQRNQRRNQNRN", 7),
    }
    for name, data in seeds.items():
        with open(os.path.join(dest, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus"))
