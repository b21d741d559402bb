#!/usr/bin/env python3
"""Builds the benchmark's payload archives from files already on this machine.

    make_payloads.py OUTDIR [NAME...]

writes OUTDIR/product.7z and OUTDIR/large.7z, each laid out like the installer's payload (one
folder dudizu with config.ini and ZyvSHelp.exe), packed by 7zz as res/product/pack.cmake packs the
sample product: a solid LZMA2 folder of documents and settings, then a BCJ2 folder of programs;
and OUTDIR/pe-default.7z and OUTDIR/pe-bcj2.7z, one tree of real Windows programs packed twice.

  product     about 9 MB unpacked, 4 MB packed: the shipped product's shape
  large       about 200 MB unpacked: text, PE32 libraries and ELF libraries
  pe-default  Wine's PE32 DLLs and programs (some 750 files, 550 MB) with config.ini and the
              program, packed with 7zz a -t7z and no options: 7-Zip's own choice of blocks (a
              large BCJ one for the programs), dictionary and threads
  pe-bcj2     the same tree, packed -ms=64m -mf=BCJ2: blocks of at most 64 MB

The content is real: documentation text from /usr/share/doc and libraries from Wine's PE32 build
and the system's ELF libraries, so the compression ratio and the branch-filter work are those of
real programs. The choice is deterministic (paths ordered by a hash of their name, no timestamps,
fixed modes, one compression thread), so on one machine every run gives the same bytes; an archive
is rebuilt only when its recipe or this script changes.
"""

import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys

DOC_ROOT = "/usr/share/doc"
PE_ROOTS = ["/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/i686-w64-mingw32/lib",
            "/usr/lib/gcc/i686-w64-mingw32"]
ELF_ROOTS = ["/usr/lib/x86_64-linux-gnu"]
PROGRAM = "/usr/bin/true"  # the installer starts ZyvSHelp.exe: it must run, and end at once

BINARY_SUFFIXES = (".gz", ".bz2", ".xz", ".zst", ".zip", ".png", ".jpg", ".jpeg", ".gif", ".pdf",
                   ".ico", ".svgz", ".woff", ".ttf", ".otf")

# name: (text bytes, compressed-document bytes, PE32 bytes, ELF bytes, largest single file)
RECIPES = {
    "product": (600_000, 1_800_000, 1_500_000, 5_500_000, 1_500_000),
    "large": (60_000_000, 0, 70_000_000, 78_000_000, 8_000_000),
}

# name: the switches the PE tree is packed with, beside -t7z (the tree is the same for both).
PE_TREES = {
    "pe-default": [],
    "pe-bcj2": ["-ms=64m", "-mf=BCJ2"],
}
PE_TREE = "/usr/lib/i386-linux-gnu/wine/i386-windows"

COMMON = ["-t7z", "-mx=9", "-mmt=1", "-ms=on", "-mhc=on", "-mtm=off", "-mtc=off", "-mta=off",
          "-bso0", "-bsp0"]


def Ordered(paths):
    return sorted(paths, key=lambda p: hashlib.sha1(p.encode()).hexdigest())


def RegularFiles(roots, accept):
    found = []
    for root in roots:
        for folder, dirs, files in os.walk(root):
            dirs.sort()
            for name in files:
                path = os.path.join(folder, name)
                try:
                    st = os.lstat(path)
                except OSError:
                    continue
                if stat.S_ISREG(st.st_mode) and st.st_size > 0 and accept(path):
                    found.append(path)
    return Ordered(found)


def Head(path, n):
    try:
        with open(path, "rb") as f:
            return f.read(n)
    except OSError:
        return b""


def IsText(path):
    return not path.lower().endswith(BINARY_SUFFIXES) and b"\0" not in Head(path, 4096)


def Candidates():
    """Every kind of source file, in the order they are taken: (kind, root, paths)."""
    pe_roots = [r for r in PE_ROOTS if os.path.isdir(r)]
    return {
        "text": (DOC_ROOT, RegularFiles([DOC_ROOT], IsText)),
        "packed": (DOC_ROOT, RegularFiles([DOC_ROOT], lambda p: p.endswith(".gz"))),
        "pe": (None, RegularFiles(pe_roots, lambda p: p.endswith((".dll", ".exe")) and Head(p, 2) == b"MZ")),
        "elf": (ELF_ROOTS[0], RegularFiles(ELF_ROOTS, lambda p: ".so" in p and Head(p, 4) == b"\x7fELF")),
    }


# Where each kind goes in the tree, whether it is a program, and how it is stripped as shipped.
LAYOUT = {
    "text": ("dudizu/docs/", False, None),
    "packed": ("dudizu/docs/", False, None),
    "pe": ("dudizu/bin/", True, "i686-w64-mingw32-strip"),
    "elf": ("dudizu/lib/", True, "strip"),
}


def Fill(work, kind, root, paths, budget, largest, taken, programs):
    """Copies files of one kind into work until budget bytes (after stripping) are reached."""
    prefix, executable, strip = LAYOUT[kind]
    total = 0
    for path in paths:
        if total >= budget * 0.98:
            break
        if os.path.getsize(path) > 4 * largest:
            continue
        name = prefix + (os.path.relpath(path, root) if root else os.path.basename(path))
        if name in taken:
            continue
        target = os.path.join(work, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)
        if strip and subprocess.run([strip, target], capture_output=True).returncode != 0:
            os.remove(target)
            continue
        size = os.path.getsize(target)
        if size > largest or total + size > budget:
            os.remove(target)
            continue
        os.chmod(target, 0o755 if executable else 0o644)
        taken.add(name)
        total += size
        if executable:
            programs.append(name)


def Pack(recipe, candidates, work, output):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "dudizu"))
    with open(os.path.join(work, "dudizu", "config.ini"), "w", newline="\r\n") as f:
        f.write("[ZeReveza]\nlanguage=zh-CN\ntheme=light\n\n[Window]\nwidth=1024\nheight=768\n")
    shutil.copyfile(PROGRAM, os.path.join(work, "dudizu", "ZyvSHelp.exe"))
    os.chmod(os.path.join(work, "dudizu", "ZyvSHelp.exe"), 0o755)
    programs = ["dudizu/ZyvSHelp.exe"]
    *budgets, largest = recipe
    taken = set()
    for (kind, (root, paths)), budget in zip(candidates.items(), budgets):
        if budget:
            Fill(work, kind, root, paths, budget, largest, taken, programs)
    for folder, dirs, _ in os.walk(work):
        for d in dirs:
            os.chmod(os.path.join(folder, d), 0o755)

    archive = os.path.join(work, "payload.7z")
    env = dict(os.environ, LC_ALL="C.UTF-8")
    with open(os.path.join(work, "programs.txt"), "w") as f:
        f.write("\n".join(programs) + "\n")
    # Two additions give two folders: the documents first, then the programs under BCJ2.
    subprocess.run(["7zz", "a", *COMMON, "-m0=LZMA2", "-mf=off", archive, "dudizu", "-x@programs.txt"],
                   cwd=work, env=env, check=True)
    subprocess.run(["7zz", "a", *COMMON, "-m0=LZMA2", "-mf=BCJ2", archive, "@programs.txt"], cwd=work,
                   env=env, check=True)
    os.replace(archive, output)
    shutil.rmtree(work)


def PackTree(switches, work, output):
    """The PE tree under dudizu/bin, with the settings and the program, packed with switches only."""
    shutil.rmtree(work, ignore_errors=True)
    top = os.path.join(work, "dudizu")
    shutil.copytree(PE_TREE, os.path.join(top, "bin"), symlinks=False)
    with open(os.path.join(top, "config.ini"), "w", newline="\r\n") as f:
        f.write("[ZeReveza]\nlanguage=zh-CN\ntheme=light\n")
    shutil.copyfile(PROGRAM, os.path.join(top, "ZyvSHelp.exe"))
    for folder, dirs, files in os.walk(top):
        for d in dirs:
            os.chmod(os.path.join(folder, d), 0o755)
        for n in files:
            os.chmod(os.path.join(folder, n), 0o755)
    archive = os.path.join(work, "payload.7z")
    env = dict(os.environ, LC_ALL="C.UTF-8")
    subprocess.run(["7zz", "a", "-t7z", *switches, "-bso0", "-bsp0", archive, "dudizu"], cwd=work, env=env,
                   check=True)
    os.replace(archive, output)
    shutil.rmtree(work)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: make_payloads.py OUTDIR [NAME...]")
    out = os.path.abspath(sys.argv[1])
    names = sys.argv[2:] or list(RECIPES) + [n for n in PE_TREES if os.path.isdir(PE_TREE)]
    os.makedirs(out, exist_ok=True)
    with open(__file__, "rb") as f:
        script = hashlib.sha1(f.read()).hexdigest()
    candidates = Candidates()
    listing = [(k, [(p, os.path.getsize(p)) for p in paths]) for k, (_, paths) in candidates.items()]
    tree = sorted((os.path.relpath(os.path.join(d, n), PE_TREE), os.path.getsize(os.path.join(d, n)))
                  for d, _, files in os.walk(PE_TREE) for n in files) if os.path.isdir(PE_TREE) else []
    for name in names:
        recipe = RECIPES.get(name) or PE_TREES[name]
        key = hashlib.sha1(json.dumps([script, recipe, listing if name in RECIPES else tree]).encode()).hexdigest()
        output = os.path.join(out, name + ".7z")
        stamp = output + ".key"
        if os.path.exists(output) and os.path.exists(stamp) and open(stamp).read() == key:
            continue
        print(f"make_payloads: packing {name}", flush=True)
        if name in RECIPES:
            Pack(RECIPES[name], candidates, os.path.join(out, name + ".work"), output)
        else:
            PackTree(PE_TREES[name], os.path.join(out, name + ".work"), output)
        with open(stamp, "w") as f:
            f.write(key)


if __name__ == "__main__":
    main()
