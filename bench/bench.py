#!/usr/bin/env python3
"""Times hlg pack, verify and extract against tar piped through zstd -3 on the same tree.

Run by hand:  python3 bench/bench.py [--runs N] [--workdir DIR] [--hlg PATH]
CI runs       python3 bench/bench.py --tiny   (a small tree, one run, so the script cannot rot)

Without --hlg it uses build/hlg, configuring build/ as a Release build when it does not
exist yet and bringing the hlg target up to date. It prints a Markdown report; copy the
latest figures into bench/README.md.
"""

import argparse
import filecmp
import math
import os
import random
import shutil
import stat
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")

# Targets: the hlg figure divided by the tar + zstd figure must stay at or under these.
TARGETS = {
    "pack wall": 1.15,
    "pack cpu": 0.90,
    "verify wall": 1.20,
    "extract wall": 1.00,
    "archive size": 1.01,
}


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
    """Runs a shell command; returns (wall s, cpu s, peak RSS KiB) of it and its children."""
    with tempfile.TemporaryFile() as err, tempfile.NamedTemporaryFile("r") as peak:
        argv = ["bash", "-c", "set -o pipefail; " + command]
        if GNU_TIME:
            argv = [GNU_TIME, "-f", "%M", "-o", peak.name] + argv
        start = time.monotonic()
        proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
        # wait4 reports the shell together with the children it waited for.
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            sys.exit(f"command failed ({proc.returncode}): {command}\n"
                     f"{err.read().decode(errors='replace')}")
        peak_kib = int(peak.read().split()[-1]) if GNU_TIME else usage.ru_maxrss
    return wall, usage.ru_utime + usage.ru_stime, peak_kib


def sync():
    subprocess.run(["sync"], check=True)


def copy_tree(src, dst):
    if os.path.isdir(src):
        shutil.copytree(src, dst, symlinks=True, ignore_dangling_symlinks=True, dirs_exist_ok=True)


def make_compressible_file(path, size):
    """Text-like data that zstd -3 shrinks to roughly a third: random words from a vocabulary."""
    rng = random.Random(1234)
    letters = "abcdefghijklmnopqrstuvwxyz"
    vocabulary = ["".join(rng.choices(letters, k=rng.randint(2, 9))) for _ in range(5000)]
    with open(path, "wb") as out:
        written = 0
        while written < size:
            words = rng.choices(vocabulary, k=12 * 4096)
            lines = [" ".join(words[i:i + 12]) for i in range(0, len(words), 12)]
            data = ("\n".join(lines) + "\n").encode()[: size - written]
            out.write(data)
            written += len(data)


def make_tree(tree, tiny):
    os.makedirs(tree)
    if tiny:
        copy_tree("/usr/include/linux", os.path.join(tree, "include"))
        make_compressible_file(os.path.join(tree, "big.txt"), 3 * 1024 * 1024)
        return
    copy_tree("/usr/include", os.path.join(tree, "include"))
    copy_tree("/usr/share/doc", os.path.join(tree, "doc"))
    os.makedirs(os.path.join(tree, "bin"))
    for binary in ["/usr/bin/cmake", "/usr/bin/gdb", "/usr/bin/perl", "/usr/bin/git"]:
        if os.path.exists(binary):
            shutil.copy(os.path.realpath(binary), os.path.join(tree, "bin", os.path.basename(binary)))
    make_compressible_file(os.path.join(tree, "large.txt"), 300 * 1024 * 1024)


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


def median(values):
    return statistics.median(values)


def alternate(run, first, second, results):
    """One A/B pair; which of the two goes first changes with every run, so that neither
    always meets the cache or the disk in the state the other left."""
    order = [first, second] if run % 2 == 0 else [second, first]
    for name, prepare, command in order:
        prepare()
        sync()
        results[name].append(command())


def compare(work, tree, runs, hlg_binary):
    times = {"hlg pack": [], "ref pack": [], "hlg verify": [], "ref verify": [],
             "hlg extract": [], "ref extract": []}
    archive = os.path.join(work, "x.hlg")
    tarzst = os.path.join(work, "x.tar.zst")
    tree_name = os.path.basename(tree)
    nothing = lambda: None

    def fresh_archive():
        shutil.rmtree(archive, ignore_errors=True)

    def fresh_tarzst():
        if os.path.exists(tarzst):
            os.remove(tarzst)

    for run in range(runs):
        alternate(run,
                  ("hlg pack", fresh_archive,
                   lambda: timed(f"'{hlg_binary}' pack '{tree}' '{archive}'", work)),
                  ("ref pack", fresh_tarzst,
                   lambda: timed(f"tar -cf - -C '{work}' '{tree_name}' | zstd -3 -T1 -q -o '{tarzst}'",
                                 work)),
                  times)
    sizes = (folder_bytes(archive), os.path.getsize(tarzst))

    for run in range(runs):
        alternate(run,
                  ("hlg verify", nothing, lambda: timed(f"'{hlg_binary}' verify '{archive}'", work)),
                  ("ref verify", nothing, lambda: timed(f"zstd -t -q '{tarzst}'", work)),
                  times)
    # With the marker present extract asks nothing, so only the extraction is timed.
    if not os.path.exists(os.path.join(archive, ".verified")):
        sys.exit("verify left no marker")

    # Every run restores into folders of its own, removed only at the end: on some file
    # systems (ext4 without a journal) creating files soon after thousands were deleted
    # is many times slower, and whichever side ran after a removal would pay for it.
    outputs = os.path.join(work, "outputs")
    os.makedirs(outputs)
    for run in range(runs):
        fresh = os.path.join(outputs, f"fresh-{run}.hlg")
        out_hlg = os.path.join(outputs, f"hlg-{run}")
        out_tar = os.path.join(outputs, f"tar-{run}")
        alternate(run,
                  ("hlg extract", lambda: shutil.copytree(archive, fresh),
                   lambda: timed(f"'{hlg_binary}' extract '{fresh}' '{out_hlg}' && sync", work)),
                  ("ref extract", lambda: os.makedirs(out_tar),
                   lambda: timed(f"zstd -dc '{tarzst}' | tar -xf - -C '{out_tar}' && sync", work)),
                  times)
        if os.path.exists(fresh):
            sys.exit("extract left the archive folder behind")
        check_restored(tree, out_hlg)
    return times, sizes


def step_figures(runs):
    return (median([r[0] for r in runs]), median([r[1] for r in runs]),
            max(r[2] for r in runs) // 1024)


def verdict(name, ratio):
    target = TARGETS[name]
    return f"| {name} | {ratio:.3f} | {target:.2f} | {'met' if ratio <= target else 'missed'} |"


def many_files(work, hlg_binary, runs):
    """Pack of many tiny files: the cost per entry, and how it grows when the count doubles."""
    print("\nMany tiny files (pack only; medians):\n")
    print("| files | depth | hlg wall s | hlg per entry us | tar+zstd wall s | hlg growth per doubling "
          "| n log n growth |")
    print("|---|---|---|---|---|---|---|")
    archive = os.path.join(work, "many.hlg")
    for depth in (1, 8):
        previous = None
        for count in (50000, 100000):
            many = os.path.join(work, f"many-{depth}-{count}")
            make_many_files(many, count, depth)
            hlg_walls, ref_walls = [], []
            for _ in range(runs):
                shutil.rmtree(archive, ignore_errors=True)
                sync()
                hlg_walls.append(timed(f"'{hlg_binary}' pack '{many}' '{archive}'", work)[0])
                sync()
                ref_walls.append(timed(f"tar -cf - -C '{work}' '{os.path.basename(many)}' "
                                       "| zstd -3 -T1 -q -f -o many.tar.zst", work)[0])
            wall = median(hlg_walls)
            growth = nlogn = ""
            if previous is not None:
                growth = f"{wall / previous[1]:.2f}"
                nlogn = f"{count * math.log(count) / (previous[0] * math.log(previous[0])):.2f}"
            print(f"| {count} | {depth} | {wall:.2f} | {wall / count * 1e6:.1f} "
                  f"| {median(ref_walls):.2f} | {growth} | {nlogn} |")
            previous = (count, wall)
            # The trees stay until the end, as the restored ones do (see compare).
            shutil.rmtree(archive, ignore_errors=True)
    if os.path.exists(os.path.join(work, "many.tar.zst")):
        os.remove(os.path.join(work, "many.tar.zst"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tiny", action="store_true", help="small tree, one run (for CI)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--workdir", default=None, help="where the temporary folder is made")
    parser.add_argument("--hlg", default=None, help="hlg binary to measure instead of build/hlg")
    parser.add_argument("--skip-many", action="store_true", help="skip the many-small-files runs")
    args = parser.parse_args()
    runs = 1 if args.tiny else args.runs
    hlg_binary = os.path.abspath(args.hlg) if args.hlg else build_default()

    work = tempfile.mkdtemp(prefix="hlg-bench-", dir=args.workdir)
    try:
        tree = os.path.join(work, "tree")
        make_tree(tree, args.tiny)
        times, (archive_size, tarzst_size) = compare(work, tree, runs, hlg_binary)

        print(f"Machine: {os.cpu_count()} cores; {time.strftime('%Y-%m-%d')}; hlg {hlg_binary}; "
              f"tree {tree_bytes(tree)} bytes in {len(kept_entries(tree))} folders and files; "
              f"work folder {work}; medians of {runs} run(s), A/B alternating.\n")
        print("| step | hlg wall s | hlg cpu s | hlg peak MiB | tar+zstd wall s | tar+zstd cpu s "
              "| tar+zstd peak MiB | wall ratio | cpu ratio |")
        print("|---|---|---|---|---|---|---|---|---|")
        ratios = {}
        for step in ("pack", "verify", "extract"):
            hw, hc, hm = step_figures(times["hlg " + step])
            rw, rc, rm = step_figures(times["ref " + step])
            print(f"| {step} | {hw:.2f} | {hc:.2f} | {hm} | {rw:.2f} | {rc:.2f} | {rm} "
                  f"| {hw / rw:.2f} | {hc / rc:.2f} |")
            ratios[f"{step} wall"] = hw / rw
            if step == "pack":
                ratios["pack cpu"] = hc / rc
        ratios["archive size"] = archive_size / tarzst_size
        print(f"\nArchive {archive_size} bytes, .tar.zst {tarzst_size} bytes.\n")
        print("| target | ratio | at most | |")
        print("|---|---|---|---|")
        for name in TARGETS:
            print(verdict(name, ratios[name]))

        if not args.tiny and not args.skip_many:
            many_files(work, hlg_binary, min(runs, 3))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
