"""varek-server spawned against a spawned varek-sim: command line, start-up, routes
over real HTTP, listener failures and signal-driven shutdown."""
import errno
import http.client
import os
import signal
import socket
import stat
import tempfile
import threading
import time
import unittest

from varek_e2e import API_LINE, SCPI_LINE, Sim, VarekServer, run, wait_for

USAGE = ("Usage: varek-server <serial-port> (115200, station 1; authenticated output on/off API "
         "and SCPI on 18760)\n")
STATUS_KEYS = {"ok", "connected", "verified", "output_enabled", "voltage_V", "current_A", "model",
               "firmware", "source_sha", "sample_at"}
READBACK_MESSAGE = "电源读回值与请求不一致，请检查面板。"
OUTPUT_ON_WRITE = bytes.fromhex("01 06 00 12 00 01")
WRITE_FUNCTIONS = (0x06, 0x10)


class CommandLine(unittest.TestCase):
    def test_bad_command_lines_exit_2_with_usage_only_for_the_wrong_count(self):
        # The device does not exist: reaching the connect step would exit 1 with a message.
        wrong_count = [[], ["/dev/null", "--http-port"], ["/dev/null", "--http-port", "80", "--scpi-port"]]
        bad_options = [["--http-port", "0"], ["--http-port", "65536"], ["--http-port", ""],
                       ["--http-port", "abc"], ["--http-port", "-1"], ["--http-port", "++80"],
                       ["--scpi-port", "1e3"], ["--htp-port", "5000"], ["--HTTP-PORT", "5000"],
                       ["--http-port", "5000", "--scpi-port", "0"], ["--verbose", "1"]]
        cases = [(args, USAGE) for args in wrong_count]
        cases += [(["/nonexistent/tty", *options], "") for options in bad_options]
        for args, stderr in cases:
            with self.subTest(args=args):
                result = run("varek-server", *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", stderr))

    def test_unusable_device_exits_1_before_any_listener(self):
        with Sim() as silent:
            silent.command("silent on")
            for device, message in [("/nonexistent/tty", "无法打开串口：No such file or directory"),
                                    (silent.path, "电源未响应，请检查接口模式、波特率和站号。")]:
                with self.subTest(device=device), VarekServer(device) as server:
                    self.assertEqual(server.wait_exit(), 1)
                    self.assertEqual((server.out, server.err), ([], [message]))
                    # The token file is made by the control server: it was never created.
                    self.assertFalse(os.path.exists(os.path.join(server.data_home, "VAREK Studio")))

    def test_busy_ports_and_malformed_token_exit_1(self):
        in_use = os.strerror(errno.EADDRINUSE)
        with Sim() as sim:
            for option, line in (("http_port", "API启动失败：" + in_use), ("scpi_port", "SCPI failed: " + in_use)):
                with self.subTest(option=option), socket.socket() as busy:
                    busy.bind(("0.0.0.0", 0))
                    busy.listen()
                    with VarekServer(sim.path, **{option: busy.getsockname()[1]}) as server:
                        self.assertEqual(server.wait_exit(), 1)
                        self.assertIn(line, server.err)
            data_home = tempfile.mkdtemp(prefix="varek-server-")
            os.makedirs(os.path.join(data_home, "VAREK Studio", "API"))
            with open(os.path.join(data_home, "VAREK Studio", "API", "access-token"), "w") as f:
                f.write("0123456789abcdef\n")
            with VarekServer(sim.path, data_home=data_home) as server:
                self.assertEqual(server.wait_exit(), 1)
                self.assertEqual(server.err, ["API令牌文件格式无效。"])
            self.assertFalse([r for r in sim.requests() if r[1] in WRITE_FUNCTIONS])


class Routes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--serial", "12345", "--firmware", "123")
        cls.server = VarekServer(cls.sim.path).wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.sim.close()

    def tearDown(self):
        for command in ("silent off", "stuck off", "latency 0"):
            self.sim.command(command)
        self.assertIsNone(self.server.process.poll(), "the server must keep running")

    def check_banner(self, server, http_port, scpi_port):
        self.assertEqual(server.out, [
            "SCPI VISA resource: TCPIP0::<Mac-IP>::%d::SOCKET" % scpi_port,
            "VAREK server: http://127.0.0.1:%d (LAN: http://<Mac-IP>:%d)" % (http_port, http_port),
            "Token file: " + server.token_path,
        ])
        self.assertIn(API_LINE % http_port, server.err)
        self.assertIn(SCPI_LINE % scpi_port, server.err)

    def test_both_options_banner_and_private_token_file(self):
        self.check_banner(self.server, self.server.http_port, self.server.scpi_port)
        for directory in ("VAREK Studio", "VAREK Studio/API"):
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.server.data_home, directory)).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(self.server.token_path).st_mode), 0o600)
        with open(self.server.token_path) as f:
            self.assertRegex(f.read(), r"\A[0-9a-f]{64}\n\Z")

    def test_defaults(self):
        with Sim() as sim, VarekServer(sim.path, 18760, 5025, options=[]) as server:
            try:
                server.wait_ready()
            except AssertionError:
                if any(line.startswith(("API启动失败", "SCPI failed")) for line in server.err):
                    self.skipTest("a default port is in use on this machine: %r" % server.err)
                raise
            self.check_banner(server, 18760, 5025)

    def test_status_has_exactly_the_ten_keys(self):
        status, body = self.server.json("GET", "/v1/status")
        self.assertEqual((status, set(body)), (200, STATUS_KEYS))
        self.assertEqual({k: body[k] for k in ("ok", "connected", "verified", "model", "firmware")},
                         {"ok": True, "connected": True, "verified": False, "model": 60301, "firmware": 1.23})
        self.assertIs(body["output_enabled"], self.sim.get(18) != 0)

    def test_replies_without_the_device(self):
        cases = [
            ("GET", "/v1/status", False, 401, "unauthorized"),
            ("GET", "/v1/status", "0" * 64, 401, "unauthorized"),
            # Only GET /health skips the token; other methods are ordinary routes.
            ("POST", "/health", False, 401, "unauthorized"),
            ("POST", "/health", True, 404, "not_found"),
            ("POST", "/v1/status", True, 405, "use_GET"),
            ("GET", "/v1/output/on", True, 405, "use_POST"),
            ("GET", "/v1/output", True, 404, "not_found"),
            ("GET", "/v1/status/", True, 404, "not_found"),
            ("GET", "/v1/status?x=1", True, 404, "not_found"),
        ]
        mark = len(self.sim.requests())
        for method, path, token, status, error in cases:
            with self.subTest(method=method, path=path, token=token):
                self.assertEqual(self.server.json(method, path, token=token), (status, {"ok": False, "error": error}))
        self.assertEqual(self.sim.requests()[mark:], [], "none of these may reach the supply")

    def test_output_switching_is_confirmed_in_the_registers(self):
        for route, value in (("/v1/output/on", 1), ("/v1/output/off", 0)):
            with self.subTest(route=route):
                status, body = self.server.json("POST", route)
                self.assertEqual((status, set(body), body["verified"]), (200, STATUS_KEYS, True))
                self.assertIs(body["output_enabled"], bool(value))
                self.assertEqual(self.sim.get(18), value)

    def test_stuck_output_is_not_confirmed(self):
        self.assertEqual(self.server.json("POST", "/v1/output/off")[0], 200)
        self.sim.command("stuck on")
        self.assertEqual(self.server.json("POST", "/v1/output/on"),
                         (502, {"ok": False, "verified": False, "error": "device_confirmation_failed",
                                "message": READBACK_MESSAGE}))
        self.assertEqual(self.sim.get(18), 0)

    def test_silent_supply_gives_503_and_recovers(self):
        self.sim.command("silent on")
        self.assertEqual(self.server.json("GET", "/v1/status"),
                         (503, {"ok": False, "connected": False, "error": "power_supply_unavailable"}))
        self.sim.command("silent off")
        self.assertEqual(self.server.json("GET", "/v1/status")[0], 200)

    def test_simultaneous_on_requests_share_one_write(self):
        self.assertEqual(self.server.json("POST", "/v1/output/off")[0], 200)
        mark = len(self.sim.requests())
        # Each transaction now takes a second: the second request arrives while the
        # first operation still has its read-back and status read to do.
        self.sim.command("latency 1000")
        replies = [None, None]
        threads = [threading.Thread(target=lambda i=i: replies.__setitem__(i, self.server.request(
            "POST", "/v1/output/on"))) for i in (0, 1)]
        threads[0].start()
        wait_for(lambda: any(r.startswith(OUTPUT_ON_WRITE) for r in self.sim.requests()[mark:]), 30)
        threads[1].start()
        for thread in threads:
            thread.join(60)
        self.assertEqual(replies[0][0], 200)
        self.assertEqual(replies[0], replies[1], "identical status and body bytes")
        writes = [r for r in self.sim.requests()[mark:] if r[1] in WRITE_FUNCTIONS]
        self.assertEqual(len(writes), 1)
        self.assertTrue(writes[0].startswith(OUTPUT_ON_WRITE))


class Shutdown(unittest.TestCase):
    def test_signals_with_work_in_flight_exit_0_without_writing(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name), Sim("--latency", "100") as sim, VarekServer(sim.path) as server:
                server.wait_ready()
                self.assertEqual(server.json("POST", "/v1/output/on")[0], 200)
                stop = threading.Event()
                workers = [threading.Thread(target=load, args=(server, stop))
                           for load in [self.http_load] * 3 + [self.scpi_load] * 2]
                for worker in workers:
                    worker.start()
                before = len(sim.requests())
                wait_for(lambda: len(sim.requests()) >= before + 10, 60)
                sent = len(sim.requests())
                server.process.send_signal(sig)
                self.assertEqual(server.wait_exit(), 0, server.err)
                stop.set()
                for worker in workers:
                    worker.join(60)
                self.assertFalse([r.hex() for r in sim.requests()[sent:] if r[1] in WRITE_FUNCTIONS])
                self.assertEqual(sim.get(18), 1, "the output keeps its state")

    @staticmethod
    def http_load(server, stop):
        while not stop.is_set():
            try:
                server.request("GET", "/v1/status", timeout=10)
            except (OSError, http.client.HTTPException):
                time.sleep(0.05)

    @staticmethod
    def scpi_load(server, stop):
        while not stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", server.scpi_port), timeout=10) as s:
                    while not stop.is_set():
                        s.sendall(b"MEAS:VOLT?;MEAS:CURR?\n")
                        if not s.recv(4096):
                            break
            except OSError:
                time.sleep(0.05)


if __name__ == "__main__":
    unittest.main()
