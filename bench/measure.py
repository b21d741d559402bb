#!/usr/bin/env python3
"""Times extraction and installation of each payload by each tool and prints one table.

    measure.py [--decode] --bin DIR --payloads DIR --work DIR [--runs N] [--large-runs N] [--only NAME...]

DIR/extract7z and DIR/install-NAME (one installer per payload, carrying it) come from bench/run.
With --decode the tools are the decoder alone, DIR/sdk_decode_LEVEL (the SDK built at -Os, -O2 and
-O3), compared with `7zz t -mmt=1`, and nothing is written.
For every payload, rounds of runs go through all tools in turn, the order rotated each round, so
the load of a shared machine falls on every tool alike; each figure is then compared with
`7zz x -mmt=1` measured in the same rounds. Wall time and CPU time (user + system) are medians of the
rounds (each run under /usr/bin/time, whose own start costs every tool alike); peak memory is the
largest resident set of any round, as /usr/bin/time -f %M reports it. The targets are judged on
the wall time; the CPU time, less disturbed by other work on the machine, backs it up.
Output trees are removed between runs, outside the timing.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PAYLOADS = ("sample", "product", "large")
PEER = "7zz x -mmt=1"
DECODE_PEER = "7zz t -mmt=1"


def Tools(bin_dir, name, archive, out, home):
    """(label, argv, cwd, env) for every tool, extracting archive into out."""
    plain_env = dict(os.environ, LC_ALL="C.UTF-8")
    # A fresh user: no XDG variables, no desktop session; the payload lands in HOME/.local/share.
    install_env = {"HOME": home, "PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
    return [
        ("extract7z (ours)", [os.path.join(bin_dir, "extract7z"), out, archive], None, plain_env),
        ("installer (ours)", [os.path.join(bin_dir, "install-" + name)], home, install_env),
        (PEER, ["7zz", "x", "-mmt=1", "-bso0", "-bsp0", "-y", "-o" + out, archive], None, plain_env),
        ("7zz x", ["7zz", "x", "-bso0", "-bsp0", "-y", "-o" + out, archive], None, plain_env),
        ("bsdtar -xf", ["bsdtar", "-xf", archive, "-C", out], None, plain_env),
    ]


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
    start = time.perf_counter()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report, *argv], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    proc.stderr.close()
    if proc.returncode != 0:
        sys.exit(f"measure: {' '.join(argv)} failed ({proc.returncode}): {err.decode(errors='replace')}")
    with open(report) as f:
        return elapsed, usage.ru_utime + usage.ru_stime, int(f.read().split()[-1])


def Fresh(path):
    # A program the installer started may still be writing its log: retry until the tree is gone.
    for _ in range(50):
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.exists(path):
            break
        time.sleep(0.05)
    os.makedirs(path)


def TreeSummary(root):
    """(files, bytes) under root; the log the started sample program writes is not counted."""
    files, size = 0, 0
    for folder, _, names in os.walk(root):
        for n in names:
            if n != "launch.log":
                files += 1
                size += os.path.getsize(os.path.join(folder, n))
    return files, size


def Folders(archive):
    """(unpacked bytes, unpacked bytes of the largest folder) from 7zz's technical listing."""
    listing = subprocess.run(["7zz", "l", "-slt", archive], capture_output=True, text=True, check=True).stdout
    blocks, size, total = {}, 0, 0
    for line in listing.splitlines():
        if line.startswith("Size = "):
            size = int(line[7:])
            total += size
        elif line.startswith("Block = ") and line[8:].strip():
            block = int(line[8:])
            blocks[block] = blocks.get(block, 0) + size
    return total, max(blocks.values(), default=0)


def Size(n):
    return f"{n / 2**20:.1f} MiB" if n >= 2**20 else f"{n / 2**10:.0f} KiB"


def Measure(args, name):
    archive = os.path.join(args.payloads, name + ".7z")
    runs = args.large_runs if name == "large" else args.runs
    work = tempfile.mkdtemp(prefix=name + ".", dir=args.work)
    out, home = os.path.join(work, "out"), os.path.join(work, "home")
    tools = DecodeTools(args.bin, archive) if args.decode else Tools(args.bin, name, archive, out, home)
    times = {t[0]: [] for t in tools}
    cpus = {t[0]: [] for t in tools}
    peaks = {t[0]: 0 for t in tools}
    trees = {}
    for round_ in range(runs + 1):  # round 0 warms the page cache and checks the trees
        shift = round_ % len(tools)
        for label, argv, cwd, env in tools[shift:] + tools[:shift]:
            Fresh(out)
            Fresh(home)
            seconds, cpu, peak = RunOnce(argv, cwd, env, work)
            if round_ == 0:
                if not args.decode:
                    root = os.path.join(home, ".local", "share") if cwd == home else out
                    trees[label] = TreeSummary(os.path.join(root, "dudizu"))
                continue
            times[label].append(seconds)
            cpus[label].append(cpu)
            peaks[label] = max(peaks[label], peak)
    shutil.rmtree(work, ignore_errors=True)
    if args.decode:
        return times, cpus, peaks, runs
    # Every tool must have unpacked the same files; the installer also rewrites config.ini.
    files, size = trees[PEER]
    for label, (f, s) in trees.items():
        if files == 0 or f != files or (s != size and not label.startswith("installer")):
            sys.exit(f"measure: {label} unpacked {f} files, {s} bytes of {name}; {PEER}: {files}, {size}")
    return times, cpus, peaks, runs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--decode", action="store_true")
    parser.add_argument("--bin", required=True)
    parser.add_argument("--payloads", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--large-runs", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=list(PAYLOADS))
    args = parser.parse_args()
    args.bin, args.payloads, args.work = map(os.path.abspath, (args.bin, args.payloads, args.work))
    os.makedirs(args.work, exist_ok=True)

    # Our tools' targets: the time ratio to 7zz x -mmt=1, and peak memory within the largest
    # folder's unpacked size plus 64 MiB.
    targets = {} if args.decode else {"extract7z (ours)": 1.15, "installer (ours)": 1.25}
    for name in args.only:
        archive = os.path.join(args.payloads, name + ".7z")
        unpacked, largest = Folders(archive)
        bound = largest + 64 * 2**20
        times, cpus, peaks, runs = Measure(args, name)
        peer = DECODE_PEER if args.decode else PEER
        base_t = statistics.median(times[peer])
        base_c = statistics.median(cpus[peer])
        base_m = peaks[peer]
        print(f"{name}: {Size(os.path.getsize(archive))} packed, {Size(unpacked)} unpacked, largest folder "
              f"{Size(largest)}; median of {runs} runs")
        print(f"  {'tool':<18} {'wall ms':>9} {'x':>6} {'cpu ms':>9} {'x':>6} {'peak MiB':>9} {'x':>6}  targets")
        for tool in times:
            t = statistics.median(times[tool])
            c = statistics.median(cpus[tool])
            line = (f"  {tool:<18} {t * 1000:9.1f} {t / base_t:6.2f} {c * 1000:9.1f} {c / base_c:6.2f} "
                    f"{peaks[tool] / 1024:9.1f} {peaks[tool] / base_m:6.2f}")
            if tool in targets:
                in_time = "ok" if t / base_t <= targets[tool] else "MISSED"
                in_memory = "ok" if peaks[tool] * 1024 <= bound else "MISSED"
                line += f"  time <= {targets[tool]:.2f}x {in_time}, memory <= {Size(bound)} {in_memory}"
            print(line)
        sys.stdout.flush()

if __name__ == "__main__":
    main()
