"""The soak's runs of the Windows build under Wine: the updater started in
one Wine session (its boxes answered by the harness's pilot), and
a Windows program that holds a file of the game folder open."""
import os
import signal
import subprocess

from harness.runner import RunTimeout
from harness.wine import WineSession


def windows_path(path):
    # The prefix maps drive Z: to the root of the file system.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineRuns:
    def __init__(self, emulator, wintool, holder, work, prefix):
        self.holder = holder
        self.session = WineSession(emulator, wintool, work, prefix)

    def close(self):
        self.session.close()

    def start(self, exe, args, cwd):
        return SoakWineRun(self.session.start(exe, args, cwd=cwd))

    def hold(self, path):
        return HeldFile(self.session, self.holder, path)


class SoakWineRun:
    """A WineRun as the soak reads a run: no console, so the boxes are all
    it shows."""

    def __init__(self, run):
        self.run = run

    def running(self):
        return self.run.running()

    def wait(self, seconds):
        try:
            return self.run.wait(seconds)
        except AssertionError as e:  # not ended in time, or the pilot failed
            raise RunTimeout(str(e)) from e

    def kill(self):
        # SIGKILL of the process that runs the program, as a task kill or a
        # power loss ends it: no handler of its own runs.
        self.run.kill()

    def boxes(self):
        return self.run.boxes()

    def errors(self):
        return ""

    def statuses(self):
        return [text for _, text in self.run.events]

    def output(self):
        return self.run.transcript()

    def stderr(self):
        return ""

    def sanitizer_report(self):
        return None


class HeldFile:
    """The helper holding path open (read access, shared for reading only)
    while the context lasts."""

    def __init__(self, session, holder, path):
        self.proc = subprocess.Popen([session.emulator, holder, windows_path(path)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=session.env,
                                     start_new_session=True)

    def __enter__(self):
        answer = self.proc.stdout.readline().decode("ascii", errors="replace").strip()
        if answer != "held":
            self.__exit__()
            raise RuntimeError(f"the file could not be held: {answer or 'no answer'}")
        return self

    def release(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"release\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=20)
            except (OSError, subprocess.TimeoutExpired):
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=20)
        self.proc.stdout.close()

    def __exit__(self, *exc):
        self.release()
        return False
