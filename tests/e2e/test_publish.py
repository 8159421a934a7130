"""Releases published with qmpublish, installed by QuillMar.exe itself: a
fresh game folder gets the release byte for byte through the mirrors of
section P, and a later release brings only what changed.

qmpublish is a native program in every tree: QM_E2E_QMPUBLISH names it."""
import os
import shutil
import subprocess
import unittest

from harness import release
from harness.release import FILE_VERSION, TINY_GIF, VERSION_KEY

from e2e_case import Config, E2ECase

MANIFEST = "/QuillMar/QuillMar.ini"
MIRRORS = ("m1", "m2")
BK, BKP = "bk-text", "bkp-text"
# Written beside the release's files by the harness or the launcher.
NOT_RELEASED = {"quillmar.ini", "_quillmar_.exe", "client-args.txt"}


def qmpublish():
    path = os.environ.get("QM_E2E_QMPUBLISH")
    if not path:
        raise unittest.SkipTest("QM_E2E_QMPUBLISH unset: no qmpublish to publish with")
    return path


def release_1():
    """Release folder name -> bytes (None: an empty folder)."""
    with open(Config.launchers["direct"], "rb") as f:
        launcher = f.read()
    with open(Config.foo_dll, "rb") as f:
        foo = f.read()
    return {
        # The launcher under test: its own version is the published one, so
        # it does not replace itself.
        "launcher/QuillMar.exe": launcher,
        "splash/Sp.Gif": TINY_GIF,
        "engine/Engine.bin": release.pattern(1, 40000),
        "engine/maps/a.map": b"map a\r\n" * 300,
        "data/Data.txt": b"data 1\r\n" * 100,
        # An empty folder, published as a folder entry; the updater makes no
        # folder for one, but must pass over it.
        "data/saves": None,
        "adata/1/AData/a1.txt": b"a1\n",
        "bdata/1/BData/b1.bin": release.pattern(2, 900),
        "components/Foo.dll": foo,
    }


def next_version_of(dll):
    """The component with its FileVersion raised from 1.0.0.3 to 1.0.0.4 (the
    strings of the version resource keep their length)."""
    old, new = "1.0.0.3".encode("utf-16-le"), "1.0.0.4".encode("utf-16-le")
    if old not in dll:
        raise AssertionError("Foo.dll's version resource no longer says 1.0.0.3")
    return dll.replace(old, new)


def installed_paths(files):
    """Where a release folder's files land in the game folder: the top
    folder (and an A-data or B-data set's number) dropped."""
    result = {}
    for name, data in files.items():
        parts = name.split("/")
        drop = 2 if parts[0] in ("adata", "bdata") else 1
        result["/".join(parts[drop:])] = data
    return result


class PublishTest(E2ECase):
    def setUp(self):
        super().setUp()
        self.tool = qmpublish()

    def publish(self, files):
        """Lays out the release folder, publishes it on the servers' www and
        copies www/QuillMar/ to each mirror, manifest left out."""
        folder = os.path.join(self.dir, "release")
        shutil.rmtree(folder, ignore_errors=True)
        for name, data in files.items():
            target = os.path.join(folder, *name.split("/"))
            if data is None:
                os.makedirs(target)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
        base = self.servers.base()
        command = [self.tool, "publish", folder, self.servers.www, "--bk", BK, "--bkp", BKP]
        for mirror in MIRRORS:
            command += ["--mirror", f"{base}/{mirror}/"]
        done = subprocess.run(command, capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, f"qmpublish failed:\n{done.stdout}{done.stderr}")
        server = os.path.join(self.servers.www, "QuillMar")
        for mirror in MIRRORS:
            shutil.copytree(server, os.path.join(self.servers.www, mirror), dirs_exist_ok=True,
                            ignore=shutil.ignore_patterns("QuillMar.ini"))
        published = release.read_ini(os.path.join(server, "QuillMar.ini"))
        version, engine = published["v"][VERSION_KEY.lower()].split(";")[0].strip().split("::")
        self.assertEqual(version, FILE_VERSION)
        return engine

    def start_and_fetch(self, count):
        """One start; the archives it fetched, all from one mirror, as
        paths below that mirror."""
        run = self.run_launcher()
        self.assertEqual(run.boxes(), [])
        self.assert_client_started("?", BK, BKP)
        got = self.requests(count)
        self.assertEqual(got[:1], [MANIFEST], got)
        mirrors = {path.split("/")[1] for path in got[1:]}
        self.assertLessEqual(len(mirrors), 1, f"not from one mirror: {got}")
        self.assertTrue(mirrors <= set(MIRRORS), f"not from a mirror: {got}")
        self.assert_no_debris()
        return [path.split("/", 2)[2] for path in got[1:]]

    def assert_installed(self, files):
        """The release's files byte for byte, and no others."""
        want_files = {k: v for k, v in installed_paths(files).items() if v is not None}
        got_files = {name: self.game.read(name) for name in self.game.all_files()
                     if name.lower() not in NOT_RELEASED}
        self.assertEqual(sorted(got_files), sorted(want_files))
        for name, data in want_files.items():
            self.assertTrue(got_files[name] == data, f"{name} differs from the release's")

    def assert_recorded(self, expected):
        ini = self.game.ini()
        self.assertEqual({(s, k): ini.get(s, {}).get(k) for s, k in expected}, expected)

    def test_fresh_folder_gets_the_release_from_a_mirror(self):
        files = release_1()
        engine = self.publish(files)
        fetched = self.start_and_fetch(7)
        self.assertEqual(fetched, [f"{VERSION_KEY}_Sp.zip", f"{engine}/Part.zip",
                                   f"{engine}/Data.zip", "AData1.zip", f"{engine}/BData1.zip",
                                   f"{engine}/Foo.zip"])
        self.assert_installed(files)
        self.assert_recorded({("v", "part"): "1", ("v", "data"): "1",
                              ("sp", f"{VERSION_KEY}_sp"): "1", ("adata", "adata1"): "1",
                              ("bdata", "bdata1"): "1"})

    def test_later_releases_bring_only_what_changed(self):
        files = release_1()
        first_engine = self.publish(files)
        self.start_and_fetch(7)

        # A changed engine file and a new A-data set.
        files["engine/maps/a.map"] = b"map a, second release\r\n" * 300
        files["adata/2/AData/two/a2.bin"] = release.pattern(3, 5000)
        self.servers.log.mark()
        engine = self.publish(files)
        self.assertNotEqual(engine, first_engine)
        self.assertEqual(self.start_and_fetch(3), [f"{engine}/Part.zip", "AData2.zip"])
        self.assert_installed(files)
        self.assert_recorded({("v", "part"): "2", ("v", "data"): "1",
                              ("sp", f"{VERSION_KEY}_sp"): "1", ("adata", "adata1"): "1",
                              ("adata", "adata2"): "1", ("bdata", "bdata1"): "1"})

        # A component with a new FileVersion: fetched once, then current.
        files["components/Foo.dll"] = next_version_of(files["components/Foo.dll"])
        self.servers.log.mark()
        engine = self.publish(files)
        self.assertEqual(self.start_and_fetch(2), [f"{engine}/Foo.zip"])
        self.assert_installed(files)
        self.servers.log.mark()
        self.assertEqual(self.start_and_fetch(1), [])
        self.assertEqual(self.requests(1), [MANIFEST])
