"""varek-server spawned against a spawned varek-sim: its command line, start-up lines
and exit codes, that each family of routes is served, and a shutdown mid-sequence.
What the routes answer is tested in process (tests/integration/supply_engine_*)."""
import errno
import json
import os
import re
import signal
import socket
import stat
import subprocess
import tempfile
import unittest

from varek_e2e import (API_LINE, SCPI_LINE, STATUS_KEYS, Sim, VarekServer, run, scpi_exchange, started, wait_for,
                       writes)

USAGE = ("Usage: varek-server <serial-port> (115200, station 1; authenticated output on/off API "
         "and SCPI on 18760)\n")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def profile(steps, on_end="off", name="test"):
    return {"name": name, "on_end": on_end, "steps": steps}


class CommandLine(unittest.TestCase):
    def test_bad_command_lines_exit_2_with_usage_only_for_the_wrong_count(self):
        # The device does not exist: reaching the connect step would exit 1 with a message.
        wrong_count = [[], ["/dev/null", "--http-port"], ["/dev/null", "--http-port", "80", "--scpi-port"]]
        bad_options = [["--http-port", "0"], ["--http-port", "65536"], ["--http-port", ""],
                       ["--http-port", "abc"], ["--http-port", "-1"], ["--http-port", "++80"],
                       ["--scpi-port", "1e3"], ["--htp-port", "5000"], ["--HTTP-PORT", "5000"],
                       ["--http-port", "5000", "--scpi-port", "0"], ["--verbose", "1"],
                       ["--poll", "3"], ["--poll", "0"], ["--poll", "ten"], ["--bind", "1.2.3"],
                       ["--bind", "localhost"], ["--bind", "::1"], ["--metrics-port", "0"],
                       ["--metrics-port", "70000"], ["--record-days", "0"], ["--record-days", "-1"],
                       ["--record", ""], ["--poll", "1", "--recrod", "x"], ["--max-voltage", "60.01"],
                       ["--max-voltage", "abc"], ["--max-current", "1.234"], ["--max-current", "-1"],
                       ["--max-voltage", ""]]
        cases = [(args, USAGE) for args in wrong_count]
        cases += [(["/nonexistent/tty", *options], "") for options in bad_options]
        for args, stderr in cases:
            with self.subTest(args=args):
                result = run("varek-server", *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", stderr))

    def test_good_values_reach_the_connect_step(self):
        result = run("varek-server", "/nonexistent/tty", "--poll", "10", "--bind", "127.0.0.1", "--record", "/tmp/x",
                     "--record-days", "7", "--metrics-port", "9", "--poll", "2", "--max-voltage", "12.5")
        self.assertEqual((result.returncode, result.stderr), (1, "无法打开串口：No such file or directory\n"))

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
            self.assertEqual(writes(sim.requests()), [])


class Serving(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--serial", "12345", "--firmware", "123")
        cls.server = VarekServer(cls.sim.path).wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.sim.close()

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

    def test_status_is_read_afresh_and_a_silent_supply_gives_503(self):
        status, body = self.server.json("GET", "/v1/status")
        self.assertEqual((status, set(body)), (200, STATUS_KEYS))
        self.assertEqual({k: body[k] for k in ("ok", "connected", "verified", "model", "firmware")},
                         {"ok": True, "connected": True, "verified": False, "model": 60301, "firmware": 1.23})
        self.assertIs(body["output_enabled"], self.sim.get(18) != 0)
        self.sim.command("silent on")
        try:
            self.assertEqual(self.server.json("GET", "/v1/status"),
                             (503, {"ok": False, "connected": False, "error": "power_supply_unavailable"}))
        finally:
            self.sim.command("silent off")
        self.assertEqual(self.server.json("GET", "/v1/status")[0], 200)

    def test_every_family_of_routes_is_served_and_writes_are_audited(self):
        """One request each; the routes' rules are the engine's, tested in process."""
        self.assertEqual(self.server.json("POST", "/v1/output/on")[1]["output_enabled"], True)
        self.assertEqual(self.sim.get(18), 1)
        self.assertEqual(self.server.json("POST", "/v1/setpoints", body={"voltage_V": 5})[1]["voltage_set_V"], 5)
        self.assertEqual(self.server.json("GET", "/v1/sample")[1]["serial"], 12345)
        self.assertEqual(scpi_exchange(self.server.scpi_port, b"VOLT?\n"), ["5.00"])
        self.assertEqual(self.server.json("POST", "/v1/sequence", body=profile([{"hold_s": 60}]))[0], 202)
        self.assertEqual(self.server.json("POST", "/v1/sequence/stop")[1]["state"], "stopped")
        self.assertEqual(self.server.json("GET", "/v1/server")[1]["serial"], 12345)
        self.assertEqual(self.server.json("GET", "/v1/history")[0], 200)
        self.assertIn(self.server.json("GET", "/v1/latest")[0], (200, 503))
        audit = r"^Audit \S+Z HTTP 127\.0\.0\.1:\d+ output on: confirmed$"
        wait_for(lambda: any(re.match(audit, line) for line in self.server.err))

    def test_the_ceiling_options_reach_every_write(self):
        with Sim() as sim, started(sim.path, "--max-voltage", "12", "--max-current", "5") as limited:
            self.assertEqual(limited.json("POST", "/v1/setpoints", body={"voltage_V": 13}),
                             (400, {"ok": False, "error": "invalid_request",
                                    "message": "voltage_V exceeds the ceiling of 12.00 V"}))
            self.assertEqual(scpi_exchange(limited.scpi_port, b"CURR 6\nSYST:ERR?\n"), ['-222,"Data out of range"'])
            self.assertEqual(writes(sim.requests()), [])
            self.assertEqual(limited.json("GET", "/v1/server")[1]["ceilings"], {"voltage_V": 12, "current_limit_A": 5})

    def test_the_example_client_runs_a_profile_to_the_end(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as short:
            json.dump(profile([{"voltage_V": 2, "output": True, "hold_s": 0.6}, {"voltage_V": 3}], name="short"), short)
            short.flush()
            result = subprocess.run(
                ["/usr/bin/python3", os.path.join(EXAMPLES, "run_profile.py"), short.name,
                 "http://127.0.0.1:%d" % self.server.http_port],
                env=dict(os.environ, XDG_DATA_HOME=self.server.data_home), capture_output=True, text=True,
                timeout=120)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "started: short")
        self.assertTrue(lines[-1].startswith("finished  step 2/2"), lines)
        for name in ("cccv_charge.json", "burn_in.json"):
            with self.subTest(name=name), open(os.path.join(EXAMPLES, name)) as f:
                self.assertEqual(self.server.request("POST", "/v1/sequence", body=f.read())[0], 202)
                self.assertEqual(self.server.json("POST", "/v1/sequence/stop")[1]["state"], "stopped")


class Shutdown(unittest.TestCase):
    def test_sigterm_mid_sequence_writes_nothing_after_the_signal(self):
        steps = [{"voltage_V": 3, "output": True}, {"hold_s": 600, "until": {"current_above_A": 29}}]
        with Sim() as sim, started(sim.path) as server:
            self.assertEqual(server.json("POST", "/v1/sequence", body=profile(steps))[0], 202)
            wait_for(lambda: server.json("GET", "/v1/sequence")[1]["step"] == 2)
            mark = len(sim.requests())
            server.process.send_signal(signal.SIGTERM)
            self.assertEqual(server.wait_exit(), 0)
            self.assertEqual(writes(sim.requests()[mark:]), [], "on_end is not applied at a shutdown")
            self.assertEqual(sim.get(18), 1)


if __name__ == "__main__":
    unittest.main()
