"""The Windows build under Wine: a prefix of the tests' own, made as the
scripts make theirs; the program's windows read through a small Windows
program (wintool.exe, run in the same Wine session) and driven with real
input, xdotool's mouse clicks and key strokes on the X display."""
import os
import signal
import subprocess
import threading
import time

# Where the links lie in the connect window (client = window: no border).
CANCEL_LINK = (283 + 19, 197 + 5)
PROXY_LINK = (332 + 16, 197 + 5)
IDOK, IDCANCEL = 1, 2
FIRST_EDIT_ID = 101


class Window:
    def __init__(self, fields):
        self.hwnd = int(fields[1])
        self.id = int(fields[2])
        self.cls = _unhex(fields[3])
        self.rect = tuple(int(v) for v in fields[4:8])
        self.text = _unhex(fields[8])
        self.children = []

    def centre(self):
        left, top, right, bottom = self.rect
        return (left + right) // 2, (top + bottom) // 2

    def child(self, control_id):
        for c in self.children:
            if c.id == control_id:
                return c
        return None


def _unhex(field):
    return "" if field == "-" else bytes.fromhex(field).decode("utf-8", errors="replace")


# The scripts' qm_make_wine_prefix: one way to make a prefix for all.
WINE_ENV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                        "wine-env.sh")
PREFIX_MARKS = ("system.reg", "drive_c", "dosdevices", ".update-timestamp")


def make_prefix(emulator, prefix):
    """Makes the prefix completely when it is missing or half made, so that
    no program of a test finishes Wine's first-time set-up. Its WINEARCH:
    the environment's, else the loader's own."""
    arch = os.environ.get("WINEARCH") or \
        ("win64" if os.path.basename(emulator) == "wine64" else "win32")
    # The script removes a half-made prefix first: never a folder that
    # holds something else.
    if os.path.isdir(prefix) and os.listdir(prefix) and not any(
            os.path.exists(os.path.join(prefix, n)) for n in PREFIX_MARKS):
        raise RuntimeError(f"{prefix} is not a Wine prefix; it is left as it is")
    done = subprocess.run(["bash", "-c", 'source "$0" && qm_make_wine_prefix "$@"', WINE_ENV,
                           emulator, os.path.abspath(prefix), arch],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600,
                          check=False)
    if done.returncode != 0:
        raise RuntimeError(f"no Wine prefix at {prefix}: {done.stderr.decode(errors='replace')}")


class WineSession:
    """A Wine prefix of the suite's own (made on first use, which takes a
    while), on the display given or on an Xvfb of its own."""

    def __init__(self, emulator, wintool, work, prefix):
        self.emulator = emulator
        make_prefix(emulator, prefix)
        self.work = work
        os.makedirs(work, exist_ok=True)
        self.env = dict(os.environ)
        self.env["WINEPREFIX"] = os.path.abspath(prefix)
        self.env["WINEDEBUG"] = "-all"
        self.env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        self.xvfb = None
        if not self.env.get("DISPLAY"):
            self._start_xvfb()
        # Without a window manager, Wine waits up to two seconds for one
        # whenever a managed window closes; unmanaged windows need none.
        subprocess.run([emulator, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v",
                        "Managed", "/d", "N", "/f"], env=self.env, timeout=300, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.lock = threading.Lock()
        self.tool = subprocess.Popen([emulator, wintool], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     env=self.env, start_new_session=True)
        # The first answer also waits for the Wine session to come up.
        self.windows(timeout=120)

    def _start_xvfb(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"],
                                     pass_fds=(write,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write)
        number = b""
        end = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < end:
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def windows(self, timeout=20):
        """The visible top-level windows with their controls."""
        with self.lock:
            self.tool.stdin.write(b"list\n")
            self.tool.stdin.flush()
            result = []
            end = time.monotonic() + timeout
            while True:
                if time.monotonic() > end:
                    raise RuntimeError("wintool did not answer")
                line = self.tool.stdout.readline().decode("ascii").strip()
                if line == "END":
                    return result
                if not line:
                    if self.tool.poll() is not None:
                        raise RuntimeError("wintool ended")
                    continue
                fields = line.split(" ")
                if fields[0] == "W":
                    result.append(Window(fields))
                elif fields[0] == "C" and result:
                    result[-1].children.append(Window(fields))

    def xdotool(self, *args):
        subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, timeout=20,
                       check=True, stdout=subprocess.DEVNULL)

    def click(self, x, y):
        # No --sync: it waits for a motion, and there is none when the
        # pointer is already there (the same box in the same place).
        self.xdotool("mousemove", x, y, "sleep", "0.05", "click", 1)

    def start(self, exe, args, cwd, ok_cancel=False, proxy=None):
        return WineRun(self, exe, args, cwd, ok_cancel, proxy)

    def settle(self):
        """Waits for every window of the last case to be gone."""
        end = time.monotonic() + 10
        while time.monotonic() < end and self.windows():
            time.sleep(0.2)

    def close(self):
        if self.tool.poll() is None:
            self.tool.stdin.close()
            try:
                self.tool.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.tool.pid, signal.SIGKILL)
                self.tool.wait(timeout=10)
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)


class WineRun:
    """One start of QuillMar.exe under Wine. A pilot thread answers what
    appears: message boxes (recorded with their texts; OK, or for the
    OK/Cancel box the answer given) and the proxy dialog."""

    def __init__(self, session, exe, args, cwd, ok_cancel, proxy):
        self.session = session
        self.ok_cancel = ok_cancel
        self.proxy = proxy
        self._boxes = []
        self._seen = set()
        self._connect = None
        self._error = None
        self.returncode = None
        self._started = time.monotonic()
        self.events = []  # (seconds since start, what the pilot saw or did)
        self.proc = subprocess.Popen([session.emulator, exe] + args, cwd=cwd,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=session.env,
                                     start_new_session=True)
        self._stop = threading.Event()
        self._pilot = threading.Thread(target=self._fly, daemon=True)
        self._pilot.start()

    def _fly(self):
        while not self._stop.is_set():
            try:
                self._look()
            except Exception as e:  # reported by wait()
                self._error = e
                return
            if self.proc.poll() is not None:
                return
            time.sleep(0.15)

    def _note(self, text):
        self.events.append((round(time.monotonic() - self._started, 2), text))
        if os.environ.get("QM_E2E_TRACE"):
            print(f"  [{self.events[-1][0]:6.2f}] {text}", flush=True)

    def _look(self):
        for w in self.session.windows():
            if w.cls == "TFM_Connect":
                if self._connect is None:
                    self._note("connect window")
                self._connect = w
            elif w.hwnd in self._seen:
                continue
            elif w.cls == "#32770":
                texts = [c.text for c in w.children if c.cls.lower() == "static" and c.text]
                self._seen.add(w.hwnd)
                self._boxes.append((w.text, texts[0] if texts else ""))
                self._note(f"box {self._boxes[-1]}")
                ok, cancel = w.child(IDOK), w.child(IDCANCEL)
                button = ok if (cancel is None or self.ok_cancel) else cancel
                if button is None:
                    raise AssertionError(f"a box without buttons: {w.text}")
                time.sleep(0.2)  # let it take the input
                self.session.click(*button.centre())
                self._note(f"clicked {button.text}")
            elif w.cls == "TFM_Proxy":
                self._seen.add(w.hwnd)
                self._note("proxy dialog")
                time.sleep(0.3)
                if self.proxy is None:
                    self.session.click(*w.child(IDCANCEL).centre())
                    continue
                for i, value in enumerate(self.proxy):
                    edit = w.child(FIRST_EDIT_ID + i)
                    self.session.click(*edit.centre())
                    self.session.xdotool("key", "--delay", "30", "End", "shift+Home", "BackSpace")
                    if value:
                        self.session.xdotool("type", "--delay", "30", value)
                self.session.click(*w.child(IDOK).centre())
                self._note("proxy dialog filled in")

    def boxes(self):
        return list(self._boxes)

    def _click_link(self, link):
        end = time.monotonic() + 20
        while self._connect is None:
            if time.monotonic() > end:
                raise AssertionError("the connect window never showed")
            time.sleep(0.05)
        left, top = self._connect.rect[:2]
        self.session.click(left + link[0], top + link[1])
        self._note(f"clicked the link at {link}")

    def cancel(self):
        self._click_link(CANCEL_LINK)

    def open_proxy(self):
        self._click_link(PROXY_LINK)

    def wait_error(self, text, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for _, box_text in self._boxes:
                if text in box_text:
                    return box_text
            time.sleep(0.05)
        raise AssertionError(f"no box naming {text!r}; boxes: {self._boxes}")

    def running(self):
        return self.proc.poll() is None

    def wait(self, seconds):
        try:
            self.returncode = self.proc.wait(timeout=seconds)
            self._note(f"exit {self.returncode}")
        except subprocess.TimeoutExpired:
            boxes = self.boxes()
            self.kill()
            raise AssertionError(f"still running after {seconds} s; boxes: {boxes}")
        self._stop.set()
        self._pilot.join(timeout=10)
        if self._error is not None:
            raise self._error
        return self.returncode

    def kill(self):
        self._stop.set()
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait(timeout=20)
        self.returncode = self.proc.returncode
        self._pilot.join(timeout=10)

    def transcript(self):
        lines = "\n".join(f"[{t:6.2f}] {text}" for t, text in self.events)
        return f"exit: {self.returncode}\n{lines}\n"

    def sanitizer_report(self):
        return None


