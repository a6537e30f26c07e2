"""A real VISA client (PyVISA with the pure-Python backend) runs our example bench
scripts against varek-server hosting a simulated supply."""

import os
import subprocess
import unittest

from varek_e2e import Sim, VarekServer

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def output(value):
    return bytes([1, 6, 0, 0x12, 0, value])


def setpoints(volts_centi, amps_centi):
    return bytes([1, 0x10, 0, 8, 0, 2, 4]) + volts_centi.to_bytes(2, "big") + amps_centi.to_bytes(2, "big")


class ScriptsInOtherSuppliesIdioms(unittest.TestCase):
    """Our example scripts, each written the way a common supply's programming guide
    teaches, run unchanged and end with an empty error queue; the simulator's request
    log shows every write they caused, in order (MIN/MAX and status queries: none)."""

    CASES = [
        # *RST: one switch-off; VOLT 3.3 and CURR 0.5 each keep the other setpoint;
        # the refused VOLT 99 writes nothing.
        ("scpi_status_session.py", [output(0), setpoints(330, 100), setpoints(330, 50), output(1), output(0)]),
        ("scpi_channel_list.py", [setpoints(1200, 100), setpoints(1200, 80), output(1), setpoints(0, 80), output(0)]),
        ("scpi_channel_names.py", [setpoints(500, 100), output(1), setpoints(250, 0), output(0)]),
    ]

    def test_each_script_runs_unchanged(self):
        for script, writes in self.CASES:
            with self.subTest(script), Sim() as sim, VarekServer(sim.path) as host:
                host.wait_ready()
                resource = "TCPIP0::127.0.0.1::%d::SOCKET" % host.scpi_port
                run = subprocess.run(["/usr/bin/python3", os.path.join(EXAMPLES, script), resource],
                                     capture_output=True, text=True, timeout=120)
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                self.assertEqual(run.stdout.splitlines()[-1], 'SYST:ERR? -> 0,"No error"')
                self.assertEqual([r[:-2] for r in sim.requests() if r[1] in (6, 0x10)], writes)


if __name__ == "__main__":
    unittest.main()
