#!/usr/bin/env python3
"""Times the Windows program under wine loading record files of 20,000 and
200,000 records (the menu answers piped to it, its output thrown away), and
shows how much more the larger load costs: at most 14 times the smaller one
is the target, where 10 would be a load whose cost grows in proportion to
the records. The cost of a load is the run's wall time less that of a run
that only starts and ends the program; both are given. Each timed run comes
right after an untimed run of the same command, as in run.py. Each figure
is the least of several rounds: on this virtual machine a wine run now and
then waits a second or more for memory or for wine's server, whatever it
does, and such waits only ever add time.
Usage: wine_growth.py WINDOWS_BUILD_DIR [--runs N]"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
SIZES = (20000, 200000)
LIMIT = 14


def ensure_data(count):
    path = os.path.join(DATA, f"records-{count}.txt")
    if not os.path.exists(path):
        os.makedirs(DATA, exist_ok=True)
        print(f"generating {path}", file=sys.stderr)
        subprocess.run([sys.executable, os.path.join(HERE, "gen_records.py"),
                        str(count), path + ".part"], check=True)
        os.rename(path + ".part", path)
    return os.path.basename(path)


def timed(prog, answers):
    """Wall seconds of one run of prog with answers as its input."""
    # Reports go to a file, not a pipe: wine's server, which lingers after
    # the program, would keep a pipe open.
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        proc = subprocess.run([prog], input=answers.encode(), cwd=DATA,
                              stdout=subprocess.DEVNULL, stderr=errors)
        wall = time.perf_counter() - start
        errors.seek(0)
        err = errors.read()
    if proc.returncode != 0 or err:
        sys.exit(f"{prog} failed ({proc.returncode}): "
                 f"{err.decode(errors='replace')}")
    return wall


def warm(prog, answers):
    timed(prog, answers)
    return timed(prog, answers)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("build")
    p.add_argument("--runs", type=int, default=7)
    args = p.parse_args()
    # build/kartoteka runs build/kartoteka.exe under wine.
    prog = os.path.join(os.path.abspath(args.build), "kartoteka")
    names = {count: ensure_data(count) for count in SIZES}
    rounds = {label: [] for label in ("start", *SIZES)}
    for _ in range(args.runs):
        rounds["start"].append(warm(prog, "0\n"))
        for count in SIZES:
            rounds[count].append(warm(prog, f"5\n{names[count]}\n0\n"))
    start = min(rounds["start"])
    print(f"The Windows program under wine, the least of {args.runs} runs:")
    print(f"  start and end only    {start * 1000:8.1f} ms")
    for count in SIZES:
        wall = min(rounds[count])
        print(f"  load of {count:>7} records {wall * 1000:8.1f} ms, "
              f"{(wall - start) * 1000:8.1f} ms beyond the start")
    small, big = (min(rounds[c]) for c in SIZES)
    whole = big / small
    load = (big - start) / max(small - start, 1e-9)
    print("Target:")
    print(f"  [{'met' if load <= LIMIT else 'NOT met'}] load of 200000 / "
          f"load of 20000: x{load:.2f} beyond the start, x{whole:.2f} whole "
          f"runs (at most {LIMIT})")


if __name__ == "__main__":
    main()
