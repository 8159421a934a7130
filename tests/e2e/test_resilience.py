"""Downloads that survive bad networks, through the real updater, nginx,
tinyproxy with Basic authentication and the fault server: a transfer that
breaks continues with Range from the next source; a continuation answered
with 200, with a 206 from another place or for another file, never splices
a file; every source dead fails the row in bounded time; a killed run's
partial is resumed by the next start, one that no longer matches is
discarded; a trickling source is left at the slow-link limit; Cancel works
during a backoff wait.

One archive row (AData1, a stored member, so that a splice shows in its CRC
as well as in the bytes installed). The mirrors are nginx's /mirror1/ /mirror2/ /mirror3/
(the release folder again) reached through the fault server, either as the
download base (route "direct") or as the updater's HTTP proxy in front of
tinyproxy (route "proxy"); the default base is nginx's /QuillMar/. What each
source sent is read from the fault server's records and nginx's log."""
import collections
import os
import re
import shutil
import time

from harness import release
from harness import servers as servers_module
from harness.fault_server import Fault, FaultServer, Script, by_name, pass_all
from harness.release import pattern

from e2e_case import TITLE, Config, E2ECase, is_wine, manifest

KB = 1024
MB = 1024 * KB
SIZE = 3 * MB  # the member; the archive is a little longer
NAME = "AData1.zip"
DEFAULT = f"/QuillMar/{NAME}"
MEMBER = "adata/big.bin"
# What a break may cost: the bytes of one receive buffer fetched twice.
BUFFER = 64 * KB
RETRYING = "다른 서버에서 다시 받는 중입니다..."
FAILED = (TITLE, "AData1 다운로드 실패")
ROUTES = ("direct", "proxy")
BAR = re.compile(r"^\[[#.]*\] (\d+)%")

Transfer = collections.namedtuple("Transfer", "source start body status")


def range_start(header):
    if not header or not header.startswith("bytes="):
        return 0
    start = header[6:].split("-", 1)[0]
    return int(start) if start.isdigit() else 0


class ResilienceTest(E2ECase):
    def setUp(self):
        super().setUp()
        self.faults = self.servers.faults
        self.faults.set_planner(pass_all)
        self.addCleanup(self.servers.faults.set_planner, pass_all)
        self.route = "direct"
        self.content = pattern(31, SIZE)

    # Layout.
    def fresh(self, label, route="direct", transfer=(), mirrors=("mirror1",), data=None):
        """A new game folder and release for one case of a table: AData1
        A0 installed, A1 on the server with `data` (default self.content),
        [P] listing the mirrors (through the fault server)."""
        self.route = route
        root = os.path.join(self.dir, label.replace(" ", "-"))
        shutil.rmtree(root, ignore_errors=True)
        self.game = release.GameFolder(os.path.join(root, "Quill Mar"),
                                       Config.launchers["direct"], Config.client)
        self.release = release.ReleaseTree(self.servers.www)
        sections = [("V", [("Part", "P2")]), ("AData", [("AData1", "A0")]),
                    ("Transfer", list(transfer))]
        if not any(key == "RetryDelay" for key, _ in transfer):
            sections[-1][1].append(("RetryDelay", "0"))
        if route == "proxy":
            proxied = FaultServer(servers_module.free_port(), self.servers.proxy_port)
            self.addCleanup(proxied.stop)
            self.faults = proxied
            sections.append(("Proxy", [("ProxyServer", "127.0.0.1"),
                                       ("ProxyPort", str(proxied.port)),
                                       ("ProxyUserName", servers_module.PROXY_USER),
                                       ("ProxyPassword", servers_module.PROXY_PASSWORD)]))
        else:
            self.faults = self.servers.faults
        self.game.write_ini(sections)
        self.game.write(MEMBER, b"the old AData1 file")
        self.release.manifest(manifest(part="P2", splash="-1", adata=["A1"],
                                       paths=[self.base(m) for m in mirrors]))
        self.publish(data if data is not None else self.content)
        self.servers.log.mark()

    def base(self, mirror):
        if self.route == "proxy":
            # The fault server is the proxy: it sees every path whatever the host.
            return f"{self.servers.base()}/{mirror}/"
        return self.servers.mirror(mirror)

    def publish(self, data, where=DEFAULT):
        self.expected = data
        self.archive = self.release.archive(where, {MEMBER: data}, stored=(MEMBER,))
        self.archive_size = os.path.getsize(self.archive)
        return self.archive

    def replace_archive(self, data):
        """Another file under the same name, with another Last-Modified (and
        so another ETag) even when its length is the same."""
        path = self.publish(data)
        stamp = time.time() - 3600
        os.utime(path, (stamp, stamp))
        return path

    def plan(self, faults, then=None, by=by_name):
        """faults: the faults of the 1st, 2nd... request for the archive,
        whichever source it goes to; then: of every later one."""
        self.faults.set_planner(Script({NAME: faults}, then={NAME: then} if then else None,
                                       key=by))

    # What the sources saw.
    def transfers(self):
        """The archive's requests, in order per source: (source, start asked
        for, body bytes sent, status)."""
        self.faults.quiesce()
        result = [Transfer(r.target.rsplit("/", 1)[0] + "/", range_start(r.range), r.body,
                           r.status)
                  for r in sorted(self.faults.taken(), key=lambda r: r.number)
                  if r.target.endswith("/" + NAME)]
        if self.route == "direct":
            # The default base is nginx itself.
            result += [Transfer("/QuillMar/", range_start(e.range), e.sent, e.status)
                       for e in self.servers.log.entries() if e.target == DEFAULT]
        return result

    def assert_continued(self, transfers, slack=BUFFER):
        """Each transfer starts where the bytes kept so far end (or from 0
        after a 200), no byte fetched twice beyond `slack` per break (None:
        only some kept), and the last one ends the archive."""
        size = self.archive_size
        kept = 0
        for t in transfers:
            start = t.start if t.status == 206 else 0
            self.assertLessEqual(start, kept, f"a gap before {t}: {transfers}")
            if slack is not None:
                self.assertGreaterEqual(start, kept - slack, f"refetched before {t}: {transfers}")
            elif kept > 0:
                self.assertGreater(start, 0, f"nothing kept before {t}: {transfers}")
            kept = start + t.body
        self.assertEqual(kept, size, f"the transfers do not end the archive: {transfers}")

    def assert_installed(self, run):
        self.assertEqual(run.boxes(), [])
        self.assertEqual(self.game.ini()["adata"]["adata1"], "A1")
        self.assertEqual(self.game.read(MEMBER), self.expected, "another file was installed")
        self.assert_client_started()
        self.assert_no_debris()

    def assert_partials_bounded(self):
        """Nothing in Temp grows past the archive's length."""
        temp = self.game.find("Temp")
        size = self.archive_size
        for name in self.game.temp_files():
            self.assertLessEqual(os.path.getsize(os.path.join(temp, name)), size, name)

    def assert_bar_forward(self, run):
        """Natively: the bar of the row never moves backwards."""
        if is_wine():
            return
        values = []
        seen_row = False
        for line in run.lines():
            seen_row = seen_row or "AData1" in line
            m = BAR.match(line.strip())
            if seen_row and m:
                values.append(int(m.group(1)))
        self.assertTrue(values, "no bar shown")
        self.assertEqual(values, sorted(values), "the bar moved backwards")

    def assert_retrying_shown(self, run):
        if not is_wine():
            self.assertIn(RETRYING, run.statuses())

    def slow(self, seconds):
        return seconds * (4 if is_wine() else 1)

    # A break, then the next source continues.
    def test_a_broken_transfer_continues_from_the_next_source(self):
        half = SIZE // 2
        cases = [
            # label, mirrors, faults of the archive's 1st, 2nd... request, [Transfer], slack
            ("cut before the body", ("mirror1",), [Fault("cut", after=0)], (), 0),
            ("cut after one byte", ("mirror1",), [Fault("cut", after=1)], (), 0),
            ("cut in the middle", ("mirror1",), [Fault("cut", after=half)], (), 0),
            ("cut before the last byte", ("mirror1",),
             [lambda _r: Fault("cut", after=self.archive_size - 1)], (), 0),
            ("cut on both mirrors", ("mirror1", "mirror2", "mirror2"),
             [Fault("cut", after=SIZE // 4), Fault("cut", after=SIZE // 3)], (), 0),
            # What a reset throws away in the updater's socket buffers the
            # server cannot tell: only that the bytes read were kept.
            ("reset in the middle", ("mirror1",), [Fault("reset", after=half)], (), None),
            ("stall past the idle limit", ("mirror1",), [Fault("stall", after=half, seconds=6)],
             [("IdleTimeout", "1")], BUFFER),
        ]
        for route in ROUTES:
            for label, mirrors, faults, transfer, slack in cases:
                with self.subTest(route=route, case=label):
                    self.fresh(f"{route}-{label}", route, transfer, mirrors)
                    self.plan(faults)
                    # On a terminal the console build draws its bar.
                    run = self.run_launcher(terminal=True)
                    transfers = self.transfers()
                    self.assert_installed(run)
                    self.assertEqual(len(transfers), len(faults) + 1, transfers)
                    self.assertEqual(transfers[0].start, 0, transfers)
                    self.assert_continued(transfers, slack)
                    self.assertEqual(transfers[-1].source, "/QuillMar/", "not the default last")
                    self.assert_bar_forward(run)
                    self.assert_retrying_shown(run)

    # What a continuation may be answered with.
    def test_a_continuation_never_splices_a_file(self):
        other = pattern(32, SIZE)

        def replaced(_request):
            self.replace_archive(other)
            return Fault("pass")

        cases = [
            # label, the 2nd request's fault, a later transfer must start from 0
            ("range ignored (200)", Fault("pass", drop_range=True), False),
            ("206 from another start", Fault("pass", range_shift=4096), False),
            ("206 from an earlier start", Fault("pass", range_shift=-4096), False),
            ("Content-Range start moved", Fault("pass", start_shift=4096), False),
            ("Content-Range total changed", Fault("pass", total_shift=1000), False),
            ("503", Fault("status", code=503), False),
            ("archive replaced on the server", replaced, True),
        ]
        for route in ROUTES:
            for label, second, restart in cases:
                with self.subTest(route=route, case=label):
                    self.fresh(f"{route}-{label}", route,
                               mirrors=("mirror1", "mirror2", "mirror2"))
                    self.plan([Fault("cut", after=SIZE * 2 // 5), second])
                    run = self.run_launcher()
                    transfers = self.transfers()
                    # Installed whole (the new file where it was replaced),
                    # or the row failed with nothing recorded: never a mix.
                    if FAILED in run.boxes():
                        self.assertEqual(self.game.ini()["adata"]["adata1"], "A0")
                        self.assertEqual(self.game.read(MEMBER), b"the old AData1 file")
                        self.assert_partials_bounded()
                        self.fail(f"the row failed, though the default base serves it: "
                                  f"{transfers}")
                    self.assert_installed(run)
                    self.assertEqual(transfers[1].start, SIZE * 2 // 5, transfers)
                    if restart:
                        self.assertIn(0, [t.start if t.status == 206 else 0
                                          for t in transfers[2:]],
                                      f"the changed archive was continued: {transfers}")
                    if label.startswith("range ignored"):
                        self.assertEqual(len(transfers), 2, "the 200's bytes were not kept")

    # Every source fails.
    def test_every_source_dead_fails_the_row_in_bounded_time(self):
        cases = [
            # route, label, mirrors, planner by path, [Transfer], most requests per
            # source. Through the proxy a refusal would be the proxy's own.
            ("direct", "never a body byte", ("mirror1", "mirror2", "mirror3", "mirror3"), {
                "/mirror1/" + NAME: [Fault("status", code=503)] * 3,
                "/mirror2/" + NAME: [Fault("refuse")] * 3,
                "/mirror3/" + NAME: [Fault("stall", after=0, seconds=8,
                                           path=f"/alt1/{NAME}")] * 3,
            }, [("IdleTimeout", "1")], 1),
        ] + [
            # Cuts that add up to less than the 64 KiB that count as
            # progress: an attempt that moves the archive on does not count.
            (route, "breaks every time", ("alt1", "alt2", "alt2"), {
                f"/{m}/{NAME}": [Fault("cut", after=KB)] * 4 for m in ("alt1", "alt2")
            }, (), 3) for route in ROUTES
        ]
        for route, label, mirrors, table, transfer, most in cases:
            with self.subTest(route=route, case=label):
                self.fresh(f"{route}-{label}", route, transfer, mirrors)
                # The archive is on no source: the default base answers 404.
                for m in ("alt1", "alt2"):
                    self.release.copy(f"/{m}/{NAME}", self.archive)
                    shutil.copystat(self.archive, self.release.path(f"/{m}/{NAME}"))
                os.remove(self.archive)
                self.faults.set_planner(Script(table))
                started = time.monotonic()
                run = self.run_launcher()
                elapsed = time.monotonic() - started
                transfers = self.transfers()
                shown = run.boxes()
                if not is_wine():
                    shown += [(TITLE, line) for line in run.errors().splitlines()]
                self.assertIn(FAILED, shown)
                if not is_wine():
                    # The error display names the last source and reason.
                    self.assertIn(NAME, run.errors(), "the error names no source")
                self.assertEqual(self.game.ini()["adata"]["adata1"], "A0")
                self.assertEqual(self.game.read(MEMBER), b"the old AData1 file")
                self.assert_client_not_started()
                self.assert_partials_bounded()
                self.assertLess(elapsed, self.slow(30), "not bounded in time")
                per_source = collections.Counter(t.source for t in transfers)
                self.assertEqual(per_source["/QuillMar/"], 1, transfers)
                for m in mirrors:
                    self.assertIn(per_source[f"/{m}/"], range(1, most + 1), transfers)
                if label == "breaks every time":
                    mirror_transfers = [t for t in transfers if t.source != "/QuillMar/"]
                    kept = 0
                    for t in mirror_transfers:
                        self.assertEqual(t.start, kept, f"not continued: {transfers}")
                        kept += t.body

    # Across runs.
    def kill_at(self, fraction):
        """Starts, lets the archive arrive up to fraction of its length, and
        kills the launcher there."""
        at = int(self.archive_size * fraction)
        self.plan([Fault("stall", after=at, seconds=5)])
        run = self.start()
        end = time.monotonic() + self.slow(30)
        while self.faults.live(NAME) < at:
            self.assertTrue(run.running(), "the run ended before the archive")
            self.assertLess(time.monotonic(), end, "the archive never got that far")
            time.sleep(0.02)
        time.sleep(1.0)  # for the updater to store what arrived
        run.kill()
        self.faults.quiesce()  # the stalled connection's end, before the next plan
        self.faults.set_planner(pass_all)
        self.assertEqual(self.game.ini()["adata"]["adata1"], "A0")
        self.assert_partials_bounded()
        self.servers.log.mark()
        return at

    def test_a_run_killed_at_90_percent_is_resumed_by_the_next_start(self):
        # nginx's /norange/ ignores Range: the next start takes its 200 whole.
        for route, mirror in [("direct", "mirror1"), ("proxy", "mirror1"),
                              ("direct", "norange")]:
            with self.subTest(route=route, mirror=mirror):
                self.fresh(f"{route}-{mirror}-killed", route, mirrors=(mirror,))
                at = self.kill_at(0.9)
                self.faults.set_planner(pass_all)
                run = self.run_launcher()
                transfers = self.transfers()
                self.assert_installed(run)
                self.assertEqual(len(transfers), 1, transfers)
                if mirror == "norange":
                    self.assertEqual((transfers[0].status, transfers[0].body),
                                     (200, self.archive_size), transfers)
                    self.assertGreaterEqual(transfers[0].start, at - BUFFER, "no Range asked")
                    continue
                self.assertEqual(transfers[0].status, 206, f"not resumed: {transfers}")
                self.assertGreaterEqual(transfers[0].start, at - BUFFER, transfers)
                self.assertLessEqual(transfers[0].body,
                                     0.12 * self.archive_size, transfers)

    def test_a_partial_that_no_longer_matches_is_discarded(self):
        def garble_record():
            records = [n for n in self.game.temp_files() if n.lower().endswith(".qmpart")]
            self.assertTrue(records, f"no record beside the partial: {self.game.temp_files()}")
            for name in records:
                self.game.write(f"Temp/{name}", b"Url=\r\nLength=not a number\r\n")

        cases = [
            ("same length, other file", lambda: self.replace_archive(pattern(33, SIZE))),
            ("other length", lambda: self.replace_archive(pattern(34, SIZE + 5000))),
            ("record garbled", garble_record),
        ]
        for label, change in cases:
            with self.subTest(case=label):
                self.fresh(label)
                self.kill_at(0.5)
                change()
                run = self.run_launcher()
                transfers = self.transfers()
                self.assert_installed(run)
                # A continuation may be asked for; its answer shows the
                # change, and the archive comes whole from byte 0.
                starts = [t.start if t.status == 206 else 0 for t in transfers]
                self.assertEqual(starts[-1], 0, f"the partial was kept: {transfers}")
                if label == "record garbled":
                    self.assertEqual(starts, [0], f"continued without a record: {transfers}")

    def test_a_trickling_source_is_left_at_the_slow_link_limit(self):
        limit = [("SlowLinkTime", "2"), ("SlowLinkRate", str(64 * KB))]
        for route in ROUTES:
            with self.subTest(route=route):
                self.fresh(f"{route}-trickle", route, limit)
                self.plan([Fault("trickle", after=256 * KB, rate=2 * KB)])
                started = time.monotonic()
                run = self.finish(self.start(), self.slow(30))
                elapsed = time.monotonic() - started
                transfers = self.transfers()
                self.assert_installed(run)
                self.assertLess(elapsed, self.slow(15), "the trickle was not left in time")
                self.assertEqual(len(transfers), 2, transfers)
                self.assert_continued(transfers, BUFFER)
                self.assert_retrying_shown(run)

    def test_cancel_during_a_backoff_wait(self):
        for route in ROUTES:
            with self.subTest(route=route):
                self.cancel_during_a_backoff_wait(route)

    def cancel_during_a_backoff_wait(self, route):
        # One mirror that breaks every time, a default base without the
        # archive: after both, a long wait before the mirror's 2nd attempt.
        self.fresh(f"{route}-cancel", route, [("RetryDelay", "30")], ("alt1",))
        self.release.copy(f"/alt1/{NAME}", self.archive)
        os.remove(self.archive)
        # Short of the 64 KiB that would count as progress and skip the wait.
        self.faults.set_planner(Script({f"/alt1/{NAME}": [Fault("cut", after=16 * KB)] * 3}))
        run = self.start(terminal=True)
        end = time.monotonic() + self.slow(30)
        while not any(e.target == DEFAULT for e in self.servers.log.entries(settle=False)):
            self.assertTrue(run.running(), "the run ended before the default base")
            self.assertLess(time.monotonic(), end, "the default base was never asked")
            time.sleep(0.05)
        time.sleep(1.0 if not is_wine() else 3.0)
        self.assertTrue(run.running(), "no backoff wait")
        cancelled = time.monotonic()
        run.cancel()
        self.finish(run, self.slow(10))
        self.assertLess(time.monotonic() - cancelled, self.slow(5), "Cancel waited")
        self.assertEqual(run.boxes(), [], "a cancelled run shows no box")
        transfers = self.transfers()
        self.assertEqual([t.source for t in transfers], ["/alt1/", "/QuillMar/"], transfers)
        self.assertEqual(self.game.ini()["adata"]["adata1"], "A0")
        self.assertEqual(self.game.read(MEMBER), b"the old AData1 file")
        self.assert_client_not_started()
        self.assert_partials_bounded()
        self.assert_retrying_shown(run)
