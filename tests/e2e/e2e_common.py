"""What the end-to-end scenarios share: the reference tree of the payload (7zz's extraction of the
archive the build embedded), tree comparison, settings files read as a user reads them, polling, and
the command line every scenario script takes."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

# The user's own settings, as a user leaves them after editing: a byte-order mark, CRLF and LF
# line ends, a comment in Chinese, a second section, and no line end at the very end. A
# re-installation must give back exactly these bytes.
USER_CONFIG = ("\ufeff[ZeReveza]\r\nlanguage=en-US\r\ntheme=dark\r\n; 用户自己的设置\r\n"
               "install=Setup-13.exe\r\n\r\n[Window]\nx=10\ny=20").encode("utf-8")

COMPLETED = "安装完成"
FAILED_PREFIX = "安装失败，错误代码："
# The damaged installer's archive is cut in half: its end header then lies past the end of the
# file, which the LZMA SDK reports as SZ_ERROR_INPUT_EOF.
DAMAGED_CODE = 6
# The second line of a failure that the archive itself caused: the installer is damaged.
DAMAGED_REASON = "此安装程序已损坏，请重新下载后再运行。"

INSTALL_FOLDER = "dudizu"
STAGING = "main.7z"
LOG = "launch.log"
# The installer's list of what it installed, kept in the install folder for the next update.
INSTALLED = "ZyvInstall.installed"
CONFIG = "config.ini"

ARGS = None  # the parsed command line, for the test cases


def parse_arguments(add_options):
    """Parses the scenario script's own options; what is left (test names) goes to unittest."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--installer", required=True, help="the installer as the build made it")
    parser.add_argument("--damaged", required=True, help="the same installer with a truncated payload")
    parser.add_argument("--payload", required=True, help="the archive the build embedded")
    parser.add_argument("--next", help="the installer of the next version (for the update scenarios)")
    parser.add_argument("--next-payload", help="the next version's archive")
    parser.add_argument("--sevenzip", default="7zz")
    parser.add_argument("--artifacts", required=True, help="folder for screenshots and reports")
    add_options(parser)
    global ARGS
    ARGS, rest = parser.parse_known_args()
    for name in ("installer", "damaged", "payload", "next", "next_payload", "artifacts"):
        if getattr(ARGS, name) is not None:
            setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    os.makedirs(ARGS.artifacts, exist_ok=True)
    return rest


def run_tests(rest):
    program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    result = program.result
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)  # CTest's SKIP_RETURN_CODE
    sys.exit(0 if result.wasSuccessful() else 1)


_references = {}


def payload_reference(archive=None):
    """The payload (or another archive) as 7zz extracts it, once per process: {relative path: bytes
    or None (folder)}."""
    archive = archive or ARGS.payload
    if archive not in _references:
        out = tempfile.mkdtemp(prefix="zyv-e2e-7zz.")
        try:
            # 7zz reads and writes names through the locale: UTF-8, or the CJK name is mangled.
            env = dict(os.environ, LC_ALL="C.UTF-8")
            subprocess.run([ARGS.sevenzip, "x", "-y", "-bso0", "-bsp0", "-o" + out, archive],
                           check=True, env=env, timeout=120)
            _references[archive] = read_tree(os.path.join(out, INSTALL_FOLDER))
            if archive == ARGS.payload:
                _reference_modes.update(exec_bits(os.path.join(out, INSTALL_FOLDER)))
        finally:
            shutil.rmtree(out, ignore_errors=True)
    return _references[archive]


_reference_modes = {}


def reference_exec_bits():
    payload_reference()
    return dict(_reference_modes)


def read_tree(root):
    """{relative path ('/'-separated): file bytes, or None for a folder}; symbolic links count as
    what they are not allowed to be here: an error."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            key = name if rel == "." else f"{rel}/{name}".replace(os.sep, "/")
            if os.path.islink(path):
                tree[key] = ("symlink", os.readlink(path))
            elif os.path.isdir(path):
                tree[key] = None
            else:
                with open(path, "rb") as f:
                    tree[key] = f.read()
    return tree


def exec_bits(root):
    """{relative path: whether the owner may execute it} for the files of a tree."""
    bits = {}
    for dirpath, _, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for name in filenames:
            key = name if rel == "." else f"{rel}/{name}"
            bits[key] = bool(os.stat(os.path.join(dirpath, name)).st_mode & 0o100)
    return bits


def ini_lines(data):
    """The lines of a settings file as a reader sees them: CR LF or LF, no line-end characters."""
    text = data.decode("utf-8", errors="replace")
    return [line.rstrip("\r") for line in text.split("\n") if line.rstrip("\r") != ""]


def first_install_config_lines(installer_name):
    """The payload's config.ini with the installer's name recorded at the end of [ZeReveza] (the
    sample's only section)."""
    return ini_lines(payload_reference()[CONFIG]) + [f"install={installer_name}"]


def wait_for(predicate, timeout, interval=0.1):
    """Polls predicate until it holds or timeout seconds pass; gives its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def log_lines(path):
    try:
        with open(path, "rb") as f:
            return [l.rstrip("\r") for l in f.read().decode("utf-8", errors="replace").split("\n") if l]
    except FileNotFoundError:
        return []


USER_FILE = "我的笔记.txt"


def tamper_with_product(folder, newline):
    """What a user does to an installed product between installations: deletes a file, changes
    another and adds one of their own. A re-installation repairs the first two, keeps the third."""
    os.remove(os.path.join(folder, "readme.txt"))
    with open(os.path.join(folder, "license.txt"), "ab") as f:
        f.write(b"changed by the user" + newline)
    with open(os.path.join(folder, USER_FILE), "wb") as f:
        f.write(b"mine" + newline)


class TreeAssertions:
    """Mixed into the scenario classes."""

    def assertInstalledTree(self, folder, extra=(), config=None, log_count=1, log_dir=None, archive=None):
        """The install folder holds exactly the payload (byte for byte), config.ini (compared here
        when given as bytes), launch.log with log_count lines naming log_dir (the program is started
        detached, so its line may still be on its way), and the named extra files."""
        log = os.path.join(folder, LOG)
        lines = wait_for(lambda: len(log_lines(log)) >= log_count and log_lines(log), 30) or log_lines(log)
        self.assertEqual(lines, [log_dir] * log_count,
                         f"{log}: one line per start of the program, naming the install folder as its "
                         "working directory")
        actual = read_tree(folder)
        reference = payload_reference(archive)
        self.assertEqual(sorted(actual), sorted(set(reference) | {LOG, INSTALLED} | set(extra)),
                         f"{folder}: the files differ from the payload's")
        for name, content in reference.items():
            if name != CONFIG:
                self.assertEqual(actual[name], content, f"{folder}/{name} differs from the payload's")
        if config is not None:
            self.assertEqual(actual[CONFIG], config, f"{folder}/{CONFIG}")
