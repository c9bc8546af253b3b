#!/usr/bin/env python3
"""A serial line whose far end sends every byte back: a pseudo-terminal pair
whose master echoes what arrives. Prints "PORT <slave path>" first; with
--link PATH it also makes the symlink PATH -> slave (removed at the end).
Runs until SIGTERM or SIGINT."""
import argparse
import os
import pty
import select
import signal
import sys
import tty


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--link")
    args = parser.parse_args()
    master, slave = pty.openpty()
    # Raw from the start, so that nothing is echoed or translated by the tty
    # before the program under test sets the line; the slave stays open here
    # so that a closing user does not hang the line up.
    tty.setraw(slave)
    path = os.ttyname(slave)
    if args.link:
        if os.path.lexists(args.link):
            os.unlink(args.link)
        os.symlink(path, args.link)
    running = [True]

    def stop(*_):
        running[0] = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("PORT " + path, flush=True)
    try:
        while running[0]:
            try:
                ready, _, _ = select.select([master], [], [], 0.2)
            except InterruptedError:
                continue
            if ready:
                data = os.read(master, 4096)
                if data:
                    os.write(master, data)
    finally:
        if args.link and os.path.islink(args.link):
            os.unlink(args.link)
    return 0


if __name__ == "__main__":
    sys.exit(main())
