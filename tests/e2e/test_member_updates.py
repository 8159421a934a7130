"""Member-level updates, verify and repair through the real updater, nginx
(multipart/byteranges, max_ranges 0 at /norange/) and the fault server:
a release that changes a few members of a 200-member engine archive
brings only its index and those members' spans (nginx's log: 206 and the
byte counts); a host without Range, a missing or wrong index and a release
that changed most of the archive bring it whole; a member range cut short
is continued; a member whose bytes differ from its index is never
installed; `/verify` hashes the folder and fetches only what is damaged; a
normal start brings back a recorded file that is missing; the local record
QuillMar.files only ever says what the folder holds.

Release 1 is laid out in the game folder as an install would leave it
([V] Part=P1, no record unless a case makes one); release 2 is Part P2 at
the default base /QuillMar/ with its index and line in section H, made on
the test side (harness.member_release). The expected spans are worked out
from the index (docs/member-updates.md)."""
import os
import re
import shutil

from harness import integrity_files, member_release, release
from harness.fault_server import Fault, Script, pass_all
from harness.member_release import KB, changed, member_files, parse_ranges, union

from harness.release import VERSION_KEY

from e2e_case import TITLE, Config, E2ECase, is_wine, manifest

MANIFEST = "/QuillMar/QuillMar.ini"
# The engine folder is the launcher's version key where [V] names none.
PART = f"{VERSION_KEY}/Part.zip"  # below a download base, as section H keys it
DEFAULT = f"/QuillMar/{PART}"
FAILED = (TITLE, "Engine 다운로드 실패")
# multipart/byteranges: a boundary line and two header lines a part, and
# the closing boundary; nginx's are well under this.
PART_OVERHEAD = 160
BUFFER = 64 * KB  # what a break may cost: one receive buffer fetched twice
# /verify's box: files checked, MB hashed (MB/s), files repaired.
SUMMARY = re.compile(r"검사한 파일 (\d+)개, 해시 ([\d.]+) MB \(([\d.]+) MB/s\), "
                     r"복구한 파일 (\d+)개")


def renamed(files, old, new):
    out = {}
    for name, data in files.items():
        out[new if name == old else name] = data
    return out


class MemberUpdateTest(E2ECase):
    def setUp(self):
        super().setUp()
        self.servers.faults.set_planner(pass_all)
        self.addCleanup(self.servers.faults.set_planner, pass_all)
        self.old = member_files(1)

    # Layout.
    def fresh(self, label, installed, new, route=None, stored=(), record=None, part="P1",
              stamp=None):
        """A game folder holding `installed` as release 1 left it ([V]
        Part=part, `record` as QuillMar.files or none), and the server with
        `new` as Part P2 at the default base. route: a download base (a
        mirror name reached through the fault server, or "norange" straight
        from nginx); None: the default base."""
        root = os.path.join(self.dir, label.replace(" ", "-"))
        shutil.rmtree(root, ignore_errors=True)
        self.game = release.GameFolder(os.path.join(root, "Quill Mar"),
                                       Config.launchers["direct"], Config.client)
        self.release = release.ReleaseTree(self.servers.www)
        for rel, data in installed.items():
            self.game.write(rel, data)
        self.game.write_ini([("V", [("Part", part)])])
        if record is not None:
            self.game.write(member_release.RECORD, record)
        self.new = new
        self.archive = self.release.path(DEFAULT)
        line, self.index = member_release.publish(self.archive, new, stored=stored, stamp=stamp)
        self.archive_size = os.path.getsize(self.archive)
        paths = None
        if route == "norange":
            paths = [f"{self.servers.base()}/norange/"]
        elif route is not None:
            paths = [self.servers.mirror(route)]
        sections = manifest(part="P2", splash="-1", paths=paths)
        sections.append(integrity_files.hash_section(1, {PART: line}))
        self.release.manifest(sections)
        self.servers.log.mark()

    # What the servers saw.
    def archive_entries(self):
        """nginx's entries for the archive (any base) and for its index."""
        entries = self.servers.log.entries()
        return ([e for e in entries if e.target.endswith("/Part.zip")],
                [e for e in entries if e.target.endswith("/Part.zip.idx")])

    def assert_member_fetch(self, names, multipart=None):
        """Only the index and the spans of these members came, each span
        once, as 206s whose bodies are those bytes (plus multipart framing
        where a request asked for several ranges)."""
        parts, indexes = self.archive_entries()
        self.assertEqual([(e.status, e.sent) for e in indexes],
                         [(200, os.path.getsize(self.archive + ".idx"))], indexes)
        want = self.index.requests(names)
        asked = [r for e in parts for r in parse_ranges(e.range)]
        self.assertTrue(all(e.status == 206 for e in parts), parts)
        self.assertEqual(union(asked), union(want), f"spans asked: {parts}")
        self.assertEqual(sum(end - first for first, end in asked),
                         sum(end - first for first, end in want), f"a span twice: {parts}")
        for e in parts:
            ranges = parse_ranges(e.range)
            body = sum(end - first for first, end in ranges)
            if len(ranges) == 1:
                self.assertEqual(e.sent, body, e)
            else:
                self.assertGreaterEqual(e.sent, body, e)
                self.assertLessEqual(e.sent, body + PART_OVERHEAD * (len(ranges) + 1), e)
        if multipart is not None:
            self.assertEqual(max((len(parse_ranges(e.range)) for e in parts), default=0) > 1,
                             multipart, parts)
        return parts

    def assert_whole_fetch(self, ranged=False):
        """The archive came whole in one 200 (asked with a Range when the
        host ignores it)."""
        parts, _ = self.archive_entries()
        self.assertEqual([(e.status, e.sent) for e in parts], [(200, self.archive_size)], parts)
        if not ranged:
            self.assertIsNone(parts[0].range, parts)

    # What the folder holds.
    def assert_updated(self, run, kept=None, indexed=True):
        """Release 2 installed byte for byte, `kept` (files release 2 no
        longer lists) left as they were, P2 recorded, the client started,
        nothing left in Temp, and the record true; indexed: the launcher
        had the index, so the record lists every file of release 2 (without
        one it has no hashes to record)."""
        self.assertEqual(run.boxes(), [])
        for rel, data in self.new.items():
            self.assertTrue(self.game.read(rel) == data, f"{rel} is not release 2's")
        for rel, data in (kept or {}).items():
            self.assertTrue(self.game.read(rel) == data, f"{rel} was touched")
        self.assertEqual(self.game.ini()["v"]["part"], "P2")
        self.assert_client_started()
        self.assert_no_debris()
        if indexed:
            self.assert_record_true(self.new)
        else:
            self.assertEqual(member_release.record_lies(self.game.path, is_wine()), [])

    def assert_record_true(self, files):
        """The record lists every file of `files` and nothing that the
        folder does not hold as recorded."""
        record = member_release.read_record(self.game.path)
        self.assertIsNotNone(record, "no QuillMar.files after an install")
        self.assertEqual(member_release.record_lies(self.game.path, is_wine()), [])
        lower = {n.lower() for n in record}
        self.assertEqual([n for n in files if n.lower() not in lower], [],
                         "installed files missing from the record")

    # Release 2 against a folder of release 1.
    def test_release_2_brings_only_the_changed_members(self):
        old = self.old
        f = [n for n in old]  # in archive order
        cases = [
            # label, release 2, members fetched, files left alone, multipart
            ("one member of 200 changed", {**old, f[100]: changed(old[f[100]])}, [f[100]], {},
             False),
            ("a compressed size changed", {**old, f[50]: release.pattern(77, 12000)}, [f[50]],
             {}, False),
            ("a text member changed", {**old, f[13]: changed(old[f[13]])}, [f[13]], {}, False),
            ("a member renamed", renamed(old, f[120], "pak/e/renamed.bin"),
             ["pak/e/renamed.bin"], {f[120]: old[f[120]]}, False),
            ("a member added (the last)", {**old, "pak/new/added.bin": release.pattern(78, 5000)},
             ["pak/new/added.bin"], {}, False),
            ("a member removed", {k: v for k, v in old.items() if k != f[30]}, [],
             {f[30]: old[f[30]]}, None),
            ("the first and the last changed",
             {**old, f[0]: changed(old[f[0]]), f[199]: changed(old[f[199]])}, [f[0], f[199]], {},
             True),
            ("two neighbours changed",
             {**old, f[60]: changed(old[f[60]]), f[61]: changed(old[f[61]])}, [f[60], f[61]], {},
             False),
            ("three far apart changed",
             {**old, **{f[i]: changed(old[f[i]]) for i in (20, 90, 160)}},
             [f[20], f[90], f[160]], {}, True),
        ]
        for label, new, names, kept, multipart in cases:
            with self.subTest(case=label):
                self.fresh(label, old, new)
                run = self.run_launcher()
                self.assert_member_fetch(names, multipart)
                self.assert_updated(run, kept)
                # Within 10 % of the changed spans and the index on the wire.
                parts, indexes = self.archive_entries()
                wire = sum(e.sent for e in parts + indexes)
                self.assertLessEqual(wire, 1.1 * (self.index.bytes_of(names) +
                                                  indexes[0].sent) + 2 * PART_OVERHEAD)

    def test_whole_archive_where_members_do_not_pay_or_cannot_be_had(self):
        old = self.old
        f = list(old)
        one = {**old, f[100]: changed(old[f[100]])}
        most = {**old, **{n: changed(old[n]) for n in f[:150]}}

        def drop_index():
            os.remove(self.archive + ".idx")

        def wrong_index():
            with open(self.archive + ".idx", "ab") as out:
                out.write(b"pak/x.bin\t1\t00000000\t" + b"0" * 64 + b"\t0\t1\t0\r\n")

        cases = [
            # label, release 2, route, change to the server, the archive's entries
            ("more than 60 % changed", most, None, None, [(200, None)]),
            # The 200's bytes are the archive: no second request.
            ("a host that ignores Range (max_ranges 0)", one, "norange", None, [(200, "range")]),
            ("no index published", one, None, drop_index, [(200, None)]),
            ("the index differs from section H", one, None, wrong_index, [(200, None)]),
        ]
        for label, new, route, change, want in cases:
            with self.subTest(case=label):
                self.fresh(label, old, new, route=route)
                if change:
                    change()
                run = self.run_launcher()
                parts, indexes = self.archive_entries()
                self.assertEqual([(e.status, e.sent, "range" if e.range else None)
                                  for e in parts],
                                 [(s, self.archive_size, r) for s, r in want], parts)
                self.assertEqual(len(indexes), 1, indexes)
                self.assert_updated(run, indexed=change is None)

    # Through the fault server.
    def transfers(self):
        """The archive's requests: (source, ranges asked, body bytes that
        reached the updater, status); mirrors from the fault server's
        records, the default base from nginx's log."""
        faults = self.servers.faults
        faults.quiesce()
        result = [(r.target.split("/")[1].join("//"), parse_ranges(r.range), r.body, r.status)
                  for r in faults.taken() if r.target.endswith("/Part.zip")]
        result += [("/QuillMar/", parse_ranges(e.range), e.sent, e.status)
                   for e in self.servers.log.entries() if e.target == DEFAULT]
        return result

    def test_faults_on_the_way_never_cost_the_archive_or_a_wrong_file(self):
        old = self.old
        f = list(old)
        one = f[100]
        far = (f[20], f[160])
        new_one = {**old, one: changed(old[one])}
        new_far = {**old, **{n: changed(old[n]) for n in far}}

        def half_of(first_name):
            first, end = self.index.span(first_name)
            return (end - first) // 2

        cases = [
            # label, release 2, members, faults of the archive's 1st, 2nd... request
            ("a member range cut short", new_one, [one],
             [lambda _r: Fault("cut", after=half_of(one))]),
            ("a multi-range request cut in its second part", new_far, list(far),
             [lambda _r: Fault("cut", after=self.index.bytes_of([far[0]]) + 200)]),
            ("a multi-range request answered with its first range", new_far, list(far),
             [Fault("pass", single_range="first")] * 4),
            ("a multi-range request answered with one range over all", new_far, list(far),
             [Fault("pass", single_range="span")] * 4),
        ]
        for label, new, names, faults in cases:
            with self.subTest(case=label):
                self.fresh(label, old, new, route="mirror1")
                self.servers.faults.set_planner(Script({f"/mirror1/{PART}": faults}))
                run = self.run_launcher()
                self.assert_updated(run)
                transfers = self.transfers()
                self.assertTrue(all(t[3] == 206 for t in transfers),
                                f"the archive was fetched whole: {transfers}")
                want = self.index.bytes_of(names)
                asked = union(r for t in transfers for r in t[1])
                for span in self.index.requests(names):
                    self.assertTrue(any(a <= span[0] and span[1] <= b for a, b in asked),
                                    f"{span} never asked: {transfers}")
                got = sum(t[2] for t in transfers)
                slack = BUFFER + PART_OVERHEAD * 4
                if "one range over all" in label:
                    slack += asked[-1][1] - asked[0][0]  # the gap between, once
                self.assertLessEqual(got, want + slack, f"fetched again: {transfers}")

    def test_a_member_that_differs_from_its_index_is_never_installed(self):
        old = self.old
        target = list(old)[100]
        new = {**old, target: changed(old[target])}
        cases = [
            # label, the sources that serve the tampered archive, installed
            ("tampered on the mirror", ("alt1",), True),
            ("tampered everywhere", ("alt1", "QuillMar"), False),
        ]
        for label, tampered, installed in cases:
            with self.subTest(case=label):
                # A stored member: a flipped byte keeps every size, only
                # its content (and CRC) differs from the index.
                self.fresh(label, old, new, route="alt1", stored=(target,))
                # The mirror alt1 serves the same archive and index.
                self.release.copy(f"/alt1/{PART}", self.archive)
                self.release.copy(f"/alt1/{PART}.idx", self.archive + ".idx")
                for where in tampered:
                    release.flip_member_byte(self.release.path(f"/{where}/{PART}"), target)
                run = self.finish(self.start(terminal=True))
                if installed:
                    self.assert_updated(run)
                    transfers = self.transfers()
                    self.assertEqual([t[0] for t in transfers], ["/alt1/", "/QuillMar/"],
                                     f"not refetched from the next source: {transfers}")
                    continue
                shown = run.boxes() if is_wine() else \
                    [(TITLE, line) for line in run.errors().splitlines()] + run.boxes()
                self.assertIn(FAILED, shown)
                self.assertEqual(self.game.read(target), old[target],
                                 "the old file was replaced")
                self.assertEqual(self.game.ini()["v"]["part"], "P1")
                self.assert_client_not_started()
                self.assertEqual(member_release.record_lies(self.game.path, is_wine()), [])
                self.assert_no_debris()

    # Verify and repair.
    def verify(self):
        run = self.finish(self.start(args=("/verify",), terminal=True))
        self.assert_client_not_started()
        return run

    def summary(self, run):
        """(files checked, MB hashed, files repaired) of the one summary box."""
        found = [SUMMARY.search(text) for _, text in run.boxes()]
        found = [m for m in found if m]
        self.assertEqual(len(found), 1, f"not one summary: {run.boxes()}")
        return int(found[0][1]), float(found[0][2]), int(found[0][4])

    def test_verify_fetches_only_what_is_damaged(self):
        new = member_files(2)
        f = list(new)

        def flip(rel):
            path = self.game.file(rel)
            stat = os.stat(path)
            data = bytearray(self.game.read(rel))
            data[len(data) // 2] ^= 0x20
            self.game.write(rel, bytes(data))
            os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))

        def truncate(rel):
            self.game.write(rel, self.game.read(rel)[:1000])

        def delete(rel):
            os.remove(self.game.file(rel))

        cases = [
            # label, damage, members fetched
            ("intact", [], []),
            ("one flipped byte", [(flip, f[100])], [f[100]]),
            ("a truncated file", [(truncate, f[40])], [f[40]]),
            ("a deleted file", [(delete, f[150])], [f[150]]),
            ("all three", [(flip, f[10]), (truncate, f[90]), (delete, f[180])],
             [f[10], f[90], f[180]]),
        ]
        for label, damage, names in cases:
            with self.subTest(case=label):
                self.fresh(label, new, new, part="P2")
                for act, rel in damage:
                    act(rel)
                present = sum(os.path.getsize(self.game.file(n)) for n in new
                              if self.game.exists(n))
                run = self.verify()
                self.assertEqual(run.returncode, 0, run.transcript())
                self.assertEqual([e.target for e in self.servers.log.entries()
                                  if not e.target.endswith("/Part.zip")],
                                 [MANIFEST, DEFAULT + ".idx"])
                if names:
                    self.assert_member_fetch(names)
                else:
                    self.assertEqual(self.archive_entries()[0], [])
                for rel, data in new.items():
                    self.assertTrue(self.game.read(rel) == data, f"{rel} not repaired")
                self.assertEqual(self.game.ini()["v"]["part"], "P2")
                self.assert_record_true(new)
                self.assert_no_debris()
                checked, hashed, repaired = self.summary(run)
                self.assertEqual((checked, repaired), (len(new), len(names)))
                # Every file that was there hashed (the figure has one decimal).
                self.assertGreaterEqual(hashed, present / 1e6 - 0.05)
                self.assertLessEqual(hashed, sum(map(len, new.values())) * 2 / 1e6 + 0.05)

    def test_a_normal_start_repairs_a_recorded_file_that_is_missing(self):
        new = member_files(2)
        f = list(new)
        self.fresh("recorded", new, new, part="P2")
        self.assertEqual(self.verify().returncode, 0)  # makes the record
        self.assertIsNotNone(member_release.read_record(self.game.path))

        # Deleted: a normal start fetches it back, and only it.
        os.remove(self.game.file(f[70]))
        self.servers.log.mark()
        run = self.run_launcher()
        self.assert_member_fetch([f[70]])
        self.assert_updated(run)

        # Changed with its size and time kept: a normal start does not hash,
        # it fetches nothing but the manifest; /verify repairs it.
        path = self.game.file(f[71])
        stat = os.stat(path)
        self.game.write(f[71], changed(new[f[71]]))
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        self.servers.log.mark()
        run = self.run_launcher()
        self.assertEqual(run.boxes(), [])
        self.assert_client_started()
        self.assertEqual([e.target for e in self.servers.log.entries()], [MANIFEST])
        self.servers.log.mark()
        self.assertEqual(self.verify().returncode, 0)
        self.assert_member_fetch([f[71]])
        self.assertTrue(self.game.read(f[71]) == new[f[71]])

    # The local record.
    def test_the_record_spares_hashing_and_losing_it_costs_nothing_else(self):
        old = self.old
        f = list(old)
        new = {**old, f[100]: changed(old[f[100]])}
        cases = [
            # label, QuillMar.files before the start
            ("no record", None),
            ("a garbled record", b"garbage\r\n\x00\xff\r\n"),
            ("a record of other files", b"QMFILES 1\r\npak\\a\\f000.bin\t1\t1\t" +
             b"0" * 64 + b"\r\nbad line\r\n"),
        ]
        for label, record in cases:
            with self.subTest(case=label):
                self.fresh(label, old, new, record=record)
                run = self.run_launcher()
                self.assert_member_fetch([f[100]])
                self.assert_updated(run)

        # A fresh folder: everything missing is more than 60 %, so the
        # archive comes whole; the record then holds the index's hashes.
        self.fresh("fresh folder", {}, old, part="0")
        run = self.run_launcher()
        self.assert_whole_fetch()
        self.assert_updated(run)
        record = member_release.read_record(self.game.path)
        by_lower = {n.lower(): v for n, v in record.items()}
        self.assertEqual({n: by_lower[n.lower()][2] for n in old}, self.index.files())

        # Release 2 changes one member; another file changed behind the
        # record's back keeping its size and time. The record vouches for
        # it, so only the changed member comes (nothing re-hashed it); the
        # next /verify, which always hashes, mends it.
        behind = f[5]
        path = self.game.file(behind)
        stat = os.stat(path)
        self.game.write(behind, changed(old[behind]))
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        self.new = new
        self.archive = self.release.path(DEFAULT)
        line, self.index = member_release.publish(self.archive, new)
        self.archive_size = os.path.getsize(self.archive)
        sections = manifest(part="P3", splash="-1")
        sections.append(integrity_files.hash_section(2, {PART: line}))
        self.release.manifest(sections)
        self.servers.log.mark()
        run = self.run_launcher()
        self.assert_member_fetch([f[100]])
        self.assertEqual(run.boxes(), [])
        self.assert_client_started()
        self.assertEqual(self.game.read(behind), changed(old[behind]), "hashed after all")
        self.assertEqual(self.game.ini()["v"]["part"], "P3")
        self.servers.log.mark()
        self.assertEqual(self.verify().returncode, 0)
        self.assert_member_fetch([behind])
        self.assertEqual(self.game.read(behind), new[behind])
        self.assert_record_true(new)

    def test_a_whole_archive_install_leaves_no_record_line_it_made_untrue(self):
        """Archives whose members all carry one fixed time (as qmpublish
        writes them) install files with that time: a member changed at the
        same size keeps size and time, so a record line left from before
        would vouch for the old content. After a whole-archive install,
        index or none, the record vouches for nothing untrue."""
        stamp = 1700000000
        old = self.old
        f = list(old)
        new = {**old, f[5]: changed(old[f[5]])}
        self.assertEqual(len(new[f[5]]), len(old[f[5]]))

        def drop_index():
            os.remove(self.archive + ".idx")

        cases = [
            # label, change to the server of release 2
            ("no index for release 2", drop_index),
            ("more than 60 % changed", None),
        ]
        for label, change in cases:
            with self.subTest(case=label):
                self.fresh(label, {}, old, part="0", stamp=stamp)
                run = self.run_launcher()
                self.assert_whole_fetch()
                self.assert_updated(run)  # the record holds the index's hashes
                two = new if change else {**old, **{n: changed(old[n]) for n in f[:150]}}
                self.new = two
                line, self.index = member_release.publish(self.archive, two, stamp=stamp)
                self.archive_size = os.path.getsize(self.archive)
                if change:
                    change()
                sections = manifest(part="P3", splash="-1")
                sections.append(integrity_files.hash_section(2, {PART: line}))
                self.release.manifest(sections)
                self.servers.log.mark()
                run = self.run_launcher()
                self.assertEqual(run.boxes(), [])
                self.assert_client_started()
                for rel, data in two.items():
                    self.assertTrue(self.game.read(rel) == data, f"{rel} is not release 2's")
                self.assertEqual(self.game.ini()["v"]["part"], "P3")
                self.assertEqual(
                    member_release.record_lies(self.game.path, is_wine(), strict=False), [])
