"""What varek-server promises under attack, against spawned simulators: no write to a
supply that did not prove its identity in the last 3 s, no confirmed change undone by a
ramp, no frame above a ceiling, and a timed-out write that took effect reported."""
import time
import unittest

from varek_e2e import (IDENTITY_READ, TIMEOUT_MESSAGE, Sim, VarekServer, free_port, scpi_exchange, wait_for,
                       writes)

IDENTITY_FRESHNESS_S = 3.0


def server_options(*extra):
    http_port, scpi_port = free_port(), free_port()
    return http_port, scpi_port, ["--http-port", str(http_port), "--scpi-port", str(scpi_port), *map(str, extra)]


def started(sim, *extra):
    http_port, scpi_port, options = server_options(*extra)
    return VarekServer(sim.path, http_port, scpi_port, options=options).wait_ready()


def sequence(steps, on_end="keep"):
    return {"name": "trust", "on_end": on_end, "steps": steps}


class IdentityBeforeWrite(unittest.TestCase):
    """A supply swapped behind an adapter that stayed plugged in, answering at once."""

    def test_a_swapped_supply_receives_no_write_on_any_channel(self):
        attempts = [
            ("HTTP output", lambda server: server.json("POST", "/v1/output/on")[0], 502),
            ("HTTP setpoints", lambda server: server.json("POST", "/v1/setpoints", body={"voltage_V": 7})[0], 502),
            ("SCPI", lambda server: scpi_exchange(server.scpi_port, b"VOLT 7\nSYST:ERR?\n")[0],
             '-200,"Device operation failed"'),
        ]
        for polling in ([], ["--poll", "10"]):
            for name, attempt, refused in attempts:
                with self.subTest(polling=polling, channel=name), Sim() as sim, started(sim, *polling) as server:
                    proven = time.monotonic()  # the connect's identity read came before readiness
                    mark = len(sim.requests())
                    sim.command("serial 777")
                    time.sleep(max(0.0, proven + IDENTITY_FRESHNESS_S + 0.05 - time.monotonic()))
                    self.assertEqual(attempt(server), refused)
                    frames = sim.requests()[mark:]
                    self.assertEqual(writes(frames), [], "nothing written to serial 777")
                    self.assertIn(IDENTITY_READ, [frame[:6] for frame in frames])
                    wait_for(lambda: any("found serial 777" in line for line in server.err))
                    sim.command("serial 12345")
                    wait_for(lambda: server.request("GET", "/v1/status")[0] == 200)
                    self.assertEqual(server.json("POST", "/v1/output/on")[0], 200, "the right supply is written again")

    def test_writes_within_the_window_read_the_identity_at_most_once_per_3_s(self):
        with Sim() as sim, started(sim) as server:
            mark = len(sim.requests())
            began = time.monotonic()
            for volts in range(1, 9):
                self.assertEqual(server.json("POST", "/v1/setpoints", body={"voltage_V": volts})[0], 200)
            elapsed = time.monotonic() - began
            identity_reads = sum(frame[:6] == IDENTITY_READ for frame in sim.requests()[mark:])
            self.assertLessEqual(identity_reads, 1 + int(elapsed / IDENTITY_FRESHNESS_S))


class RampKeepsConfirmedChanges(unittest.TestCase):
    def test_a_client_change_during_a_ramp_is_never_put_back(self):
        for ramped, other, change, register in (("voltage_V", "current_limit_A", 2.5, 9),
                                                ("current_limit_A", "voltage_V", 9.5, 8)):
            with self.subTest(ramped=ramped), Sim() as sim, started(sim) as server:
                sim.set(8, 500)
                sim.set(9, 100)
                steps = [{ramped: 4, "ramp_s": 3}]
                self.assertEqual(server.json("POST", "/v1/sequence", body=sequence(steps))[0], 202)
                wait_for(lambda: len(writes(sim.requests())) >= 3)
                self.assertEqual(server.json("POST", "/v1/setpoints", body={other: change})[0], 200)
                mark = len(sim.requests())
                wait_for(lambda: server.json("GET", "/v1/sequence")[1]["state"] == "finished", 60)
                self.assertEqual(sim.get(register), round(change * 100))
                kept = [frame[2 if register == 9 else 1] for frame in writes(sim.requests()[mark:])]
                self.assertEqual(set(kept), {round(change * 100)})


class NothingAboveACeiling(unittest.TestCase):
    def test_a_front_panel_setpoint_above_the_ceiling_is_never_written_back(self):
        with Sim() as sim, started(sim, "--max-voltage", "12") as server:
            sim.set(8, 3000)  # 30 V, set on the supply's own panel
            mark = len(sim.requests())
            self.assertEqual(server.json("POST", "/v1/setpoints", body={"current_limit_A": 1}), (400, {
                "ok": False, "error": "invalid_request",
                "message": "the supply's present voltage setpoint 30.00 V is above the ceiling of 12.00 V; "
                           "set it as well"}))
            self.assertEqual(scpi_exchange(server.scpi_port, b"CURR 1\nSYST:ERR?\n"), ['-222,"Data out of range"'])
            self.assertEqual(writes(sim.requests()[mark:]), [])
            steps = [{"voltage_V": 10, "ramp_s": 1}]
            self.assertEqual(server.json("POST", "/v1/sequence", body=sequence(steps))[0], 202)
            wait_for(lambda: server.json("GET", "/v1/sequence")[1]["state"] == "finished", 60)
            volts = [frame[1] for frame in writes(sim.requests()[mark:])]
            self.assertEqual((max(volts), volts[-1]), (1180, 1000), "the ramp starts at the ceiling")


class LateWrites(unittest.TestCase):
    def test_a_timed_out_write_that_took_effect_gets_a_second_audit_line(self):
        with Sim() as sim, started(sim) as server:
            # Both setpoints: the write is the operation's first frame.
            for latency, volts, late in ((2500, 5, True), (None, 6, False)):
                with self.subTest(late=late):
                    # A write just before proves the identity for 3 s: the next write's
                    # frame itself goes out, unanswered in time.
                    self.assertEqual(server.json("POST", "/v1/setpoints", body={"voltage_V": 1})[0], 200)
                    sim.command("latency %d" % latency if latency else "silent on")
                    reply = server.json("POST", "/v1/setpoints", body={"voltage_V": volts, "current_limit_A": 1})
                    self.assertEqual(reply, (502, {"ok": False, "verified": False, "message": TIMEOUT_MESSAGE,
                                                   "error": "device_confirmation_failed"}))
                    sim.command("latency 0" if latency else "silent off")
                    wait_for(lambda: server.request("GET", "/v1/status")[0] == 200)
                    subject = "setpoints %d.00 V 1.00 A" % volts
                    lines = [line for line in server.err if line.startswith("Audit ") and subject in line]
                    self.assertRegex(lines[0], r": not confirmed \(%s\)$" % TIMEOUT_MESSAGE)
                    self.assertEqual(sim.get(8) == volts * 100, late)
                    if late:
                        late_line = wait_for(lambda: [l for l in server.err if l.endswith(": took effect late")])
                        self.assertRegex(late_line[0], r"^Audit \S+ HTTP 127\.0\.0\.1:\d+ %s: took effect late$"
                                         % subject.replace(".", r"\."))
                    else:
                        self.assertEqual(len(lines), 1, "a write that never arrived is not reported late")


if __name__ == "__main__":
    unittest.main()
