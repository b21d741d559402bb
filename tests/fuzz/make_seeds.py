#!/usr/bin/python3
"""Seed corpus for extract_fuzzer, made at run time: every test archive small enough to be a fuzz
input, and the same coder arrangements over a tiny tree, so that the fuzzer starts from every coder,
branch filter, folder layout and header form the extractor knows.

    make_seeds.py OUTDIR [--max-bytes N] [ARCHIVE...]

ARCHIVEs (the embedded payload, for one) are added as they are when small enough.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "fixtures")
sys.path.insert(0, FIXTURES)
import make_archives  # noqa: E402  (the fixture script: its coder table and helpers)


def tiny_tree(root):
    top = os.path.join(root, "dudizu")
    code = bytes((0xE8, 0x10, 0x00, 0x00, 0x00, 0xE9, 0x20, 0x00, 0x00, 0x00, 0x0F, 0x85) * 40)
    make_archives.put(os.path.join(top, "ZyvSHelp.exe"), b"MZ" + code, 0o755)
    make_archives.put(os.path.join(top, "config.ini"), b"[ZeReveza]\r\nlang=zh-CN\r\n")
    make_archives.put(os.path.join(top, "data", "a.txt"), b"abc" * 100)
    make_archives.put(os.path.join(top, "data", "empty.txt"), b"")
    os.makedirs(os.path.join(top, "folder"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("outdir")
    ap.add_argument("--max-bytes", type=int, default=65536)
    ap.add_argument("archives", nargs="*")
    args = ap.parse_intermixed_args()
    os.makedirs(args.outdir, exist_ok=True)
    seeds = 0

    def add(path):
        nonlocal seeds
        with open(path, "rb") as f:
            data = f.read()
        if len(data) > args.max_bytes:
            return
        # Each seed also in the form whose header checksums the fuzzer recomputes (the top bit of
        # the minor version byte set), so that mutations of the header reach the parser.
        forms = [data]
        if data[:6] == b"7z\xBC\xAF\x27\x1C" and len(data) >= 32:
            forms.append(data[:7] + bytes([data[7] | 0x80]) + data[8:])
        for form in forms:
            with open(os.path.join(args.outdir, hashlib.sha1(form).hexdigest()), "wb") as f:
                f.write(form)
            seeds += 1

    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, os.path.join(FIXTURES, "make_archives.py"), os.path.join(tmp, "fx")],
                       check=True)
        arc = os.path.join(tmp, "fx", "archives")
        for name in sorted(os.listdir(arc)):
            add(os.path.join(arc, name))
        src = os.path.join(tmp, "tiny")
        tiny_tree(src)
        extra = {"aes": ["-m0=LZMA", "-pzyv"], "aes-header": ["-m0=LZMA", "-pzyv", "-mhe=on"],
                 "ppmd": ["-m0=PPMd"], "delta": ["-m0=Delta", "-m1=LZMA"]}
        for label, (switches, _, _) in list(make_archives.PRODUCT_ARCHIVES.items()):
            extra[label] = switches
        for label, switches in extra.items():
            path = os.path.join(tmp, f"tiny-{label}.7z")
            make_archives.run(make_archives.SEVEN_ZIP, "a", "-bd", *switches, path, "dudizu", cwd=src)
            add(path)
    for path in args.archives:
        add(path)
    print(f"make_seeds: {seeds} seeds in {args.outdir}")


if __name__ == "__main__":
    main()
