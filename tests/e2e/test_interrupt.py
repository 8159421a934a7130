"""A run interrupted in the middle of a slow transfer: Cancel, Proxy
confirmed, and the process killed (its debris removed by the next start)."""
import os
import time

from harness import servers as servers_module
from harness.release import VERSION_KEY, pattern

from e2e_case import MSG_CONNECT_AGAIN, TITLE, E2ECase, is_wine, manifest

MANIFEST = "/QuillMar/QuillMar.ini"
MB = 1024 * 1024


def established_on(port):
    """Whether a TCP connection to the local port is established."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "01" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


class InterruptTest(E2ECase):
    def publish_slow(self, size=2 * MB):
        """Engine, then a big AData1, then AData2, all below /slow/. 2 MB
        take about 2.7 s at the slow location's rate."""
        base = self.servers.base()
        self.release.manifest(manifest(part="P2", splash="-1", adata=["A1", "A2"],
                                       paths=[f"{base}/slow/"]))
        self.release.archive(f"/slow/{VERSION_KEY}/Part.zip", {"engine/p2.txt": b"p2"})
        self.big = self.release.archive("/slow/AData1.zip",
                                        {"adata/big.bin": pattern(7, size)},
                                        stored=("adata/big.bin",))
        self.release.archive("/slow/AData2.zip", {"adata/a2.txt": b"a2"})
        self.game.write_ini([("V", [("Part", "P1")]), ("AData", [("AData1", "A0")])])
        self.game.write("adata/big.bin", b"the old AData1 file")

    def wait_in_big_transfer(self, run):
        """Returns once AData1 is on the wire, well before it ends."""
        self.assertTrue(self.servers.log.wait_for(f"/slow/{VERSION_KEY}/Part.zip", 30),
                        "the engine archive was never fetched")
        end = time.monotonic() + 10
        while not established_on(self.servers.port):
            self.assertTrue(run.running(), "the run ended before AData1")
            self.assertLess(time.monotonic(), end, "no transfer of AData1 began")
            time.sleep(0.02)
        time.sleep(0.6)
        self.assertNotIn("/slow/AData1.zip", self.servers.log.targets(settle=False),
                         "AData1 ended too soon")

    def assert_big_cut_short(self):
        self.assertTrue(self.servers.log.wait_for("/slow/AData1.zip", 10))
        entry = [e for e in self.servers.log.entries() if e[2] == "/slow/AData1.zip"][0]
        self.assertLess(entry[3], os.path.getsize(self.big),
                        "AData1 was sent whole: the interruption came too late")

    def assert_interrupted_state(self):
        self.assert_big_cut_short()
        self.assertNotIn("/slow/AData2.zip", self.requests(), "a later row was started")
        self.assert_client_not_started()
        ini = self.game.ini()
        self.assertEqual(ini["v"]["part"], "P2", "the row before keeps its record")
        self.assertEqual(ini["adata"]["adata1"], "A0", "the cancelled row was recorded")
        self.assertEqual(self.game.read("adata/big.bin"), b"the old AData1 file")
        # What was received stays for the next start to continue.
        self.assert_no_debris(partials_allowed=True)

    def test_cancel_during_a_transfer(self):
        self.publish_slow()
        run = self.start(terminal=True)
        self.wait_in_big_transfer(run)
        run.cancel()
        self.finish(run, 20)
        self.assertEqual(run.boxes(), [], "a cancelled run shows no box")
        self.assert_interrupted_state()

    def test_cancel_during_the_launcher_transfer(self):
        # The launcher archive goes to Temp, not to the game folder.
        base = self.servers.base()
        self.release.manifest(manifest(launcher="3.0.0.9", part="P2", splash="-1",
                                       paths=[f"{base}/slow/"]))
        big = self.release.archive(f"/slow/{VERSION_KEY}.zip",
                                   {"QuillMar.exe": pattern(8, 2 * MB)}, stored=("QuillMar.exe",))
        self.release.archive(f"/slow/{VERSION_KEY}/Part.zip", {"engine/p2.txt": b"p2"})
        before = self.game.read("QuillMar.exe")
        run = self.start(terminal=True)
        self.assertTrue(self.servers.log.wait_for(MANIFEST, 30))
        end = time.monotonic() + 10
        while not established_on(self.servers.port):
            self.assertTrue(run.running() and time.monotonic() < end, "no launcher transfer")
            time.sleep(0.02)
        time.sleep(0.6)
        run.cancel()
        self.finish(run, 20)
        self.assertEqual(run.boxes(), [])
        sent = [e[3] for e in self.servers.log.entries(at_least=2) if e[2].endswith(".zip")]
        self.assertEqual(len(sent), 1, "a later row was started")
        self.assertLess(sent[0], os.path.getsize(big), "the cancel came too late")
        self.assertEqual(self.game.read("QuillMar.exe"), before)
        self.assertNotIn("v", self.game.ini())
        self.assert_client_not_started()
        self.assert_no_debris(partials_allowed=True)

    def test_proxy_confirmed_during_a_transfer(self):
        # Filling in the dialog with clicks and keys under Wine takes longer.
        self.publish_slow(size=5 * MB if is_wine() else 2 * MB)
        values = ("127.0.0.1", str(self.servers.proxy_port), servers_module.PROXY_USER, "pw 2")
        run = self.start(terminal=True, proxy=values)
        self.wait_in_big_transfer(run)
        run.open_proxy()
        self.finish(run, 30)
        self.assertEqual(run.boxes(), [(TITLE, MSG_CONNECT_AGAIN)])
        self.assertEqual(self.game.ini().get("proxy"), {
            "proxyserver": values[0], "proxyport": values[1], "proxyusername": values[2],
            "proxypassword": values[3]})
        self.assert_interrupted_state()

    def test_a_killed_run_leaves_nothing_the_next_start_keeps(self):
        self.publish_slow()
        run = self.start()
        self.wait_in_big_transfer(run)
        run.kill()
        self.assert_big_cut_short()
        # What a run killed elsewhere in the middle of a download may leave
        # too: the HTTP client's temporary files in Temp.
        for name in ("Temp/qmrecvAbC123", "Temp/qmnew0a1b2c"):
            self.game.write(name, b"debris of a killed run")
        self.assert_debris_removed_then_installed()

    def test_a_run_killed_while_unpacking_leaves_nothing_the_next_start_keeps(self):
        # A member large enough to take a while to inflate, replacing a file
        # of an existing folder: the extractor writes it aside first.
        self.publish_slow()
        huge = self.release.archive("/QuillMar/AData1.zip", {"adata/huge.bin": bytes(64 * MB)})
        base = self.servers.base()
        self.release.manifest(manifest(part="P2", splash="-1", adata=["A1", "A2"],
                                       paths=[f"{base}/QuillMar/"]))
        self.release.archive(f"/QuillMar/{VERSION_KEY}/Part.zip", {"engine/p2.txt": b"p2"})
        self.release.archive("/QuillMar/AData2.zip", {"adata/a2.txt": b"a2"})
        self.game.write("adata/huge.bin", b"old")
        run = self.start()
        end = time.monotonic() + 60
        while not self.extractor_temps():
            self.assertTrue(run.running(), "the run ended before AData1 was unpacked")
            self.assertLess(time.monotonic(), end, "AData1 was never unpacked")
            time.sleep(0.005)
        run.kill()
        self.assertTrue(self.extractor_temps(), "the kill came after the unpacking")
        self.assertLess(os.path.getsize(huge), 2 * MB)
        self.assert_debris_removed_then_installed(huge=True)

    def extractor_temps(self):
        return [f for f in self.game.all_files() if os.path.basename(f).startswith("~qmz")]

    def assert_debris_removed_then_installed(self, huge=False):
        # With the manifest gone the next run fetches nothing; it cleans up
        # all the same.
        os.remove(self.release.path(MANIFEST))
        self.servers.log.mark()
        self.run_launcher()
        self.assert_client_not_started()
        # Only a download the next start can continue stays.
        kept = ["Temp/" + n for n in self.resumable_partials()]
        left = [f for f in self.game.all_files() if f.lower().endswith(".zip") and f not in kept]
        self.assertEqual(left + self.extractor_temps(), [], "debris kept")
        self.assertEqual(sorted(set(self.game.temp_files()) - set(self.resumable_partials())), [])

        # And a whole run after it installs everything.
        self.publish_slow_again("QuillMar" if huge else "slow")
        self.servers.log.mark()
        self.run_launcher()
        self.assert_client_started()
        ini = self.game.ini()
        self.assertEqual((ini["v"]["part"], ini["adata"]["adata1"], ini["adata"]["adata2"]),
                         ("P2", "A1", "A2"))
        if huge:
            self.assertEqual(os.path.getsize(self.game.file("adata/huge.bin")), 64 * MB)
        else:
            self.assertEqual(self.game.read("adata/big.bin"), pattern(7, 2 * MB))
        self.assert_no_debris()

    def publish_slow_again(self, folder):
        base = self.servers.base()
        self.release.manifest(manifest(part="P2", splash="-1", adata=["A1", "A2"],
                                       paths=[f"{base}/{folder}/"]))
