#!/usr/bin/env python3
"""Times hlg against tar piped through zstd -3 as a user runs them: pack, verify, extract.

Run by hand:  python3 bench/bench.py [--rounds N] [--workdir DIR] [--hlg PATH]
CI runs       python3 bench/bench.py --tiny   (a small tree, one round, so the script cannot rot)

Without --hlg it uses build/hlg, configuring build/ as a Release build when it does not
exist yet and bringing the hlg target up to date. It prints a Markdown report; copy the
figures into bench/README.md.
"""

import argparse
import filecmp
import math
import os
import shutil
import stat
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
MIB = 1024 * 1024

# Targets: the hlg figure divided by the tar + zstd figure must stay at or under these.
TARGETS = {
    "pack wall": 1.20,
    "pack cpu": 0.90,
    "verify wall": 1.10,
    "extract wall": 1.00,
    "archive size": 1.01,
}
STEPS = ("pack", "verify", "extract")

# Where the real binaries for the tree come from.
BINARY_FOLDERS = ["/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib", "/usr/bin"]


def build_default():
    """Returns build/hlg, configured as a Release build when build/ is new."""
    cache = os.path.join(BUILD, "CMakeCache.txt")
    if not os.path.exists(cache):
        subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "hlg"], check=True,
                   stdout=subprocess.DEVNULL)
    with open(cache) as f:
        if "CMAKE_BUILD_TYPE:STRING=Release\n" not in f.read():
            print("warning: build/ is not a Release build; its times mean little",
                  file=sys.stderr)
    return os.path.join(BUILD, "hlg")


# A child of this script starts with the script's own peak memory (about 20 MiB) as its
# own, so the peak is taken by GNU time, a small process, where it is installed.
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def timed(command, cwd):
    """Runs a shell command; returns (wall, user, sys seconds, peak RSS KiB) of it and its
    children."""
    with tempfile.TemporaryFile() as err, tempfile.NamedTemporaryFile("r") as peak:
        argv = ["bash", "-c", "set -o pipefail; " + command]
        if GNU_TIME:
            argv = [GNU_TIME, "-f", "%M", "-o", peak.name] + argv
        start = time.monotonic()
        proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
        # wait4 reports the process together with the children it waited for.
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            sys.exit(f"command failed ({proc.returncode}): {command}\n"
                     f"{err.read().decode(errors='replace')}")
        peak_kib = int(peak.read().split()[-1]) if GNU_TIME else usage.ru_maxrss
    return {"wall": wall, "user": usage.ru_utime, "sys": usage.ru_stime,
            "cpu": usage.ru_utime + usage.ru_stime, "peak": peak_kib}


def sync():
    subprocess.run(["sync"], check=True)


def real_binaries():
    """Regular ELF files from the system's library and program folders, largest first
    within a stable order, each path once."""
    seen, found = set(), []
    for folder in BINARY_FOLDERS:
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path) or path in seen:
                continue
            try:
                with open(path, "rb") as f:
                    if f.read(4) != b"\x7fELF":
                        continue
            except OSError:
                continue
            seen.add(path)
            found.append(path)
    if not found:
        sys.exit("no ELF binaries found in " + ", ".join(BINARY_FOLDERS))
    return found


def copy_binaries(binaries, folder, budget):
    """Copies real binaries of at most 16 MiB each into `folder` until `budget` bytes."""
    os.makedirs(folder)
    total = 0
    for path in binaries:
        size = os.path.getsize(path)
        if size > 16 * MIB or total + size > budget:
            continue
        shutil.copy(path, os.path.join(folder, os.path.basename(path)))
        total += size


def write_concatenated(binaries, path, size):
    """Exactly `size` bytes of real binaries back to back, starting over when they run out."""
    with open(path, "wb") as out:
        written = 0
        while written < size:
            for source in binaries:
                with open(source, "rb") as f:
                    data = f.read(size - written)
                out.write(data)
                written += len(data)
                if written == size:
                    return


def copy_tree(src, dst):
    if os.path.isdir(src):
        shutil.copytree(src, dst, symlinks=True, ignore_dangling_symlinks=True)


def make_tree(tree, tiny):
    """Real data only: headers and documentation (many small text files, some links),
    shared libraries and programs, and one large file of binary bytes."""
    os.makedirs(tree)
    binaries = real_binaries()
    if tiny:
        copy_tree("/usr/include/linux", os.path.join(tree, "include"))
        copy_binaries(binaries, os.path.join(tree, "lib"), 4 * MIB)
        write_concatenated(binaries, os.path.join(tree, "large.bin"), 8 * MIB)
        return
    copy_tree("/usr/include", os.path.join(tree, "include"))
    copy_tree("/usr/share/doc", os.path.join(tree, "doc"))
    copy_binaries(binaries, os.path.join(tree, "lib"), 64 * MIB)
    # Over one chunk (256 MiB), so that one file spans a chunk of its own.
    write_concatenated(binaries, os.path.join(tree, "large.bin"), 300 * MIB)


def kept_entries(tree):
    """What hlg archives: relative paths of the folders and regular files, links not followed."""
    kept = {}
    for dirpath, dirnames, filenames in os.walk(tree):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            mode = os.lstat(path).st_mode
            if stat.S_ISDIR(mode) or stat.S_ISREG(mode):
                kept[os.path.relpath(path, tree)] = stat.S_ISDIR(mode)
    return kept


def check_restored(tree, restored):
    """Exits unless `restored` holds exactly the folders and regular files of `tree`."""
    wanted, got = kept_entries(tree), kept_entries(restored)
    if wanted != got:
        missing = sorted(set(wanted) - set(got))[:5]
        extra = sorted(set(got) - set(wanted))[:5]
        sys.exit(f"extract restored a different tree; missing {missing}, extra {extra}")
    for path, is_dir in wanted.items():
        if not is_dir and not filecmp.cmp(os.path.join(tree, path), os.path.join(restored, path),
                                          shallow=False):
            sys.exit(f"extract restored different bytes: {path}")


def tree_bytes(tree):
    total = 0
    for dirpath, _, files in os.walk(tree):
        for name in files:
            p = os.path.join(dirpath, name)
            if os.path.isfile(p) and not os.path.islink(p):
                total += os.path.getsize(p)
    return total


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)
               if os.path.isfile(os.path.join(folder, n)))


def hlg_sequence(hlg, tree, round_dir, sizes):
    archive = os.path.join(round_dir, "x.hlg")
    times = {"pack": timed(f"'{hlg}' pack '{tree}' '{archive}'", round_dir)}
    sizes["hlg"] = folder_bytes(archive)
    times["verify"] = timed(f"'{hlg}' verify '{archive}'", round_dir)
    # With the marker that verify wrote, extract asks nothing.
    if not os.path.exists(os.path.join(archive, ".verified")):
        sys.exit("verify left no marker")
    times["extract"] = timed(f"'{hlg}' extract '{archive}' hlg-out && sync", round_dir)
    if os.path.exists(archive):
        sys.exit("extract left the archive folder behind")
    return times


def peer_sequence(tree, round_dir, sizes):
    work, name = os.path.split(tree)
    times = {"pack": timed(f"tar -cf - -C '{work}' '{name}' | zstd -3 -T1 -q -o x.tar.zst",
                           round_dir)}
    sizes["peer"] = os.path.getsize(os.path.join(round_dir, "x.tar.zst"))
    times["verify"] = timed("zstd -t -q x.tar.zst", round_dir)
    os.makedirs(os.path.join(round_dir, "tar-out"))
    times["extract"] = timed("zstd -dc -q x.tar.zst | tar -xf - -C tar-out && sync", round_dir)
    return times


def compare(work, tree, rounds, hlg):
    """Each round runs both sequences, hlg first in even rounds and the peers first in odd
    ones, so that neither always meets the caches and the disk as the other left them."""
    results = {"hlg": [], "peer": []}
    sizes = {}
    for r in range(rounds):
        # Every round keeps its outputs until the end: on some file systems (ext4 without
        # a journal) creating files soon after thousands were deleted is many times slower,
        # and whichever side ran after a removal would pay for it.
        round_dir = os.path.join(work, f"round-{r}")
        os.makedirs(round_dir)
        sides = [("hlg", lambda: hlg_sequence(hlg, tree, round_dir, sizes)),
                 ("peer", lambda: peer_sequence(tree, round_dir, sizes))]
        for side, sequence in (sides if r % 2 == 0 else sides[::-1]):
            # Neither side pays for writing back what the other left.
            sync()
            results[side].append(sequence())
        check_restored(tree, os.path.join(round_dir, "hlg-out"))
        print(f"round {r + 1}/{rounds}: " + ", ".join(
            f"{step} {results['hlg'][-1][step]['wall']:.2f}/{results['peer'][-1][step]['wall']:.2f}"
            for step in STEPS) + " s (hlg/peer wall)", file=sys.stderr)
    return results, sizes


def median_of(runs, step, key):
    return statistics.median(run[step][key] for run in runs)


def report(results, sizes):
    hlg, peer = results["hlg"], results["peer"]
    print("| step | side | wall s | user s | sys s | cpu s | peak MiB |")
    print("|---|---|---|---|---|---|---|")
    for step in STEPS:
        for label, runs in (("hlg", hlg), ("tar+zstd", peer)):
            print(f"| {step} | {label} | " + " | ".join(
                f"{median_of(runs, step, key):.2f}" for key in ("wall", "user", "sys", "cpu"))
                + f" | {max(run[step]['peak'] for run in runs) // 1024} |")
    print(f"\nArchive {sizes['hlg']} bytes, .tar.zst {sizes['peer']} bytes.\n")

    # The ratio of the medians is the verdict; the ratios within each round show how far
    # the machine's noise moves it.
    ratios = {"archive size": (sizes["hlg"] / sizes["peer"], [])}
    for name in TARGETS:
        if name == "archive size":
            continue
        step, key = name.split()
        per_round = sorted(h[step][key] / p[step][key] for h, p in zip(hlg, peer))
        ratios[name] = (median_of(hlg, step, key) / median_of(peer, step, key), per_round)
    print("| target | ratio of medians | per round | at most | |")
    print("|---|---|---|---|---|")
    for name, target in TARGETS.items():
        ratio, per_round = ratios[name]
        spread = f"{per_round[0]:.2f} to {per_round[-1]:.2f}" if per_round else ""
        print(f"| {name} | {ratio:.3f} | {spread} | {target:.2f} "
              f"| {'met' if ratio <= target else 'missed'} |")


def make_many_files(tree, count, depth):
    """`count` tiny files, 100 to a folder, the folders `depth` levels deep."""
    os.makedirs(tree)
    per_folder = 100
    for i in range(count):
        folder_number = i // per_folder
        parts = [f"d{(folder_number >> (4 * level)) & 15:x}{level}" for level in range(depth)]
        parts[-1] = f"d{folder_number}"
        folder = os.path.join(tree, *parts)
        if i % per_folder == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"f{i}"), "wb") as f:
            if i % 2:
                f.write(b"x" * (i % 64))


def many_files(work, hlg, rounds):
    """Pack of many tiny files: the cost per entry, and how it grows when the count doubles."""
    print("\nMany tiny files (pack only; medians):\n")
    print("| files | depth | hlg wall s | hlg per entry us | tar+zstd wall s | hlg growth per doubling "
          "| n log n growth |")
    print("|---|---|---|---|---|---|---|")
    for depth in (1, 8):
        previous = None
        for count in (50000, 100000):
            many = os.path.join(work, f"many-{depth}-{count}")
            make_many_files(many, count, depth)
            # Each pack writes an archive of its own, kept until the end as in compare.
            out = many + "-out"
            os.makedirs(out)
            hlg_walls, peer_walls = [], []
            for r in range(rounds):
                sync()
                hlg_walls.append(timed(f"'{hlg}' pack '{many}' many-{r}.hlg", out)["wall"])
                sync()
                peer_walls.append(timed(f"tar -cf - -C '{work}' '{os.path.basename(many)}' "
                                        f"| zstd -3 -T1 -q -o many-{r}.tar.zst", out)["wall"])
            wall = statistics.median(hlg_walls)
            growth = nlogn = ""
            if previous is not None:
                growth = f"{wall / previous[1]:.2f}"
                nlogn = f"{count * math.log(count) / (previous[0] * math.log(previous[0])):.2f}"
            print(f"| {count} | {depth} | {wall:.2f} | {wall / count * 1e6:.1f} "
                  f"| {statistics.median(peer_walls):.2f} | {growth} | {nlogn} |")
            previous = (count, wall)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tiny", action="store_true", help="small tree, one round (for CI)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workdir", default=None, help="where the temporary folder is made")
    parser.add_argument("--hlg", default=None, help="hlg binary to measure instead of build/hlg")
    parser.add_argument("--skip-many", action="store_true", help="skip the many-small-files runs")
    args = parser.parse_args()
    rounds = 1 if args.tiny else args.rounds
    hlg = os.path.abspath(args.hlg) if args.hlg else build_default()

    work = tempfile.mkdtemp(prefix="hlg-bench-", dir=args.workdir)
    try:
        tree = os.path.join(work, "tree")
        make_tree(tree, args.tiny)
        sync()
        results, sizes = compare(work, tree, rounds, hlg)
        print(f"Machine: {os.cpu_count()} cores; {time.strftime('%Y-%m-%d')}; hlg {hlg}; "
              f"tree {tree_bytes(tree)} bytes in {len(kept_entries(tree))} folders and files; "
              f"work folder {work}; medians of {rounds} round(s).\n")
        report(results, sizes)
        if not args.tiny and not args.skip_many:
            many_files(work, hlg, min(rounds, 3))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
