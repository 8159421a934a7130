"""Starting QuillMar.exe and driving its user interface.

NativeRun: the console build. Without a terminal the boxes are printed and
the OK/Cancel box answers Cancel; with a pseudo-terminal the keys c and p
work and the prompts are answered. WineRun (wine.py): the Windows build
under Wine, its windows driven with xdotool.

Both take the same answers: ok_cancel (the answer to the OK/Cancel box) and
proxy (the four values to enter in the proxy dialog and confirm; None
cancels the dialog)."""
import os
import pty
import re
import select
import signal
import subprocess
import threading
import time

ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")
BOX = re.compile(r"^\[([^\]]*[^\]#.][^\]]*)\] (.*)$")  # not a progress bar
PROMPT_OK_CANCEL = "(y = OK, n = Cancel) "
PROXY_PROMPTS = ("Proxy Server [", "Proxy Port [", "(Proxy UserName) [", "(Proxy Password) [")
PROMPT_PROXY_OK = "OK (o) / Cancel (c): "


class RunTimeout(AssertionError):
    pass


# Each start runs in a PID namespace of its own, where the launcher's look for
# a running game client sees only the client it starts itself, not those of
# other test programs on the machine. The namespace ends with its first
# process, so that one waits for the client to finish before it exits.
NAMESPACE = ["unshare", "--pid", "--fork", "--mount-proc", "/bin/sh", "-c",
             '"$0" "$@"; rc=$?; n=0; '
             'while [ $n -lt 100 ] && pgrep -x _QuillMar_.exe >/dev/null; do '
             'sleep 0.05; n=$((n+1)); done; exit $rc']


class NativeRun:
    def __init__(self, exe, args, cwd, terminal=False, ok_cancel=False, proxy=None, env=None,
                 isolated=True):
        self.terminal = terminal
        self.ok_cancel = ok_cancel
        self.proxy = proxy
        self._out = bytearray()
        self._err = bytearray()
        self._lock = threading.Lock()
        self._answered = 0  # prompts answered so far (by text position)
        self.returncode = None
        environment = dict(os.environ if env is None else env)
        environment.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        if terminal:
            self._master, self._slave = pty.openpty()
            # The slave stays open here too: otherwise the master may fail
            # with EIO when the program ends, before its last lines are read.
            command = (NAMESPACE if isolated else []) + [exe] + args
            self.proc = subprocess.Popen(command, cwd=cwd, stdin=self._slave,
                                         stdout=self._slave, stderr=subprocess.PIPE,
                                         env=environment, start_new_session=True)
            out_source = self._master
        else:
            self._master = self._slave = None
            command = (NAMESPACE if isolated else []) + [exe] + args
            self.proc = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=environment, start_new_session=True)
            out_source = self.proc.stdout.fileno()
        self._threads = [
            threading.Thread(target=self._pump, args=(out_source, self._out, True), daemon=True),
            threading.Thread(target=self._pump, args=(self.proc.stderr.fileno(), self._err, False),
                             daemon=True),
        ]
        for t in self._threads:
            t.start()

    def _pump(self, fd, buffer, answer):
        quiet_since = None
        while True:
            try:
                ready, _, _ = select.select([fd], [], [], 0.1)
                data = os.read(fd, 65536) if ready else None
            except OSError:
                return  # EIO: the terminal's last user has gone
            if data is None:
                # A child of the program may hold the stream open: stop
                # waiting for the end a while after the program has gone.
                if self.proc.poll() is None:
                    quiet_since = None
                elif quiet_since is None:
                    quiet_since = time.monotonic()
                elif time.monotonic() - quiet_since > (0.5 if self.terminal else 2.0):
                    return
                continue
            if not data:
                return
            with self._lock:
                buffer.extend(data)
            if answer and self.terminal:
                self._answer_prompts()

    def _answer_prompts(self):
        text = self.output()
        while True:
            rest = text[self._answered:]
            hits = [(rest.find(p), p)
                    for p in (PROMPT_OK_CANCEL, PROMPT_PROXY_OK) + PROXY_PROMPTS]
            hits = [(i, p) for i, p in hits if i >= 0]
            if not hits:
                return
            at, prompt = min(hits)
            if prompt == PROMPT_OK_CANCEL:
                reply = "y" if self.ok_cancel else "n"
            elif prompt == PROMPT_PROXY_OK:
                reply = "c" if self.proxy is None else "o"
            elif self.proxy is None:
                # No values to give: end of input cancels the dialog.
                reply = None
            else:
                value = self.proxy[PROXY_PROMPTS.index(prompt)]
                reply = value if value else "-"
            self._answered += at + len(prompt)
            if reply is None:
                os.write(self._master, b"\x04")
            else:
                os.write(self._master, reply.encode("utf-8") + b"\n")

    # What the program printed.
    def output(self):
        with self._lock:
            return ANSI.sub("", self._out.decode("utf-8", errors="replace")).replace("\r", "\n")

    def stderr(self):
        with self._lock:
            return self._err.decode("utf-8", errors="replace")

    def lines(self):
        # A reply typed before the terminal echoes again leaves no line end:
        # what follows a prompt starts a line of its own here.
        text = re.sub(r"(\]: |\(y = OK, n = Cancel\) |\(c\): )", "\\1\n", self.output())
        return [line for line in text.split("\n") if line.strip()]

    def boxes(self):
        """The message boxes shown, as (caption, text)."""
        result = []
        for line in self.lines():
            m = BOX.match(line.strip())
            if m:
                text = m.group(2)
                if text.endswith(" -> Cancel"):
                    text = text[: -len(" -> Cancel")]
                if " " + PROMPT_OK_CANCEL.strip() in text:  # the answer echoed after it
                    text = text[: text.index(" " + PROMPT_OK_CANCEL.strip())]
                result.append((m.group(1), text))
        return result

    def errors(self):
        """The application's error display (standard error), minus what the
        sanitizers print, which fail the case on their own."""
        return self.stderr().strip()

    def statuses(self):
        """The status texts in the order shown."""
        result = []
        for line in self.lines():
            line = line.strip()
            if BOX.match(line):
                continue
            m = re.match(r"^\[[#.]*\] \d+% ?(.*)$", line)
            text = m.group(1) if m else line
            if text and (not result or result[-1] != text):
                result.append(text)
        return result

    def wait_output(self, text, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if text in self.output():
                return
            if self.proc.poll() is not None:
                time.sleep(0.1)
                if text in self.output():
                    return
                raise AssertionError(f"exited ({self.proc.returncode}) without showing "
                                     f"{text!r}; output:\n{self.output()}")
            time.sleep(0.02)
        raise RunTimeout(f"{text!r} not shown within {seconds} s; output:\n{self.output()}")

    def wait_error(self, text, seconds):
        """The application's error display (standard error) once it shows
        text."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if text in self.stderr():
                return self.stderr()
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"no error naming {text!r}; stderr:\n{self.stderr()}\n"
                             f"output:\n{self.output()}")

    # The links of the connect window.
    def cancel(self):
        assert self.terminal, "keys work only on a terminal"
        os.write(self._master, b"c")

    def open_proxy(self):
        assert self.terminal, "keys work only on a terminal"
        os.write(self._master, b"p")

    def wait(self, seconds):
        try:
            self.returncode = self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.kill()
            raise RunTimeout(f"still running after {seconds} s; output:\n{self.output()}\n"
                             f"stderr:\n{self.stderr()}")
        for t in self._threads:
            t.join(timeout=2)
        self.close()
        return self.returncode

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait(timeout=10)
        self.returncode = self.proc.returncode
        self.close()

    def running(self):
        return self.proc.poll() is None

    def close(self):
        for t in self._threads:
            t.join(timeout=1)
        for fd in (self._master, self._slave):
            if fd is not None:
                os.close(fd)
        self._master = self._slave = None
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()

    def transcript(self):
        return (f"exit: {self.returncode}\n--- output\n{self.output()}\n"
                f"--- standard error\n{self.stderr()}\n")

    def sanitizer_report(self):
        err = self.stderr()
        for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
            if marker in err:
                return err
        return None
