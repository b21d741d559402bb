#!/usr/bin/env python3
"""Makes the next version of a payload, for the update scenarios: one file changed and renamed in
case, the program changed (bytes added past its end, where a PE loader does not look), one file
dropped, a new file in a new folder, a file that becomes a folder, and a file whose path at its final
place (in a Windows profile's Local Application Data) is over 300 characters long; packed as the
product is, documents and programs in separate solid blocks.

    make_update.py SEVENZIP PAYLOAD.7z NEXT.7z
"""
import os
import shutil
import subprocess
import sys
import tempfile

CHANGED, DROPPED, ADDED, PROGRAM = "readme.txt", "license.txt", "notes/whatsnew.txt", "ZyvSHelp.exe"
RENAMED = "README.txt"  # CHANGED, in another case
BECOMES_FOLDER = "changelog.md"  # a file of the payload; here a folder holding the same text
DEEP = "/".join(f"level {i:02} of a deep tree" for i in range(12)) + "/the deepest file of this version.txt"


def main():
    sevenzip, payload, output = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="zyv-next.")
    try:
        # 7zz reads and writes names through the locale: UTF-8, or the CJK name is mangled.
        env = dict(os.environ, LC_ALL="C.UTF-8")
        subprocess.run([sevenzip, "x", "-y", "-bso0", "-bsp0", "-o" + work, payload], check=True, env=env)
        folder = os.path.join(work, "dudizu")
        with open(os.path.join(folder, CHANGED), "ab") as f:
            f.write(b"\nThis is the next version.\n")
        os.rename(os.path.join(folder, CHANGED), os.path.join(folder, RENAMED))
        with open(os.path.join(folder, BECOMES_FOLDER), "rb") as f:
            text = f.read()
        os.remove(os.path.join(folder, BECOMES_FOLDER))
        os.makedirs(os.path.join(folder, BECOMES_FOLDER))
        with open(os.path.join(folder, BECOMES_FOLDER, "2026.md"), "wb") as f:
            f.write(text)
        os.makedirs(os.path.dirname(os.path.join(folder, DEEP)))
        with open(os.path.join(folder, DEEP), "wb") as f:
            f.write("最深的文件。\n".encode("utf-8"))
        with open(os.path.join(folder, PROGRAM), "ab") as f:
            f.write(bytes(512))
        os.remove(os.path.join(folder, DROPPED))
        os.makedirs(os.path.join(folder, os.path.dirname(ADDED)))
        with open(os.path.join(folder, ADDED), "wb") as f:
            f.write("新版本的说明。\n".encode("utf-8"))
        archive = os.path.join(work, "next.7z")
        common = ["-t7z", "-mx=9", "-mmt=1", "-ms=on", "-mhc=on", "-mtm=off", "-mtc=off", "-mta=off", "-bso0", "-bsp0"]
        subprocess.run([sevenzip, "a", *common, "-m0=LZMA2", archive, "dudizu", "-x!dudizu/*.exe"],
                       cwd=work, check=True, env=env)
        subprocess.run([sevenzip, "a", *common, "-m0=LZMA2", "-mf=BCJ2", archive, "dudizu/*.exe"],
                       cwd=work, check=True, env=env)
        shutil.move(archive, output)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
