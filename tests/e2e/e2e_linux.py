#!/usr/bin/python3
"""The Linux installer end to end: the real build/.../app/ZyvInstall, run by a user with a fresh
home (no XDG variables, no display), checked as the user and an administrator would check it; once
more from a desktop session (an Xvfb screen of its own), where its message is zenity's dialog.

  e2e_linux.py --installer ZyvInstall --damaged ZyvInstall(truncated payload) --payload payload.7z
               --artifacts DIR [--sevenzip 7zz] [Scenarios.test_NAME ...]
"""
import fcntl
import os
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import e2e_common as c  # noqa: E402
from e2e_common import COMPLETED, CONFIG, INSTALL_FOLDER, STAGING, USER_CONFIG, wait_for


# A byte of the sample payload's packed data changed: the LZMA SDK's SZ_ERROR_DATA.
FLIPPED_CODE = 1
# The programs that would show the message as a dialog, stood in for where there is no session.
DIALOG_PROGRAMS = ("zenity", "kdialog", "notify-send")


class User:
    """A user account as a fresh home folder: a desktop, nothing else. With data_name, the user's
    XDG_DATA_HOME names that folder of the home instead of the default ~/.local/share. Stand-ins
    for the dialog programs, first on the path, note in root/dialogs any call made to them."""

    def __init__(self, root, home_name="home", data_name=None):
        self.home = os.path.join(root, home_name)
        self.desktop = os.path.join(self.home, "Desktop")
        self.data_home = os.path.join(self.home, data_name) if data_name else None
        self.data = self.data_home or os.path.join(self.home, ".local", "share")
        self.folder = os.path.join(self.data, INSTALL_FOLDER)
        self.config = os.path.join(self.folder, CONFIG)
        self.shortcut = os.path.join(self.desktop, "Kelvora.desktop")
        self.menu_entry = os.path.join(self.data, "applications", "Kelvora.desktop")
        self.dialogs = os.path.join(root, "dialogs")
        self.stand_ins = os.path.join(root, "bin")
        os.makedirs(self.desktop)
        os.makedirs(self.stand_ins, exist_ok=True)
        for name in DIALOG_PROGRAMS:
            path = os.path.join(self.stand_ins, name)
            with open(path, "w") as f:
                f.write(f"#!/bin/sh\nprintf '%s\\n' \"$0 $*\" >> {shlex.quote(self.dialogs)}\n")
            os.chmod(path, 0o755)

    def env(self, display=None):
        # What a login gives: HOME and a path; no XDG_* (the defaults apply), and no display unless
        # one is given (without one the message is the line on standard output alone, whatever
        # dialog programs there are).
        env = {"HOME": self.home, "PATH": f"{self.stand_ins}:/usr/bin:/bin", "LC_ALL": "C.UTF-8",
               "USER": "anna"}
        if display:
            env.update(DISPLAY=display, PATH="/usr/bin:/bin")
        if self.data_home:
            env["XDG_DATA_HOME"] = self.data_home
        return env

    def copy_installer(self, program, name):
        downloads = os.path.join(self.home, "Downloads")
        os.makedirs(downloads, exist_ok=True)
        copy = os.path.join(downloads, name)
        shutil.copy2(program, copy)
        return copy

    def install(self, program):
        """Runs the installer to its end: (exit status, standard output)."""
        run = subprocess.run([program], env=self.env(), cwd=self.home, stdout=subprocess.PIPE, timeout=120)
        return run.returncode, run.stdout.decode("utf-8", errors="replace")

    def install_holding_the_message(self, program, while_held):
        """Runs the installer with its standard output full, so writing its message blocks as a
        message box does until the user closes it; while_held(held) runs at that moment, held
        telling whether the installer was seen blocked there. Gives (exit status, standard output
        without the filler)."""
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
        os.set_blocking(write_end, False)
        filler = 0
        try:
            while True:
                filler += os.write(write_end, b"." * 4096)
        except BlockingIOError:
            pass
        os.set_blocking(write_end, True)
        try:
            proc = subprocess.Popen([program], env=self.env(), cwd=self.home, stdout=write_end)
        finally:
            os.close(write_end)
        try:
            # Blocked in write(1, ...): /proc gives the system call a process waits in. Where it may
            # not be read (a strict ptrace policy), the shortcut, the step before the message, and a
            # pause stand in.
            def blocked_writing_output():
                try:
                    with open(f"/proc/{proc.pid}/syscall") as f:
                        return f.read().split()[:2] == ["1", "0x1"]
                except PermissionError:
                    return os.path.exists(self.shortcut) and (time.sleep(1) or proc.poll() is None)
                except OSError:
                    return False

            held = wait_for(blocked_writing_output, 60)
            while_held(held)
        finally:
            chunks = []
            while chunk := os.read(read_end, 65536):
                chunks.append(chunk)
            os.close(read_end)
            status = proc.wait(timeout=60)
        return status, b"".join(chunks)[filler:].decode("utf-8", errors="replace")


def desktop_entry(path):
    """The [Desktop Entry] keys of a launcher, with Exec split into its arguments as desktops do
    (string escapes, then quoting, then %%)."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    values = {}
    for line in lines[1:]:
        key, _, value = line.partition("=")
        value = (value.replace("\\\\", "\0").replace("\\s", " ").replace("\\n", "\n").replace("\\t", "\t")
                 .replace("\\r", "\r").replace("\0", "\\"))
        values[key] = value
    values["Exec"] = [a.replace("%%", "%") for a in shlex.split(values.get("Exec", ""))]
    return lines[0], values


def listing(root):
    """Every path under root, relative, sorted."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            found.append(os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(found)


class Scenarios(unittest.TestCase, c.TreeAssertions):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="zyv-e2e-linux.")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    # What every completed installation leaves.
    def assertInstalled(self, user, installer_name, log_count=1, extra=(), config=None):
        self.assertInstalledTree(user.folder, extra=extra, config=config, log_count=log_count,
                                 log_dir=user.folder)
        with open(user.config, "rb") as f:
            data = f.read()
        if config is None:
            self.assertEqual(c.ini_lines(data), c.first_install_config_lines(installer_name))
            # The profile writer keeps every byte it does not change.
            self.assertTrue(data.startswith(c.payload_reference()[CONFIG]), data)
        modes = c.exec_bits(user.folder)
        for name, executable in c.reference_exec_bits().items():
            if name != CONFIG:
                self.assertEqual(modes[name], executable, f"{name}: executable bit as in the archive")
        # No staging file, no backup, nothing beside the install folder but the menu's folder.
        self.assertEqual(sorted(os.listdir(user.data)), ["applications", INSTALL_FOLDER])
        self.assertShortcut(user)
        self.assertFalse(os.path.exists(user.dialogs), "a dialog was shown without a desktop session")

    def assertShortcut(self, user):
        """The desktop's launcher and the menu's entry: valid, and the program with no arguments, in
        its folder."""
        self.assertEqual(os.listdir(user.desktop), ["Kelvora.desktop"])
        self.assertTrue(os.access(user.shortcut, os.X_OK), "a launcher must be executable to be trusted")
        for path in (user.shortcut, user.menu_entry):
            with self.subTest(path):
                check = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
                self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))
                group, entry = desktop_entry(path)
                self.assertEqual(group, "[Desktop Entry]")
                self.assertEqual(entry["Exec"], [os.path.join(user.folder, "ZyvSHelp.exe")])
                self.assertEqual(entry["Path"], user.folder)
                self.assertEqual((entry["Type"], entry["Name"]), ("Application", "Kelvora"))

    def assertMessage(self, result, message, reason=None):
        status, output = result
        self.assertEqual(status, 0, output)
        lines = output.splitlines()
        self.assertTrue(lines, "nothing was printed")
        self.assertEqual(lines[0], message, output)
        if reason is not None:
            self.assertEqual(lines[1:2], [reason], output)
        # One message only: the rest, if anything, is the started program's own output.
        self.assertEqual([l for l in lines if l.startswith("安装")], [message], output)

    def edit_settings(self, user):
        with open(user.config, "wb") as f:
            f.write(USER_CONFIG)

    def test_first_install(self):
        """One message, then the program starts in the install folder; the tree is the payload."""
        user = User(self.root)
        seen = {}

        def while_held(held):
            seen["held"] = held
            seen["log"] = os.path.exists(os.path.join(user.folder, c.LOG))
            seen["shortcut"] = os.path.exists(user.shortcut)

        result = user.install_holding_the_message(os.path.abspath(c.ARGS.installer), while_held)
        self.assertTrue(seen["held"], "the installer never waited on its message")
        self.assertTrue(seen["shortcut"], "the shortcut comes before the message")
        self.assertFalse(seen["log"], "the program was started before the message was read")
        self.assertMessage(result, COMPLETED)
        self.assertInstalled(user, "ZyvInstall")
        # Nothing else in the home: the desktop entry, the menu's entry (and the cache that
        # update-desktop-database keeps beside it) and the data folder's tree only.
        expected = ["Desktop", "Desktop/Kelvora.desktop", ".local", ".local/share", ".local/share/dudizu",
                    ".local/share/applications", ".local/share/applications/Kelvora.desktop"]
        if shutil.which("update-desktop-database", path="/usr/bin:/bin"):
            expected.append(".local/share/applications/mimeinfo.cache")
        expected += [".local/share/dudizu/" + n for n in [*c.payload_reference(), c.LOG, c.INSTALLED]]
        self.assertEqual(listing(user.home), sorted(expected))

    def test_renamed_installer(self):
        """A copy renamed by the user, with CJK and spaces, records that name."""
        user = User(self.root)
        setup = user.copy_installer(c.ARGS.installer, "Setup 安装 v2.exe")
        self.assertMessage(user.install(setup), COMPLETED)
        self.assertInstalled(user, "Setup 安装 v2.exe")

    def test_reinstall_after_edit(self):
        """Installing again keeps the user's settings byte for byte and repairs the product; a link
        planted at main.7z meanwhile is replaced, and the user's file it leads to stays as it was."""
        user = User(self.root)
        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.assertInstalled(user, "ZyvInstall")
        self.edit_settings(user)
        c.tamper_with_product(user.folder, b"\n")
        notes = os.path.join(user.home, "notes.txt")
        with open(notes, "wb") as f:
            f.write(b"the user's own notes\n")
        os.symlink(notes, os.path.join(user.data, STAGING))

        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.assertInstalled(user, "ZyvInstall", log_count=2, extra=[c.USER_FILE], config=USER_CONFIG)
        with open(notes, "rb") as f:
            self.assertEqual(f.read(), b"the user's own notes\n")

    def test_update_while_running(self):
        """Kelvora open during an update: the installation completes, the tree is the payload's and
        the settings the user's, and the open program goes on with its old image."""
        user = User(self.root)
        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.edit_settings(user)
        log = os.path.join(user.folder, c.LOG)
        running = subprocess.Popen([os.path.join(user.folder, "ZyvSHelp.exe")], cwd=user.folder,
                                   env=dict(user.env(), ZYVSHELP_WAIT="1"), stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_for(lambda: len(c.log_lines(log)) == 2, 30), "the program did not start")
            self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
            self.assertIsNone(running.poll(), "the open program was stopped")
        finally:
            running.stdin.close()
            running.wait(30)
        self.assertInstalled(user, "ZyvInstall", log_count=3, config=USER_CONFIG)

    def test_update_and_back(self):
        """v1, its settings edited; v2, whose tree changes shape and case; v1 again: each run leaves
        exactly its version's tree with the user's settings."""
        if c.ARGS.next is None:
            self.skipTest("the next version is given with --next")
        user = User(self.root)
        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.edit_settings(user)
        self.assertMessage(user.install(c.ARGS.next), COMPLETED)
        self.assertInstalledTree(user.folder, config=USER_CONFIG, log_count=2, log_dir=user.folder,
                                 archive=c.ARGS.next_payload)
        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.assertInstalled(user, "ZyvInstall", log_count=3, config=USER_CONFIG)

    def test_unusual_home(self):
        """A home whose path holds CJK and a character outside the BMP, with a data folder of such a
        name that XDG_DATA_HOME points to."""
        user = User(self.root, "用户 \U0001F600\U0002070E", data_name="数据 \U0001F600")
        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.assertInstalled(user, "ZyvInstall")
        self.edit_settings(user)
        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.assertInstalled(user, "ZyvInstall", log_count=2, config=USER_CONFIG)

    def test_damaged_payload(self):
        """A truncated payload, then one with a byte of its packed data changed: the failure and its
        code each time, and the user's settings untouched."""
        user = User(self.root)
        self.assertMessage(user.install(c.ARGS.installer), COMPLETED)
        self.edit_settings(user)

        truncated = user.copy_installer(c.ARGS.damaged, "ZyvInstall")
        flipped = user.copy_installer(c.ARGS.installer, "Flipped")
        with open(flipped, "r+b") as f:
            program = f.read()
            with open(c.ARGS.payload, "rb") as payload:
                at = program.find(payload.read())
            self.assertGreater(at, 0, "the payload is not in the installer")
            f.seek(at + 32 + 16)  # past the signature header, inside the packed data
            f.write(bytes([program[at + 32 + 16] ^ 0x55]))
        # A block is decoded only when one of its files is not there already: the installed copy of
        # one file of the flipped block has other bytes, which the failed run must leave.
        readme = os.path.join(user.folder, "readme.txt")
        with open(readme, "rb") as f:
            installed = f.read()
        for runs, (damaged, code) in enumerate(((truncated, c.DAMAGED_CODE), (flipped, FLIPPED_CODE)), 2):
            with self.subTest(os.path.basename(damaged)):
                with open(readme, "wb") as f:
                    f.write(installed.upper())
                self.assertMessage(user.install(damaged), f"{c.FAILED_PREFIX}{code}", c.DAMAGED_REASON)
                with open(readme, "rb") as f:
                    self.assertEqual(f.read(), installed.upper())
                with open(readme, "wb") as f:
                    f.write(installed)
                # The earlier installation stays as it was, and the launch is attempted all the same.
                self.assertInstalled(user, "ZyvInstall", log_count=runs, config=USER_CONFIG)
                self.assertFalse(os.path.exists(os.path.join(user.data, STAGING)))

    def test_message_in_a_desktop_session(self):
        """Started from a desktop (a display, standard output not a terminal): the message is also
        zenity's dialog, with the caption and the text, photographed; the installer waits for it to
        be closed, and only then starts the program and ends."""
        display = start_screen(self)
        for tool in ("zenity", "xdotool", "import"):
            self.assertIsNotNone(shutil.which(tool), f"{tool} is missing: scripts/setup installs it")
        user = User(self.root)
        log = os.path.join(user.folder, c.LOG)
        screen = dict(os.environ, DISPLAY=display)
        proc = subprocess.Popen([c.ARGS.installer], env=user.env(display), cwd=user.home,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: proc.poll() is not None or proc.kill())

        def dialog_window():
            return xdotool_search(screen).split()[:1] or proc.poll() is not None

        window = wait_for(dialog_window, 60)
        self.assertTrue(isinstance(window, list) and window,
                        "no dialog appeared: the installer ended, or a minute went by")
        window = window[0]
        self.assertEqual(child_commands(proc.pid),
                         [["zenity", "--info", "--no-markup", "--title=ZyvInstall", f"--text={COMPLETED}"]])
        time.sleep(1)  # let it finish painting
        photo = os.path.join(c.ARGS.artifacts, "linux-message-dialog.png")
        subprocess.run(["import", "-window", "root", photo], env=screen, check=True, timeout=60)
        self.assertGreater(os.path.getsize(photo), 0)
        # Waiting on its dialog: still running, the program not started.
        self.assertIsNone(proc.poll(), "the installer did not wait for its dialog")
        self.assertEqual(c.log_lines(log), [], "the program was started before the dialog was closed")

        # OK is the dialog's default button: focus it and press Enter, a few times if need be.
        def dialog_gone():
            return xdotool_search(screen) == ""

        for _ in range(3):
            subprocess.run(["xdotool", "windowfocus", "--sync", window], env=screen, capture_output=True,
                           timeout=10)
            subprocess.run(["xdotool", "key", "--clearmodifiers", "Return"], env=screen, check=True,
                           timeout=10)
            if wait_for(dialog_gone, 5):
                break
        self.assertTrue(dialog_gone(), "the dialog did not close")
        output, _ = proc.communicate(timeout=60)
        self.assertMessage((proc.returncode, output.decode("utf-8", errors="replace")), COMPLETED)
        self.assertInstalled(user, "ZyvInstall")


def start_screen(test):
    """An Xvfb screen of the test's own, on a display number that Xvfb picks (-displayfd), ended
    with the test; the test is skipped where none can start."""
    if shutil.which("Xvfb") is None:
        test.skipTest("Xvfb is not installed")
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write_end)
    test.addCleanup(lambda: (xvfb.terminate(), xvfb.wait(30)))
    number = b""
    with os.fdopen(read_end, "rb") as announced:
        while not number.endswith(b"\n") and select.select([announced], [], [], 20)[0]:
            chunk = os.read(announced.fileno(), 16)
            if not chunk:
                break
            number += chunk
    if not number.strip().isdigit():
        test.skipTest("Xvfb could not start")
    return ":" + number.decode().strip()


def xdotool_search(screen):
    """The ids of the visible windows captioned ZyvInstall on the screen, one a line."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^ZyvInstall$"], env=screen,
                          capture_output=True, text=True, timeout=30).stdout


def child_commands(pid):
    """The command lines of pid's children."""
    commands = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                parent = int(f.read().rsplit(b")", 1)[1].split()[1])
            if parent == pid:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    arguments = f.read().split(b"\0")[:-1]
                commands.append([a.decode("utf-8", errors="replace") for a in arguments])
        except (OSError, ValueError, IndexError):
            continue
    return commands


if __name__ == "__main__":
    c.run_tests(c.parse_arguments(lambda parser: None))
