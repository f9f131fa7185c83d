#!/usr/bin/env python3
"""Times hlg pack, verify and extract against tar piped through zstd -3 on the same tree.

Run by hand:  python3 bench/bench.py [--runs N] [--workdir DIR]
CI runs       python3 bench/bench.py --tiny   (a small tree, one run, so the script cannot rot)

It prints a Markdown report; copy the latest figures into bench/README.md.
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HLG = os.path.join(ROOT, "build", "hlg")

# Targets: the hlg figure divided by the tar + zstd figure must stay at or under these.
TARGETS = {
    "pack wall": 1.15,
    "pack cpu": 0.90,
    "verify wall": 1.20,
    "extract wall": 1.00,
    "archive size": 1.01,
}


def build():
    if not os.path.exists(os.path.join(ROOT, "build", "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ROOT, "-B", os.path.join(ROOT, "build"),
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", os.path.join(ROOT, "build"), "--target", "hlg"],
                   check=True, stdout=subprocess.DEVNULL)


def timed(command, cwd, stdin_text=None):
    """Runs a shell command; returns (wall seconds, cpu seconds, peak RSS KiB) of it and its children."""
    start = time.monotonic()
    proc = subprocess.Popen(["bash", "-c", command], cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE,
                            stdin=subprocess.PIPE if stdin_text is not None else subprocess.DEVNULL)
    if stdin_text is not None:
        proc.stdin.write(stdin_text.encode())
        proc.stdin.close()
    # wait4 reports the shell together with the children it waited for.
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"command failed ({proc.returncode}): {command}\n{err}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


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
    """`count` tiny files spread over folders `depth` levels deep."""
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


def compare(work, tree, runs):
    hlg = {"pack": [], "verify": [], "extract": []}
    ref = {"pack": [], "verify": [], "extract": []}
    archive = os.path.join(work, "x.hlg")
    tarzst = os.path.join(work, "x.tar.zst")
    tree_name = os.path.basename(tree)

    for _ in range(runs):
        shutil.rmtree(archive, ignore_errors=True)
        subprocess.run(["sync"], check=True)
        hlg["pack"].append(timed(f"'{HLG}' pack '{tree}' '{archive}'", work))
        if os.path.exists(tarzst):
            os.remove(tarzst)
        subprocess.run(["sync"], check=True)
        ref["pack"].append(timed(f"tar -cf - -C '{work}' '{tree_name}' | zstd -3 -T1 -q -o '{tarzst}'", work))

    for _ in range(runs):
        hlg["verify"].append(timed(f"'{HLG}' verify '{archive}'", work))
        ref["verify"].append(timed(f"zstd -t -q '{tarzst}'", work))

    for _ in range(runs):
        fresh = os.path.join(work, "fresh.hlg")
        out_hlg = os.path.join(work, "out-hlg")
        out_tar = os.path.join(work, "out-tar")
        for p in (fresh, out_hlg, out_tar):
            shutil.rmtree(p, ignore_errors=True)
        shutil.copytree(archive, fresh)
        os.makedirs(out_tar)
        subprocess.run(["sync"], check=True)
        hlg["extract"].append(timed(f"'{HLG}' extract '{fresh}' '{out_hlg}' && sync", work))
        subprocess.run(["sync"], check=True)
        ref["extract"].append(timed(f"zstd -dc '{tarzst}' | tar -xf - -C '{out_tar}' && sync", work))
        subprocess.run(["diff", "-r", "--no-dereference", os.path.join(out_tar, tree_name), out_hlg],
                       check=True, stdout=subprocess.DEVNULL)
        for p in (out_hlg, out_tar):
            shutil.rmtree(p, ignore_errors=True)

    sizes = (folder_bytes(archive), os.path.getsize(tarzst))
    return hlg, ref, sizes


def report_row(name, hlg_runs, ref_runs):
    hw, hc = median([r[0] for r in hlg_runs]), median([r[1] for r in hlg_runs])
    rw, rc = median([r[0] for r in ref_runs]), median([r[1] for r in ref_runs])
    hm, rm = max(r[2] for r in hlg_runs), max(r[2] for r in ref_runs)
    return hw, hc, rw, rc, (f"| {name} | {hw:.2f} | {hc:.2f} | {hm // 1024} | {rw:.2f} | {rc:.2f} | {rm // 1024} "
                            f"| {hw / rw:.2f} | {hc / rc:.2f} |")


def verdict(name, ratio):
    target = TARGETS[name]
    return f"| {name} | {ratio:.3f} | {target:.2f} | {'met' if ratio <= target else 'missed'} |"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tiny", action="store_true", help="small tree, one run (for CI)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--workdir", default=None)
    parser.add_argument("--skip-many", action="store_true", help="skip the many-small-files runs")
    args = parser.parse_args()
    runs = 1 if args.tiny else args.runs

    build()
    work = tempfile.mkdtemp(prefix="hlg-bench-", dir=args.workdir)
    try:
        tree = os.path.join(work, "tree")
        make_tree(tree, args.tiny)
        hlg, ref, (archive_size, tarzst_size) = compare(work, tree, runs)

        print(f"Machine: {os.cpu_count()} cores; {time.strftime('%Y-%m-%d')}; "
              f"tree {tree_bytes(tree)} bytes; medians of {runs} run(s), A/B alternating.\n")
        print("| step | hlg wall s | hlg cpu s | hlg peak MiB | tar+zstd wall s | tar+zstd cpu s "
              "| tar+zstd peak MiB | wall ratio | cpu ratio |")
        print("|---|---|---|---|---|---|---|---|---|")
        ratios = {}
        for step in ("pack", "verify", "extract"):
            hw, hc, rw, rc, row = report_row(step, hlg[step], ref[step])
            print(row)
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
            print("\nMany tiny files (pack only):\n")
            print("| files | depth | hlg wall s | per entry us | tar+zstd wall s |")
            print("|---|---|---|---|---|")
            for depth in (1, 8):
                for count in (50000, 100000):
                    many = os.path.join(work, f"many-{depth}-{count}")
                    make_many_files(many, count, depth)
                    archive = os.path.join(work, "many.hlg")
                    shutil.rmtree(archive, ignore_errors=True)
                    wall = timed(f"'{HLG}' pack '{many}' '{archive}'", work)[0]
                    ref_wall = timed(f"tar -cf - -C '{work}' '{os.path.basename(many)}' | zstd -3 -T1 -q -f -o many.tar.zst",
                                     work)[0]
                    print(f"| {count} | {depth} | {wall:.2f} | {wall / count * 1e6:.1f} | {ref_wall:.2f} |")
                    shutil.rmtree(many)
                    shutil.rmtree(archive, ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
