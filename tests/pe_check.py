#!/usr/bin/python3
"""Checks the built ZyvInstall.exe as a file: machine, GUI subsystem, ASLR and DEP, the imports, the
manifest, the version resource and the icon group.

usage: pe_check.py EXE --arch i686|x86_64 --version 14.0.0.6
"""
import argparse
import sys
import xml.etree.ElementTree as ET

import pefile

MACHINES = {"i686": 0x14C, "x86_64": 0x8664}
SUBSYSTEM_WINDOWS_GUI = 2
DYNAMIC_BASE = 0x40
NX_COMPAT = 0x100
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_ZH_CN = 0x0804
CODEPAGE_UTF16 = 1200

# DLLs every Windows has; a build that needs any other (libstdc++, libgcc, winpthread) cannot start
# on a clean machine.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
               "comctl32.dll", "advapi32.dll", "shlwapi.dll", "msvcrt.dll", "ucrtbase.dll", "ntdll.dll",
               "comdlg32.dll", "version.dll", "uuid.dll", "ws2_32.dll", "bcrypt.dll", "crypt32.dll"}

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_SETTINGS = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WINDOWS_SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def expect(self, ok, what, got=None):
        if ok:
            self.passed += 1
            print(f"ok    {what}")
        else:
            self.failed += 1
            print(f"FAIL  {what}" + (f" (got {got!r})" if got is not None else ""))


def resources(pe, type_id):
    """{id: [(language, data)]} for one resource type."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            for lang in entry.directory.entries:
                rva, size = lang.data.struct.OffsetToData, lang.data.struct.Size
                found.setdefault(entry.id, []).append((lang.id, pe.get_data(rva, size)))
    return found


def check_headers(pe, arch, c):
    c.expect(pe.FILE_HEADER.Machine == MACHINES[arch], f"machine {MACHINES[arch]:#x} ({arch})",
             hex(pe.FILE_HEADER.Machine))
    c.expect(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_WINDOWS_GUI, "GUI subsystem: no console",
             pe.OPTIONAL_HEADER.Subsystem)
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    c.expect(flags & DYNAMIC_BASE, "DYNAMIC_BASE (ASLR)", hex(flags))
    c.expect(flags & NX_COMPAT, "NX_COMPAT (DEP)", hex(flags))
    # ASLR needs the relocations to move the image; a linker that drops them leaves the flag empty.
    relocs = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    c.expect(relocs.Size > 0, "base relocations present", relocs.Size)


def check_imports(pe, c):
    dlls = [imp.dll.decode().lower() for imp in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    foreign = [d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")]
    c.expect(dlls and not foreign, f"imports only system DLLs {sorted(dlls)}", foreign)


def check_manifest(pe, c):
    manifests = resources(pe, RT_MANIFEST)
    c.expect(list(manifests) == [1] and len(manifests[1]) == 1, "one manifest, id 1", list(manifests))
    if 1 not in manifests:
        return
    root = ET.fromstring(manifests[1][0][1])
    level = root.find(f".//{ASM_V3}requestedExecutionLevel")
    c.expect(level is not None and level.get("level") == "requireAdministrator", "requireAdministrator",
             level is not None and level.attrib)
    c.expect(level is not None and level.get("uiAccess") == "false", "uiAccess false",
             level is not None and level.attrib)
    deps = [e.attrib for e in root.iter(f"{ASM_V1}assemblyIdentity")]
    controls = [d for d in deps if d.get("name") == "Microsoft.Windows.Common-Controls"]
    c.expect(len(controls) == 1 and controls[0].get("version") == "6.0.0.0" and
             controls[0].get("processorArchitecture") == "*" and controls[0].get("type") == "win32",
             "common controls 6.0.0.0, any processor", deps)
    dpi = root.find(f".//{WINDOWS_SETTINGS}dpiAware")
    c.expect(dpi is not None and dpi.text.strip().lower() == "true", "DPI-aware", dpi is not None and dpi.text)
    long_paths = root.find(f".//{WINDOWS_SETTINGS_2016}longPathAware")
    c.expect(long_paths is not None and long_paths.text.strip().lower() == "true", "long-path aware",
             long_paths is not None and long_paths.text)


def check_version(pe, version, c):
    versions = resources(pe, RT_VERSION)
    c.expect(list(versions) == [1] and [lang for lang, _ in versions[1]] == [LANG_ZH_CN],
             "one version resource, language 0x0804", {k: [lang for lang, _ in v] for k, v in versions.items()})
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    parts = [int(p) for p in version.split(".")]
    want_ms, want_ls = parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]
    c.expect(fixed is not None and (fixed.FileVersionMS, fixed.FileVersionLS) == (want_ms, want_ls),
             f"FILEVERSION {','.join(map(str, parts))}",
             fixed and f"{fixed.FileVersionMS:#x} {fixed.FileVersionLS:#x}")
    c.expect(fixed is not None and (fixed.ProductVersionMS, fixed.ProductVersionLS) == (want_ms, want_ls),
             f"PRODUCTVERSION {','.join(map(str, parts))}")

    tables = {}
    translations = []
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                tables[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
            for var in getattr(block, "Var", []):
                translations.append(var.entry.get(b"Translation"))
    c.expect(list(tables) == ["080404b0"], "string table 080404b0", list(tables))
    want = {"FileDescription": "ZyvInstall", "FileVersion": version, "InternalName": "ZyvInstall.exe",
            "OriginalFilename": "ZyvInstall.exe", "ProductName": "Kelvora", "ProductVersion": version}
    strings = tables.get("080404b0", {})
    for key, value in want.items():
        c.expect(strings.get(key) == value, f"{key} = {value!r}", strings.get(key))
    c.expect(translations == ["0x0804 0x04b0"], "Translation 0x0804, 1200", translations)


def check_icon(pe, c):
    groups = resources(pe, RT_GROUP_ICON)
    icons = resources(pe, RT_ICON)
    c.expect(128 in groups, "icon group 128", list(groups))
    if 128 not in groups:
        return
    data = groups[128][0][1]
    reserved, kind, count = (int.from_bytes(data[i:i + 2], "little") for i in (0, 2, 4))
    c.expect(reserved == 0 and kind == 1 and count >= 3, "icon group holds several images", count)
    sides = set()
    for n in range(count):
        entry = data[6 + 14 * n:6 + 14 * (n + 1)]
        side = entry[0] or 256
        size = int.from_bytes(entry[8:12], "little")
        icon_id = int.from_bytes(entry[12:14], "little")
        present = icon_id in icons and len(icons[icon_id][0][1]) == size
        c.expect(present, f"icon image {side}x{side} (id {icon_id}, {size} bytes) present")
        sides.add(side)
    c.expect({16, 32, 48, 256} <= sides, "sizes 16, 32, 48 and 256", sorted(sides))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()

    pe = pefile.PE(args.exe)
    c = Checks()
    check_headers(pe, args.arch, c)
    check_imports(pe, c)
    check_manifest(pe, c)
    check_version(pe, args.version, c)
    check_icon(pe, c)
    print(f"{c.passed} passed, {c.failed} failed")
    return 1 if c.failed else 0


if __name__ == "__main__":
    sys.exit(main())
