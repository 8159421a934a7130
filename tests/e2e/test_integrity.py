"""Signed manifests and archive hashes through the real updater and nginx:
a launcher built with the test key installs a signed release and keeps the
highest serial; it refuses a manifest that its signature does not vouch
for before it fetches anything else; every launcher refuses an archive
that differs from its line in section H, and the next clean start mends
it; key-less launchers work against unsigned, signed and old servers.

Releases are published once per run with qmpublish (QM_E2E_QMPUBLISH)."""
import os
import shutil
import stat
import subprocess

from harness import integrity_files, release
from harness.integrity_files import TEST_KEY

from e2e_case import (CAPTION_NOTICE, MSG_PROXY_PROMPT, TITLE, Config, E2ECase,
                      is_wine)
from test_publish import NOT_RELEASED, installed_paths, qmpublish

MANIFEST = "/QuillMar/QuillMar.ini"
SIGNATURE = "/QuillMar/QuillMar.ini.sig"
MIRRORS = ("m1", "m2")
MSG_FAILED_CHECK = "업데이트 서버의 파일이 검사를 통과하지 못했습니다"
BK, BKP = "bk-text", "bkp-text"
# The rows a fresh folder fetches, in order: (archive, installed copy key).
ROWS = [("Part", ("v", "part")), ("Data", ("v", "data")), ("AData1", ("adata", "adata1"))]


def release_files(data_text):
    with open(Config.launchers["direct"], "rb") as f:
        launcher = f.read()
    return {
        # Its version is the launchers' own: none replaces itself.
        "launcher/QuillMar.exe": launcher,
        "engine/Engine.bin": release.pattern(21, 30000),
        "engine/maps/a.map": b"map a\r\n" * 200,
        "data/Data.txt": data_text,
        # Incompressible: a swapped archive of small members fits in its size.
        "adata/1/AData/a1.bin": release.pattern(24, 1500),
    }


class Published:
    """The releases every case serves, published once: s1 and s2 signed
    with the test key (serials 1 and 2, s2 with other data), other (release
    1 signed by another key), unsigned (no signature), old_style (no
    signature and no section H) and mirrored (release 1, signed, its
    archives on the mirrors m1 and m2)."""
    folders = None
    files = {}

    @classmethod
    def make(cls):
        if cls.folders is not None:
            return cls.folders
        tool = qmpublish()
        root = os.path.join(Config.work, "published")
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(root)
        key = os.path.join(root, "test_key.pem")
        shutil.copyfile(TEST_KEY, key)
        os.chmod(key, stat.S_IRUSR | stat.S_IWUSR)  # publish warns of a key others can read
        other_key = os.path.join(root, "other_key.pem")
        _run([tool, "keygen", other_key])
        out = os.path.join(root, "out")
        folders = {}

        def publish(name, files, *extra):
            source = os.path.join(root, "release-" + name)
            for rel, data in files.items():
                target = os.path.join(source, *rel.split("/"))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as f:
                    f.write(data)
            _run([tool, "publish", source, out, "--bk", BK, "--bkp", BKP, "--level", "1"] +
                 list(extra))
            folders[name] = os.path.join(root, name)
            shutil.copytree(out, folders[name])

        cls.files["s1"] = release_files(release.pattern(22, 2000))
        cls.files["s2"] = release_files(release.pattern(23, 2000))
        publish("s1", cls.files["s1"], "--key", key)
        publish("s2", cls.files["s2"], "--key", key)
        base = Config.servers.base()
        mirrors = [a for m in MIRRORS for a in ("--mirror", f"{base}/{m}/")]
        for name, extra in (("other", ["--key", other_key]), ("unsigned", []),
                            ("mirrored", ["--key", key] + mirrors)):
            shutil.rmtree(out)
            shutil.copytree(folders["s1"], out)
            publish(name, cls.files["s1"], *extra)
            cls.files[name] = cls.files["s1"]
        served = os.path.join(folders["mirrored"], "QuillMar")
        for mirror in MIRRORS:
            shutil.copytree(served, os.path.join(folders["mirrored"], mirror),
                            ignore=shutil.ignore_patterns("QuillMar.ini*"))
        folders["old_style"] = os.path.join(root, "old_style")
        shutil.copytree(folders["unsigned"], folders["old_style"])
        path = os.path.join(folders["old_style"], "QuillMar", "QuillMar.ini")
        with open(path, "rb") as f:
            text = f.read()
        with open(path, "wb") as f:
            f.write(text[:text.index(b"[H]")])
        cls.files["old_style"] = cls.files["s1"]
        cls.folders = folders
        return folders


def _run(command):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        raise AssertionError(f"{command[:2]} failed:\n{done.stdout}{done.stderr}")


class IntegrityTest(E2ECase):
    def setUp(self):
        super().setUp()
        self.folders = Published.make()

    def serve(self, name):
        release.ReleaseTree(self.servers.www)  # empties it
        shutil.copytree(self.folders[name], self.servers.www, dirs_exist_ok=True)

    def served_path(self, url_path):
        return os.path.join(self.servers.www, url_path.lstrip("/"))

    def archive_url(self, row):
        """The URL path of a row's archive in the release served."""
        engine = self.served_manifest()["v"][release.VERSION_KEY.lower()] \
            .split(";")[0].strip().split("::")[1]
        return f"/QuillMar/{engine}/{row}.zip" if row in ("Part", "Data") \
            else f"/QuillMar/{row}.zip"

    def served_manifest(self):
        return release.read_ini(self.served_path(MANIFEST))

    def shown(self, run):
        """The error display and the boxes, in order. The console build
        prints the application's errors on standard error (its boxes go to
        standard output); the Windows build shows them as boxes."""
        if is_wine():
            return run.boxes()
        return [(TITLE, line) for line in run.errors().splitlines()] + run.boxes()

    def start_signed(self):
        self.use_launcher("signed")
        # A terminal: without one the console build ends at the first error.
        return self.finish(self.start(terminal=True))

    # What a folder holds.
    def assert_installed(self, name, rows=tuple(r for r, _ in ROWS)):
        """The release's files of these rows byte for byte, no other."""
        top = {"Part": "engine/", "Data": "data/", "AData1": "adata/1/"}
        want = installed_paths({k: v for k, v in Published.files[name].items()
                                if any(k.startswith(top[r]) for r in rows)})
        got = {n: self.game.read(n) for n in self.game.all_files()
               if n.lower() not in NOT_RELEASED and n != "QuillMar.exe"}
        self.assertEqual(sorted(got), sorted(want))
        for rel, data in want.items():
            self.assertTrue(got[rel] == data, f"{rel} is not the release's")

    def assert_recorded(self, rows, serial=None):
        ini = self.game.ini()
        recorded = {key: ini.get(key[0], {}).get(key[1]) for _, key in ROWS}
        manifest = self.served_manifest()
        self.assertEqual(recorded, {key: (manifest[key[0]][key[1]].split(";")[0].strip()
                                          if row in rows else None) for row, key in ROWS})
        self.assertEqual(ini.get("integrity", {}).get("serial"), serial)

    def assert_works(self, run, fetched, signed):
        self.assertEqual(self.shown(run), [])
        self.assert_requests([MANIFEST] + ([SIGNATURE] if signed else []) +
                             [self.archive_url(row) for row in fetched])
        self.assert_client_started("?", BK, BKP)
        self.assert_no_debris()

    def assert_refused(self, run, url, reason):
        """The run ended as a failed connection: the reason, the status, the
        offer of the proxy dialog (answered Cancel); nothing fetched after
        the signature, nothing installed, no client."""
        shown = self.shown(run)
        self.assertEqual(shown[1:], [(TITLE, MSG_FAILED_CHECK), (CAPTION_NOTICE, MSG_PROXY_PROMPT)],
                         shown)
        self.assertTrue(shown[0][1].startswith(self.servers.base() + url + ": "), shown)
        self.assertIn(reason, shown[0][1])
        self.assertEqual(self.requests(2), [MANIFEST, SIGNATURE])
        self.assert_client_not_started()
        self.assert_no_debris()

    # The cases.
    def test_signed_release_installs_records_its_serial_and_no_older_one_replaces_it(self):
        self.serve("s1")
        run = self.start_signed()
        self.assert_works(run, [r for r, _ in ROWS], signed=True)
        self.assert_installed("s1")
        self.assert_recorded({r for r, _ in ROWS}, serial="1")

        self.serve("s2")
        self.servers.log.mark()
        run = self.start_signed()
        self.assert_works(run, ["Data"], signed=True)
        self.assert_installed("s2")
        self.assert_recorded({r for r, _ in ROWS}, serial="2")

        # The older release, validly signed, served again.
        installed = self.game.read("QuillMar.ini")
        self.serve("s1")
        self.servers.log.mark()
        run = self.start_signed()
        self.assert_refused(run, MANIFEST, "serial 1 is below the serial 2")
        self.assertEqual(self.game.read("QuillMar.ini"), installed)
        self.assert_installed("s2")

    def test_manifest_the_signature_does_not_vouch_for_is_refused(self):
        def edit(path, old, new):
            with open(path, "rb") as f:
                data = f.read()
            self.assertIn(old, data)
            with open(path, "wb") as f:
                f.write(data.replace(old, new))

        served = self.served_path
        cases = [
            # name, release served, change, URL named, reason
            ("manifest changed after signing", "s1",
             lambda: edit(served(MANIFEST), b"BK=" + BK.encode(), b"BK=bk-evil"),
             MANIFEST, "the signature does not match the manifest"),
            ("unsigned server", "unsigned", None, SIGNATURE, "could not be fetched"),
            ("signed by another key", "other", None, MANIFEST,
             "the signature does not match the manifest or was made by another key"),
            ("signature file malformed", "s1",
             lambda: edit(served(SIGNATURE), b"ECDSA-P256-SHA256=", b"ECDSA-P256-SHA256=zz"),
             MANIFEST, "malformed"),
            ("signature names another serial", "s1",
             lambda: edit(served(SIGNATURE), b"Serial=1\r\n", b"Serial=7\r\n"),
             MANIFEST, "differs from the signature's"),
        ]
        for name, release_name, change, url, reason in cases:
            with self.subTest(case=name):
                self.setUp()
                self.serve(release_name)
                if change:
                    change()
                self.game.write_ini([("V", [("Part", "0")])])
                before = self.game.read("QuillMar.ini")
                run = self.start_signed()
                self.assert_refused(run, url, reason)
                self.assertEqual(self.game.read("QuillMar.ini"), before)
                self.assertEqual(self.game.all_files(),
                                 ["QuillMar.exe", "QuillMar.ini", "_QuillMar_.exe"])

    def test_archive_that_differs_from_its_line_fails_its_row_until_mended(self):
        cases = [
            # name, launcher, change, row, row's failure text, reason
            ("swapped data, launcher with key", "signed", "swap", "Data",
             "Data 다운로드 실패", "does not match the manifest: its SHA-256 differs"),
            ("truncated engine, launcher with key", "signed", "truncate", "Part",
             "Engine 다운로드 실패", "does not match the manifest"),
            ("swapped A-data, key-less launcher", "direct", "swap", "AData1",
             "AData1 다운로드 실패", "does not match the manifest: its SHA-256 differs"),
            ("A-data without a line, launcher with key", "signed", "unlisted", "AData1",
             "AData1 다운로드 실패", "lists no size and SHA-256"),
        ]
        rows = [r for r, _ in ROWS]
        for name, launcher, change, row, failure, reason in cases:
            with self.subTest(case=name):
                self.setUp()
                self.serve("s1")
                url = self.archive_url(row)
                planted = self.tamper(change, row, url)
                self.use_launcher(launcher)
                run = self.finish(self.start(terminal=True))
                shown = self.shown(run)
                self.assertEqual(shown[1:], [(TITLE, failure)], shown)
                self.assertTrue(shown[0][1].startswith(self.servers.base() + url + ": "), shown)
                self.assertIn(reason, shown[0][1])
                before = rows[:rows.index(row)]
                self.assert_requests([MANIFEST] + ([SIGNATURE] if launcher == "signed" else []) +
                                     [self.archive_url(r) for r in before + [row]])
                self.assert_client_not_started()
                self.assert_installed("s1", before)
                self.assert_recorded(before, serial="1" if launcher == "signed" else None)
                for rel in planted:
                    self.assertFalse(self.game.exists(rel), f"{rel} of the changed archive")
                self.assert_no_debris()

                # The server mended, the next start brings the rest.
                self.serve("s1")
                self.servers.log.mark()
                run = self.finish(self.start(terminal=True))
                self.assert_works(run, rows[rows.index(row):], signed=launcher == "signed")
                self.assert_installed("s1")
                self.assert_recorded(rows, serial="1" if launcher == "signed" else None)

    def tamper(self, change, row, url):
        """Changes the served archive of row; returns the names that only
        the changed archive holds."""
        path = self.served_path(url)
        if change == "truncate":
            size = os.path.getsize(path)
            with open(path, "r+b") as f:
                f.truncate(size // 2)
            return []
        if change == "swap":
            # A valid archive with correct CRCs and the size of the
            # published one: other content under the same names and one
            # more member.
            with open(path + ".idx", "rb") as f:
                names = [line.split(b"\t")[0].decode() for line in f.read().split(b"\r\n")[1:]
                         if line and not line.split(b"\t")[0].endswith(b"/")]
            planted = os.path.dirname(names[0]) + "/planted.txt"
            size = os.path.getsize(path)
            release.make_zip(path, {**{n: b"not the release's\r\n" for n in names},
                                    planted: b"planted\r\n"})
            self.assertTrue(integrity_files.pad_to_size(path, size), "no swap of the same size")
            return [planted]
        # A manifest signed again with the archive's line removed.
        manifest = self.served_path(MANIFEST)
        with open(manifest, "rb") as f:
            lines = f.read().split(b"\r\n")
        key = url[len("/QuillMar/"):].encode() + b"="
        kept = [line for line in lines if not line.startswith(key)]
        self.assertEqual(len(kept), len(lines) - 1)
        with open(manifest, "wb") as f:
            f.write(b"\r\n".join(kept))
        integrity_files.sign_manifest(manifest, TEST_KEY, 1)
        return []

    def test_archives_on_mirrors_are_checked_against_their_lines(self):
        # The lines are keyed below the download base, which is the chosen
        # mirror: a launcher that derived another key would skip the check
        # without a key, and refuse every archive with one.
        rows = [r for r, _ in ROWS]
        for launcher in ("signed", "direct"):
            with self.subTest(launcher=launcher):
                self.setUp()
                self.serve("mirrored")
                data = self.archive_url("Data")
                for mirror in MIRRORS:
                    path = self.served_path(f"/{mirror}/" + data[len("/QuillMar/"):])
                    size = os.path.getsize(path)
                    release.make_zip(path, {"data/Data.txt": b"not the release's\r\n"})
                    self.assertTrue(integrity_files.pad_to_size(path, size))
                self.use_launcher(launcher)
                run = self.finish(self.start(terminal=True))
                got = self.requests(3 + (launcher == "signed"))
                mirror = got[-1].split("/")[1]
                self.assertIn(mirror, MIRRORS, got)
                below = f"/{mirror}/"
                self.assertEqual(got, [MANIFEST] + ([SIGNATURE] if launcher == "signed" else []) +
                                 [below + self.archive_url(r)[len("/QuillMar/"):]
                                  for r in ("Part", "Data")])
                shown = self.shown(run)
                self.assertEqual(shown, [(TITLE, f"{self.servers.base()}{got[-1]}: the archive "
                                          "does not match the manifest: its SHA-256 differs"),
                                         (TITLE, "Data 다운로드 실패")])
                self.assert_client_not_started()
                self.assert_installed("mirrored", ["Part"])
                self.assert_recorded(["Part"], serial="2" if launcher == "signed" else None)

                self.serve("mirrored")
                run = self.finish(self.start(terminal=True))
                self.assertEqual(self.shown(run), [])
                self.assert_client_started("?", BK, BKP)
                self.assert_installed("mirrored")
                self.assert_recorded(rows, serial="2" if launcher == "signed" else None)
                self.assert_no_debris()

    def test_key_less_launcher_takes_unsigned_signed_and_old_servers(self):
        for served in ("unsigned", "s1", "old_style"):
            with self.subTest(served=served):
                self.setUp()
                self.serve(served)
                run = self.run_launcher()
                self.assert_works(run, [r for r, _ in ROWS], signed=False)
                self.assert_installed(served)
                self.assert_recorded({r for r, _ in ROWS})
