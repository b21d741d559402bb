#!/usr/bin/python3
"""scripts/package as a release engineer runs it: the sample product signed with a throw-away
certificate and time-stamped by a local authority (tsa_server.py) gives the release files (the
signature and its time stamp verify against the test's CA, the signature against no other CA, both
products carry the archive byte for byte, SHA256SUMS holds, the Linux installer installs); archives
the installer cannot install, made here with 7zz, are refused with the reason and leave DIR absent.

  package_test.py --root SRC --payload SAMPLE.7z --sevenzip 7zz --work DIR
"""
import argparse
import os
import shutil
import subprocess
import sys
import unittest
import zlib

ARGS = None


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def package(payload, out, *extra):
    return run([os.path.join(ARGS.root, "scripts", "package"), "--payload", payload, "--out", out,
                "--build-dir", os.path.join(ARGS.work, "build"), *extra])


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ca = os.path.join(ARGS.work, "ca")
        cls.other_ca = os.path.join(ARGS.work, "other-ca")
        for folder in (cls.ca, cls.other_ca):
            subprocess.run(["bash", os.path.join(ARGS.root, "tests", "make_test_ca.sh"), folder], check=True)
        # The sample product's tree, from which the refused archives are packed.
        cls.tree = os.path.join(ARGS.work, "tree")
        shutil.rmtree(cls.tree, ignore_errors=True)
        subprocess.run([ARGS.sevenzip, "x", "-bso0", "-bsp0", f"-o{cls.tree}", ARGS.payload], check=True)

    def test_signed_release(self):
        out = os.path.join(ARGS.work, "release")
        shutil.rmtree(out, ignore_errors=True)
        tsa_server = os.path.join(ARGS.root, "tests", "tsa_server.py")
        tsa = subprocess.Popen(["/usr/bin/python3", tsa_server, self.ca], stdout=subprocess.PIPE, text=True)
        self.addCleanup(tsa.wait)
        self.addCleanup(tsa.kill)
        port = tsa.stdout.readline().strip()
        done = package(ARGS.payload, out, "--sign-pkcs12", os.path.join(self.ca, "signer.pfx"),
                       "--sign-pass-file", os.path.join(self.ca, "signer.pass"),
                       "--timestamp-url", f"http://127.0.0.1:{port}/")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        files = sorted(os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs)
        self.assertEqual(files, ["SHA256SUMS", "ZyvInstall", "ZyvInstall.exe", "unsigned/ZyvInstall.exe"])
        sums = run(["sha256sum", "-c", "SHA256SUMS"], cwd=out)
        self.assertEqual((sums.returncode, len(sums.stdout.splitlines())), (0, 3), sums.stdout + sums.stderr)

        signed = os.path.join(out, "ZyvInstall.exe")
        unsigned = os.path.join(out, "unsigned", "ZyvInstall.exe")
        def verify(exe, ca):
            return run(["osslsigncode", "verify", "-in", exe, "-CAfile", os.path.join(ca, "ca.pem"),
                        "-TSA-CAfile", os.path.join(ca, "ca.pem")])

        ok = verify(signed, self.ca)
        self.assertEqual(ok.returncode, 0, ok.stdout + ok.stderr)
        self.assertIn("Timestamp Server Signature verification: ok", ok.stdout)
        self.assertIn("\nSignature verification: ok", ok.stdout)
        self.assertNotEqual(verify(signed, self.other_ca).returncode, 0)
        self.assertNotEqual(verify(unsigned, self.ca).returncode, 0)
        resource = os.path.join(ARGS.root, "tests", "payload_resource.py")
        for exe in (signed, unsigned):
            check = run(["/usr/bin/python3", resource, exe, ARGS.payload])
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        # The released Linux installer installs the product, checked as the end-to-end suite checks it.
        linux = os.path.join(out, "ZyvInstall")
        e2e = run(["/usr/bin/python3", os.path.join(ARGS.root, "tests", "e2e", "e2e_linux.py"),
                   "--installer", linux, "--damaged", linux, "--payload", ARGS.payload,
                   "--sevenzip", ARGS.sevenzip, "--artifacts", os.path.join(ARGS.work, "e2e"),
                   "Scenarios.test_first_install"])
        self.assertEqual(e2e.returncode, 0, e2e.stdout + e2e.stderr)

    def pack(self, name, *switches, tree=None, rename=None):
        archive = os.path.join(ARGS.work, "refused", name + ".7z")
        if os.path.exists(archive):
            os.remove(archive)
        subprocess.run([ARGS.sevenzip, "a", "-t7z", "-bso0", "-bsp0", *switches, archive, "dudizu"],
                       cwd=tree or self.tree, check=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
        if rename:
            subprocess.run([ARGS.sevenzip, "rn", "-bso0", archive, *rename], check=True)
        return archive

    @staticmethod
    def with_dictionary(archive, size, lclppb=0x5d):
        """archive (LZMA blocks, header stored plain) as if packed with -md of size: the dictionary
        property of every block set in its header (and its lc, lp, pb byte to lclppb), the checksums
        made right. Decoding is unchanged."""
        with open(archive, "rb") as f:
            data = bytearray(f.read())
        header_at = 32 + int.from_bytes(data[12:20], "little")
        coder = data.find(b"\x03\x01\x01\x05\x5d", header_at)  # LZMA, 5 property bytes, every block's
        while coder != -1:
            data[coder + 4:coder + 9] = bytes([lclppb]) + size.to_bytes(4, "little")
            coder = data.find(b"\x03\x01\x01\x05\x5d", coder + 9)
        data[28:32] = zlib.crc32(data[header_at:]).to_bytes(4, "little")
        data[8:12] = zlib.crc32(data[12:32]).to_bytes(4, "little")
        with open(archive, "wb") as f:
            f.write(data)
        return archive

    def test_refused_archives(self):
        """Each refusal names the problem and the way out, and writes nothing to DIR."""
        no_section = os.path.join(ARGS.work, "no-section")
        shutil.rmtree(no_section, ignore_errors=True)
        shutil.copytree(self.tree, no_section)
        with open(os.path.join(no_section, "dudizu", "config.ini"), "w") as f:
            f.write("[Other]\nlanguage=zh-CN\n")
        big = os.path.join(ARGS.work, "big")
        os.makedirs(os.path.join(big, "dudizu"), exist_ok=True)
        for name in ("ZyvSHelp.exe", "config.ini"):
            shutil.copy(os.path.join(self.tree, "dudizu", name), os.path.join(big, "dudizu", name))
        with open(os.path.join(big, "dudizu", "data.bin"), "wb") as f:
            f.truncate((256 << 20) + 1)
        damaged = self.pack("damaged", "-m0=Copy")
        with open(damaged, "r+b") as f:
            f.seek(100)
            byte = f.read(1)
            f.seek(100)
            f.write(bytes([byte[0] ^ 1]))
        cases = {
            "ppmd": (self.pack("ppmd", "-m0=PPMd"), ["PPMd", "-m0=LZMA2"]),
            "arm64": (self.pack("arm64", "-m0=LZMA2", "-mf=ARM64"), ["ARM64", "-mf=BCJ2"]),
            "encrypted": (self.pack("encrypted", "-psecret", "-mhe=on"), ["encrypted", "without -p"]),
            # A block of 257 MiB needs all of a 512 MiB dictionary but the last 255 MiB: more than the
            # installer's dictionaries may take. Its size alone is no reason (blocks are streamed).
            "dictionary": (self.with_dictionary(self.pack("dictionary", "-mx=1", "-m0=LZMA", "-mhc=off", tree=big),
                                                512 << 20), ["257 MiB", "256 MiB", "-md=256m"]),
            # lc, lp and pb beyond their ranges (9 * 5 * 5): properties, not a coder the installer lacks.
            "properties": (self.with_dictionary(self.pack("properties", "-m0=LZMA", "-mhc=off"), 1 << 20, 225),
                           ["coder properties", "code 4"]),
            "outside": (self.pack("outside", rename=["dudizu/readme.txt", "../readme.txt"]),
                        ['"../readme.txt" is unsafe']),
            "duplicate": (self.pack("duplicate", rename=["dudizu/readme.txt", "dudizu/LICENSE.TXT"]),
                          ["one path"]),
            "duplicate_non_ascii": (self.pack("duplicate_non_ascii", rename=["dudizu/readme.txt", "dudizu/\u00c4.txt",
                                                                              "dudizu/license.txt", "dudizu/\u00e4.txt"]),
                                    ["one path", "\u00e4.txt"]),
            "no_program": (self.pack("no_program", "-x!dudizu/ZyvSHelp.exe"), ["no dudizu/ZyvSHelp.exe"]),
            "no_section": (self.pack("no_section", tree=no_section), ["no [ZeReveza] section"]),
            "damaged": (damaged, ["checksum", "damaged"]),
        }
        shutil.rmtree(big)
        out = os.path.join(ARGS.work, "refused-out")
        for name, (archive, words) in cases.items():
            with self.subTest(name):
                shutil.rmtree(out, ignore_errors=True)
                done = package(archive, out)
                self.assertNotEqual(done.returncode, 0, done.stdout)
                for word in words:
                    self.assertIn(word, done.stderr)
                self.assertIn("nothing was built", done.stderr)
                self.assertFalse(os.path.exists(out), f"{name}: {out} was made")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--root", "--payload", "--sevenzip", "--work"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.payload = os.path.abspath(ARGS.payload)
    os.makedirs(os.path.join(ARGS.work, "refused"), exist_ok=True)
    program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)
