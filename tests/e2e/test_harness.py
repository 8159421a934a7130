"""The test peers themselves, before any case leans on them: nginx and its
log, tinyproxy's authentication and forwarding, the slow location, the cut
server, the mirrors and the fault server, the archives, the stand-in client
and the terminal driving."""
import base64
import http.client
import json
import os
import subprocess
import sys
import time
import zipfile

from harness import release
from harness import servers as servers_module
from harness import wine
from harness.fault_server import Fault, FaultServer, Script
from harness.runner import NativeRun

from e2e_case import Config, E2ECase, is_wine


class HarnessTest(E2ECase):
    def get(self, path, host=None, via_proxy=None):
        if via_proxy:
            conn = http.client.HTTPConnection("127.0.0.1", self.servers.proxy_port, timeout=10)
            headers = {"Proxy-Authorization": via_proxy}
            conn.request("GET", f"http://{host}{path}", headers=headers)
        else:
            conn = http.client.HTTPConnection("127.0.0.1", self.servers.port, timeout=10)
            conn.request("GET", path)
        response = conn.getresponse()
        body = response.read()
        conn.close()
        return response.status, body

    def test_nginx_serves_the_tree_and_logs_each_request(self):
        self.release.manifest([("V", [("Part", "1")])])
        status, body = self.get("/QuillMar/QuillMar.ini")
        self.assertEqual(status, 200)
        self.assertIn(b"Part=1\r\n", body)
        self.assertEqual(self.get("/QuillMar/none.zip")[0], 404)
        entries = self.servers.log.entries()
        self.assertEqual([(e[0], e[2]) for e in entries],
                         [(200, "/QuillMar/QuillMar.ini"), (404, "/QuillMar/none.zip")])

    def test_tinyproxy_asks_for_the_password_and_forwards_to_nginx(self):
        import base64
        self.release.manifest([("V", [("Part", "2")])])
        good = "Basic " + base64.b64encode(
            f"{servers_module.PROXY_USER}:{servers_module.PROXY_PASSWORD}".encode()).decode()
        bad = "Basic " + base64.b64encode(f"{servers_module.PROXY_USER}:wrong".encode()).decode()
        status, body = self.get("/QuillMar/QuillMar.ini", "www.quillmar.com", good)
        self.assertEqual(status, 200)
        self.assertIn(b"Part=2", body)
        self.assertEqual(self.servers.log.entries()[-1][:3],
                         (200, "www.quillmar.com", "/QuillMar/QuillMar.ini"))
        count = len(self.servers.log.entries())
        status, _ = self.get("/QuillMar/QuillMar.ini", "www.quillmar.com", bad)
        self.assertIn(status, (401, 407))
        self.assertEqual(len(self.servers.log.entries()), count, "a refused request got through")

    def test_slow_location_and_cut_server(self):
        data = release.pattern(1, 1 << 20)
        os.makedirs(self.release.path("/slow"))
        with open(self.release.path("/slow/big.bin"), "wb") as f:
            f.write(data)
        start = time.monotonic()
        status, body = self.get("/slow/big.bin")
        took = time.monotonic() - start
        self.assertEqual((status, len(body)), (200, len(data)))
        self.assertGreater(took, 0.8, "limit_rate did not slow the transfer")

        self.servers.cut.serve("/Part.zip", b"x" * 1000, announced=5000)
        conn = http.client.HTTPConnection("127.0.0.1", self.servers.cut.port, timeout=10)
        conn.request("GET", "/Part.zip")
        response = conn.getresponse()
        self.assertEqual(response.getheader("Content-Length"), "5000")
        with self.assertRaises(http.client.IncompleteRead):
            response.read()
        self.assertEqual(self.servers.cut.requests, ["/Part.zip"])

    def test_fault_server_changes_each_answer_as_planned(self):
        data = release.pattern(3, 300000)
        os.makedirs(self.release.path("/QuillMar"))
        with open(self.release.path("/QuillMar/f.bin"), "wb") as f:
            f.write(data)
        with open(self.release.path("/QuillMar/g.bin"), "wb") as f:
            f.write(data[::-1])
        auth = "Basic " + base64.b64encode(
            f"{servers_module.PROXY_USER}:{servers_module.PROXY_PASSWORD}".encode()).decode()
        log = os.path.join(self.dir, "faults.log")
        cases = [
            # fault, Range asked, (status, Content-Range, body) expected
            (Fault("pass"), None, (200, None, data)),
            (Fault("cut", after=1000), None, (200, None, data[:1000])),
            (Fault("cut", after=0), "bytes=5-", (206, "bytes 5-299999/300000", b"")),
            (Fault("pass", drop_range=True), "bytes=5-", (200, None, data)),
            (Fault("pass", range_shift=10), "bytes=5-", (206, "bytes 15-299999/300000",
                                                         data[15:])),
            (Fault("pass", start_shift=-5, total_shift=7), "bytes=5-",
             (206, "bytes 0-299994/300007", data[5:])),
            (Fault("status", code=503), "bytes=5-", (503, None, None)),
            (Fault("pass", path="/mirror2/g.bin"), None, (200, None, data[::-1])),
            (Fault("trickle", after=299000, rate=2000), None, (200, None, data)),
        ]
        for via in ("origin", "proxy"):
            # As the proxy it stands in front of tinyproxy, which wants the password.
            upstream = self.servers.port if via == "origin" else self.servers.proxy_port
            with FaultServer(servers_module.free_port(), upstream, log=log) as faults:
                for fault, asked, (status, content_range, body) in cases:
                    with self.subTest(via=via, fault=repr(fault)):
                        faults.set_planner(Script({"/mirror1/f.bin": [fault]}))
                        conn = http.client.HTTPConnection("127.0.0.1", faults.port, timeout=10)
                        headers = {"Range": asked} if asked else {}
                        target = "/mirror1/f.bin"
                        if via == "proxy":
                            headers["Proxy-Authorization"] = auth
                            target = f"{self.servers.base()}/mirror1/f.bin"
                        started = time.monotonic()
                        conn.request("GET", target, headers=headers)
                        response = conn.getresponse()
                        try:
                            got = response.read()
                        except http.client.IncompleteRead as e:
                            got = e.partial
                        conn.close()
                        self.assertEqual(response.status, status)
                        self.assertEqual(response.getheader("Content-Range"), content_range)
                        if body is not None:
                            self.assertEqual(got, body)
                        if fault.kind == "trickle":
                            self.assertGreater(time.monotonic() - started, 0.3, "no trickle")
                        faults.quiesce()
                        record = faults.taken()[-1]
                        self.assertEqual((record.target, record.range, record.absolute),
                                         ("/mirror1/f.bin", asked, via == "proxy"))
                        if body is not None:
                            self.assertEqual(record.body, len(got))
                # A refusal: not one byte.
                faults.set_planner(lambda _request: Fault("refuse"))
                conn = http.client.HTTPConnection("127.0.0.1", faults.port, timeout=10)
                conn.request("GET", "/mirror1/f.bin")
                with self.assertRaises((ConnectionError, http.client.HTTPException)):
                    conn.getresponse()
                conn.close()
        with open(log) as f:
            logged = [json.loads(line) for line in f]
        self.assertEqual(len(logged), 2 * (len(cases) + 1))
        self.assertEqual((logged[2]["range"], logged[2]["body"], logged[2]["status"]),
                         ("bytes=5-", 0, 206))

    def test_archives_damage_and_read_only_member(self):
        path = self.release.archive("/a/Data.zip", {"d/one.txt": b"one\n" * 100,
                                                     "d/two.bin": release.pattern(2, 4096)},
                                    stored=("d/two.bin",), read_only=("d/one.txt",))
        ok = subprocess.run(["unzip", "-tq", path], capture_output=True, timeout=30)
        self.assertEqual(ok.returncode, 0, ok.stdout)
        with zipfile.ZipFile(path) as z:
            self.assertEqual(z.getinfo("d/one.txt").external_attr & 1, 1, "read-only not recorded")
            self.assertEqual(z.getinfo("d/two.bin").compress_type, zipfile.ZIP_STORED)
        release.flip_member_byte(path, "d/two.bin")
        bad = subprocess.run(["unzip", "-tq", path], capture_output=True, timeout=30)
        self.assertNotEqual(bad.returncode, 0)
        self.assertIn(b"bad CRC", bad.stdout + bad.stderr)

    def test_client_stand_in_records_its_command_line(self):
        exe = self.game.file("_QuillMar_.exe")
        if is_wine():
            subprocess.run([Config.wine.emulator, exe, "?", "b", "", "x"], timeout=60,
                           env=Config.wine.env, cwd=self.dir, capture_output=True)
            line = self.client_line(10)
            self.assertIsNotNone(line)
            self.assertTrue(line.lower().endswith('_quillmar_.exe" ? b "" x') or
                            line.lower().endswith("_quillmar_.exe ? b \"\" x"), line)
        else:
            subprocess.run([exe, "?", "b", "x"], timeout=10, cwd=self.dir)
            self.assertEqual(self.client_line(5), "?\nb\nx\n")

    def test_terminal_prompts_are_answered(self):
        if is_wine():
            self.skipTest("the terminal is the console build's")
        script = ('printf "Keys\\n[x] box (y = OK, n = Cancel) "; read a; '
                  'printf "Proxy Server [old]: "; read s; printf "Proxy Port []: "; read p; '
                  'printf "(Proxy UserName) []: "; read u; printf "(Proxy Password) []: "; '
                  'read w; printf "OK (o) / Cancel (c): "; read o; '
                  'echo "got $a/$s/$p/$u/$w/$o"')
        run = NativeRun("/bin/sh", ["-c", script], cwd=self.dir, terminal=True, ok_cancel=True,
                        proxy=("127.0.0.1", "3128", "", "pw"), isolated=False)
        run.wait_output("got y/127.0.0.1/3128/-/pw/o", 10)
        self.assertEqual(run.wait(10), 0)

    def test_wine_prefix_is_made_only_where_none_is(self):
        # The prefix script removes what is there before it makes a prefix:
        # a made prefix and a folder of other files must come through
        # whole. A loader that does not exist fails any attempt to make one.
        cases = [
            ("made prefix", {"system.reg": "", ".update-timestamp": "disable\n",
                             "drive_c/kept.txt": "kept"}, None),
            ("other folder", {"notes.txt": "mine", "sub/more.txt": "more"},
             "is not a Wine prefix"),
        ]
        for name, files, error in cases:
            with self.subTest(name):
                folder = os.path.join(self.dir, name.replace(" ", "-"))
                for rel, text in files.items():
                    os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
                    with open(os.path.join(folder, rel), "w") as f:
                        f.write(text)
                if error:
                    with self.assertRaisesRegex(RuntimeError, error):
                        wine.make_prefix("/nonexistent/wine", folder)
                else:
                    wine.make_prefix("/nonexistent/wine", folder)
                for rel, text in files.items():
                    with open(os.path.join(folder, rel)) as f:
                        self.assertEqual(f.read(), text, rel)

if __name__ == "__main__":
    sys.exit("run through run_e2e.py")
