#!/usr/bin/env python3
"""A loopback line for the Windows port tests: a pseudo-terminal whose far end sends
back every byte it receives, reachable through a symbolic link (which Wine's COM port
mapping points at).

  pty-echo.py --start LINK PIDFILE   start it in the background; returns once LINK exists
  pty-echo.py --stop LINK PIDFILE    end the one started with these
"""
import os
import signal
import sys
import time
import tty


def serve(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    try:
        os.unlink(link)
    except FileNotFoundError:
        pass
    os.symlink(os.ttyname(slave), link)
    # The slave stays open here too, so that the line lives between the test's opens.
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            time.sleep(0.01)
            continue
        if data:
            os.write(master, data)


def start(link, pidfile):
    if os.path.lexists(link):
        os.unlink(link)
    pid = os.fork()
    if pid == 0:
        os.setsid()
        if os.fork() != 0:
            os._exit(0)
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        with open(pidfile, "w") as f:
            f.write(str(os.getpid()))
        serve(link)
        os._exit(0)
    os.waitpid(pid, 0)
    for _ in range(500):
        if os.path.lexists(link):
            return 0
        time.sleep(0.01)
    print("the loopback line did not come up", file=sys.stderr)
    return 1


def stop(link, pidfile):
    if os.path.islink(link):
        os.unlink(link)
    try:
        with open(pidfile) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    os.unlink(pidfile)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--start":
        sys.exit(start(sys.argv[2], sys.argv[3]))
    if len(sys.argv) == 4 and sys.argv[1] == "--stop":
        sys.exit(stop(sys.argv[2], sys.argv[3]))
    print(__doc__, file=sys.stderr)
    sys.exit(2)
