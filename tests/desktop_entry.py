#!/usr/bin/python3
"""Reads a desktop entry the way GLib-based desktops do, for the shortcut tests.

  desktop_entry.py parse FILE        prints the Exec arguments (string escapes, quoting and %% undone,
                                     in that order) and then the Path value, each followed by a NUL
  desktop_entry.py launch FILE OUT   starts the entry through GIO and waits up to 10 s for OUT to appear

Exit status 77 when GLib's Python bindings are missing, 3 when GLib refuses the entry.
"""
import os
import sys
import time

try:
    import gi

    gi.require_version("Gio", "2.0")
    from gi.repository import Gio, GLib
except (ImportError, ValueError):
    sys.exit(77)

GROUP = "Desktop Entry"


def expand_field_codes(arg):
    """Our entries carry no field codes: only %% (a literal %) may appear."""
    out, i = [], 0
    while i < len(arg):
        if arg[i] == "%":
            if arg[i + 1 : i + 2] != "%":
                sys.exit(f"unexpected field code in {arg!r}")
            i += 1
        out.append(arg[i])
        i += 1
    return "".join(out)


def parse(path):
    keys = GLib.KeyFile()
    try:
        keys.load_from_file(path, GLib.KeyFileFlags.NONE)
        exec_line = keys.get_string(GROUP, "Exec")
        _, argv = GLib.shell_parse_argv(exec_line)
        work = keys.get_string(GROUP, "Path")
    except GLib.Error as e:
        print(e.message, file=sys.stderr)
        sys.exit(3)
    for value in [expand_field_codes(a) for a in argv] + [work]:
        sys.stdout.buffer.write(value.encode() + b"\0")


def launch(path, out):
    info = Gio.DesktopAppInfo.new_from_filename(path)
    if info is None:
        sys.exit(3)
    info.launch([], None)
    deadline = time.monotonic() + 10
    while not os.path.exists(out):
        if time.monotonic() > deadline:
            sys.exit("the program did not start")
        time.sleep(0.02)


if __name__ == "__main__":
    if sys.argv[1:2] == ["parse"] and len(sys.argv) == 3:
        parse(sys.argv[2])
    elif sys.argv[1:2] == ["launch"] and len(sys.argv) == 4:
        launch(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
