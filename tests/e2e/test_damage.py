"""Bad input from the server loses nothing: a damaged archive, a transfer
cut short; and a file installed read-only is still replaced by its next
update."""
import os
import zipfile

from harness import release
from harness.release import VERSION_KEY, pattern

from e2e_case import TITLE, E2ECase, manifest

MANIFEST = "/QuillMar/QuillMar.ini"
EB = f"/QuillMar/{VERSION_KEY}/"


class DamageTest(E2ECase):
    def lay_out_installed(self):
        self.game.write_ini([("V", [("Part", "P1"), ("Data", "D1")])])
        self.game.write("engine/one.txt", b"old one")
        self.game.write("engine/two.bin", b"old two")
        self.game.write("engine/three.txt", b"old three")

    def engine_members(self):
        return {"engine/one.txt": b"new one\n" * 200, "engine/two.bin": pattern(3, 20000),
                "engine/three.txt": b"new three\n" * 200}

    def assert_engine_row_failed(self, run, part_requests):
        self.assertIn((TITLE, "Engine 다운로드 실패"), run.boxes())
        self.assertEqual(self.requests(1 + len(part_requests))[:1 + len(part_requests)],
                         [MANIFEST] + part_requests)
        self.assertNotIn(EB + "Data.zip", self.requests(), "the run went on after the engine")
        self.assert_client_not_started()
        self.assertEqual(self.game.ini()["v"], {"part": "P1", "data": "D1"})
        self.assert_no_debris()

    def test_damaged_archive_is_a_failed_row(self):
        # A stored member fails only its CRC; a deflated one may fail inflating.
        for stored in (True, False):
            with self.subTest(stored=stored):
                self.setUp()
                self.lay_out_installed()
                self.release.manifest(manifest(part="P2", data="D2", splash="-1"))
                path = self.release.archive(EB + "Part.zip", self.engine_members(),
                                            stored=("engine/two.bin",) if stored else ())
                release.flip_member_byte(path, "engine/two.bin")
                self.release.archive(EB + "Data.zip", {"data/d.txt": b"d2"})
                run = self.run_launcher()
                self.assert_engine_row_failed(run, [EB + "Part.zip"])
                self.assertEqual(self.game.read("engine/two.bin"), b"old two",
                                 "the damaged member replaced the old file")

    def test_transfer_cut_short_is_a_failed_row(self):
        self.lay_out_installed()
        whole = self.release.archive("/cut-source/Part.zip", self.engine_members())
        with open(whole, "rb") as f:
            data = f.read()
        # Everything but the last bytes (the central directory), then close.
        self.servers.cut.serve("/engine/Part.zip", data[: len(data) - 200], announced=len(data))
        self.release.manifest(manifest(launcher=f"3.0.0.0::{self.servers.cut_base()}/engine/",
                                       part="P2", data="D2", splash="-1"))
        self.servers.log.mark()
        run = self.run_launcher()
        self.assert_requests([MANIFEST])
        # Retried within bounds (an absolute engine base is its only source),
        # then the row fails.
        self.assertEqual(set(self.servers.cut.requests), {"/engine/Part.zip"})
        self.assertLessEqual(len(self.servers.cut.requests), 4)
        self.assertIn((TITLE, "Engine 다운로드 실패"), run.boxes())
        self.assert_client_not_started()
        self.assertEqual(self.game.ini()["v"], {"part": "P1", "data": "D1"})
        for name in ("engine/one.txt", "engine/two.bin", "engine/three.txt"):
            self.assertEqual(self.game.read(name), b"old " + name.split("/")[1].split(".")[0]
                             .encode(), name)
        # What arrived stays for the next start to continue.
        self.assert_no_debris(partials_allowed=True)

    def test_member_named_outside_the_folder_is_a_failed_row(self):
        # Info-ZIP will not store such names; Python's zipfile will.
        self.game.write_ini([("AData", [("AData1", "A0")])])
        self.game.write("adata/keep.txt", b"old")
        self.release.manifest(manifest(splash="-1", adata=["A1"]))
        path = self.release.path("/QuillMar/AData1.zip")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("adata/keep.txt", b"new")
            z.writestr("../escaped.txt", b"outside the game folder")
            z.writestr("adata/../../escaped2.txt", b"outside the game folder")
        run = self.run_launcher()
        self.assertIn((TITLE, "AData1 다운로드 실패"), run.boxes())
        self.assertEqual(os.listdir(self.dir), [os.path.basename(self.game.path)],
                         "a member was written outside the game folder")
        self.assertEqual(self.game.ini()["adata"]["adata1"], "A0")
        self.assert_client_not_started()
        self.assert_no_debris()

    def test_member_that_cannot_be_written_is_a_failed_row(self):
        # A folder stands where the member's file belongs (root ignores
        # permission bits, so a read-only file would not do).
        self.game.write_ini([("AData", [("AData1", "A0")])])
        self.game.write("adata/blocked.txt/inside.txt", b"keep me")
        self.release.manifest(manifest(splash="-1", adata=["A1"], bdata=["B1"]))
        self.release.archive("/QuillMar/AData1.zip", {"adata/free.txt": b"free",
                                                       "adata/blocked.txt": b"blocked"})
        self.release.archive(EB + "BData1.zip", {"bdata/b.txt": b"b"})
        run = self.run_launcher()
        self.assertIn((TITLE, "AData1 다운로드 실패"), run.boxes())
        self.assertNotIn(EB + "BData1.zip", self.requests(2))
        self.assertEqual(self.game.ini()["adata"]["adata1"], "A0")
        self.assertNotIn("bdata", self.game.ini())
        self.assertEqual(self.game.read("adata/blocked.txt/inside.txt"), b"keep me")
        self.assert_client_not_started()
        self.assert_no_debris()

    def test_read_only_file_is_replaced_by_the_next_update(self):
        self.release.manifest(manifest(splash="-1", adata=["A1"]))
        self.release.archive("/QuillMar/AData1.zip", {"adata/locked.txt": b"first"},
                             read_only=("adata/locked.txt",))
        self.run_launcher()
        self.assert_client_started()
        self.assertEqual(self.game.read("adata/locked.txt"), b"first")
        self.assertEqual(self.game.ini()["adata"]["adata1"], "A1")
        if not self.game.is_read_only("adata/locked.txt"):
            # The condition under test, whether or not the install kept it.
            os.chmod(self.game.file("adata/locked.txt"), 0o444)

        self.release.manifest(manifest(splash="-1", adata=["A2"]))
        self.release.archive("/QuillMar/AData1.zip", {"adata/locked.txt": b"second"},
                             read_only=("adata/locked.txt",))
        run = self.run_launcher()
        self.assertEqual(run.boxes(), [])
        self.assertEqual(self.game.read("adata/locked.txt"), b"second")
        self.assertEqual(self.game.ini()["adata"]["adata1"], "A2")
        self.assert_client_started()
        self.assert_no_debris()
