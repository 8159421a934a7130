"""Which rows a start fetches and what it records: a fresh install, an
installation that is current, the worked example of the settings file, and
each required row failing."""
from harness import release
from harness.release import TINY_GIF, VERSION_KEY

from e2e_case import TITLE, Config, E2ECase, manifest

DL = "/QuillMar/"  # the default download base
EB = f"/QuillMar/{VERSION_KEY}/"  # the engine base of a line without "::"
MANIFEST = "/QuillMar/QuillMar.ini"

# Row, archive path, files it holds, INI (section, key) it records.
FULL_ROWS = [
    ("splash", DL + f"{VERSION_KEY}_Sp.zip", {"Sp.Gif": TINY_GIF}, ("sp", f"{VERSION_KEY}_sp")),
    ("engine", EB + "Part.zip", {"engine/Engine.bin": release.pattern(10, 3000)}, ("v", "part")),
    ("data", EB + "Data.zip", {"data/Data.txt": b"data v2\r\n" * 50}, ("v", "data")),
    ("adata1", DL + "AData1.zip", {"adata/a1.txt": b"a1\n"}, ("adata", "adata1")),
    ("adata2", DL + "AData2.zip", {"adata/sub/a2.bin": release.pattern(12, 700)},
     ("adata", "adata2")),
    ("bdata1", EB + "BData1.zip", {"bdata/b1.txt": b"b1\n"}, ("bdata", "bdata1")),
    ("component", EB + "Foo.zip", None, None),  # Foo.dll, filled in below
]
FAILURE_TEXT = {
    "launcher": "Quillmar.exe 다운로드 실패",
    "engine": "Engine 다운로드 실패",
    "data": "Data 다운로드 실패",
    "adata2": "AData2 다운로드 실패",
    "bdata1": "BData1 다운로드 실패",
    "component": "콤포넌트 다운로드 실패",
}
RECORDED = {("sp", f"{VERSION_KEY}_sp"): "S1", ("v", "part"): "P1", ("v", "data"): "D1",
            ("adata", "adata1"): "A1", ("adata", "adata2"): "A2", ("bdata", "bdata1"): "B1"}


def full_manifest(launcher=release.FILE_VERSION):
    return manifest(launcher=launcher, part="P1", data="D1", components=["Foo.dll\\1.0.0.3"],
                    bk="bk-text", bkp="bkp-text", splash="S1 ; the spring picture",
                    adata=["A1", "A2"], bdata=["B1"])


class UpdateRowsTest(E2ECase):
    def publish_full(self, skip=()):
        self.release.manifest(full_manifest())
        with open(release_foo(), "rb") as f:
            foo = f.read()
        for row, path, files, _ in FULL_ROWS:
            if row in skip:
                continue
            self.release.archive(path, files if files is not None else {"Foo.dll": foo})
        return foo

    def assert_recorded(self, keys):
        ini = self.game.ini()
        recorded = {(s, k): ini.get(s, {}).get(k) for s, k in RECORDED}
        expected = {key: (RECORDED[key] if key in keys else None) for key in RECORDED}
        self.assertEqual(recorded, expected)

    def test_fresh_install_fetches_every_row_and_starts_the_client(self):
        foo = self.publish_full()
        run = self.run_launcher()
        self.assert_requests([MANIFEST] + [path for _, path, _, _ in FULL_ROWS])
        self.assertEqual(run.boxes(), [])
        self.assert_client_started("?", "bk-text", "bkp-text")
        self.assert_recorded(set(RECORDED))
        for _, _, files, _ in FULL_ROWS:
            for name, data in (files or {"Foo.dll": foo}).items():
                self.assertEqual(self.game.read(name), data, name)
        self.assert_no_debris()

        # The next start finds everything current: the manifest only.
        self.servers.log.mark()
        run = self.run_launcher(args=())
        self.assert_requests([MANIFEST])
        self.assertEqual(run.boxes(), [])
        self.assert_client_started("?", "bk-text", "bkp-text", arg="")

    def test_everything_current_fetches_only_the_manifest(self):
        self.release.manifest(full_manifest())
        self.game.write("Sp.Gif", TINY_GIF)
        self.game.write("Foo.dll", open(release_foo(), "rb").read())
        self.game.write_ini([("V", [("Part", "P1"), ("Data", "D1")]),
                             ("SP", [(f"{VERSION_KEY}_Sp", "S1")]),
                             ("AData", [("AData1", "A1"), ("AData2", "A2")]),
                             ("BData", [("BData1", "B1")])])
        before = self.game.read("QuillMar.ini")
        # An argument quoted for its blank reaches the client unquoted.
        run = self.run_launcher(args=("first arg",))
        self.assertEqual(self.entries(1), [(200, MANIFEST)])
        self.assertEqual(run.boxes(), [])
        self.assert_client_started("?", "bk-text", "bkp-text", arg="first arg")
        self.assertEqual(self.game.read("QuillMar.ini"), before)
        self.assert_no_debris()

    def test_worked_example_fetches_engine_and_adata1_only(self):
        base = self.servers.base()
        self.game.write("Sp.Gif", TINY_GIF)
        self.game.write("Foo.dll", open(release_foo(), "rb").read())
        self.game.write_ini([
            ("Proxy", [("ProxyServer", ""), ("ProxyPort", "80"), ("ProxyUserName", ""),
                       ("ProxyPassWord", "")]),
            ("V", [("Part", "12"), ("Data", "7")]),
            ("SP", [(f"{VERSION_KEY}_Sp", "3")]),
            ("AData", [("AData1", "5"), ("AData2", "2")]),
            ("BData", [("BData1", "4")])])
        self.release.manifest([
            ("P", [("Path0", f"{base}/m0/"), ("Path1", f"{base}/m1"),
                   ("Path2", f"{base}/m2/")]),
            ("V", [(VERSION_KEY, "3.0.0.0::engine"), ("Part", "13"), ("Data", "7")]),
            ("C", [("1", "Foo.dll\\1.0.0.3")]),
            ("S", [("BK", "for-the-client"), ("BKP", "also")]),
            ("SP", [(f"{VERSION_KEY}_Sp", "3")]),
            ("AData", [("AData1", "6 ; remark"), ("AData2", "2")]),
            ("BData", [("BData1", "4")])])
        for mirror in ("m0", "m1", "m2"):
            self.release.archive(f"/{mirror}/engine/Part.zip", {"engine/e13.bin": b"13"})
            self.release.archive(f"/{mirror}/AData1.zip", {"adata/a6.bin": b"6"})
        run = self.run_launcher()
        got = self.requests(3)
        self.assertEqual(len(got), 3, got)
        mirror = got[1].split("/")[1]
        self.assertIn(mirror, ("m0", "m1"), "Path2 of three lines is never chosen")
        self.assertEqual(got, [MANIFEST, f"/{mirror}/engine/Part.zip", f"/{mirror}/AData1.zip"])
        self.assertEqual(run.boxes(), [])
        ini = self.game.ini()
        self.assertEqual((ini["v"]["part"], ini["adata"]["adata1"]), ("13", "6"))
        self.assertEqual((ini["v"]["data"], ini["adata"]["adata2"], ini["bdata"]["bdata1"],
                          ini["sp"][f"{VERSION_KEY}_sp"]), ("7", "2", "4", "3"))
        self.assertEqual(self.game.read("engine/e13.bin"), b"13")
        self.assert_client_started("?", "for-the-client", "also")
        self.assert_no_debris()

    def test_a_failing_required_row_ends_the_run(self):
        order = [row for row, _, _, _ in FULL_ROWS]
        for failing in ("launcher", "engine", "data", "adata2", "bdata1", "component"):
            with self.subTest(row=failing):
                self.setUp()
                self.publish_full(skip=(failing,))
                if failing == "launcher":
                    self.release.manifest(full_manifest(launcher="3.0.0.9"))
                run = self.run_launcher()
                if failing == "launcher":
                    fetched, missing = [], DL + f"{VERSION_KEY}.zip"
                else:
                    at = order.index(failing)
                    fetched = FULL_ROWS[:at]
                    missing = FULL_ROWS[at][1]
                self.assert_requests([MANIFEST] + [p for _, p, _, _ in fetched] + [missing])
                self.assertEqual([e[0] for e in self.servers.log.entries()][-1], 404)
                self.assertIn((TITLE, FAILURE_TEXT[failing]), run.boxes())
                self.assert_client_not_started()
                self.assert_recorded({key for _, _, _, key in fetched if key})
                self.assert_no_debris()

    def test_a_failing_splash_row_is_passed_over(self):
        self.publish_full(skip=("splash",))
        run = self.run_launcher()
        self.assert_requests([MANIFEST] + [p for _, p, _, _ in FULL_ROWS])
        self.assertEqual(run.boxes(), [])
        self.assert_client_started("?", "bk-text", "bkp-text")
        self.assert_recorded(set(RECORDED) - {("sp", f"{VERSION_KEY}_sp")})
        self.assertFalse(self.game.exists("Sp.Gif"))


def release_foo():
    return Config.foo_dll
