"""varek-server spawned against a spawned varek-sim: command line, start-up, routes
over real HTTP, SCPI, listener failures and signal-driven shutdown."""
import http.client
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time
import unittest
import warnings

from varek_e2e import BIN, Sim, free_port, run, wait_for

USAGE = ("Usage: varek-server <serial-port> (115200, station 1; authenticated output on/off API "
         "and SCPI on 18760)\n")
STATUS_KEYS = {"ok", "connected", "verified", "output_enabled", "voltage_V", "current_A", "model",
               "firmware", "source_sha", "sample_at"}
READBACK_MESSAGE = "电源读回值与请求不一致，请检查面板。"
OUTPUT_ON_WRITE = bytes.fromhex("01 06 00 12 00 01")
WRITE_FUNCTIONS = (0x06, 0x10)


def api_line(port):
    return "API已监听 · 本机 / 局域网 · %d" % port


def scpi_line(port):
    return "SCPI ready on TCP %d, local and LAN, no authentication" % port


class VarekServer:
    """One varek-server process with its own XDG_DATA_HOME; its output lines are
    collected by reader threads so tests can wait for them."""

    def __init__(self, device, http_port=None, scpi_port=None, options=None, data_home=None):
        """`options` None selects the two ports (free ones unless given); otherwise the
        options go out as given and `http_port`/`scpi_port` name the ports they select."""
        self.http_port = http_port or free_port()
        self.scpi_port = scpi_port or free_port()
        self.own_data_home = data_home is None
        self.data_home = data_home or tempfile.mkdtemp(prefix="varek-server-")
        if options is None:
            options = ["--http-port", str(self.http_port), "--scpi-port", str(self.scpi_port)]
        args = [device, *options]
        env = dict(os.environ, XDG_DATA_HOME=self.data_home)
        self.process = subprocess.Popen([os.path.join(BIN, "varek-server"), *args], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.err = [], []
        self.readers = [self._collect(self.process.stdout, self.out),
                        self._collect(self.process.stderr, self.err)]

    @staticmethod
    def _collect(stream, lines):
        def pump():
            for raw in stream:
                lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
        thread = threading.Thread(target=pump, daemon=True)
        thread.start()
        return thread

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    @property
    def token_path(self):
        return os.path.join(self.data_home, "VAREK Studio", "API", "access-token")

    def wait_ready(self, timeout=60, interval=0.02):
        wait_for(lambda: api_line(self.http_port) in self.err and scpi_line(self.scpi_port) in self.err
                 and len(self.out) >= 3 or self.process.poll() is not None, timeout, interval)
        if self.process.poll() is not None:
            raise AssertionError("varek-server exited: %r" % self.err)
        with open(self.token_path) as f:
            self.token = f.read().strip()
        return self

    def request(self, method, path, token=True, timeout=30):
        """(status, body text); `token` True sends the right bearer token, a string sends that."""
        headers = {}
        if token:
            headers["Authorization"] = "Bearer " + (self.token if token is True else token)
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)
        try:
            connection.request(method, path, headers=headers)
            response = connection.getresponse()
            return response.status, response.read().decode("utf-8")
        finally:
            connection.close()

    def json(self, method, path, **kwargs):
        status, body = self.request(method, path, **kwargs)
        return status, json.loads(body)

    def wait_exit(self, timeout=60):
        code = self.process.wait(timeout=timeout)
        for reader in self.readers:
            reader.join(timeout=timeout)
        return code

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        if self.own_data_home:
            shutil.rmtree(self.data_home, ignore_errors=True)


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


class CommandLine(unittest.TestCase):
    def test_wrong_argument_count_prints_usage_and_exits_2(self):
        for args in ([], ["/dev/null", "--http-port"], ["/dev/null", "--http-port", "80", "--scpi-port"]):
            with self.subTest(args=args):
                result = run("varek-server", *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", USAGE))

    def test_bad_options_exit_2_silently(self):
        # The device does not exist: reaching the connect step would exit 1 with a message.
        cases = [["--http-port", "0"], ["--http-port", "65536"], ["--http-port", ""],
                 ["--http-port", "abc"], ["--http-port", "-1"], ["--http-port", "++80"],
                 ["--scpi-port", "1e3"], ["--htp-port", "5000"], ["--HTTP-PORT", "5000"],
                 ["--http-port", "5000", "--scpi-port", "0"], ["--verbose", "1"]]
        for options in cases:
            with self.subTest(options=options):
                result = run("varek-server", "/nonexistent/tty", *options)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", ""))

    def test_unusable_device_exits_1_before_any_listener(self):
        with Sim() as silent:
            silent.command("silent on")
            cases = [("/nonexistent/tty", "无法打开串口：No such file or directory"),
                     (silent.path, "电源未响应，请检查接口模式、波特率和站号。")]
            for device, message in cases:
                with self.subTest(device=device), VarekServer(device) as server:
                    self.assertEqual(server.wait_exit(), 1)
                    self.assertEqual((server.out, server.err), ([], [message]))
                    # The token file is made by the control server: it was never created.
                    self.assertFalse(os.path.exists(os.path.join(server.data_home, "VAREK Studio")))

    def test_listener_and_token_failures_exit_1(self):
        with Sim() as sim, socket.socket() as busy:
            busy.bind(("0.0.0.0", 0))
            busy.listen()
            taken = busy.getsockname()[1]
            cases = [("http", "API启动失败："), ("scpi", "SCPI failed: "), ("token", None)]
            for case, prefix in cases:
                with self.subTest(case=case):
                    data_home = tempfile.mkdtemp(prefix="varek-server-")
                    self.addCleanup(shutil.rmtree, data_home, True)
                    if case == "token":
                        os.makedirs(os.path.join(data_home, "VAREK Studio", "API"))
                        with open(os.path.join(data_home, "VAREK Studio", "API", "access-token"), "w") as f:
                            f.write("0123456789abcdef\n")
                    ports = {"http_port": taken} if case == "http" else {}
                    ports.update({"scpi_port": taken} if case == "scpi" else {})
                    mark = len(sim.requests())
                    with VarekServer(sim.path, data_home=data_home, **ports) as server:
                        self.assertEqual(server.wait_exit(), 1)
                    if prefix:
                        self.assertTrue(any(line.startswith(prefix) for line in server.err), server.err)
                    else:
                        self.assertEqual(server.err, ["API令牌文件格式无效。"])
                        with open(server.token_path) as f:
                            self.assertEqual(f.read(), "0123456789abcdef\n")
                    self.assertFalse([r for r in sim.requests()[mark:] if r[1] in WRITE_FUNCTIONS])


class StartUp(unittest.TestCase):
    def check_banner(self, server, http_port, scpi_port):
        self.assertEqual(server.out, [
            "SCPI VISA resource: TCPIP0::<Mac-IP>::%d::SOCKET" % scpi_port,
            "VAREK server: http://127.0.0.1:%d (LAN: http://<Mac-IP>:%d)" % (http_port, http_port),
            "Token file: " + server.token_path,
        ])
        self.assertIn(api_line(http_port), server.err)
        self.assertIn(scpi_line(scpi_port), server.err)

    def test_repeated_options_last_wins_and_token_file_is_private(self):
        first, http_port, scpi_port = free_port(), free_port(), free_port()
        with Sim() as sim:
            extra = ["--http-port", str(first), "--scpi-port", str(first),
                     "--scpi-port", "+%d" % scpi_port, "--http-port", str(http_port)]
            with VarekServer(sim.path, http_port, scpi_port, options=extra) as server:
                server.wait_ready()
                self.check_banner(server, http_port, scpi_port)
                for directory in ("VAREK Studio", "VAREK Studio/API"):
                    mode = os.stat(os.path.join(server.data_home, directory)).st_mode
                    self.assertEqual(stat.S_IMODE(mode), 0o700, directory)
                self.assertEqual(stat.S_IMODE(os.stat(server.token_path).st_mode), 0o600)
                with open(server.token_path) as f:
                    self.assertRegex(f.read(), r"\A[0-9a-f]{64}\n\Z")
                self.assertEqual(server.json("GET", "/v1/status")[0], 200)

    def test_defaults(self):
        if not (port_is_free(18760) and port_is_free(5025)):
            self.skipTest("default port 18760 or 5025 is in use on this machine")
        with Sim() as sim, VarekServer(sim.path, 18760, 5025, options=[]) as server:
            try:
                server.wait_ready()
            except AssertionError:
                if any(line.startswith(("API启动失败", "SCPI failed")) for line in server.err):
                    self.skipTest("a default port was taken meanwhile: %r" % server.err)
                raise
            self.check_banner(server, 18760, 5025)


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

    def test_status_has_exactly_the_ten_keys(self):
        status, body = self.server.json("GET", "/v1/status")
        self.assertEqual(status, 200)
        self.assertEqual(set(body), STATUS_KEYS)
        self.assertEqual({k: body[k] for k in ("ok", "connected", "verified", "model", "firmware")},
                         {"ok": True, "connected": True, "verified": False, "model": 60301, "firmware": 1.23})
        self.assertIs(body["output_enabled"], self.sim.get(18) != 0)
        self.assertRegex(body["sample_at"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertIsInstance(body["source_sha"], str)

    def test_replies_without_the_device(self):
        cases = [
            ("GET", "/v1/status", False, 401, {"ok": False, "error": "unauthorized"}),
            ("GET", "/v1/status", "0" * 64, 401, {"ok": False, "error": "unauthorized"}),
            ("POST", "/v1/output/on", "abc", 401, {"ok": False, "error": "unauthorized"}),
            ("POST", "/v1/status", True, 405, {"ok": False, "error": "use_GET"}),
            ("GET", "/v1/output/on", True, 405, {"ok": False, "error": "use_POST"}),
            ("PUT", "/v1/output/off", True, 405, {"ok": False, "error": "use_POST"}),
            ("GET", "/v1/output", True, 404, {"ok": False, "error": "not_found"}),
            ("POST", "/v1/output", True, 404, {"ok": False, "error": "not_found"}),
            ("GET", "/v1/status/", True, 404, {"ok": False, "error": "not_found"}),
            ("GET", "/v1/status?x=1", True, 404, {"ok": False, "error": "not_found"}),
            ("GET", "/V1/STATUS", True, 404, {"ok": False, "error": "not_found"}),
        ]
        mark = len(self.sim.requests())
        for method, path, token, status, body in cases:
            with self.subTest(method=method, path=path, token=token):
                self.assertEqual(self.server.json(method, path, token=token), (status, body))
        self.assertEqual(self.sim.requests()[mark:], [], "none of these may reach the supply")

    def test_output_switching_is_confirmed_in_the_registers(self):
        for route, value in (("/v1/output/on", 1), ("/v1/output/off", 0)):
            with self.subTest(route=route):
                status, body = self.server.json("POST", route)
                self.assertEqual(status, 200)
                self.assertEqual(set(body), STATUS_KEYS)
                self.assertIs(body["verified"], True)
                self.assertIs(body["output_enabled"], bool(value))
                self.assertEqual(self.sim.get(18), value)

    def test_stuck_output_is_not_confirmed(self):
        self.assertEqual(self.server.json("POST", "/v1/output/off")[0], 200)
        self.sim.command("stuck on")
        status, body = self.server.json("POST", "/v1/output/on")
        self.assertEqual((status, body), (502, {"ok": False, "verified": False,
                                                "error": "device_confirmation_failed",
                                                "message": READBACK_MESSAGE}))
        self.assertEqual(self.sim.get(18), 0)

    def test_silent_supply_gives_503_and_recovers(self):
        self.sim.command("silent on")
        self.assertEqual(self.server.json("GET", "/v1/status"),
                         (503, {"ok": False, "connected": False, "error": "power_supply_unavailable"}))
        status, body = self.server.json("POST", "/v1/output/on")
        self.assertEqual((status, body["error"], body["message"]),
                         (502, "device_confirmation_failed", "电源未响应，请检查接口模式、波特率和站号。"))
        self.sim.command("silent off")
        self.assertEqual(self.server.json("GET", "/v1/status")[0], 200)

    def test_simultaneous_on_requests_share_one_write(self):
        self.assertEqual(self.server.json("POST", "/v1/output/off")[0], 200)
        mark = len(self.sim.requests())
        # Each transaction now takes a second: the second request arrives while the
        # first operation still has its read-back and status read to do.
        self.sim.command("latency 1000")
        replies = [None, None]

        def post(index):
            replies[index] = self.server.request("POST", "/v1/output/on")

        first = threading.Thread(target=post, args=(0,))
        first.start()
        wait_for(lambda: any(r.startswith(OUTPUT_ON_WRITE) for r in self.sim.requests()[mark:]), 30)
        second = threading.Thread(target=post, args=(1,))
        second.start()
        first.join(60)
        second.join(60)
        self.assertEqual(replies[0][0], 200)
        self.assertEqual(replies[0], replies[1], "identical status and body bytes")
        writes = [r for r in self.sim.requests()[mark:] if r[1] in WRITE_FUNCTIONS]
        self.assertEqual(len(writes), 1)
        self.assertTrue(writes[0].startswith(OUTPUT_ON_WRITE))

    def test_scpi_through_pyvisa(self):
        import pyvisa
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # pyvisa-py's own imports
            manager = pyvisa.ResourceManager("@py")
        resource = "TCPIP0::127.0.0.1::%d::SOCKET" % self.server.scpi_port
        instrument = manager.open_resource(resource, read_termination="\n", write_termination="\n",
                                           timeout=20000)
        try:
            self.assertEqual(instrument.query("*IDN?"), "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23")
            self.assertRegex(instrument.query("MEAS:VOLT?"), r"^\d+\.\d\d$")
        finally:
            instrument.close()
            manager.close()


class Shutdown(unittest.TestCase):
    def test_signals_with_work_in_flight_exit_0_without_writing(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name), Sim("--latency", "100") as sim:
                with VarekServer(sim.path) as server:
                    server.wait_ready()
                    self.assertEqual(server.json("POST", "/v1/output/on")[0], 200)
                    stop = threading.Event()
                    workers = [threading.Thread(target=self.http_load, args=(server, stop))
                               for _ in range(3)]
                    workers += [threading.Thread(target=self.scpi_load, args=(server, stop))
                                for _ in range(2)]
                    for worker in workers:
                        worker.start()
                    before = len(sim.requests())
                    wait_for(lambda: len(sim.requests()) >= before + 10, 60)
                    sent = len(sim.requests())
                    server.process.send_signal(sig)
                    self.assertEqual(server.wait_exit(timeout=60), 0, server.err)
                    stop.set()
                    for worker in workers:
                        worker.join(60)
                    after = sim.requests()[sent:]
                    self.assertFalse([r.hex() for r in after if r[1] in WRITE_FUNCTIONS])
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
