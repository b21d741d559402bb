#!/usr/bin/python3
"""Checks that a Windows executable carries the payload as resource "Z" 129, language 2052, byte
for byte.   payload_resource.py PROGRAM.exe PAYLOAD.7z"""
import sys

import pefile


def main(program, payload):
    pe = pefile.PE(program, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    found = []
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in resources.entries if resources else []:
        if rtype.name is None or str(rtype.name) != "Z":
            continue
        for rid in rtype.directory.entries:
            for lang in rid.directory.entries:
                data = lang.data.struct
                found.append((rid.id, lang.id, pe.get_data(data.OffsetToData, data.Size)))
    with open(payload, "rb") as f:
        expected = f.read()
    if [(i, l) for i, l, _ in found] != [(129, 2052)]:
        sys.exit(f"{program}: resources of type Z are {[(i, l) for i, l, _ in found]}, expected [(129, 2052)]")
    if found[0][2] != expected:
        sys.exit(f"{program}: Z/129/2052 holds {len(found[0][2])} bytes that differ from {payload} ({len(expected)})")
    print(f"{program}: Z/129/2052 is {payload} ({len(expected)} bytes)")


if __name__ == "__main__":
    main(*sys.argv[1:])
