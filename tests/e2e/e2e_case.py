"""What every end-to-end case shares: the running servers, a fresh game
folder and release tree per case, starting the launcher natively or under
Wine, and the checks on the stand-in client."""
import os
import shutil
import time
import unittest

from harness import release
from harness.release import PRODUCT_VERSION, VERSION_KEY
from harness.runner import NativeRun

MSG_NOT_CONNECTED = "연결되지 않았습니다"
MSG_PROXY_PROMPT = "프록시 서버가 있다면 확인을 누르고 설정값을 입력하세요."
MSG_CONNECT_AGAIN = "다시 접속하세요"
CAPTION_NOTICE = "알림"
TITLE = "Quillmar"


class Config:
    """Set once by run_e2e.py."""
    launchers = {}  # "direct", "next", "production", "signed" -> path of QuillMar.exe
    client = None
    foo_dll = None
    work = None
    servers = None
    wine = None  # a harness.wine.WineSession under the Windows builds
    run_seconds = 60


def is_wine():
    return Config.wine is not None


class E2ECase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.servers = Config.servers
        name = self.id().split(".", 1)[-1].replace(".", "-")
        self.dir = os.path.join(Config.work, "cases", name)
        if os.path.exists(self.dir):
            shutil.rmtree(self.dir)
        os.makedirs(self.dir)
        # A blank in the folder name, as in "Program Files".
        self.game = release.GameFolder(os.path.join(self.dir, "Quill Mar"),
                                       Config.launchers["direct"], Config.client)
        self.release = release.ReleaseTree(self.servers.www)
        self.servers.log.mark()
        self.servers.cut.reset()
        self.runs = []
        self.addCleanup(self._stop_runs)

    def _stop_runs(self):
        # Each run's transcript stays in the case folder (kept on failure).
        for i, run in enumerate(self.runs):
            if run.running():
                run.kill()
            with open(os.path.join(self.dir, f"run-{i + 1}.log"), "w") as f:
                f.write(run.transcript())
        if is_wine():
            Config.wine.settle()

    # Starting the launcher.
    def use_launcher(self, which):
        shutil.copy2(Config.launchers[which], self.game.file("QuillMar.exe"))

    def start(self, args=("E2E",), terminal=False, ok_cancel=False, proxy=None):
        exe = self.game.file("QuillMar.exe")
        if is_wine():
            run = Config.wine.start(exe, list(args), cwd=self.dir, ok_cancel=ok_cancel,
                                    proxy=proxy)
        else:
            run = NativeRun(exe, list(args), cwd=self.dir, terminal=terminal,
                            ok_cancel=ok_cancel, proxy=proxy)
        self.runs.append(run)
        return run

    def finish(self, run, seconds=None):
        run.wait(seconds or Config.run_seconds)
        report = run.sanitizer_report()
        if report:
            self.fail(f"sanitizer report:\n{report}")
        return run

    def run_launcher(self, **kwargs):
        """One whole start without user input."""
        return self.finish(self.start(**kwargs))

    # The stand-in client.
    def client_line(self, seconds):
        """The recorded command line, or None when none came within seconds.
        Natively the arguments one a line; under Wine the raw line."""
        path = self.game.file("client-args.txt")
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if os.path.exists(path):
                with open(path, "rb") as f:
                    data = f.read().decode("cp949", errors="replace")
                self._wait_client_gone()
                os.remove(path)
                return data
            time.sleep(0.05)
        return None

    def _wait_client_gone(self):
        # A running client makes the next start only bring it forward.
        end = time.monotonic() + 5
        mine = os.path.basename(self.dir).encode()
        while time.monotonic() < end and any(_runs_client(p, mine) for p in os.listdir("/proc")):
            time.sleep(0.05)

    def assert_client_started(self, marker="?", bk="", bkp="", arg="E2E"):
        line = self.client_line(15)
        self.assertIsNotNone(line, "the game client was not started")
        if is_wine():
            low = line.lower()
            at = low.rfind("_quillmar_.exe")
            self.assertGreaterEqual(at, 0, line)
            rest = line[at + len("_quillmar_.exe"):]
            if rest.startswith('"'):
                rest = rest[1:]
            self.assertTrue(rest.startswith(" "), line)
            self.assertEqual(rest[1:], f"{marker} {bk} {bkp} {PRODUCT_VERSION} {arg}")
        else:
            # The client gets the line split at blanks, empty tokens lost.
            tokens = " ".join((marker, bk, bkp, PRODUCT_VERSION, arg)).split()
            self.assertEqual(line.split("\n")[:-1], tokens)

    def assert_client_not_started(self):
        self.assertIsNone(self.client_line(1.5 if is_wine() else 0.7),
                          "the game client was started")

    # What the server saw.
    def requests(self, at_least=0):
        return [e[2] for e in self.servers.log.entries(at_least=at_least)]

    def assert_requests(self, expected):
        self.assertEqual([e[2] for e in self.servers.log.entries(at_least=len(expected))],
                         expected)

    def entries(self, at_least):
        return [(e[0], e[2]) for e in self.servers.log.entries(at_least=at_least)]

    def resumable_partials(self):
        """Temp files beside their .qmpart record: a download the next start
        continues, kept on purpose."""
        names = self.game.temp_files()
        return [n for n in names if n + ".qmpart" in names] + \
            [n for n in names if n.endswith(".qmpart") and n[:-len(".qmpart")] in names]

    def assert_no_debris(self, partials_allowed=False):
        """No archive left in the game folder, nothing left in Temp; with
        partials_allowed, but for downloads the next start can continue."""
        kept = ["Temp/" + n for n in self.resumable_partials()] if partials_allowed else []
        left = [f for f in self.game.all_files()
                if (f.lower().endswith(".zip") or "/" not in f and f.lower().startswith("~qmz"))
                and not any(f.lower() == k.lower() for k in kept)]
        self.assertEqual(left, [], "archives or extractor files left in the game folder")
        temp = [n for n in self.game.temp_files()
                if not partials_allowed or n not in self.resumable_partials()]
        self.assertEqual(temp, [], "files left in Temp")


def _runs_client(pid, folder):
    """Whether the process runs the client (its first or second word) of
    the case folder named folder."""
    if not pid.isdigit() or int(pid) == os.getpid():
        return False
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            words = f.read().split(b"\0")[:2]
    except OSError:
        return False
    return any(folder in w and
               w.replace(b"\\", b"/").rsplit(b"/", 1)[-1].lower() == b"_quillmar_.exe"
               for w in words)


def manifest(launcher=release.FILE_VERSION, part=None, data=None, components=(), bk=None,
             bkp=None, splash=None, adata=(), bdata=(), paths=None):
    """A server copy; items left None are not listed."""
    sections = []
    if paths is not None:
        sections.append(("P", [(f"Path{i}", p) for i, p in enumerate(paths)]))
    v = []
    if launcher is not None:
        v.append((VERSION_KEY, launcher))
    if part is not None:
        v.append(("Part", part))
    if data is not None:
        v.append(("Data", data))
    sections.append(("V", v))
    if components:
        sections.append(("C", [(str(i + 1), c) for i, c in enumerate(components)]))
    s = []
    if bk is not None:
        s.append(("BK", bk))
    if bkp is not None:
        s.append(("BKP", bkp))
    if s:
        sections.append(("S", s))
    if splash is not None:
        sections.append(("SP", [(VERSION_KEY + "_Sp", splash)]))
    if adata:
        sections.append(("AData", [(f"AData{i + 1}", v) for i, v in enumerate(adata)]))
    if bdata:
        sections.append(("BData", [(f"BData{i + 1}", v) for i, v in enumerate(bdata)]))
    return sections
