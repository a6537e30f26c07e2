"""The dashboard's read-only routes of varek-server against a spawned simulator:
/v1/latest, /v1/history and /v1/server, and polling only while someone watches."""
import os
import shutil
import tempfile
import unittest

from varek_e2e import Sim, VarekServer, free_port, wait_for

STATUS_READ = bytes.fromhex("010300040026")
WRITE_FUNCTIONS = (0x06, 0x10)
SAMPLE_KEYS = {"ok", "time", "voltage_set_V", "current_limit_A", "voltage_V", "current_A", "power_W",
               "input_voltage_V", "temperature_C", "output_enabled", "protection", "protection_name", "mode",
               "mode_name", "capacity", "energy", "model", "serial", "firmware", "source_sha"}
UNAVAILABLE = {"ok": False, "connected": False, "error": "power_supply_unavailable"}


def status_reads(sim):
    return sum(1 for frame in sim.requests() if frame[:6] == STATUS_READ)


def writes(sim):
    return [frame for frame in sim.requests() if len(frame) > 1 and frame[1] in WRITE_FUNCTIONS]


def started(device, *extra):
    ports = (free_port(), free_port())
    options = ["--http-port", str(ports[0]), "--scpi-port", str(ports[1]), *map(str, extra)]
    return VarekServer(device, *ports, options=options).wait_ready()


def fresh_latest(server):
    status, body = server.json("GET", "/v1/latest")
    return body if status == 200 else None


class Routes(unittest.TestCase):
    def test_latest_follows_the_registers_without_a_read_of_its_own(self):
        with Sim() as sim, started(sim.path, "--poll", "10") as server:
            sim.set(8, 1234)
            body = wait_for(lambda: (lambda b: b if b and b["voltage_set_V"] == 12.34 else None)(fresh_latest(server)))
            self.assertEqual(set(body), SAMPLE_KEYS | {"age_s"})
            self.assertGreaterEqual(body["age_s"], 0)
            self.assertEqual(body["serial"], 12345)
            self.assertEqual(writes(sim), [])

    def test_every_route_needs_the_token_and_only_get(self):
        with Sim() as sim, started(sim.path) as server:
            for path in ("/v1/latest", "/v1/history", "/v1/server"):
                with self.subTest(path=path):
                    self.assertEqual(server.json("GET", path, token=False),
                                     (401, {"ok": False, "error": "unauthorized"}))
                    self.assertEqual(server.json("GET", path, token="wrong"),
                                     (401, {"ok": False, "error": "unauthorized"}))
                    self.assertEqual(server.json("POST", path), (405, {"ok": False, "error": "use_GET"}))

    def test_a_plain_server_polls_only_once_someone_watches(self):
        with Sim() as sim, started(sim.path) as server:
            status, body = server.json("GET", "/v1/server")
            self.assertEqual(status, 200)
            self.assertIsNone(body["poll_hz"])
            self.assertTrue(body["on_demand"])
            before = status_reads(sim)
            # /v1/server and /v1/history never start polling.
            server.json("GET", "/v1/history")
            self.assertEqual(server.json("GET", "/v1/server")[1]["poll_hz"], None)
            self.assertEqual(status_reads(sim), before)
            first = server.json("GET", "/v1/latest")
            if first[0] != 200:
                self.assertEqual(first, (503, UNAVAILABLE))
            wait_for(lambda: fresh_latest(server))
            self.assertGreater(status_reads(sim), before)
            self.assertEqual(server.json("GET", "/v1/server")[1]["poll_hz"], 1)
            history = wait_for(lambda: (lambda h: h if len(h["time_s"]) >= 2 else None)(
                server.json("GET", "/v1/history")[1]))
            self.assertEqual(set(history), {"ok", "time_s", "voltage_V", "current_A", "power_W"})
            self.assertEqual(len({len(column) for key, column in history.items() if key != "ok"}), 1)
            self.assertLess(history["time_s"][0], history["time_s"][-1])

    def test_on_demand_polling_stops_a_minute_after_the_last_watch(self):
        with Sim() as sim, started(sim.path) as server:
            wait_for(lambda: fresh_latest(server))
            self.assertEqual(server.json("GET", "/v1/server")[1]["poll_hz"], 1)
            # Only /v1/latest keeps polling alive; nothing asks for it from here on.
            wait_for(lambda: server.json("GET", "/v1/server")[1]["poll_hz"] is None, timeout=180, interval=0.5)
            stopped_at = status_reads(sim)
            # The next watcher starts it again.
            server.json("GET", "/v1/latest")
            self.assertEqual(server.json("GET", "/v1/server")[1]["poll_hz"], 1)
            wait_for(lambda: status_reads(sim) > stopped_at)

    def test_server_state_reports_ceilings_recording_and_sequence(self):
        directory = tempfile.mkdtemp(prefix="varek-dashboard-")
        try:
            with Sim() as sim, started(sim.path, "--record", directory, "--max-voltage", "12",
                                       "--max-current", "2.5") as server:
                body = wait_for(lambda: (lambda b: b if b["recording"]["file"] else None)(
                    server.json("GET", "/v1/server")[1]))
                self.assertEqual(body["link"], {"state": "connected", "since": None, "reason": None,
                                                "found_serial": None})
                self.assertEqual(body["ceilings"], {"voltage_V": 12, "current_limit_A": 2.5})
                self.assertEqual(body["poll_hz"], 1)
                self.assertFalse(body["on_demand"])
                self.assertEqual(body["recording"]["directory"], directory)
                self.assertTrue(body["recording"]["file"].startswith(os.path.join(directory, "varek-12345-")))
                self.assertFalse(body["recording"]["paused"])
                self.assertIsNone(body["sequence"])
                profile = {"name": "slow", "on_end": "off", "steps": [{"voltage_V": 1, "hold_s": 60}]}
                self.assertEqual(server.json("POST", "/v1/sequence", body=profile)[0], 202)
                running = server.json("GET", "/v1/server")[1]["sequence"]
                self.assertEqual(running["name"], "slow")
                self.assertEqual(server.json("POST", "/v1/sequence/stop")[0], 200)
        finally:
            shutil.rmtree(directory, ignore_errors=True)

    def test_a_hang_up_shows_as_lost_and_its_return_clears_it(self):
        directory = tempfile.mkdtemp(prefix="varek-dashboard-")
        link = os.path.join(directory, "tty")
        try:
            first = Sim("--link", link)
            with started(link) as server:
                first.command("hangup")
                lost = wait_for(lambda: (lambda b: b if b["link"]["state"] == "lost" else None)(
                    server.json("GET", "/v1/server")[1]))
                self.assertTrue(lost["link"]["since"].endswith("Z"))
                self.assertTrue(lost["link"]["reason"])
                first.close()
                with Sim("--link", link):
                    back = wait_for(lambda: (lambda b: b if b["link"]["state"] == "connected" else None)(
                        server.json("GET", "/v1/server")[1]))
                    self.assertEqual(back["reconnects"], 1)
        finally:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
