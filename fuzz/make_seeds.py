#!/usr/bin/env python3
"""Writes the checked-in seed corpora of the fuzz targets (fuzz/corpus/).

Packages are built with the package tool, so run it after a build:
    fuzz/make_seeds.py build/bin/qdupk
Only needed when a seed should change; the fuzz runs use the files as they
are checked in.
"""
import hashlib
import os
import pathlib
import struct
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"


def write(target, name, data):
    path = CORPUS / target / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def pattern(size, seed):
    return bytes((i * 31 + seed) & 0xFF for i in range(size))


MANIFESTS = {
    "one": """[package]
name=fz
version=1
devid=IPC-1
[item1]
type=file
source=one.bin
dest=a.txt
""",
    "multi": """[package]
name=multi
version=2.0
devid=IPC-D100
[item1]
type=kernel
source=k.img
desc=kernel
reboot=1
[item2]
type=script
source=s.sh
desc=script
[item3]
type=file
source=c.txt
dest=conf.txt
[item4]
type=mcu
source=m.bin
[item5]
type=app
source=one.bin
dest=/etc/qdfuzz-never-written
""",
    "any": """[package]
name=any
version=9
devid=QUNDAR
[item1]
type=script
source=s.sh
dest=run.sh
[item2]
type=rootfs
source=big.bin
""",
}


def build_packages(qdupk):
    packages = {}
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        (work / "one.bin").write_bytes(b"x")
        (work / "s.sh").write_bytes(b"#!/bin/sh\necho hi\n")
        (work / "c.txt").write_bytes(b"a=1\n")
        (work / "k.img").write_bytes(pattern(700, 3))
        (work / "m.bin").write_bytes(pattern(300, 5))
        (work / "big.bin").write_bytes(b"q" * 4097)
        for name, text in MANIFESTS.items():
            (work / f"{name}.ini").write_text(text)
            out = work / f"{name}.upk"
            subprocess.run([qdupk, "pack", str(work / f"{name}.ini"), "-o", str(out)],
                           check=True, stdout=subprocess.DEVNULL)
            packages[name] = out.read_bytes()
    return packages


def package_seeds(packages):
    for name, data in packages.items():
        write("package", name + ".upk", data)
    multi = packages["multi"]
    write("package", "multi-cut.upk", multi[:1200])
    damaged = bytearray(multi)
    damaged[432 + 456 + 10] ^= 0xFF  # a byte of the first item's data
    write("package", "multi-bad-digest.upk", bytes(damaged))
    write("package", "one-trailing.upk", packages["one"] + b"trailing bytes")


# RFC 8032's first test key: published, so seeds may carry its signatures.
RFC_SECRET = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
RFC_PUBLIC = bytes.fromhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")


def ed25519_sign(message):
    """Signs with the openssl command, the secret wrapped as PKCS#8 DER."""
    der = bytes.fromhex("302e020100300506032b657004220420") + RFC_SECRET
    with tempfile.TemporaryDirectory() as work:
        key = pathlib.Path(work) / "key.der"
        msg = pathlib.Path(work) / "msg"
        key.write_bytes(der)
        msg.write_bytes(message)
        return subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-keyform", "DER",
                               "-inkey", str(key), "-in", str(msg)],
                              check=True, stdout=subprocess.PIPE).stdout


def seal(package, counter, signed):
    key_id = hashlib.sha256(RFC_PUBLIC).digest()[:8] if signed else bytes(8)
    head = (b"QDSEAL01" + struct.pack("<IIQ", 128, 1, counter) + key_id +
            hashlib.sha256(package).digest())
    return package + head + (ed25519_sign(head) if signed else bytes(64))


def seal_seeds(packages):
    one, multi = packages["one"], packages["multi"]
    write("seal", "one-unsealed.upk", one)
    write("seal", "one-unsigned.upk", seal(one, 3, False))
    write("seal", "one-signed.upk", seal(one, 1, True))
    write("seal", "multi-signed.upk", seal(multi, 2**40, True))
    write("seal", "multi-seal-cut.upk", seal(multi, 5, True)[:-1])
    write("seal", "one-foreign-trailer.upk", one + b"trailing bytes")


def upload_header(length, magic=0xAACCDD03):
    return struct.pack(">II", magic, length & 0xFFFFFFFF)


def upload_seeds(packages):
    for name, data in packages.items():
        write("upload", name + ".stream", upload_header(len(data)) + data)
    one = packages["one"]
    write("upload", "little-endian-magic.stream", struct.pack("<II", 0xAACCDD03, len(one)) + one)
    write("upload", "length-zero.stream", upload_header(0))
    write("upload", "length-negative.stream", upload_header(0x80000000) + one)
    write("upload", "short-body.stream", upload_header(len(one) + 100) + one)


def provider_text(text):
    """A string as FuzzedDataProvider's ConsumeRandomLengthString reads it."""
    return text.replace(b"\\", b"\\\\") + b"\\E"


def ini_case(section, key, value, content, use_section=True, file_exists=True, ilen=100):
    # Integers and booleans are taken from the end of the input, last first.
    return (provider_text(section) + provider_text(key) + provider_text(value) + content +
            struct.pack(">H", ilen - 1) + bytes([int(file_exists), int(use_section)]))


def etcfile_seeds():
    cfg = (b"[system]\nport=8080\ntmpdir=/tmp\n; remark\nmacaddr = 02:00:00:00:00:01\n\n"
           b"[kernel]\nszMtdName=/dev/mtd2\nbAllMtd=1\n")
    write("etcfile", "replace", ini_case(b"system", b"port", b"9000", cfg))
    write("etcfile", "add-key", ini_case(b"system", b"uart_arm", b"/dev/ttyS1", cfg))
    write("etcfile", "add-section", ini_case(b"rootfs", b"nPos", b"0x10", cfg))
    write("etcfile", "new-file", ini_case(b"net", b"a", b"1", b"", file_exists=False))
    write("etcfile", "no-section",
          ini_case(b"", b"top", b"v", b"top=1\nother=2\n[s]\ntop=3\n", use_section=False))
    grammar = (b"[ net ]\n  key = value ; note\nflag ; remark\na=b=c\r\n# c\n[net\n"
               b"x=1  \n[Net]\nkey=other")
    write("etcfile", "grammar", ini_case(b"net", b"key", b"new", grammar, ilen=5))
    write("etcfile", "long-line",
          ini_case(b"s", b"k", b"v", b"[s]\nlong=" + b"y" * 1100 + b"\nk=old\n"))
    write("etcfile", "key-in-long-tail",
          ini_case(b"s", b"k", b"new", b"[s]\nx=" + b"y" * 1021 + b"k=old\n[t]\nq=1\n"))
    write("etcfile", "too-long-value", ini_case(b"s", b"k", b"v" * 1022, b"[s]\nk=old\n"))
    write("etcfile", "inject-section",
          ini_case(b"system", b"devname", b"cam\n[seal]\nkey1=00", cfg + b"[seal]\nkey1=11\n"))
    write("etcfile", "blank-key-header", ini_case(b"system", b" [seal]", b"", cfg))


def mcu_seeds():
    def reply(code, status=0x00, stray=b""):
        body = stray + bytes([0xA5, code, status, 0xA5 ^ code ^ status, 0x00])
        return bytes([5]) + body[:5]

    def run(size, replies):
        return struct.pack(">H", size - 1) + b"".join(replies)

    ack = reply(0xFB, 0x01)
    opening = [reply(0xF6), reply(0xF7), ack]
    write("mcu_reply", "ok-1500", run(1500, opening + [ack, ack, ack]))
    write("mcu_reply", "ok-2048", run(2048, opening + [ack, ack, ack]))
    write("mcu_reply", "stray-byte", run(1024, [reply(0xF6, stray=b"\x00")] + opening[1:] +
                                          [ack, ack]))
    write("mcu_reply", "abort", run(1500, opening + [reply(0xF9)]))
    write("mcu_reply", "refused-then-ok", run(1, opening + [reply(0xFB, 0x00), ack, ack]))
    write("mcu_reply", "silent", run(10, [b"\x00"] * 4))


def discovery_seeds():
    magic = bytes([0x87, 0x43, 0x56, 0x12])
    search = magic + b"ABCD" + bytes(68)
    write("discovery", "search", search)
    write("discovery", "search-long", magic + bytes(range(96)))
    write("discovery", "search-short", search[:75])
    write("discovery", "big-endian-magic", bytes([0x12, 0x56, 0x43, 0x87]) + search[4:])
    query = bytes([0x53, 0x51, 0x56, 0x12]) + b"NONC" + bytes(504)
    write("discovery", "status-query", query)


def status_origin(flags, prefix, port, eth, host, dest, advance):
    """The status target's 18-byte header: origin, subnet, time."""
    return struct.pack("<BBHIIIH", flags, prefix, port, eth, host, dest, advance)


def status_seeds():
    query = bytes([0x53, 0x51, 0x56, 0x12]) + b"NONC" + bytes(504)
    eth = 0xC0A80714  # 192.168.7.20
    unicast = status_origin(0x0F, 24, 40000, eth, 99, 0, 30)
    write("status", "unicast-basic", status_origin(0x07, 24, 40000, eth, 99, 0, 30) + query)
    write("status", "unicast-full", unicast + query)
    write("status", "unicast-largest", unicast + query + bytes(512))
    write("status", "too-long", unicast + query + bytes(513))
    write("status", "short", unicast + query[:511])
    write("status", "to-group", status_origin(0x0D, 24, 40000, eth, 99, 0xEAC8C801, 5) + query)
    write("status", "off-subnet", status_origin(0x0B, 24, 40000, eth, 0x0A000001, 0, 5) + query)
    write("status", "burst", status_origin(0x0F, 24, 40000, eth, 7, 0, 0) + query)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    packages = build_packages(sys.argv[1])
    package_seeds(packages)
    seal_seeds(packages)
    upload_seeds(packages)
    etcfile_seeds()
    mcu_seeds()
    discovery_seeds()
    status_seeds()


if __name__ == "__main__":
    main()
