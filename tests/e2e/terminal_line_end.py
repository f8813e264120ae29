#!/usr/bin/env python3
"""At a terminal, the end of the input (Ctrl+D at the menu) ends the program
with one line end after its last prompt, so that the shell's prompt starts
on a line of its own. Runs the program on a pseudo-terminal, waits for the
menu, types Ctrl+D and reads everything the program printed.
  terminal_line_end.py PROGRAM"""
import os
import pty
import select
import sys
import time

PROMPT = "Ваш выбор: ".encode()


def read_until(fd, done, seconds=10):
    """Reads from fd until done(text) holds, the terminal closes or the time
    is up; returns everything read."""
    text = b""
    end = time.monotonic() + seconds
    while not done(text) and time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the terminal closed: the program ended
            break
        if not chunk:
            break
        text += chunk
    return text


def main():
    prog = sys.argv[1]
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(prog, [prog])
    menu = read_until(fd, lambda t: t.endswith(PROMPT))
    if not menu.endswith(PROMPT):
        sys.exit(f"the menu did not come: {menu!r}")
    os.write(fd, b"\x04")
    rest = read_until(fd, lambda t: False)
    _, status = os.waitpid(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"exit status {status}")
    # The terminal shows a line end as carriage return and line feed.
    if rest != b"\r\n":
        sys.exit(f"after Ctrl+D the program printed {rest!r}, not one line end")


main()
