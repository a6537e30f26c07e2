"""The dashboard's files served by varek-server without a token, and the API's rules
kept for everything else."""
import http.client
import unittest

from varek_e2e import Sim, started

CSP = ("default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
       "object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
API_HEADERS = ["Content-Type", "Content-Length", "Cache-Control", "Connection"]


def fetch(server, method, path, headers=None):
    """(status, header list, body bytes) exactly as sent."""
    connection = http.client.HTTPConnection("127.0.0.1", server.http_port, timeout=30)
    try:
        connection.request(method, path, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.getheaders(), response.read()
    finally:
        connection.close()


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim()
        cls.server = started(cls.sim.path)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.sim.close()

    def test_files_need_no_token_and_carry_their_type_and_the_policy(self):
        cases = [("/ui/", "text/html; charset=utf-8", b"<!doctype html>"),
                 ("/ui/index.html", "text/html; charset=utf-8", b"<!doctype html>"),
                 ("/ui/app.js", "text/javascript; charset=utf-8", b"// The dashboard"),
                 ("/ui/sequence.js", "text/javascript; charset=utf-8", b"// The sequence panel"),
                 ("/ui/app.css", "text/css; charset=utf-8", b":root {")]
        for path, kind, start in cases:
            with self.subTest(path=path):
                status, headers, body = fetch(self.server, "GET", path)
                self.assertEqual(status, 200)
                named = dict(headers)
                self.assertEqual(named["Content-Type"], kind)
                self.assertEqual(named["Content-Security-Policy"], CSP)
                self.assertEqual(named["X-Content-Type-Options"], "nosniff")
                self.assertEqual(int(named["Content-Length"]), len(body))
                self.assertTrue(body.startswith(start), body[:40])

    def test_the_page_has_no_inline_script_or_style(self):
        body = fetch(self.server, "GET", "/ui/")[2].decode()
        self.assertNotIn("<script>", body)
        self.assertNotIn("style=", body)
        self.assertNotIn("<style", body)
        for name in ("输出电压", "输出电流", "输出功率"):
            self.assertIn(name, body)

    def test_an_unknown_file_is_404_with_the_policy(self):
        status, headers, _ = fetch(self.server, "GET", "/ui/missing.js")
        self.assertEqual(status, 404)
        self.assertEqual(dict(headers)["Content-Security-Policy"], CSP)

    def test_other_methods_and_paths_keep_the_api_rules(self):
        for method, path in (("POST", "/ui/"), ("PUT", "/ui/app.js"), ("GET", "/ui"), ("GET", "/v1/ui/")):
            with self.subTest(method=method, path=path):
                status, headers, body = fetch(self.server, method, path)
                self.assertEqual((status, body), (401, b'{"error":"unauthorized","ok":false}'))
                self.assertEqual([name for name, _ in headers], API_HEADERS)
        status, headers, body = fetch(self.server, "POST", "/ui/",
                                      {"Authorization": "Bearer " + self.server.token})
        self.assertEqual((status, body), (404, b'{"error":"not_found","ok":false}'))
        self.assertEqual([name for name, _ in headers], API_HEADERS)

    def test_api_replies_keep_their_four_headers(self):
        status, headers, _ = fetch(self.server, "GET", "/v1/server", {"Authorization": "Bearer " + self.server.token})
        self.assertEqual(status, 200)
        self.assertEqual([name for name, _ in headers], API_HEADERS)


if __name__ == "__main__":
    unittest.main()
