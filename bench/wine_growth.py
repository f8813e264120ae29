#!/usr/bin/env python3
"""Times the Windows program under wine loading record files of 20,000 and
200,000 records (the menu answers piped to it, its output thrown away), and
shows how much more the larger load costs: at most 14 times the smaller one
is the target, where 10 would be a load whose cost grows in proportion to
the records. The cost of a load is the CPU time of the run (user and
system, from the kernel's accounting of the finished process) less that of
a run that only starts and ends the program; wall times are given too.
Each timed run comes right after an untimed run of the same command, as in
run.py. Each figure is the least of several rounds: on this shared virtual
machine a wine run now and then waits a second or more for memory or for
other work, and such waits only ever add time, to the wall time most.
Usage: wine_growth.py WINDOWS_BUILD_DIR [--runs N]"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

from run import DATA, ensure_data

SIZES = (20000, 200000)
LIMIT = 14


def timed(prog, answers):
    """Wall and CPU seconds of one run of prog with answers as its input."""
    # Answers and reports go through files, not pipes: wine's server, which
    # lingers after the program, would keep a pipe open.
    with tempfile.TemporaryFile() as errors, tempfile.TemporaryFile() as given:
        given.write(answers.encode())
        given.seek(0)
        start = time.perf_counter()
        proc = subprocess.Popen([prog], stdin=given, cwd=DATA,
                                stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        errors.seek(0)
        err = errors.read()
    code = os.waitstatus_to_exitcode(status)
    if code != 0 or err:
        sys.exit(f"{prog} failed ({code}): {err.decode(errors='replace')}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime}


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
    least = {label: {key: min(r[key] for r in runs) for key in ("wall", "cpu")}
             for label, runs in rounds.items()}
    start = least["start"]
    print(f"The Windows program under wine, the least of {args.runs} runs "
          f"(wall, and CPU time beyond that of a start-only run):")
    print(f"  start and end only     {start['wall'] * 1000:8.1f} ms wall, "
          f"{start['cpu'] * 1000:8.1f} ms CPU")
    for count in SIZES:
        t = least[count]
        print(f"  load of {count:>7} records {t['wall'] * 1000:8.1f} ms wall, "
              f"{(t['cpu'] - start['cpu']) * 1000:8.1f} ms CPU")
    small, big = least[SIZES[0]], least[SIZES[1]]
    cpu = (big["cpu"] - start["cpu"]) / max(small["cpu"] - start["cpu"], 1e-9)
    wall = (big["wall"] - start["wall"]) / max(small["wall"] - start["wall"],
                                               1e-9)
    print("Target:")
    print(f"  [{'met' if cpu <= LIMIT else 'NOT met'}] load of 200000 / load "
          f"of 20000: x{cpu:.2f} CPU time (at most {LIMIT}); wall time "
          f"x{wall:.2f}")


if __name__ == "__main__":
    main()
