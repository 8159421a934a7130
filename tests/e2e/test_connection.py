"""Reaching the server: the manifest missing or the server down (-1, the two
boxes, the proxy dialog from the second one), and the way through tinyproxy
with the right and the wrong password."""
from harness import servers as servers_module

from e2e_case import (CAPTION_NOTICE, MSG_CONNECT_AGAIN, MSG_NOT_CONNECTED, MSG_PROXY_PROMPT,
                      TITLE, E2ECase, manifest)
from harness.release import VERSION_KEY

MANIFEST = "/QuillMar/QuillMar.ini"
FAILED_BOXES = [(TITLE, MSG_NOT_CONNECTED), (CAPTION_NOTICE, MSG_PROXY_PROMPT)]


def proxy_section(server, port, user, password):
    return ("Proxy", [("ProxyServer", server), ("ProxyPort", str(port)),
                      ("ProxyUserName", user), ("ProxyPassWord", password)])


class ConnectionTest(E2ECase):
    def test_manifest_missing_or_server_down_gives_the_two_boxes(self):
        for case in ("manifest missing", "server down", "manifest not writable"):
            with self.subTest(case=case):
                self.setUp()
                self.game.write_ini([("V", [("Part", "1")])])
                before = self.game.read("QuillMar.ini")
                if case != "manifest missing":
                    self.release.manifest(manifest(part="2"))
                    self.release.archive("/QuillMar/82001500/Part.zip", {"p.txt": b"2"})
                if case == "server down":
                    self.servers.stop_nginx()
                if case == "manifest not writable":
                    self.game.write("Temp", b"a file where the Temp folder belongs")
                try:
                    run = self.run_launcher()
                finally:
                    if case == "server down":
                        self.servers.start_nginx()
                self.assertEqual(run.boxes(), FAILED_BOXES)
                status = {"manifest missing": [404], "server down": [],
                          "manifest not writable": [200]}[case]
                self.assertEqual(self.entries(len(status)), [(s, MANIFEST) for s in status])
                self.assert_client_not_started()
                # Cancel in the second box: no dialog, nothing written.
                self.assertEqual(self.game.read("QuillMar.ini"), before)
                if case == "manifest not writable":
                    self.assertEqual(self.game.read("Temp"),
                                     b"a file where the Temp folder belongs")
                else:
                    self.assert_no_debris()

    def test_proxy_dialog_from_the_notice_box_is_used_by_the_next_start(self):
        self.game.write_ini([("V", [("Part", "1")])])
        values = ("127.0.0.1", str(self.servers.proxy_port), servers_module.PROXY_USER,
                  servers_module.PROXY_PASSWORD)
        run = self.finish(self.start(terminal=True, ok_cancel=True, proxy=values))
        self.assertEqual(run.boxes()[:2], FAILED_BOXES)
        self.assertEqual(run.boxes()[2:], [(TITLE, MSG_CONNECT_AGAIN)])
        self.assert_client_not_started()
        ini = self.game.ini()
        self.assertEqual(ini.get("proxy"), {"proxyserver": values[0], "proxyport": values[1],
                                            "proxyusername": values[2],
                                            "proxypassword": values[3]})
        self.assertEqual(ini["v"]["part"], "1")

        # The next start goes through tinyproxy: nginx sees proxy requests.
        self.release.manifest(manifest(part="1", splash="-1"))
        self.servers.log.mark()
        run = self.run_launcher()
        self.assertEqual(run.boxes(), [])
        self.assertEqual(self.entries(1), [(200, MANIFEST)])
        self.assertTrue(self.servers.log.proxied()[0], "the request did not come through the proxy")
        self.assert_client_started()

    def test_through_the_proxy_with_right_and_wrong_password(self):
        for password in (servers_module.PROXY_PASSWORD, "not-the-password"):
            with self.subTest(password=password):
                self.setUp()
                self.use_launcher("production")
                self.game.write_ini([proxy_section("127.0.0.1", self.servers.proxy_port,
                                                   servers_module.PROXY_USER, password)])
                self.release.manifest(manifest(part="7", bk="via-proxy", splash="-1"))
                self.release.archive(f"/QuillMar/{VERSION_KEY}/Part.zip",
                                     {"engine/p7.bin": b"seven"})
                run = self.run_launcher()
                entries = self.servers.log.entries(
                    at_least=2 if password == servers_module.PROXY_PASSWORD else 0)
                if password == servers_module.PROXY_PASSWORD:
                    self.assertEqual(run.boxes(), [])
                    self.assertEqual([(e[0], e[1], e[2]) for e in entries], [
                        (200, "www.quillmar.com", MANIFEST),
                        (200, "www.quillmar.com", f"/QuillMar/{VERSION_KEY}/Part.zip")])
                    self.assertTrue(all(self.servers.log.proxied()))
                    self.assertEqual(self.game.ini()["v"]["part"], "7")
                    self.assertEqual(self.game.read("engine/p7.bin"), b"seven")
                    self.assert_client_started(bk="via-proxy")
                else:
                    self.assertEqual(entries, [], "a request got past the proxy")
                    self.assertEqual(run.boxes(), FAILED_BOXES)
                    self.assert_client_not_started()
                    self.assertNotIn("v", self.game.ini())
