#!/usr/bin/env python3
"""Times extraction and installation of each payload by each tool and prints one table.

    measure.py [--decode | --profile] --bin DIR [--before DIR] --payloads DIR --work DIR [--runs N]
               [--large-runs N] [--only NAME...]

DIR/extract7z and DIR/install-NAME (one installer per payload, carrying it) come from bench/run;
--before names the same programs of an earlier revision, timed in the same rounds.
With --decode the tools are the decoder alone, DIR/sdk_decode_LEVEL (the SDK built at -Os, -O2 and
-O3), compared with `7zz t -mmt=1`, and nothing is written. With --profile, perf samples
DIR/extract7z unpacking the large payload and the samples are summed by where they fall.
For every payload, rounds of runs go through all tools in turn, the order rotated each round, so
the load of a shared machine falls on every tool alike; each figure is then compared with
`7zz x -mmt=1` measured in the same rounds (always an extraction into a new folder). An installer
is timed twice: as a first installation into a new HOME, and as an update ("installer update")
over a complete installation that it made in that HOME just before, outside the timing, and a third
time so after one installed file had other bytes put in ("installer one changed"). One further run of
each installer, under strace, counts the files it opens for writing. Wall time
and CPU time (user + system) are medians of the rounds (each run under /usr/bin/time, whose own
start costs every tool alike); peak memory is the largest resident set of any round, as
/usr/bin/time -f %M reports it. The targets are judged on the wall time; the CPU time, less
disturbed by other work on the machine, backs it up.
Every run writes into new folders, removed only at the end, and what it wrote is flushed to disk
before the next run starts, outside the timing: otherwise the write-back of one run's hundreds of
megabytes, or the file system's work after deleting them, would fall on the next tool.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PAYLOADS = ("sample", "product", "large", "pe-default", "pe-bcj2")
LARGE = ("large", "pe-default", "pe-bcj2")  # timed LARGE_RUNS times
PEER = "7zz x -mmt=1"
PEER_MT = "7zz x"
CPU_TARGET = 1.0
# A first installation of a payload of several blocks, on 2 cores or more: at most this share of
# the peer's wall time, and at most the wall time of 7zz x with its own threads.
MULTI_BLOCK_TARGET = 0.65
DECODE_PEER = "7zz t -mmt=1"


OUT, HOME = "{out}", "{home}"  # placeholders for each run's own folders
# An installer timed as an update: its run's HOME already holds a complete installation that the
# same installer made just before, outside the timing.
UPDATE = "installer update"
# The same, after one installed file of one solid block (see Changed) was given other bytes of
# the same size: an update in which one file of one block changed.
REPAIR = "installer one changed"


def Tools(bin_dir, before_dir, name, archive):
    """(label, argv, cwd, env) for every tool, extracting archive into OUT (an installer into HOME)."""
    out, home = OUT, HOME
    plain_env = dict(os.environ, LC_ALL="C.UTF-8")
    # A fresh user: no XDG variables, no desktop session; the payload lands in HOME/.local/share.
    install_env = {"HOME": home, "PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
    builds = [(bin_dir, "ours")] + ([(before_dir, "before")] if before_dir else [])
    installers = [(tag, os.path.join(d, "install-" + name)) for d, tag in builds
                  if os.path.exists(os.path.join(d, "install-" + name))]  # none for an archive given with --payloads
    return [
        (f"extract7z ({tag})", [os.path.join(d, "extract7z"), out, archive], None, plain_env) for d, tag in builds
    ] + [
        (f"installer ({tag})", [path], home, install_env) for tag, path in installers
    ] + [
        # The same, over a complete installation by the same installer (see UPDATE).
        (f"{UPDATE} ({tag})", [path], home, install_env) for tag, path in installers
    ] + [
        (f"{REPAIR} ({tag})", [path], home, install_env) for tag, path in installers
    ] + [
        (PEER, ["7zz", "x", "-mmt=1", "-bso0", "-bsp0", "-y", "-o" + out, archive], None, plain_env),
        ("7zz x", ["7zz", "x", "-bso0", "-bsp0", "-y", "-o" + out, archive], None, plain_env),
        ("bsdtar -xf", ["bsdtar", "-xf", archive, "-C", out], None, plain_env),
    ]


def ForRun(tool, out, home):
    """tool with its placeholders replaced by one run's folders."""
    def Fill(value):
        return value.replace(OUT, out).replace(HOME, home) if isinstance(value, str) else value
    label, argv, cwd, env = tool
    return label, [Fill(a) for a in argv], Fill(cwd), {k: Fill(v) for k, v in env.items()}


def DecodeTools(bin_dir, archive):
    env = dict(os.environ, LC_ALL="C.UTF-8")
    tools = [(f"SDK -{level}", [os.path.join(bin_dir, "sdk_decode_" + level), archive], None, env)
             for level in ("Os", "O2", "O3")]
    return tools + [(DECODE_PEER, ["7zz", "t", "-mmt=1", "-bso0", "-bsp0", archive], None, env)]


def RunOnce(argv, cwd, env, scratch):
    """(wall seconds, CPU seconds, peak resident KiB) of one run; stops when the tool fails.

    The peak comes from /usr/bin/time: a child forked from this interpreter would report the
    interpreter's own resident set as its peak, while time is small. The CPU time (user and
    system) is what wait4 reports for time, which includes the tool it waited for: on a busy
    machine it varies less than the wall time."""
    report = os.path.join(scratch, "time.out")
    # Error output goes to a file, not a pipe: the program an installer starts inherits it, and
    # reading a pipe to its end would add that program's own run to the installer's time.
    with open(os.path.join(scratch, "stderr.out"), "w+b") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report, *argv], cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            sys.exit(f"measure: {' '.join(argv)} failed ({proc.returncode}): {err.read().decode(errors='replace')}")
    with open(report) as f:
        return elapsed, usage.ru_utime + usage.ru_stime, int(f.read().split()[-1])


def TreeSummary(root):
    """(files, bytes) under root; the log the started sample program writes and the installer's
    own records (ZyvInstall.* in the install folder) are not counted."""
    files, size = 0, 0
    for folder, _, names in os.walk(root):
        for n in names:
            if n != "launch.log" and not (folder == root and n.startswith("ZyvInstall.")):
                files += 1
                size += os.path.getsize(os.path.join(folder, n))
    return files, size


def Dictionary(token):
    """The dictionary size in a method token of 7zz's listing (LZMA2:24, LZMA:20:lc0:lp2, LZMA2:1536m)."""
    size = token.split(":")[1]
    units = {"k": 2**10, "m": 2**20, "g": 2**30}
    return int(size[:-1]) * units[size[-1]] if size[-1] in units else 2 ** int(size)


def Folders(archive):
    """(unpacked bytes, blocks, the dictionaries of each block, the largest block's bytes) from 7zz's
    technical listing: each LZMA or LZMA2 coder's dictionary at most its block's size, as the
    installer allocates them."""
    listing = subprocess.run(["7zz", "l", "-slt", archive], capture_output=True, text=True, check=True).stdout
    blocks, methods, size, method, total = {}, {}, 0, "", 0
    for line in listing.splitlines():
        if line.startswith("Size = "):
            size = int(line[7:])
            total += size
        elif line.startswith("Method = "):
            method = line[9:]
        elif line.startswith("Block = ") and line[8:].strip():
            block = int(line[8:])
            blocks[block] = blocks.get(block, 0) + size
            methods[block] = method
    needs = [sum(min(Dictionary(t), blocks[b]) for t in methods[b].split() if t.startswith("LZMA"))
             for b in blocks]
    return total, len(blocks), needs, max(blocks.values(), default=0)


def Changed(archive):
    """The file an update with one changed file changes: the middle one of the archive's solid block
    of several files with the fewest unpacked bytes (so most of the payload is not decoded), as
    installed under HOME/.local/share."""
    listing = subprocess.run(["7zz", "l", "-slt", archive], capture_output=True, text=True, check=True).stdout
    blocks, entry = {}, {}
    for line in listing.splitlines() + [""]:
        if " = " in line:
            key, value = line.split(" = ", 1)
            entry[key] = value
        elif entry:
            if entry.get("Block", "").strip() and int(entry.get("Size") or 0) > 0:
                blocks.setdefault(int(entry["Block"]), []).append((entry["Path"], int(entry["Size"])))
            entry = {}
    several = [files for files in blocks.values() if len(files) > 1] or list(blocks.values())
    files = min(several, key=lambda block: sum(size for _, size in block))
    return files[len(files) // 2][0]


def ChangeOneFile(home, path):
    """Gives the installed file other bytes of the same size, as a user's edit or a damaged disk would."""
    with open(os.path.join(home, ".local", "share", path), "r+b") as f:
        first = f.read(1)
        f.seek(0)
        f.write(bytes([first[0] ^ 0xFF]))


# What an installer opens for writing, counted from one run under strace: the product's files in
# the install folder (the installed tree), the staging folder's, and the installer's own (records,
# main.7z); syncfs, fsync and fdatasync calls beside.
WRITE_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC")


def CountWrites(argv, cwd, env, work, home):
    log = os.path.join(work, "strace.out")
    subprocess.run(["strace", "-f", "-qq", "-y", "-o", log, "-e", "trace=open,openat,creat,syncfs,fsync,fdatasync",
                    *argv], cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    folder = os.path.join(home, ".local", "share", "dudizu") + "/"
    counts = {"product": 0, "staging": 0, "own": 0, "flushes": 0}
    with open(log, errors="replace") as f:
        for line in f:
            call = line.split(None, 1)[-1]
            if call.startswith(("syncfs(", "fsync(", "fdatasync(")):
                counts["flushes"] += 1
                continue
            if " = -1 " in call or not any(flag in call for flag in WRITE_FLAGS):
                continue
            # open("path", ...), creat("path", ...) or openat(fd</folder>, "path", ...)
            args = call.partition("(")[2]
            name = args.split('"')[1]
            if call.startswith("openat") and not name.startswith("/"):
                name = args.partition("<")[2].partition(">")[0] + "/" + name
            if not name.startswith(home) or name.endswith("/launch.log"):
                continue
            inside = name[len(folder):] if name.startswith(folder) else None
            kind = "own" if inside is None or inside.startswith("ZyvInstall.") and "/" not in inside else \
                "staging" if inside.startswith("ZyvInstall.staging") else "product"
            counts[kind] += 1
    return counts


def Size(n):
    return f"{n / 2**20:.1f} MiB" if n >= 2**20 else f"{n / 2**10:.0f} KiB"


def Measure(args, name, changed):
    archive = os.path.join(args.payloads, name + ".7z")
    runs = args.large_runs if name in LARGE else args.runs
    work = tempfile.mkdtemp(prefix=name + ".", dir=args.work)
    tools = DecodeTools(args.bin, archive) if args.decode else Tools(args.bin, args.before, name, archive)
    times = {t[0]: [] for t in tools}
    cpus = {t[0]: [] for t in tools}
    peaks = {t[0]: 0 for t in tools}
    trees = {}
    count = 0
    for round_ in range(runs + 1):  # round 0 warms the page cache and checks the trees
        shift = round_ % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            # Every run writes into folders of its own, and nothing is deleted until the end: a
            # file system that has just deleted thousands of files is slower to create new ones
            # (ext4 passes over recently freed inodes), which would fall on whichever tool ran next.
            count += 1
            out, home = os.path.join(work, f"{count}.out"), os.path.join(work, f"{count}.home")
            os.makedirs(out)
            os.makedirs(home)
            label, argv, cwd, env = ForRun(tool, out, home)
            if label.startswith((UPDATE, REPAIR)):
                RunOnce(argv, cwd, env, work)  # the installation the timed run updates
            if label.startswith(REPAIR):
                ChangeOneFile(home, changed)
            # What the previous run wrote goes to disk now, not during this one.
            os.sync()
            seconds, cpu, peak = RunOnce(argv, cwd, env, work)
            if round_ == 0:
                if not args.decode:
                    root = os.path.join(home, ".local", "share") if cwd == home else out
                    trees[label] = TreeSummary(os.path.join(root, "dudizu"))
                continue
            times[label].append(seconds)
            cpus[label].append(cpu)
            peaks[label] = max(peaks[label], peak)
    if args.decode:
        return times, cpus, peaks, runs, {}
    writes = {}
    for tool in tools:
        if tool[2] is not None:  # an installer, in a HOME of its own
            count += 1
            home = os.path.join(work, f"{count}.home")
            os.makedirs(home)
            label, argv, cwd, env = ForRun(tool, os.path.join(work, f"{count}.out"), home)
            if label.startswith((UPDATE, REPAIR)):
                RunOnce(argv, cwd, env, work)
            if label.startswith(REPAIR):
                ChangeOneFile(home, changed)
            writes[label] = CountWrites(argv, cwd, env, work, home)
    # Every tool must have unpacked the same files; the installer also rewrites config.ini.
    files, size = trees[PEER]
    for label, (f, s) in trees.items():
        if files == 0 or f != files or (s != size and not label.startswith("installer")):
            sys.exit(f"measure: {label} unpacked {f} files, {s} bytes of {name}; {PEER}: {files}, {size}")
    return times, cpus, peaks, runs, writes


# Where the samples of a profile fall: the SDK's decoder, the kernel, the rest. The BCJ2 decoder is
# the streaming decoder's own, inlined into BlockDecoder::Read with the copy of a block's output.
PROFILE_GROUPS = (
    ("LZMA decoder (SDK: LzmaDec_*)", lambda sym, kernel: sym.startswith("LzmaDec") or sym.startswith("Lzma2Dec")),
    ("BCJ2 (BlockDecoder::Read), branch filters (SDK)",
     lambda sym, kernel: sym.startswith(("zyv::BlockDecoder::Read", "x86_Convert", "ARM_Convert"))),
    ("CRC checks (UpdateCrc, SDK)", lambda sym, kernel: sym.startswith("CrcUpdate") or sym.endswith("::UpdateCrc")),
    ("kernel (file creation, writes, page faults)", lambda sym, kernel: kernel),
    ("everything else (our code, libc)", lambda sym, kernel: True),
)


def Profile(args):
    """perf's samples of extract7z unpacking the large payload, by group."""
    work = tempfile.mkdtemp(dir=args.work)
    data = os.path.join(work, "perf.data")
    out = os.path.join(work, "out")
    os.makedirs(out)
    os.sync()
    record = subprocess.run(["perf", "record", "-q", "-o", data, "--", os.path.join(args.bin, "extract7z"), out,
                             os.path.join(args.payloads, "large.7z")], capture_output=True, text=True)
    if record.returncode != 0:
        print(f"  (no profile: perf record failed: {record.stderr.strip()[:200]})")
        return
    report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", "symbol", "--stdio"],
                            capture_output=True, text=True).stdout
    shares = {name: 0.0 for name, _ in PROFILE_GROUPS}
    for line in report.splitlines():
        parts = line.split()
        if len(parts) < 3 or not parts[0].endswith("%"):
            continue
        # The symbol runs to perf's trailing columns ("-"), and may hold spaces ("(anonymous namespace)").
        share, kernel = float(parts[0][:-1]), parts[1] == "[k]"
        sym = " ".join(p for p in parts[2:] if p != "-").split("(unsigned")[0].split("(CSz")[0]
        for name, matches in PROFILE_GROUPS:
            if matches(sym, kernel):
                shares[name] += share
                break
    for name, _ in PROFILE_GROUPS:
        print(f"  {name:<46} {shares[name]:5.1f}%")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--decode", action="store_true")
    parser.add_argument("--profile", action="store_true", help="perf profile of extract7z on the large payload")
    parser.add_argument("--bin", required=True)
    parser.add_argument("--before", help="a second DIR of extract7z and install-NAME, timed alongside")
    parser.add_argument("--payloads", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--large-runs", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=list(PAYLOADS))
    args = parser.parse_args()
    args.bin, args.payloads, args.work = map(os.path.abspath, (args.bin, args.payloads, args.work))
    args.before = os.path.abspath(args.before) if args.before else None
    shutil.rmtree(args.work, ignore_errors=True)  # what a stopped run left
    os.makedirs(args.work)
    if args.profile:
        Profile(args)
        shutil.rmtree(args.work, ignore_errors=True)
        return

    # Our tools' targets on the product-shaped, large and PE payloads: the wall-time and CPU-time
    # ratios to 7zz x -mmt=1 (a payload of several blocks, none of them half of it, also
    # MULTI_BLOCK_TARGET of its wall time and no more than 7zz x with its threads), and peak memory
    # within 64 MiB plus the dictionaries of
    # the blocks decoded at once (one a core, at most 8: the largest ones, as a bound). The sample is
    # too small to say more than its memory.
    targets = {} if args.decode else {"extract7z (ours)": 1.0, "installer (ours)": 1.0, f"{UPDATE} (ours)": 0.25}
    cores = min(os.cpu_count() or 1, 8)
    for name in args.only:
        archive = os.path.join(args.payloads, name + ".7z")
        unpacked, blocks, needs, largest = Folders(archive)
        # Several blocks to decode side by side: none holds half the payload.
        several = blocks > 1 and 2 * largest <= unpacked
        bound = sum(sorted(needs, reverse=True)[:cores]) + 64 * 2**20
        changed = None if args.decode else Changed(archive)
        times, cpus, peaks, runs, writes = Measure(args, name, changed)
        peer = DECODE_PEER if args.decode else PEER
        base_t = statistics.median(times[peer])
        base_c = statistics.median(cpus[peer])
        base_m = peaks[peer]
        print(f"{name}: {Size(os.path.getsize(archive))} packed, {Size(unpacked)} unpacked, {blocks} blocks, "
              f"dictionaries {Size(max(needs, default=0))} at most a block; median of {runs} runs")
        print(f"  {'tool':<31} {'wall ms':>9} {'x':>6} {'cpu ms':>9} {'x':>6} {'peak MiB':>9} {'x':>6}  targets")
        for tool in times:
            t = statistics.median(times[tool])
            c = statistics.median(cpus[tool])
            line = (f"  {tool:<31} {t * 1000:9.1f} {t / base_t:6.2f} {c * 1000:9.1f} {c / base_c:6.2f} "
                    f"{peaks[tool] / 1024:9.1f} {peaks[tool] / base_m:6.2f}")
            if tool in targets:
                in_memory = "ok" if peaks[tool] * 1024 <= bound else "MISSED"
                if name == "sample":
                    line += f"  memory <= {Size(bound)} {in_memory}"
                else:
                    in_time = "ok" if t / base_t <= targets[tool] else "MISSED"
                    in_cpu = "ok" if c / base_c <= CPU_TARGET or tool.startswith(UPDATE) else "MISSED"
                    line += (f"  time <= {targets[tool]:.2f}x {in_time}, cpu <= {CPU_TARGET:.2f}x {in_cpu}, "
                             f"memory <= {Size(bound)} {in_memory}")
                    if tool == "installer (ours)" and several and cores > 1 and PEER_MT in times:
                        mt = statistics.median(times[PEER_MT])
                        line += (f"; several blocks: <= {MULTI_BLOCK_TARGET:.2f}x "
                                 f"{'ok' if t / base_t <= MULTI_BLOCK_TARGET else 'MISSED'}, <= 7zz x "
                                 f"{'ok' if t <= mt else 'MISSED'} ({t / mt:.2f}x)")
            print(line)
        if writes:
            print(f"  files opened for writing, one run under strace (one changed: {changed})")
            print(f"  {'installer':<31} {'product':>9} {'staging':>9} {'own':>6} {'flushes':>8}")
            for tool, c in writes.items():
                line = f"  {tool:<31} {c['product']:9d} {c['staging']:9d} {c['own']:6d} {c['flushes']:8d}"
                if tool == f"{UPDATE} (ours)":
                    line += f"  product files written: 0 {'ok' if c['product'] == 0 else 'MISSED'}"
                elif tool == f"{REPAIR} (ours)":
                    line += f"  the changed file alone: {'ok' if c['product'] + c['staging'] <= 2 else 'MISSED'}"
                print(line)
        for kind in ("installer", UPDATE, REPAIR):  # what ours costs beside the earlier revision's
            ours, before = f"{kind} (ours)", f"{kind} (before)"
            if ours in times and before in times:
                print(f"  {kind} (ours) beside (before): "
                      f"wall {statistics.median(times[ours]) / statistics.median(times[before]) - 1:+.1%}, "
                      f"cpu {statistics.median(cpus[ours]) / statistics.median(cpus[before]) - 1:+.1%}")
        sys.stdout.flush()
    # A program an installer started may still be writing its log: retry until the trees are gone.
    for _ in range(50):
        shutil.rmtree(args.work, ignore_errors=True)
        if not os.path.exists(args.work):
            break
        time.sleep(0.1)

if __name__ == "__main__":
    main()
