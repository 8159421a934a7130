"""The launcher's own archive (self-update), components looked up by bare
name, a malformed component entry, and the mirror and engine-base lines as
the URLs that nginx saw."""
import time

import os
import stat

from harness.release import NEXT_FILE_VERSION, VERSION_KEY

from e2e_case import Config, E2ECase, is_wine, manifest

MANIFEST = "/QuillMar/QuillMar.ini"
EB = f"/QuillMar/{VERSION_KEY}/"


class LauncherItemsTest(E2ECase):
    def test_self_update_replaces_the_running_launcher(self):
        with open(Config.launchers["next"], "rb") as f:
            next_exe = f.read()
        self.release.manifest(manifest(launcher=NEXT_FILE_VERSION, part="P2", splash="-1"))
        self.release.archive(f"/QuillMar/{VERSION_KEY}.zip", {"QuillMar.exe": next_exe})
        self.release.archive(EB + "Part.zip", {"engine/p2.txt": b"p2"})
        self.run_launcher()
        self.assert_requests([MANIFEST, f"/QuillMar/{VERSION_KEY}.zip", EB + "Part.zip"])
        self.assertEqual(self.game.read("QuillMar.exe"), next_exe, "QuillMar.exe not replaced")
        self.assert_client_started(marker=VERSION_KEY)
        self.assertEqual(self.game.ini()["v"]["part"], "P2", "the run did not go on")
        self.assert_no_debris()

        self.servers.log.mark()
        self.run_launcher()
        self.assert_requests([MANIFEST])
        self.assert_client_started(marker="?")

    def test_components_are_looked_up_by_bare_name(self):
        # Foo.dll is in the folder at the listed version; Bar.dll is nowhere,
        # and its archive does not bring it either.
        with open(Config.foo_dll, "rb") as f:
            self.game.write("Foo.dll", f.read())
        self.release.manifest(manifest(splash="-1",
                                       components=["Foo.dll\\1.0.0.3", "Bar.dll\\2.0.0.0"]))
        self.release.archive(EB + "Foo.zip", {"Foo.dll": b"not to be fetched"})
        self.release.archive(EB + "Bar.zip", {"bar/readme.txt": b"no Bar.dll in here"})
        for start in (1, 2):
            with self.subTest(start=start):
                self.servers.log.mark()
                run = self.run_launcher()
                self.assert_requests([MANIFEST, EB + "Bar.zip"])
                self.assertEqual(run.boxes(), [])
                self.assert_client_started(marker="?")
                self.assertEqual(self.game.read("bar/readme.txt"), b"no Bar.dll in here")
        with open(Config.foo_dll, "rb") as f:
            self.assertEqual(self.game.read("Foo.dll"), f.read())
        self.assert_no_debris()

    def test_component_entry_without_version_part_stops_with_an_error(self):
        self.release.manifest(manifest(part="P2", splash="-1", components=["Baz.dll"]))
        self.release.archive(EB + "Part.zip", {"engine/p2.txt": b"p2"})
        self.release.archive(EB + "Baz.zip", {"Baz.dll": b"never"})
        run = self.start(terminal=True)
        error = run.wait_error("Baz.dll", 30)
        time.sleep(1.0)
        self.assertTrue(run.running(), "the window closed by itself after the error")
        self.assertNotIn(EB + "Baz.zip", self.requests())
        run.cancel()
        self.finish(run, 20)
        self.assertIn("Baz.dll", error)
        self.assert_client_not_started()
        self.assertEqual(self.game.ini()["v"]["part"], "P2")
        self.assert_no_debris()

    def test_an_error_without_a_terminal_ends_the_console_launcher(self):
        # Nobody can close the window: the error is printed and the program
        # ends with a non-zero status instead of waiting for keys.
        if is_wine():
            self.skipTest("the terminal is the console build's")
        for case, component, shown in (
                ("component without version", "Baz.dll", "[C] 1=Baz.dll"),
                ("component named by a path", "//host/share/Baz.dll\\1", "[C] 1=//host/share"),
                ("component named as a device", "NUL.dll\\1", "[C] 1=NUL.dll"),
                ("settings file not writable", None, "Unable to write to")):
            with self.subTest(case=case):
                self.setUp()
                self.release.manifest(manifest(part="P2", splash="-1",
                                               components=[component] if component else []))
                self.release.archive(EB + "Part.zip", {"engine/p2.txt": b"p2"})
                self.release.archive(EB + "Baz.zip", {"Baz.dll": b"never"})
                self.release.archive(EB + "NUL.zip", {"Baz.dll": b"never"})
                if component is None:
                    self.game.write_ini([("V", [("Part", "P1")])])
                    os.chmod(self.game.file("QuillMar.ini"), stat.S_IRUSR | stat.S_IRGRP)
                run = self.start()
                self.assertNotEqual(run.wait(30), 0)
                self.assertIn(shown, run.stderr())
                self.assertFalse([r for r in self.requests(2) if "Baz" in r or "NUL" in r])
                self.assert_client_not_started()

    def test_mirror_lines_and_engine_bases(self):
        base = self.servers.base()
        port = self.servers.port
        # Path0, launcher line value, where Part.zip and AData1.zip are asked for.
        table = [
            ("relative", f"{base}/mir/", "3.0.0.0::eng/sub", "/mir/eng/sub/", "/mir/"),
            ("capitals", f"{base}/mir", f"3.0.0.0::HTTP://127.0.0.1:{port}/Abs//Dir",
             "/Abs/Dir/", "/mir/"),
            ("https", f"{base}/mir/", f"3.0.0.0::https://127.0.0.1:{port}/sec",
             f"/mir/https:/127.0.0.1:{port}/sec/", "/mir/"),
            ("two separators", f"{base}/mir/", "3.0.0.0::two::parts", "/mir/two::parts/",
             "/mir/"),
            ("remarks", f"http://127.0.0.1:{port}//mir2 ; first mirror",
             "3.0.0.0::r;s ; the last remark", "/mir2/r;s/", "/mir2/"),
        ]
        for name, path0, line, engine, download in table:
            with self.subTest(case=name):
                self.setUp()
                self.release.manifest([("P", [("Path0", path0)]),
                                       ("V", [(VERSION_KEY, line), ("Part", "P2")]),
                                       ("SP", [(VERSION_KEY + "_Sp", "-1")]),
                                       ("AData", [("AData1", "A1")])])
                self.release.archive(engine + "Part.zip", {"engine/p2.txt": b"p2"})
                self.release.archive(download + "AData1.zip", {"adata/a1.txt": b"a1"})
                run = self.run_launcher()
                self.assert_requests([MANIFEST, engine + "Part.zip", download + "AData1.zip"])
                self.assertEqual(run.boxes(), [])
                self.assert_client_started()
