#!/usr/bin/env python3
"""Power cuts on a real kernel: a virtual machine (qemu, Debian's kernel)
saves one file over and over as a user would, and the host kills it, the
way a power cut stops a computer: whatever the guest's kernel had not yet
handed to its disk is gone. The next start mounts that disk with the same
kernel, which replays the file system's log, and lists what is there.

  powercut.py --kernel DIR --program PROG --preload STOP_AT_SO --work DIR
              [--cuts N] [--seconds S] [--seed N] [--only FS/ROUTE]

Each cut is on one of the file systems (ext4, ext4 with data=writeback,
xfs, btrfs) and one of the ways a save reaches its file:
  rename     the folder is the user's: a new file replaces the old one
  folder     the folder is not the user's: written in place, its copy in
             the user's state folder
  link       the file has a second name: written in place, its copy
             beside it
  writeonly  the user may write the file but not read it: the new
             records go to the state folder first, then over the file
Half the cuts come at a random moment, half just before a chosen system
call of the first save (the guest's stop_at.so stops the program there).
After every cut the disk must show:
  - the file with one whole set of records: the one saved last if its
    "Выполнено!" was printed, else that or the one before;
  - nothing else, but a copy that a save cut short left: it holds a whole
    set of records, and the next save names it on the error stream;
  - a file that is neither set only where such a copy holds its records.
The guest starts from a state saved once, so that a cut costs about a
second. Prints one line per file system and route, and "N passed, N
failed" last; exits 1 on any failure, 77 (a skip) without qemu.
"""

import argparse
import gzip
import hashlib
import os
import queue
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FILE_SYSTEMS = [
    ("ext4", "ext4", "rw"),
    ("ext4-writeback", "ext4", "rw,data=writeback"),
    ("xfs", "xfs", "rw"),
    ("btrfs", "btrfs", "rw"),
]
ROUTES = ["rename", "folder", "link", "writeonly"]
# Calls before which the first save of a cut may stop: the syncs of the
# new file, the copy and the folders, the naming and renaming, the cut of
# a file written in place and the writes over it.
CHOSEN_CALLS = ["fsync 1", "fsync 2", "fsync 3", "fsync 4", "linkat 1",
                "renameat 1", "unlinkat 1", "ftruncate 1", "ftruncate 2",
                "write 3", "write 9", "pwrite 5", "pwrite 30"]
DISK_SIZE = 320 << 20  # xfs takes no smaller one
DONE = "Выполнено!"
RECORD = ("Анна Иванова 0 русская православная 165 55 5.3.1990 {phone} "
          "101000 Россия Московская Москва Тверская 7 12\n")


def fail(why):
    print("powercut: " + why, file=sys.stderr)
    sys.exit(1)


def records(count, first):
    return "".join(RECORD.format(phone=first + i) for i in range(count))


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


# ---- The guest's start: its initramfs, then its saved state ----

def cpio_entry(out, name, mode, data=b""):
    """Appends one entry of the newc format to out."""
    head = "070701" + "".join("%08X" % v for v in (
        0, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0))
    out += head.encode() + name.encode() + b"\0"
    out += b"\0" * (-len(out) % 4)
    out += data
    out += b"\0" * (-len(out) % 4)


def shared_libraries(program):
    """The shared libraries program loads, with the loader."""
    out = subprocess.run(["ldd", program], capture_output=True, text=True,
                         check=True).stdout
    libs = []
    for line in out.splitlines():
        words = line.split()
        path = words[2] if "=>" in words and len(words) > 2 else words[0]
        if path.startswith("/"):
            libs.append(path)
    return libs


def module_order(kernel):
    """The drivers the guest needs, each after those it depends on."""
    version = os.listdir(os.path.join(kernel, "lib", "modules"))[0]
    order = []
    for module in ("virtio_pci", "virtio_blk", "ext4", "xfs", "btrfs"):
        out = subprocess.run(
            ["modprobe", "--show-depends", "-d", kernel, "-S", version,
             module], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            words = line.split()
            if words[:1] == ["insmod"] and words[1] not in order:
                order.append(words[1])
    return order


def make_initramfs(args, path):
    out = bytearray()
    for folder in ("bin", "lib", "lib64", "lib/x86_64-linux-gnu", "modules",
                   "sets", "dev", "proc", "sys", "mnt", "tmp", "etc"):
        cpio_entry(out, folder, 0o40755)
    # The user who saves, and root, who sets the disk up.
    cpio_entry(out, "etc/passwd", 0o100644,
               b"root:x:0:0::/:/bin/sh\nu:x:1000:1000::/mnt/home/u:/bin/sh\n")
    cpio_entry(out, "etc/group", 0o100644, b"root:x:0:\nu:x:1000:\n")
    with open(os.path.join(HERE, "guest_init.sh"), "rb") as f:
        cpio_entry(out, "init", 0o100755, f.read())
    for source, name in ([(shutil.which("busybox"), "bin/busybox"),
                          (args.program, "bin/kartoteka"),
                          (args.preload, "lib/stop_at.so")] +
                         [(lib, lib[1:]) for lib in
                          shared_libraries(args.program)]):
        with open(source, "rb") as f:
            cpio_entry(out, name, 0o100755, f.read())
    order = module_order(args.kernel)
    for module in order:
        with open(module, "rb") as f:
            cpio_entry(out, "modules/" + os.path.basename(module), 0o100644,
                       f.read())
    cpio_entry(out, "modules/order", 0o100644, "".join(
        os.path.basename(m) + "\n" for m in order).encode())
    for name, text in SETS.items():
        cpio_entry(out, "sets/%s.txt" % name, 0o100644, text.encode())
        # Load the set, save it over the file, leave.
        script = "5\n/sets/%s.txt\n4\n/mnt/data/cards.txt\n0\n" % name
        cpio_entry(out, "sets/%s.in" % name, 0o100644, script.encode())
    cpio_entry(out, "TRAILER!!!", 0)
    with gzip.open(path, "wb", compresslevel=1) as f:
        f.write(out)


SETS = {"A": records(700, 4950000), "B": records(1900, 4960000)}


TERMINAL_CODES = re.compile(r"\x1b(\[[0-9;?]*[A-Za-z]|[A-Za-z])")


class Guest:
    """One run of the virtual machine, its console read line by line."""

    def __init__(self, args, disk, incoming=None):
        self.monitor = os.path.join(args.work, "monitor-%d" % os.getpid() +
                                    "-%d.sock" % threading.get_ident())
        if os.path.exists(self.monitor):
            os.unlink(self.monitor)
        kernel = os.path.join(args.kernel, "boot", args.vmlinuz)
        command = [
            "qemu-system-x86_64", "-machine", "q35,accel=tcg", "-cpu", "max",
            "-m", "256", "-nographic", "-no-reboot", "-kernel", kernel,
            "-initrd", args.initramfs,
            "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
            "-drive", "file=%s,format=raw,if=virtio,cache=unsafe" % disk,
            "-serial", "stdio", "-display", "none",
            "-monitor", "unix:%s,server,nowait" % self.monitor]
        if incoming:
            command += ["-incoming", "exec:cat %s" % incoming]
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT)
        self.lines = queue.Queue()
        self.log = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            line = TERMINAL_CODES.sub("", line)  # the firmware's
            self.log.append(line)
            self.lines.put(line)
        self.lines.put(None)

    def wait_for(self, start, seconds):
        """The first line from now on that starts with start, or None."""
        end = time.monotonic() + seconds
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                return None
            if line is None or line.startswith(start):
                return line

    def ask(self, command):
        """The monitor's answer to command."""
        s = socket.socket(socket.AF_UNIX)
        s.connect(self.monitor)
        s.settimeout(10)
        answer = b""
        while not answer.endswith(b"(qemu) "):
            answer += s.recv(4096)
        s.sendall(command.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"(qemu) "):
            got = s.recv(4096)
            if not got:
                break  # it has quit
            answer += got
        s.close()
        return answer.decode("utf-8", "replace")

    def resume(self):
        """Lets a guest restored from its saved state run on."""
        for _ in range(600):
            try:
                status = self.ask("info status")
                if "inmigrate" in status:
                    pass  # its state is still being read
                elif "paused" in status:
                    self.ask("cont")
                    return
                if "running" in status:
                    return
            except OSError:
                pass
            time.sleep(0.05)
        fail("the guest did not start from its saved state")

    def say(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def cut(self):
        """The power cut: the machine is killed, then its last words read."""
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        while self.lines.get() is not None:
            pass
        if os.path.exists(self.monitor):
            os.unlink(self.monitor)


def save_state(args):
    disk = os.path.join(args.work, "blank.img")
    with open(disk, "wb") as f:
        f.truncate(DISK_SIZE)
    guest = Guest(args, disk)
    if guest.wait_for("READY", 300) is None:
        guest.cut()
        fail("the guest did not start:\n" + "\n".join(guest.log[-30:]))
    guest.ask("stop")
    guest.ask('migrate "exec:cat > %s"' % args.state)
    while "completed" not in guest.ask("info migrate"):
        time.sleep(0.1)
    guest.ask("quit")
    guest.process.wait()


# ---- The cuts ----

class Disk:
    """One file system and route, and what its file may hold now."""

    def __init__(self, args, name, fs, options, route):
        self.name, self.fs, self.options, self.route = name, fs, options, route
        self.path = os.path.join(args.work, "%s-%s.img" % (name, route))
        with open(self.path, "wb") as f:
            f.truncate(DISK_SIZE)
        mkfs = {"ext4": ["mkfs.ext4", "-q", "-F"], "xfs": ["mkfs.xfs", "-q", "-f"],
                "btrfs": ["mkfs.btrfs", "-q", "-f"]}[fs]
        subprocess.run(mkfs + [self.path], check=True,
                       stdout=subprocess.DEVNULL)
        self.may_hold = None  # a new disk: set up with set A
        self.cut_during = False  # the last cut came during a save
        self.hidden = set()  # new files a cut left, to be swept
        self.pending = set()  # copies the next save must name
        self.cuts = 0
        self.failures = []
        self.save_time = 0.6  # seconds, measured as the cuts go
        self.seen = {}  # the state of the file after each cut: count

    def __str__(self):
        return "%s/%s" % (self.name, self.route)


HASHES = {md5(text): name for name, text in SETS.items()}


def check_disk(disk, files):
    """Checks what the mount listed (path: md5) against what the last cut
    allows. Returns the errors."""
    errors = []
    data = "/mnt/data/"
    cards = files.pop(data + "cards.txt", None)
    if disk.route == "link" and files.pop(data + "link.txt", None) != cards:
        errors.append("the second name does not hold the file")
    copies = {}
    hidden = set()
    for path, digest in files.items():
        if ".kartoteka-backup-" in path or "/.local/state/" in path:
            copies[path] = digest
        elif path.startswith(data + ".kartoteka-") and (
                disk.cut_during or path in disk.hidden):
            hidden.add(path)  # a new file's name, which the next save sweeps
        else:
            errors.append("left: %s" % path)
    disk.hidden = hidden
    for path, digest in copies.items():
        if digest not in HASHES:
            errors.append("a copy holds no whole set: %s" % path)
        elif not disk.cut_during and path not in disk.pending:
            errors.append("a copy stays after a save that was done: %s" % path)
    state = HASHES.get(cards, "damaged" if cards else "missing")
    if disk.may_hold is not None and state not in disk.may_hold:
        rescued = any(HASHES.get(d) in disk.may_hold for d in copies.values())
        if state in ("A", "B") or not rescued:
            errors.append("the file holds %s, %s expected" %
                          (state, " or ".join(sorted(map(str, disk.may_hold)))))
        else:
            state = "damaged, its records in a copy"
    disk.seen[state] = disk.seen.get(state, 0) + 1
    disk.pending |= set(copies)
    return errors


def parse_saves(lines):
    """The saves a guest's console shows, in order, each a dict: set, done
    (its "Выполнено!" printed), exit (None if cut before), errors."""
    saves = []
    for line in lines:
        if line.startswith("SAVE "):
            saves.append({"set": line[5:], "dones": 0, "exit": None,
                          "errors": []})
        elif not saves:
            continue
        elif line.startswith("EXIT "):
            saves[-1]["exit"] = int(line.split()[2])
        elif line.startswith("ERR "):
            saves[-1]["errors"].append(line[4:])
        else:
            saves[-1]["dones"] += line.count(DONE)
    for s in saves:
        s["done"] = s["dones"] >= 2  # the load's, then the save's
    return saves


def one_cut(args, disk, rng):
    chosen = rng.choice(CHOSEN_CALLS) if rng.random() < 0.5 else "-"
    guest = Guest(args, disk.path, incoming=args.state)
    guest.resume()
    guest.say("%s %s %s %s" % (disk.fs, disk.options, disk.route, chosen))
    if guest.wait_for("CHECKED", 60) is None:
        guest.cut()
        return ["no listing of the disk: " + " | ".join(guest.log[-5:])]
    start = time.monotonic()
    stopped = False
    if chosen != "-":
        # Stopped there, or past it when this route makes no such call.
        stopped = guest.wait_for(("STOPPED", "EXIT"), 60) == "STOPPED"
    if not stopped:
        time.sleep(rng.uniform(0, 2 * disk.save_time))
    guest.cut()
    log = guest.log
    at = log.index("CHECKED")
    files = {}
    for line in log[:at]:
        if line.startswith("FILE "):
            _, digest, path = line.split(" ", 2)
            files[path] = digest
        elif line.startswith("NOMOUNT"):
            return ["the disk does not mount: " + line]
    cards = HASHES.get(files.get("/mnt/data/cards.txt"))
    named = disk.pending | set(files) - {"/mnt/data/cards.txt",
                                         "/mnt/data/link.txt"}
    errors = check_disk(disk, files)
    # The set the file holds as the saves start.
    holds = "A" if disk.may_hold is None else cards
    for line in log[at + 1:]:
        if line.startswith("RESTORED "):
            holds = HASHES.get(files.get(line[9:]))
    saves = parse_saves(log[at + 1:])
    # The first save names the copies the cuts left; then they go.
    if saves and saves[0]["exit"] is not None:
        for path in named:
            if not any(path in e for e in saves[0]["errors"]):
                errors.append("the save did not name the copy %s" % path)
    if "REMOVED" in log:
        disk.pending = set()
    if any(s["done"] for s in saves):
        disk.hidden = set()  # swept by now
    for s in saves:
        if s["exit"] not in (None, 0) or s["dones"] > 2:
            errors.append("save of %s: status %s, %s" %
                          (s["set"], s["exit"], s["errors"]))
        unexplained = [e for e in s["errors"] if ".kartoteka-backup-" not in e]
        if unexplained:
            errors.append("save of %s reported: %s" % (s["set"], unexplained))
    if len(saves) > 2 and not stopped:
        measured = (time.monotonic() - start) / len(saves)
        disk.save_time = 0.5 * disk.save_time + 0.5 * measured
    # What the file may hold after this cut.
    for s in saves[:-1]:
        if s["done"]:
            holds = s["set"]
    last = saves[-1] if saves else None
    disk.cut_during = last is not None and not last["done"]
    if disk.cut_during:
        disk.may_hold = {holds, last["set"]}
    else:
        disk.may_hold = {last["set"] if last else holds}
    disk.cuts += 1
    return ["cut %d (%s): %s" % (disk.cuts, "before " + chosen if stopped
                                 else "at random", e) for e in errors]


def run_cuts(args, disks, deadline):
    rng = random.Random(args.seed)
    lock = threading.Lock()
    todo = queue.Queue()
    for i in range(args.cuts):
        todo.put(disks[i % len(disks)])
    busy = set()

    def worker(seed):
        local = random.Random(seed)
        while time.monotonic() < deadline:
            with lock:
                # One cut at a time on each disk.
                waiting = []
                disk = None
                while not todo.empty():
                    d = todo.get()
                    if d in busy:
                        waiting.append(d)
                        continue
                    disk = d
                    break
                for d in waiting:
                    todo.put(d)
                if disk is None and not waiting:
                    return
                if disk is not None:
                    busy.add(disk)
            if disk is None:
                time.sleep(0.05)
                continue
            try:
                errors = one_cut(args, disk, local)
            except Exception as e:  # a fault of this script's, as a failure
                errors = ["the check itself failed: %r" % e]
            with lock:
                disk.failures += errors
                busy.discard(disk)
            for e in errors:
                print("FAIL %s: %s" % (disk, e), flush=True)

    threads = [threading.Thread(target=worker, args=(rng.random(),))
               for _ in range(args.jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--cuts", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=540)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--only", default=None,
                        help="FS/ROUTE, or FS or ROUTE alone")
    args = parser.parse_args()
    for tool in ("qemu-system-x86_64", "busybox", "modprobe", "mkfs.xfs",
                 "mkfs.btrfs", "mkfs.ext4"):
        if shutil.which(tool) is None:
            print("SKIP: needs %s (tools/install-deps.sh powercut)" % tool)
            sys.exit(77)
    if args.seed is None:
        args.seed = random.randrange(1 << 30)
    print("seed %d (--seed %d repeats this run)" % (args.seed, args.seed),
          flush=True)
    os.makedirs(args.work, exist_ok=True)
    boot = os.listdir(os.path.join(args.kernel, "boot"))
    args.vmlinuz = [n for n in boot if n.startswith("vmlinuz")][0]
    args.initramfs = os.path.join(args.work, "initramfs.gz")
    args.state = os.path.join(args.work, "state")
    started = time.monotonic()
    make_initramfs(args, args.initramfs)
    save_state(args)
    disks = [Disk(args, name, fs, options, route)
             for name, fs, options in FILE_SYSTEMS for route in ROUTES
             if args.only in (None, name, route, "%s/%s" % (name, route))]
    if not disks:
        fail("--only names no file system or route")
    run_cuts(args, disks, started + args.seconds)
    passed = failed = 0
    for disk in disks:
        states = ", ".join("%s %d" % kv for kv in sorted(disk.seen.items()))
        print("%-24s %3d cuts, %d failed; after the cuts: %s" %
              (disk, disk.cuts, len(disk.failures), states))
        failed += len(disk.failures)
        passed += disk.cuts - len(set(f.split(":")[0] for f in disk.failures))
    total = sum(d.cuts for d in disks)
    print("%d cuts in %.0f s" % (total, time.monotonic() - started))
    if total < args.cuts:
        print("FAIL: only %d of %d cuts in %d s" % (total, args.cuts,
                                                    args.seconds))
        failed += 1
    print("%d passed, %d failed" % (passed, failed))
    for name in os.listdir(args.work):
        if name.endswith(".img") or name == "state":
            os.unlink(os.path.join(args.work, name))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
