#!/usr/bin/python3
"""The Windows installer end to end: the real ZyvInstall.exe, started from the user's Downloads
folder in a fresh Wine prefix on a screen of its own (scripts/wine-harness), checked as the user and
an administrator would check it: the one message box (caption, text, read from inside the prefix
while it is up, and a screenshot), the installed tree, config.ini, the shortcut read back by lnkinfo,
and the start of the program only after the box was closed.

  e2e_windows.py --installer ZyvInstall.exe --damaged ZyvInstall.exe(truncated payload)
                 --payload payload.7z --artifacts DIR --harness scripts/wine-harness
                 --probe box_probe.exe --templates DIR [--sevenzip 7zz] [Scenarios.test_NAME ...]
  e2e_windows.py prepare-template default|unusual INSTALLER HARNESS TEMPLATES

A fresh prefix is a copy of a template that the harness booted once (cp -a: about a second instead
of fifteen or more); templates are kept between runs and rebuilt when Wine changes. A PE32
installer needs a kernel that starts 32-bit processes: without one, everything exits 77 (skipped).
"""
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import e2e_common as c  # noqa: E402
from e2e_common import COMPLETED, CONFIG, INSTALL_FOLDER, STAGING, USER_CONFIG

# The profile names: an ordinary one, and one the ANSI code page in force (1252, from the C.UTF-8
# locale) cannot hold. Wine takes the profile's name from $USER.
USERS = {"default": "anna", "unusual": "用户"}
ANSI_CODE_PAGE = "cp1252"


def wine_environment(user, home):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("XDG_", "WINE", "LC_", "LANG")) and k not in ("DISPLAY", "USER", "LOGNAME")}
    env.update(HOME=home, USER=user, LOGNAME=user, LC_ALL="C.UTF-8", WINEDEBUG="-all")
    return env


def is_pe32(program):
    with open(program, "rb") as f:
        head = f.read(4096)
    offset = int.from_bytes(head[60:64], "little")
    return head[offset + 24:offset + 26] == b"\x0b\x01"


def skip_unless_runnable(program):
    """Exits 77 when this machine cannot run the program under Wine."""
    if not is_pe32(program):
        return
    try:
        ok = subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True, timeout=60).returncode == 0
    except OSError:
        ok = False
    if not ok:
        print("skipped: this kernel cannot start 32-bit processes, so Wine cannot run a PE32 program")
        sys.exit(77)


def wine_version():
    return subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()


def prepare_template(which, installer, harness, templates):
    skip_unless_runnable(installer)
    user = USERS[which]
    template = os.path.join(templates, which)
    stamp = os.path.join(template, ".e2e-template")
    version = f"{wine_version()} user={user}\n"
    try:
        with open(stamp) as f:
            if f.read() == version:
                print(f"{template}: ready ({version.strip()})")
                return 0
    except OSError:
        pass
    shutil.rmtree(template, ignore_errors=True)
    os.makedirs(templates, exist_ok=True)
    work = tempfile.mkdtemp(prefix=f"{which}.", dir=templates)
    try:
        home = os.path.join(work, "home")
        os.makedirs(home)
        prefix = os.path.join(work, "prefix")
        subprocess.run([harness, "--prefix", prefix, "--init"], env=wine_environment(user, home), check=True,
                       timeout=280)
        with open(os.path.join(prefix, ".e2e-template"), "w") as f:
            f.write(version)
        os.rename(prefix, template)  # whole or not at all
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{template}: prepared ({version.strip()})")
    return 0


class Prefix:
    """A fresh Wine prefix for one user: a copy of the template booted for that user."""

    def __init__(self, root, which):
        self.user = USERS[which]
        self.root = root
        self.path = os.path.join(root, "prefix")
        subprocess.run(["cp", "-a", os.path.join(c.ARGS.templates, which), self.path], check=True)
        self.home = os.path.join(root, "home")
        os.makedirs(self.home)
        self.profile = os.path.join(self.path, "drive_c", "users", self.user)
        self.local = os.path.join(self.profile, "AppData", "Local")
        self.desktop = os.path.join(self.profile, "Desktop")
        self.downloads = os.path.join(self.profile, "Downloads")
        self.folder = os.path.join(self.local, INSTALL_FOLDER)
        self.config = os.path.join(self.folder, CONFIG)
        self.shortcut = os.path.join(self.desktop, "Kelvora.lnk")
        # What Windows calls these.
        self.win_folder = f"C:\\users\\{self.user}\\AppData\\Local\\{INSTALL_FOLDER}"
        self.local_before = sorted(os.listdir(self.local))
        os.makedirs(self.downloads, exist_ok=True)

    keep_shell_links = False  # the profile's links into self.home stay as a test made them

    def env(self):
        env = dict(wine_environment(self.user, self.home), WINEPREFIX=self.path)
        if self.keep_shell_links:
            env["ZYV_KEEP_SHELL_LINKS"] = "1"
        return env

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
        shutil.rmtree(self.root, ignore_errors=True)

    def place(self, program, name):
        copy = os.path.join(self.downloads, name)
        shutil.copy2(program, copy)
        return copy

    def settle(self):
        """Waits (a minute at most) until nothing runs in this prefix any more."""
        subprocess.run(["timeout", "60", "wineserver", "-w"], env=self.env(), capture_output=True)

    def run(self, program, stem):
        """Runs the installer under the harness: while its box is up, counts the lines of
        launch.log and reads what the windows on screen say; then OK. Gives the harness's report as
        a dict with 'status', 'output', 'starts_while_box' (program starts since this run began,
        seen while the box was up) and 'probe' (the box_probe records) added."""
        art = os.path.join(c.ARGS.artifacts, stem)
        state, probe = art + ".log-lines-while-box", art + ".probe"
        for f in (state, probe):
            if os.path.exists(f):
                os.remove(f)
        log = os.path.join(self.folder, c.LOG)
        q = shlex.quote
        # The program an earlier run started may not have logged its start yet: let everything
        # running in this prefix end before counting, or its line would be taken for one of this run.
        self.settle()
        lines_before = len(c.log_lines(log))
        hook = (f"tr -cd '\\n' < {q(log)} 2>/dev/null | wc -c > {q(state)}; "
                f"\"$ZYV_HARNESS_WINE\" {q(c.ARGS.probe)} > {q(probe)} 2>/dev/null")
        caption = os.path.splitext(os.path.basename(program))[0]
        cmd = [c.ARGS.harness, "--prefix", self.path, "--caption", caption, "--expect-windows", "1",
               "--screenshot", art + ".png", "--report", art + ".report", "--before-ok", hook, program]
        # Started from the Downloads folder: the current drive is C:, inside the prefix.
        run = subprocess.run(cmd, env=self.env(), cwd=self.downloads, capture_output=True, text=True,
                             timeout=280)
        report = dict(line.split("=", 1) for line in run.stdout.splitlines() if "=" in line)
        report["status"] = run.returncode
        report["output"] = run.stdout + run.stderr
        try:
            with open(state) as f:
                report["starts_while_box"] = int(f.read()) - lines_before
        except (OSError, ValueError):
            report["starts_while_box"] = "(not recorded)"
        records = []
        if os.path.exists(probe):
            with open(probe, encoding="utf-8", errors="replace") as f:
                records = [line.rstrip("\r\n").split("\t") for line in f if line.strip()]
        report["probe"] = records
        return report


def payload_resource(program):
    """The bytes of resource "Z" 129 (any language) of a program."""
    import pefile

    pe = pefile.PE(program, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.name is not None and str(kind.name) == "Z":
            for entry in kind.directory.entries:
                if entry.id == 129:
                    data = entry.directory.entries[0].data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
    return None


def lnkinfo(path):
    """lnkinfo's report: the "Name : value" fields of its first part, and the names of the shell
    items of the link target's identifier list, in order."""
    out = subprocess.run(["lnkinfo", path], capture_output=True, text=True, errors="replace", check=True).stdout
    fields, items = {}, []
    for line in out.splitlines():
        name, sep, value = line.strip().partition(":")
        if not sep:
            continue
        name, value = name.strip(), value.strip() if value.strip() else ""
        if name in ("Name", "Volume name"):
            items.append(value)
        else:
            fields.setdefault(name, value)
    return fields, items, out


class Scenarios(unittest.TestCase, c.TreeAssertions):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="zyv-e2e-wine.")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def fresh_prefix(self, which="default"):
        prefix = Prefix(tempfile.mkdtemp(dir=self.scratch), which)
        self.addCleanup(prefix.close)
        return prefix

    def assertBox(self, report, caption, message):
        """Exactly one box on the screen, with this caption and text and an OK button; the program
        had not been started while it was up; the box went away after OK and the installer ended."""
        details = report["output"] + "\nprobe: " + repr(report["probe"])
        if report.get("window") == "ended":
            self.fail(f"the installer ended (exit {report.get('exit')}) without showing a box\n{details}")
        windows = [r for r in report["probe"] if r[0] == "window"]
        self.assertEqual(windows, [["window", "#32770", caption]], details)
        texts = [r[2] for r in report["probe"] if r[0] == "child" and r[1] == "Static" and r[2]]
        buttons = [r[2] for r in report["probe"] if r[0] == "child" and r[1] == "Button"]
        self.assertEqual((texts, buttons), ([message], ["OK"]), details)
        self.assertEqual((report.get("window"), report.get("caption"), report.get("visible_windows")),
                         ("yes", caption, "1"), details)
        self.assertEqual(report["starts_while_box"], 0, "the program was started while the box was still up")
        self.assertEqual((report.get("closed"), report.get("exit"), report["status"]), ("yes", "0", 0), details)

    def assertInstalled(self, prefix, installer_name, log_count=1, extra=(), config=None):
        self.assertInstalledTree(prefix.folder, extra=extra, config=config, log_count=log_count,
                                 log_dir=prefix.win_folder)
        if config is None:
            with open(prefix.config, "rb") as f:
                self.assertEqual(c.ini_lines(f.read()), c.first_install_config_lines(installer_name))
        # Beside the install folder nothing new in Local Application Data: no staging file, no
        # second folder; nothing at the root of the drive either (where a failed folder lookup
        # would have put everything).
        self.assertEqual(sorted(os.listdir(prefix.local)), sorted(set(prefix.local_before) | {INSTALL_FOLDER}))
        drive_c = os.path.join(prefix.path, "drive_c")
        self.assertFalse({INSTALL_FOLDER, STAGING, "Kelvora.lnk"} & set(os.listdir(drive_c)))
        self.assertShortcut(prefix)

    def assertShortcut(self, prefix):
        self.assertEqual(os.listdir(prefix.desktop), ["Kelvora.lnk"])
        fields, items, out = lnkinfo(prefix.shortcut)
        target = prefix.win_folder + "\\ZyvSHelp.exe"
        self.assertEqual(fields.get("Working directory"), prefix.win_folder, out)
        self.assertEqual(fields.get("Command line arguments"), "", out)
        # The target, as the link's identifier list (folder by folder: what the shell follows) and
        # as its local path. Wine writes both in the ANSI code page only, so a name that page cannot
        # hold reads as question marks (Windows adds the names in UTF-16); the working directory is
        # UTF-16 under Wine too and must be exact.
        ansi = target.encode(ANSI_CODE_PAGE, errors="replace").decode(ANSI_CODE_PAGE)
        self.assertIn("\\".join(i.rstrip("\\") for i in items), {target, ansi}, out)
        self.assertIn(fields.get("Local path"), {target, ansi}, out)

    def assertRegistryUntouched(self, prefix):
        """No registry value names the product, its folder or the installer, and the framework's
        company key (set, never used) was not created. The registry reaches its files once the
        prefix's wineserver has ended."""
        prefix.settle()
        company = "应用程序向导生成的本地应用程序"
        needles = ["zyv", "dudizu", "kelvora", company.lower(), "".join(f"\\x{ord(ch):04x}" for ch in company)]
        for name in ("system.reg", "user.reg", "userdef.reg"):
            with open(os.path.join(prefix.path, name), encoding="utf-8", errors="replace") as f:
                text = f.read().lower()
            found = [n for n in needles if n in text]
            self.assertEqual(found, [], f"{name} mentions the installation")

    def edit_settings(self, prefix):
        with open(prefix.config, "wb") as f:
            f.write(USER_CONFIG)

    def test_first_install(self):
        """One box, "安装完成", captioned ZyvInstall; then the program starts in the install folder."""
        prefix = self.fresh_prefix()
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, "first_install"), "ZyvInstall", COMPLETED)
        self.assertInstalled(prefix, "ZyvInstall.exe")
        self.assertRegistryUntouched(prefix)

    def test_renamed_installer(self):
        """A copy named Setup.exe records that name; its box is captioned Setup."""
        prefix = self.fresh_prefix()
        installer = prefix.place(c.ARGS.installer, "Setup.exe")
        self.assertBox(prefix.run(installer, "renamed_installer"), "Setup", COMPLETED)
        self.assertInstalled(prefix, "Setup.exe")

    def test_reinstall_after_edit(self):
        """Installing again keeps the user's settings byte for byte and repairs the product."""
        prefix = self.fresh_prefix()
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, "reinstall_after_edit-1"), "ZyvInstall", COMPLETED)
        self.assertInstalled(prefix, "ZyvInstall.exe")
        self.edit_settings(prefix)
        c.tamper_with_product(prefix.folder, b"\r\n")

        self.assertBox(prefix.run(installer, "reinstall_after_edit-2"), "ZyvInstall", COMPLETED)
        self.assertInstalled(prefix, "ZyvInstall.exe", log_count=2, extra=[c.USER_FILE], config=USER_CONFIG)

    def test_unusual_profile(self):
        """A profile named 用户, which code page 1252 cannot hold: installed, and kept on reinstall."""
        prefix = self.fresh_prefix("unusual")
        with self.assertRaises(UnicodeEncodeError):
            prefix.user.encode(ANSI_CODE_PAGE)
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, "unusual_profile-1"), "ZyvInstall", COMPLETED)
        self.assertInstalled(prefix, "ZyvInstall.exe")
        self.edit_settings(prefix)
        self.assertBox(prefix.run(installer, "unusual_profile-2"), "ZyvInstall", COMPLETED)
        self.assertInstalled(prefix, "ZyvInstall.exe", log_count=2, config=USER_CONFIG)

    def test_damaged_payload(self):
        """A truncated payload: the failure and its code, and the user's settings untouched."""
        prefix = self.fresh_prefix()
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, "damaged_payload-1"), "ZyvInstall", COMPLETED)
        self.edit_settings(prefix)

        # The damaged installer does carry the cut archive (and not the whole one) as its payload.
        with open(c.ARGS.payload, "rb") as f:
            whole = f.read()
        self.assertEqual(payload_resource(c.ARGS.damaged), whole[:len(whole) // 2])
        damaged = prefix.place(c.ARGS.damaged, "ZyvInstall.exe")
        report = prefix.run(damaged, "damaged_payload-2")
        # Two lines in the box; the probe reports a text's line breaks as spaces.
        self.assertBox(report, "ZyvInstall", f"{c.FAILED_PREFIX}{c.DAMAGED_CODE} {c.DAMAGED_REASON}")
        # The earlier installation stays as it was, and the launch is attempted all the same.
        self.assertInstalled(prefix, "ZyvInstall.exe", log_count=2, config=USER_CONFIG)

    def test_update_and_back(self):
        """v1 installed and its settings edited; then v2, whose tree changes shape (a file becomes a
        folder) and case (a file renamed in case alone) and holds a file whose path at its final
        place is over 300 characters; then v1 again. Each run leaves exactly its version's tree,
        spelt as that version spells it, with the user's settings."""
        if c.ARGS.next is None:
            self.skipTest("the next version is given with --next")
        prefix = self.fresh_prefix()
        v1 = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(v1, "update_and_back-1"), "ZyvInstall", COMPLETED)
        self.edit_settings(prefix)
        deepest = max(c.payload_reference(c.ARGS.next_payload), key=len)
        self.assertGreater(len(prefix.win_folder + "\\" + deepest), 300)
        os.makedirs(os.path.join(prefix.downloads, "v2"))
        v2 = prefix.place(c.ARGS.next, os.path.join("v2", "ZyvInstall.exe"))
        self.assertBox(prefix.run(v2, "update_and_back-2"), "ZyvInstall", COMPLETED)
        self.assertInstalledTree(prefix.folder, config=USER_CONFIG, log_count=2, log_dir=prefix.win_folder,
                                 archive=c.ARGS.next_payload)
        self.assertBox(prefix.run(v1, "update_and_back-3"), "ZyvInstall", COMPLETED)
        self.assertInstalled(prefix, "ZyvInstall.exe", log_count=3, config=USER_CONFIG)

    def test_update_on_a_full_disk(self):
        """v1 installed, its settings edited and its program open; then v2 (a file and the open
        program changed, a file dropped, one added in a new folder) run while the install folder's
        disk has room for more and more of it: each run leaves exactly v1, or exactly v2 with the
        user's settings, never a mix. Once the program is closed, v2 run again leaves nothing of
        the old version aside."""
        if os.geteuid() != 0 or c.ARGS.next is None:
            self.skipTest("mounting a small file system takes root; the next version is given with --next")
        prefix = self.fresh_prefix()
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, "full_disk-1"), "ZyvInstall", COMPLETED)
        prefix.settle()  # the program it started has logged its start, and left the folder
        self.edit_settings(prefix)
        # Local Application Data on a small file system of its own, holding v1 as installed. (Not
        # the install folder alone: Wine shows a file system mounted there as the mount point it is,
        # which the installer, as on Windows, does not write through.) Short of room a run is refused
        # at once, or its writes meet the full disk on the way.
        moved = prefix.local + ".v1"
        os.rename(prefix.local, moved)
        os.makedirs(prefix.local)
        # Room for both versions; the runs below leave it free in steps, from none to all v2 needs.
        unpacked = sum(len(v) for v in c.payload_reference(c.ARGS.next_payload).values() if v)
        step = max(4096, unpacked // 24 // 4096 * 4096)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={4 * unpacked + 2**22}", "tmpfs", prefix.local],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", prefix.local])
        shutil.copytree(moved, prefix.local, dirs_exist_ok=True, symlinks=True)
        shutil.rmtree(moved)
        filler = "filler.bin"  # the user's own file, which takes the room
        def tree():
            return {k: v for k, v in c.read_tree(prefix.folder).items() if k not in (c.LOG, filler)}
        v1 = tree()

        # The runs from here on have no screen (the box returns at once): the open program keeps
        # the prefix's desktop alive, which a run through the harness would wait for.
        env = dict(prefix.env())
        env.pop("DISPLAY", None)
        loader = "/usr/lib/wine/wine" if is_pe32(c.ARGS.installer) else "/usr/lib/wine/wine64"
        log = os.path.join(prefix.folder, c.LOG)
        program = subprocess.Popen([loader, prefix.win_folder + "\\ZyvSHelp.exe"], cwd=prefix.folder,
                                   env=dict(env, ZYVSHELP_WAIT="1"), stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(program.wait, 30)
        self.addCleanup(program.stdin.close)
        self.assertTrue(c.wait_for(lambda: len(c.log_lines(log)) == 2, 60), "the program did not start")
        update = prefix.place(c.ARGS.next, "ZyvInstall.exe")
        def run_update():
            starts = len(c.log_lines(log))
            subprocess.run([loader, update], env=env, cwd=prefix.downloads, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=280, check=True)
            # Every run ends by starting the program, the old one after a failure.
            self.assertTrue(c.wait_for(lambda: len(c.log_lines(log)) == starts + 1, 60), "no start")
        def assertNext(aside_allowed):
            actual = tree()
            aside = sorted(k for k in actual if k.startswith("ZyvInstall.old"))
            self.assertTrue(aside_allowed or not aside, f"left aside: {aside}")
            for k in aside:
                del actual[k]
            reference = c.payload_reference(c.ARGS.next_payload)
            self.assertEqual(sorted(actual), sorted(set(reference) | {c.INSTALLED}))
            self.assertEqual({k: v for k, v in actual.items() if k in reference and k != c.CONFIG},
                             {k: v for k, v in reference.items() if k != c.CONFIG})
            self.assertEqual(actual[c.CONFIG], USER_CONFIG)

        failures = 0
        for room in range(0, 2 * unpacked + 2**16, step):
            with self.subTest(room=room):
                if os.path.exists(os.path.join(prefix.folder, filler)):
                    os.remove(os.path.join(prefix.folder, filler))
                fs = os.statvfs(prefix.folder)
                with open(os.path.join(prefix.folder, filler), "wb") as f:
                    f.write(bytes(max(fs.f_bavail * fs.f_frsize - room, 0)))
                run_update()
                if tree() == v1:
                    failures += 1
                    continue
                assertNext(aside_allowed=True)
                break
        else:
            self.fail("v2 was never installed")
        self.assertGreaterEqual(failures, 3, "the disk was never full for part of the update")
        self.assertIsNone(program.poll(), "the open program was stopped")
        program.stdin.close()
        program.wait(30)
        os.remove(os.path.join(prefix.folder, filler))
        run_update()
        assertNext(aside_allowed=False)

    # Links planted by a process of the user, from the Linux side (Wine's mklink makes none; Wine
    # shows a Unix symbolic link to its programs as a reparse point, or as what it leads to).

    def assertRefusedLink(self, prefix, installer, stem, link_windows):
        """The run refuses the link with code 21 and its path, and starts nothing."""
        report = prefix.run(installer, stem)
        self.assertBox(report, "ZyvInstall", f"{c.FAILED_PREFIX}21 路径 {link_windows}{LINK_REASON}")
        prefix.settle()

    def installed_and_edited(self, prefix, stem):
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, stem), "ZyvInstall", COMPLETED)
        # The program is started by the desktop shell, on its own time: it has logged its start in
        # the install folder before the folder is moved or looked at.
        log = os.path.join(prefix.folder, c.LOG)
        self.assertTrue(c.wait_for(lambda: len(c.log_lines(log)) == 1, 60), "the program did not start")
        prefix.settle()
        self.edit_settings(prefix)
        return installer

    def test_link_at_install_folder(self):
        """dudizu is a link to another folder (here the real installation, moved): refused before
        anything changes; nothing appears or changes there, the user's settings included."""
        prefix = self.fresh_prefix()
        installer = self.installed_and_edited(prefix, "link_at_install_folder-1")
        moved = os.path.join(prefix.profile, "Documents", "moved-dudizu")
        os.makedirs(os.path.dirname(moved), exist_ok=True)
        os.rename(prefix.folder, moved)
        os.symlink(moved, prefix.folder)
        before = c.read_tree(moved)
        shortcut = c.read_tree(prefix.desktop)
        self.assertRefusedLink(prefix, installer, "link_at_install_folder-2", prefix.win_folder)
        self.assertEqual(c.read_tree(moved), before)
        self.assertEqual(before["config.ini"], USER_CONFIG)
        self.assertEqual(c.read_tree(prefix.desktop), shortcut)
        self.assertFalse(os.path.lexists(os.path.join(prefix.local, STAGING)))

    def test_link_at_staging_file(self):
        """main.7z is a link to a file of the user's: refused, the file and the installation kept."""
        prefix = self.fresh_prefix()
        installer = self.installed_and_edited(prefix, "link_at_staging_file-1")
        users_file = os.path.join(prefix.profile, "Documents", "notes.txt")
        os.makedirs(os.path.dirname(users_file), exist_ok=True)
        with open(users_file, "wb") as f:
            f.write(b"the user's own notes\n")
        os.symlink(users_file, os.path.join(prefix.local, STAGING))
        before = c.read_tree(prefix.folder)
        self.assertRefusedLink(prefix, installer, "link_at_staging_file-2",
                               prefix.win_folder[:-len(INSTALL_FOLDER)] + STAGING)
        with open(users_file, "rb") as f:
            self.assertEqual(f.read(), b"the user's own notes\n")
        self.assertEqual(c.read_tree(prefix.folder), before)
        self.assertEqual(before["config.ini"], USER_CONFIG)

    def test_link_at_shortcut(self):
        """Kelvora.lnk is a link to a file of the user's: installed, no shortcut written through it."""
        prefix = self.fresh_prefix()
        users_file = os.path.join(prefix.profile, "Documents", "notes.txt")
        os.makedirs(os.path.dirname(users_file), exist_ok=True)
        with open(users_file, "wb") as f:
            f.write(b"the user's own notes\n")
        os.symlink(users_file, prefix.shortcut)
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, "link_at_shortcut"), "ZyvInstall", COMPLETED)
        self.assertInstalledTree(prefix.folder, log_dir=prefix.win_folder)
        with open(users_file, "rb") as f:
            self.assertEqual(f.read(), b"the user's own notes\n")
        self.assertEqual(os.readlink(prefix.shortcut), users_file)

    def test_redirected_desktop(self):
        """The desktop is a link to another folder, as Wine makes it by default and folder
        redirection does: the shortcut lands there."""
        prefix = self.fresh_prefix()
        redirected = os.path.join(prefix.home, "Desktop")
        os.rename(prefix.desktop, redirected)
        os.symlink(redirected, prefix.desktop)
        prefix.keep_shell_links = True
        installer = prefix.place(c.ARGS.installer, "ZyvInstall.exe")
        self.assertBox(prefix.run(installer, "redirected_desktop"), "ZyvInstall", COMPLETED)
        self.assertInstalled(prefix, "ZyvInstall.exe")
        self.assertEqual(os.listdir(redirected), ["Kelvora.lnk"])


# The second line of code 21, after the link's path.
LINK_REASON = " 是一个链接，安装程序不会跟随链接写入，未安装任何内容。请删除该链接后重试。"


def add_options(parser):
    parser.add_argument("--harness", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--templates", required=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["prepare-template"]:
        sys.exit(prepare_template(*sys.argv[2:6]))
    rest = c.parse_arguments(add_options)
    for name in ("harness", "probe", "templates"):
        setattr(c.ARGS, name, os.path.abspath(getattr(c.ARGS, name)))
    skip_unless_runnable(c.ARGS.installer)
    c.run_tests(rest)
