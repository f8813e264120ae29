#!/usr/bin/env python3
"""Times the program on record files of 10,000, 100,000 and 1,000,000
records, run as a user runs it (the menu answers piped to its standard
input, its output to /dev/null), next to two baselines doing the same work:
the memory floor (bench_floor) and the C library's formatted input and output
(bench_stdio). Every program runs under /usr/bin/time -v, which gives the
peak resident memory; the wall time is taken around it and the user CPU time
from the kernel's accounting of the finished process. Each figure is the
median of several rounds; each ratio is taken within one round, then the
median of those is shown.
Each timed run comes right after an untimed run of the same command (see
warm_run). At 100,000 records it also measures what a load holds in memory:
the peak of three loads in one run, the resident memory at the menu after
two loads (read from /proc while the program waits for its next answer),
and whether two loads succeed under an address-space limit (ulimit -v). The program's load is also timed with
transparent huge pages turned off for it (prctl), to show what its 2 MiB
pages bring. Last, with 50,000 records whose text fields are all distinct
and 254 bytes long (as large in the file as in memory), the peaks of a
first load, of a reload and of a load and a save.
Usage: run.py BUILD_DIR [--runs N] [--sizes 10000,100000,1000000]"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
MIB = 1 << 20

# The searches: criterion, query, what kind of search it is. The generator
# plants these values at known rates.
SEARCHES = [
    ("search text few", 2, "Ёлкина-Щукина"),
    ("search text many", 15, "Москва"),
    ("search int few", 11, "7654321"),
    ("search int many", 10, "1990"),
]


def run(argv, stdin_bytes=b"", thp=True):
    """Runs argv under /usr/bin/time -v with stdin_bytes as its input and
    its output thrown away; returns its wall and user CPU seconds and its
    peak resident memory in bytes."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report, \
            tempfile.TemporaryFile() as errors:
        cmd = ["/usr/bin/time", "-v", "-o", report.name] + argv
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=errors,
                                cwd=DATA, preexec_fn=None if thp else no_thp)
        proc.stdin.write(stdin_bytes)
        proc.stdin.close()
        # The kernel's count of CPU time is finer than /usr/bin/time's
        # hundredths of a second; its own share is negligible.
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        err = errors.read()
        if proc.returncode != 0 or err:
            sys.exit(f"{' '.join(argv)} failed ({proc.returncode}): "
                     f"{err.decode(errors='replace')}")
        peak = [line for line in report.read().splitlines()
                if "Maximum resident set size" in line]
        rss = int(peak[0].split(":")[1]) * 1024
    return {"wall": wall, "user": usage.ru_utime,
            "cpu": usage.ru_utime + usage.ru_stime, "rss": rss}


def no_thp():
    """Turns transparent huge pages off for the process about to start."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(41, 1, 0, 0, 0) != 0:  # PR_SET_THP_DISABLE
        raise OSError(ctypes.get_errno(), "prctl")


def warm_run(argv, stdin_bytes=b"", thp=True):
    """Runs argv twice and returns the second run's figures. This machine is
    a virtual one whose host takes freed memory back after a while: the
    first run after other work may pay seconds for the host handing it out
    again, which says nothing about the program. The second gets memory just
    freed by the same work."""
    run(argv, stdin_bytes, thp)
    return run(argv, stdin_bytes, thp)


def menu_rss(prog, name, loads):
    """Starts prog, has it load name loads times, and returns its resident
    memory in bytes while it waits at the menu after the last load."""
    proc = subprocess.Popen(prog, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            cwd=DATA)
    proc.stdin.write(answers(*["5", name] * loads))
    proc.stdin.flush()
    seen = b""
    done = "Выполнено!".encode()
    prompt = "Ваш выбор: ".encode()
    # The menu's prompt after the last load: the program is then waiting.
    while seen.count(done) < loads or not seen.endswith(prompt):
        chunk = os.read(proc.stdout.fileno(), 65536)
        if not chunk:
            sys.exit(f"{prog[0]} ended before {loads} loads")
        seen += chunk
    time.sleep(0.1)
    with open(f"/proc/{proc.pid}/status") as status:
        rss = [int(line.split()[1]) * 1024 for line in status
               if line.startswith("VmRSS:")][0]
    proc.stdin.write(answers("0"))
    proc.stdin.close()
    proc.stdout.read()
    proc.wait()
    return rss


def loads_under_limit(prog, name, loads, limit):
    """Whether prog loads name loads times with its address space limited
    to limit bytes."""
    def limit_it():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    proc = subprocess.run(prog, input=answers(*["5", name] * loads, "0"),
                          capture_output=True, cwd=DATA, preexec_fn=limit_it)
    return (proc.returncode == 0 and not proc.stderr and
            proc.stdout.count("Выполнено!".encode()) == loads)


def memory(build, name):
    """The figures of a load's memory at one size, in bytes, and whether
    two loads pass under the address-space limit (by record size)."""
    prog = [os.path.join(build, "kartoteka")]
    three = warm_run(prog, answers(*["5", name] * 3, "0"))
    return {"three loads peak": three["rss"],
            "menu after two loads": menu_rss(prog, name, 2),
            "under_limit": lambda limit: loads_under_limit(prog, name, 2,
                                                           limit)}


def ensure_data(count, long_fields=False):
    kind = "long-" if long_fields else ""
    path = os.path.join(DATA, f"records-{kind}{count}.txt")
    if not os.path.exists(path):
        os.makedirs(DATA, exist_ok=True)
        print(f"generating {path}", file=sys.stderr)
        subprocess.run([sys.executable, os.path.join(HERE, "gen_records.py")] +
                       (["--long"] if long_fields else []) +
                       [str(count), path + ".part"], check=True)
        os.rename(path + ".part", path)
    return os.path.basename(path)


LONG_COUNT = 50000


def long_fields_memory(build):
    """Peak memory, in bytes, of a first load, a reload and a load and a
    save of LONG_COUNT records with long distinct text fields."""
    prog = [os.path.join(build, "kartoteka")]
    name = ensure_data(LONG_COUNT, long_fields=True)
    out = "saved-long.txt"
    peaks = {
        "first load": warm_run(prog, answers("5", name, "0"))["rss"],
        "reload": warm_run(prog, answers("5", name, "5", name, "0"))["rss"],
        "load and save": warm_run(prog, answers("5", name, "4", out,
                                                "0"))["rss"],
    }
    os.remove(os.path.join(DATA, out))
    return peaks


def answers(*lines):
    return ("\n".join(lines) + "\n").encode()


def cases(build, count, name):
    """The runs of one round, by label: program, floor and stdio ones."""
    prog = [os.path.join(build, "kartoteka")]
    stdio = os.path.join(build, "bench", "bench_stdio")
    out = f"saved-{count}.txt"
    c = {
        "floor": ([os.path.join(build, "bench", "bench_floor"), str(count)],
                  b""),
        "stdio load": ([stdio, "load", name], b""),
        "stdio save": ([stdio, "save", name, out], b""),
        "stdio show": ([stdio, "show", name], b""),
        "load": (prog, answers("5", name, "0")),
        "load+save": (prog, answers("5", name, "4", out, "0")),
        "load+show": (prog, answers("5", name, "2", "A", "0")),
    }
    for label, criterion, query in SEARCHES:
        c["load+" + label] = (prog, answers("5", name, "6", str(criterion),
                                            query, "0"))
    return c


def median(rounds, key):
    return statistics.median(r[key] for r in rounds)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("build")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--sizes", default="10000,100000,1000000")
    args = p.parse_args()
    build = os.path.abspath(args.build)
    sizes = [int(s) for s in args.sizes.split(",")]
    results = {}
    for count in sizes:
        name = ensure_data(count)
        plan = cases(build, count, name)
        rounds = {label: [] for label in plan}
        rounds["load, no huge pages"] = []
        for _ in range(args.runs):
            for label, (argv, stdin_bytes) in plan.items():
                rounds[label].append(warm_run(argv, stdin_bytes))
            argv, stdin_bytes = plan["load"]
            rounds["load, no huge pages"].append(
                warm_run(argv, stdin_bytes, thp=False))
        results[count] = rounds
        os.remove(os.path.join(DATA, f"saved-{count}.txt"))
        if count == 100000:
            results["memory"] = memory(build, name)
    results["long"] = long_fields_memory(build)
    floor = subprocess.run([os.path.join(build, "bench", "bench_floor"), "1"],
                           check=True, capture_output=True, text=True)
    report(results, sizes, args.runs, int(floor.stdout))


def ratio(rounds, a, b, key):
    """Median over the rounds of a's figure over b's in the same round."""
    return statistics.median(x[key] / y[key] if y[key] > 0 else float("inf")
                             for x, y in zip(rounds[a], rounds[b]))


def report(results, sizes, runs, human_size):
    stdio_of = {"load": "stdio load", "load+save": "stdio save",
                "load+show": "stdio show"}
    print(f"Medians of {runs} runs; ratios are taken within each run.")
    print(f"{'records':>9} {'run':<24} {'wall ms':>9} {'user ms':>8} "
          f"{'peak MiB':>9} {'/floor':>7} {'user/stdio':>10}")
    for count in sizes:
        rounds = results[count]
        if count == 100000 and "memory" in results:
            mem = results["memory"]
            for label in ("three loads peak", "menu after two loads"):
                print(f"{count:>9} {label:<24} {'':>9} {'':>8} "
                      f"{mem[label] / MIB:9.1f}")
        for label in rounds:
            wall = median(rounds[label], "wall") * 1000
            user = median(rounds[label], "user") * 1000
            rss = median(rounds[label], "rss") / MIB
            floor = ratio(rounds, label, "floor", "wall")
            vs = (f"{ratio(rounds, label, stdio_of[label], 'user'):10.2f}"
                  if label in stdio_of else "")
            print(f"{count:>9} {label:<24} {wall:9.1f} {user:8.1f} "
                  f"{rss:9.1f} {floor:7.2f} {vs:>10}")
        print()
    checks = []
    notes = []
    for count in sizes:
        rounds = results[count]
        records = count * human_size / MIB
        rss = median(rounds["load"], "rss") / MIB
        checks.append((f"{count}: peak memory of a load {rss:.1f} MiB, "
                       f"limit 1.05 x {records:.1f} + 16 = "
                       f"{1.05 * records + 16:.1f} MiB",
                       rss <= 1.05 * records + 16))
        rss = median(rounds["load+save"], "rss") / MIB
        checks.append((f"{count}: peak memory of a load and a save "
                       f"{rss:.1f} MiB, limit 1.05 x {records:.1f} + 16 = "
                       f"{1.05 * records + 16:.1f} MiB",
                       rss <= 1.05 * records + 16))
        if count != 100000:
            continue
        if "memory" in results:
            mem = results["memory"]
            for label, factor, extra in (
                    ("three loads peak", 1.15, 16),
                    ("menu after two loads", 1.1, 16)):
                got = mem[label] / MIB
                top = factor * records + extra
                checks.append((f"{count}: {label} {got:.1f} MiB, limit "
                               f"{factor} x {records:.1f} + {extra} = "
                               f"{top:.1f} MiB", got <= top))
            top = 1.25 * records + 48
            ok = mem["under_limit"](int(top * MIB))
            checks.append((f"{count}: two loads under ulimit -v 1.25 x "
                           f"{records:.1f} + 48 = {top:.1f} MiB: "
                           f"{'done' if ok else 'failed'}", ok))
        r = ratio(rounds, "load", "floor", "wall")
        checks.append((f"{count}: load wall / floor {r:.2f} (at most 1.15)",
                       r <= 1.15))
        for label, base in stdio_of.items():
            r = ratio(rounds, label, base, "user")
            checks.append((f"{count}: {label} user CPU / {base} {r:.2f} "
                           f"(at most 0.75)", r <= 0.75))
        for label, _, _ in SEARCHES:
            # Wall time, and CPU time, which other work on the machine
            # disturbs less.
            extra = [statistics.median(
                (s[key] - l[key]) * 1000
                for s, l in zip(rounds["load+" + label], rounds["load"]))
                for key in ("wall", "cpu")]
            checks.append((f"{count}: {label}, beyond the load {extra[0]:.1f} "
                           f"ms wall, {extra[1]:.1f} ms CPU (under 10)",
                           extra[0] < 10))
        r = ratio(rounds, "load", "floor", "wall")
        s = ratio(rounds, "load", "stdio load", "wall")
        h = ratio(rounds, "load, no huge pages", "floor", "wall")
        checks.append((f"{count}: stretch, load wall with 2 MiB pages / floor "
                       f"{r:.2f}, without them {h:.2f} (under 0.5)", r < 0.5))
        checks.append((f"{count}: stretch, load wall with 2 MiB pages / stdio "
                       f"load {s:.2f} (under 0.5)", s < 0.5))
    if "long" in results:
        records = LONG_COUNT * human_size / MIB
        for label, copies in (("first load", 1), ("reload", 2),
                              ("load and save", 1)):
            got = results["long"][label] / MIB
            top = (1.05 * records if copies == 1 else 2 * records) + 16
            how = "1.05 x" if copies == 1 else "old + new ="
            checks.append((f"{LONG_COUNT} long fields: peak of a {label} "
                           f"{got:.1f} MiB, limit {how} {records:.1f}"
                           f"{' x 2' if copies == 2 else ''} + 16 = "
                           f"{top:.1f} MiB", got <= top))
    if 100000 in results and 1000000 in results:
        small, big = results[100000], results[1000000]
        for label in big:
            g = median(big[label], "wall") / median(small[label], "wall")
            if label.startswith("stdio") or label == "floor":
                notes.append(f"growth 100000 -> 1000000, {label}: x{g:.2f}")
                continue
            checks.append((f"growth 100000 -> 1000000, {label}: x{g:.2f} "
                           f"(at most 11)", g <= 11))
    print("Targets:")
    for text, ok in checks:
        print(f"  [{'met' if ok else 'NOT met'}] {text}")
    if notes:
        print("The baselines, for comparison:")
        for text in notes:
            print(f"  {text}")


if __name__ == "__main__":
    main()
