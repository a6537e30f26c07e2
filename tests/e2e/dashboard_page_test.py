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
                 ("/ui/sequence.js", "text/javascript; charset=utf-8", b"// The sequence panel"),
                 ("/ui/app.css", "text/css; charset=utf-8", b":root {"),
                 ("/ui/missing.js", None, None)]
        for path, kind, start in cases:
            with self.subTest(path=path):
                status, headers, body = fetch(self.server, "GET", path)
                named = dict(headers)
                self.assertEqual(status, 200 if kind else 404)
                self.assertEqual(named["Content-Security-Policy"], CSP)
                if kind:
                    self.assertEqual((named["Content-Type"], named["X-Content-Type-Options"]), (kind, "nosniff"))
                    self.assertEqual(int(named["Content-Length"]), len(body))
                    self.assertTrue(body.startswith(start), body[:40])
        page = fetch(self.server, "GET", "/ui/")[2].decode()
        for inline in ("<script>", "style=", "<style"):
            self.assertNotIn(inline, page)

    def test_other_methods_and_paths_keep_the_api_rules_and_headers(self):
        bearer = {"Authorization": "Bearer " + self.server.token}
        for method, path, headers, status, body in (
                ("POST", "/ui/", {}, 401, b'{"error":"unauthorized","ok":false}'),
                ("GET", "/ui", {}, 401, b'{"error":"unauthorized","ok":false}'),
                ("POST", "/ui/", bearer, 404, b'{"error":"not_found","ok":false}'),
                ("GET", "/v1/server", bearer, 200, None)):
            with self.subTest(method=method, path=path):
                got, sent, content = fetch(self.server, method, path, headers)
                self.assertEqual(got, status)
                if body:
                    self.assertEqual(content, body)
                self.assertEqual([name for name, _ in sent], API_HEADERS)


if __name__ == "__main__":
    unittest.main()
