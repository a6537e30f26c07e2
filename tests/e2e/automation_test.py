"""varek-server's automation routes against a spawned varek-sim: setpoints, full
samples, ceilings and sequences, with the simulator's request log as the witness of
what reached the supply."""
import json
import os
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

from varek_e2e import TIMEOUT_MESSAGE, Sim, VarekServer, free_port, run, wait_for, writes

STATUS_KEYS = {"ok", "connected", "verified", "output_enabled", "voltage_V", "current_A", "model",
               "firmware", "source_sha", "sample_at"}
SAMPLE_KEYS = {"ok", "time", "voltage_set_V", "current_limit_A", "voltage_V", "current_A", "power_W",
               "input_voltage_V", "temperature_C", "output_enabled", "protection", "protection_name", "mode",
               "mode_name", "capacity", "energy", "model", "serial", "firmware", "source_sha"}
READBACK_MESSAGE = "电源读回值与请求不一致，请检查面板。"


def profile(steps, on_end="off", name="test"):
    return {"name": name, "on_end": on_end, "steps": steps}


class Setpoints(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--serial", "70000")
        cls.server = VarekServer(cls.sim.path).wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.sim.close()

    def tearDown(self):
        for command in ("silent off", "stuck-setpoints off"):
            self.sim.command(command)

    def test_confirmed_write_answers_the_status_body_and_both_setpoints(self):
        for body, registers in (({"voltage_V": 12.5, "current_limit_A": 2}, (1250, 200)),
                                ({"voltage_V": 7}, (700, 200)), ({"current_limit_A": 0.5}, (700, 50))):
            with self.subTest(body=body):
                status, reply = self.server.json("POST", "/v1/setpoints", body=body)
                self.assertEqual((status, set(reply)), (200, STATUS_KEYS | {"voltage_set_V", "current_limit_A"}))
                self.assertEqual((reply["verified"], reply["voltage_set_V"], reply["current_limit_A"]),
                                 (True, registers[0] / 100, registers[1] / 100))
                self.assertEqual((self.sim.get(8), self.sim.get(9)), registers)

    def test_every_refused_body_writes_nothing(self):
        bodies = ["", "{", "[1]", "{}", '{"voltage_V":"5"}', '{"voltage_V":true}', '{"voltage_V":60.01}',
                  '{"current_limit_A":30.5}', '{"voltage_V":-1}', '{"voltage_V":1.234}', '{"voltage_V":1,"x":2}',
                  '{"voltage_V":null}']
        mark = len(self.sim.requests())
        for body in bodies:
            with self.subTest(body=body):
                status, reply = self.server.json("POST", "/v1/setpoints", body=body)
                self.assertEqual((status, reply["error"], reply["ok"]), (400, "invalid_request", False))
                self.assertTrue(reply["message"])
        self.assertEqual(self.server.json("GET", "/v1/setpoints"), (405, {"ok": False, "error": "use_POST"}))
        self.assertEqual(self.sim.requests()[mark:], [], "a refused request never reaches the supply")

    def test_a_read_back_that_differs_gives_502(self):
        self.sim.command("stuck-setpoints on")
        self.assertEqual(self.server.json("POST", "/v1/setpoints", body={"voltage_V": 33.33}),
                         (502, {"ok": False, "verified": False, "error": "device_confirmation_failed",
                                "message": READBACK_MESSAGE}))

    def test_concurrent_setpoint_and_output_requests_are_all_answered(self):
        pairs = [(100 + 37 * i, 50 + 11 * i) for i in range(8)]
        replies = []
        def ask(method, path, body=None):
            replies.append(self.server.request(method, path, body=body)[0])
        threads = [threading.Thread(target=ask, args=("POST", "/v1/setpoints",
                                                      {"voltage_V": v / 100, "current_limit_A": a / 100}))
                   for v, a in pairs]
        threads += [threading.Thread(target=ask, args=("POST", "/v1/output/" + state))
                    for state in ("on", "off", "on", "off")]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        self.assertEqual(replies, [200] * len(threads))
        self.assertIn((self.sim.get(8), self.sim.get(9)), pairs)

    def test_sample_has_exactly_its_keys_and_fails_like_status(self):
        status, body = self.server.json("GET", "/v1/sample")
        self.assertEqual((status, set(body)), (200, SAMPLE_KEYS))
        self.assertRegex(body["time"], r"\A\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\Z")
        self.assertEqual((body["serial"], body["model"], body["voltage_set_V"]),
                         (70000, 60301, self.sim.get(8) / 100))
        self.assertEqual(self.server.json("POST", "/v1/sample"), (405, {"ok": False, "error": "use_GET"}))
        self.sim.command("silent on")
        self.assertEqual(self.server.json("GET", "/v1/sample"),
                         (503, {"ok": False, "connected": False, "error": "power_supply_unavailable"}))


class Ceilings(unittest.TestCase):
    def test_bad_ceiling_options_exit_2_silently(self):
        for option, value in (("--max-voltage", "60.01"), ("--max-voltage", "abc"), ("--max-current", "1.234"),
                              ("--max-current", "-1"), ("--max-voltage", "")):
            with self.subTest(option=option, value=value):
                result = run("varek-server", "/nonexistent/tty", option, value)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", ""))

    def test_every_channel_refuses_above_the_ceiling_before_writing(self):
        with Sim() as sim:
            http_port, scpi_port = free_port(), free_port()
            options = ["--http-port", str(http_port), "--scpi-port", str(scpi_port), "--max-voltage", "12",
                       "--max-current", "5"]
            with VarekServer(sim.path, http_port, scpi_port, options=options) as limited:
                limited.wait_ready()
                mark = len(sim.requests())
                with socket.create_connection(("127.0.0.1", scpi_port), timeout=30) as scpi:
                    scpi.sendall(b"VOLT 13\nSYST:ERR?\n")
                    reply = b""
                    while not reply.endswith(b"\n"):
                        reply += scpi.recv(4096)
                self.assertEqual(reply, b'-222,"Data out of range"\n')
                self.assertEqual(limited.json("POST", "/v1/setpoints", body={"voltage_V": 13}),
                                 (400, {"ok": False, "error": "invalid_request",
                                        "message": "voltage_V exceeds the ceiling of 12.00 V"}))
                step = {"voltage_V": 13, "hold_s": 1}
                self.assertEqual(limited.json("POST", "/v1/sequence", body=profile([step])),
                                 (400, {"ok": False, "error": "invalid_request",
                                        "message": "step 1: voltage_V exceeds the ceiling of 12.00 V"}))
                self.assertEqual(writes(sim.requests()[mark:]), [])
                self.assertEqual(limited.json("POST", "/v1/setpoints", body={"voltage_V": 12})[0], 200)


class Sequences(unittest.TestCase):
    def setUp(self):
        self.sim = Sim()
        self.server = VarekServer(self.sim.path).wait_ready()

    def tearDown(self):
        self.server.close()
        self.sim.close()

    def progress(self):
        return self.server.json("GET", "/v1/sequence")[1]

    def wait_state(self, predicate, timeout=60):
        return wait_for(lambda: (lambda p: p if predicate(p) else None)(self.progress()), timeout)

    def test_three_steps_with_a_ramp_write_in_order_then_on_end(self):
        self.assertEqual(self.server.json("GET", "/v1/sequence"), (404, {"ok": False, "error": "no_sequence"}))
        self.assertEqual(self.server.json("POST", "/v1/sequence/stop"), (404, {"ok": False, "error": "no_sequence"}))
        mark = len(self.sim.requests())
        steps = [{"voltage_V": 10, "current_limit_A": 2, "output": True, "hold_s": 0.2},
                 {"voltage_V": 15, "ramp_s": 0.5, "hold_s": 0.3},
                 {"current_limit_A": 1.5, "hold_s": 0.1}]
        status, body = self.server.json("POST", "/v1/sequence", body=profile(steps, name="three"))
        self.assertEqual((status, body["state"], body["steps"], body["name"]), (202, "running", 3, "three"))
        end = self.wait_state(lambda p: p["state"] != "running")
        self.assertEqual((end["state"], end["step"], "reason" in end), ("finished", 3, False))
        self.assertEqual(writes(self.sim.requests()[mark:]), [
            ("set", 1000, 200), ("output", 1),
            ("set", 1100, 200), ("set", 1200, 200), ("set", 1300, 200), ("set", 1400, 200), ("set", 1500, 200),
            ("set", 1500, 150), ("output", 0)])

    def test_until_current_below_ends_the_step_when_the_load_changes(self):
        self.sim.set(11, 500)  # the measured current, pinned at 5.00 A
        steps = [{"output": True, "hold_s": 600, "until": {"current_below_A": 1}}, {"voltage_V": 2}]
        self.assertEqual(self.server.json("POST", "/v1/sequence", body=profile(steps, on_end="keep"))[0], 202)
        mark = len(self.sim.requests())
        wait_for(lambda: len(self.sim.requests()) >= mark + 5)  # condition reads are going on
        self.assertEqual(self.progress()["step"], 1)
        self.sim.set(11, 50)
        end = self.wait_state(lambda p: p["state"] != "running")
        self.assertEqual((end["state"], end["step"]), ("finished", 2))
        self.assertEqual(writes(self.sim.requests())[-1], ("set", 200, 100))
        self.assertEqual(self.sim.get(18), 1, "keep leaves the output on")

    def test_silence_aborts_with_the_reason_and_switches_off_once_the_supply_answers(self):
        steps = [{"output": True, "hold_s": 600, "until": {"current_above_A": 29}}]
        self.assertEqual(self.server.json("POST", "/v1/sequence", body=profile(steps))[0], 202)
        wait_for(lambda: self.sim.get(18) == 1)
        mark = len(self.sim.requests())
        self.sim.command("silent on")
        # After a timeout the supply must prove its identity before anything is
        # written, so the unanswered attempts to switch off are identity reads.
        identity_read = bytes.fromhex("010300000004")
        wait_for(lambda: sum(f.startswith(identity_read) for f in self.sim.requests()[mark:]) >= 1, 60)
        self.assertEqual(writes(self.sim.requests()[mark:]), [], "nothing written to a supply that went silent")
        self.assertEqual(self.progress()["state"], "running")
        self.sim.command("silent off")
        end = self.wait_state(lambda p: p["state"] != "running")
        self.assertEqual((end["state"], end["reason"]), ("aborted", TIMEOUT_MESSAGE))
        self.assertEqual(self.sim.get(18), 0)

    def test_stop_mid_hold_obeys_on_end(self):
        for on_end, output in (("off", 0), ("keep", 1)):
            with self.subTest(on_end=on_end):
                steps = [{"voltage_V": 3, "output": True, "hold_s": 600}, {"voltage_V": 4}]
                self.assertEqual(self.server.json("POST", "/v1/sequence", body=profile(steps, on_end))[0], 202)
                wait_for(lambda: self.sim.get(18) == 1)
                self.assertEqual(self.server.json("POST", "/v1/sequence", body=profile(steps))[0], 409)
                mark = len(self.sim.requests())
                status, body = self.server.json("POST", "/v1/sequence/stop")
                self.assertEqual((status, body["state"], body["step"]), (200, "stopped", 1))
                self.assertEqual(writes(self.sim.requests()[mark:]), [("output", 0)] if output == 0 else [])
                self.assertEqual(self.sim.get(18), output)

    def test_sigterm_mid_run_writes_nothing_after_the_signal(self):
        steps = [{"voltage_V": 3, "output": True}, {"hold_s": 600, "until": {"current_above_A": 29}}]
        self.assertEqual(self.server.json("POST", "/v1/sequence", body=profile(steps))[0], 202)
        self.wait_state(lambda p: p["step"] == 2)
        mark = len(self.sim.requests())
        self.server.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.wait_exit(), 0)
        self.assertEqual(writes(self.sim.requests()[mark:]), [], "on_end is not applied at a shutdown")
        self.assertEqual(self.sim.get(18), 1)

    def test_the_example_profiles_start_and_the_example_client_runs_one_to_the_end(self):
        examples = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
        for name in ("cccv_charge.json", "burn_in.json"):
            with self.subTest(name=name), open(os.path.join(examples, name)) as f:
                self.assertEqual(self.server.request("POST", "/v1/sequence", body=f.read())[0], 202)
                self.assertEqual(self.server.json("POST", "/v1/sequence/stop")[1]["state"], "stopped")
        with tempfile.NamedTemporaryFile("w", suffix=".json") as short:
            json.dump(profile([{"voltage_V": 2, "output": True, "hold_s": 0.6}, {"voltage_V": 3}], name="short"), short)
            short.flush()
            result = subprocess.run(
                ["/usr/bin/python3", os.path.join(examples, "run_profile.py"), short.name,
                 "http://127.0.0.1:%d" % self.server.http_port],
                env=dict(os.environ, XDG_DATA_HOME=self.server.data_home), capture_output=True, text=True,
                timeout=120)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "started: short")
        self.assertTrue(lines[-1].startswith("finished  step 2/2"), lines)

    def test_an_error_in_step_3_is_refused_whole(self):
        steps = [{"voltage_V": 3, "output": True}, {"hold_s": 1}, {"current_limit_A": 31}]
        mark = len(self.sim.requests())
        self.assertEqual(self.server.json("POST", "/v1/sequence", body=profile(steps)),
                         (400, {"ok": False, "error": "invalid_request", "message":
                                "step 3: current_limit_A must be a number from 0 to 30 with at most two decimals"}))
        self.assertEqual(self.sim.requests()[mark:], [])
        self.assertEqual(self.server.json("GET", "/v1/sequence")[0], 404)


if __name__ == "__main__":
    unittest.main()
