#!/usr/bin/env python3
"""End-to-end tests of QuillMar.exe: starts nginx, tinyproxy and a scripted
server on loopback, runs the cases (test_*.py beside this file) against
freshly laid out game folders, and stops the servers whatever happens. The
shared parts are the package harness in tests/ (on PYTHONPATH).

Usage: run_e2e.py --direct EXE --next EXE --production EXE --signed EXE --client FILE
                  --foo-dll FILE --port N
                  [--emulator WINE --wintool EXE --wineprefix DIR]
                  [--work DIR] [--module test_NAME]... [-k PATTERN]...
"""
import argparse
import fcntl
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

from harness.servers import Servers  # noqa: E402

from e2e_case import Config  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


class TimedResult(unittest.TextTestResult):
    """Prints each case's wall time after its verdict."""

    def startTest(self, test):
        self._started = time.monotonic()
        super().startTest(test)

    def stopTest(self, test):
        super().stopTest(test)
        self.stream.writeln(f"    ({time.monotonic() - self._started:.1f} s)")


class port_lock:
    """Runs of this suite from other build folders on the machine use the
    same fixed port: they take turns (a bounded wait)."""

    def __init__(self, port, seconds=600):
        self.path = os.path.join(tempfile.gettempdir(), f"qm-e2e-port-{port}.lock")
        self.seconds = seconds

    def __enter__(self):
        self.file = open(self.path, "a")
        end = time.monotonic() + self.seconds
        while True:
            try:
                fcntl.flock(self.file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return self
            except BlockingIOError:
                if time.monotonic() > end:
                    raise RuntimeError(f"another run holds {self.path} for {self.seconds} s")
                time.sleep(0.5)

    def __exit__(self, *exc):
        self.file.close()  # releases the lock
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--direct", required=True)
    parser.add_argument("--next", required=True)
    parser.add_argument("--production", required=True)
    parser.add_argument("--signed", required=True, help="the launcher built with the test key")
    parser.add_argument("--client", required=True)
    parser.add_argument("--foo-dll", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--emulator")
    parser.add_argument("--wintool")
    parser.add_argument("--wineprefix", help="the suite's own Wine prefix (made when missing)")
    parser.add_argument("--work")
    parser.add_argument("--module", action="append", default=[],
                        help="run only this test module (default: all)")
    parser.add_argument("-k", action="append", default=[])
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()

    Config.launchers = {"direct": args.direct, "next": args.next,
                        "production": args.production, "signed": args.signed}
    Config.client = args.client
    Config.foo_dll = args.foo_dll
    work = args.work or tempfile.mkdtemp(prefix="qm-e2e-")
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    Config.work = work

    loader = unittest.TestLoader()
    if args.k:
        loader.testNamePatterns = [f"*{k}*" for k in args.k]
    if args.module:
        suite = unittest.TestSuite(
            loader.discover(HERE, pattern=f"{m}.py", top_level_dir=HERE) for m in args.module)
    else:
        suite = loader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)

    ok = False
    wine = None
    try:
        with port_lock(args.port), Servers(os.path.join(work, "servers"), args.port) as servers:
            Config.servers = servers
            if args.emulator:
                from harness.wine import WineSession
                prefix = args.wineprefix or os.path.join(work, "wineprefix")
                wine = WineSession(args.emulator, args.wintool, os.path.join(work, "wine"), prefix)
                Config.wine = wine
                Config.run_seconds = 120
            result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout,
                                             resultclass=TimedResult).run(suite)
            ok = result.wasSuccessful() and result.testsRun > 0
    finally:
        if wine is not None:
            wine.close()
        if ok and not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"work folder kept: {work}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
