"""A real VISA client (PyVISA with the pure-Python backend) runs a bench script
against varek-server hosting a simulated supply."""

import os
import select
import signal
import subprocess
import tempfile
import unittest
import warnings

import pyvisa

from varek_e2e import BIN, Sim, free_port

# pyvisa-py imports xdrlib, which Python 3.11 deprecates; load it quietly up front
# (unittest resets warning filters while tests run).
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import pyvisa_py.protocols.rpc  # noqa: F401
    except ImportError:
        pass

SERVER = os.path.join(BIN, "varek-server")


class ScpiHost:
    """varek-server serving the supply at `path` on free loopback ports, as a lab
    would run it; ready once its first standard-output line arrives."""

    def __init__(self, path, timeout=20):
        self.home = tempfile.TemporaryDirectory()
        self.port = free_port()
        env = dict(os.environ, XDG_DATA_HOME=self.home.name)
        self.process = subprocess.Popen(
            [SERVER, path, "--http-port", str(free_port()), "--scpi-port", str(self.port)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline().strip() if ready else ""
        if not line.endswith("::%d::SOCKET" % self.port):
            self.close()
            raise RuntimeError("varek-server did not start: %r" % self.process.stderr.read())

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        self.home.cleanup()
        return self.process.returncode


class PyVisaBenchScript(unittest.TestCase):
    def setUp(self):
        self.sim = Sim("--serial", "24680", "--firmware", "150")
        self.addCleanup(self.sim.close)
        self.host = ScpiHost(self.sim.path)
        self.addCleanup(self.host.close)
        self.rm = pyvisa.ResourceManager("@py")
        self.addCleanup(self.rm.close)

    def open(self):
        inst = self.rm.open_resource(
            "TCPIP0::127.0.0.1::%d::SOCKET" % self.host.port,
            read_termination="\n", write_termination="\n", timeout=20000)
        self.addCleanup(inst.close)
        return inst

    def test_typical_bench_script(self):
        self.sim.set(8, 0)  # start away from the values the script sets
        self.sim.set(9, 0)
        inst = self.open()
        self.assertEqual(inst.query("*IDN?"), "RuvizOzurir,VAREK-RD6030-Max-SCPI,24680,1.5")
        inst.write("APPL 5,1")
        inst.write("OUTP ON")
        # 5 V into the simulator's 10-ohm load: 0.5 A, under the 1 A limit.
        self.assertEqual(inst.query("MEAS:VOLT?"), "5.00")
        self.assertEqual(inst.query("MEAS:CURR?"), "0.50")
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
        self.assertEqual(inst.query("APPL?;OUTP?"), "5.00,1.00;1")
        # Both setpoints went out in one write-multiple frame to registers 8 and 9.
        self.assertIn(bytes.fromhex("011000080002040" "1f40064"), [r[:-2] for r in self.sim.requests()])
        self.assertEqual((self.sim.get(8), self.sim.get(9), self.sim.get(18)), (500, 100, 1))

    def test_errors_reach_the_client_that_caused_them(self):
        first, second = self.open(), self.open()
        voltage_set = self.sim.get(8)
        first.write("VOLT 61")
        self.assertEqual(second.query("SYST:ERR?"), '0,"No error"')
        self.assertEqual(first.query("SYST:ERR?"), '-222,"Data out of range"')
        self.assertEqual(self.sim.get(8), voltage_set)

    def test_host_stops_cleanly_on_sigterm(self):
        inst = self.open()
        self.assertEqual(inst.query("*OPC?"), "1")
        self.assertEqual(self.host.close(), 0)


if __name__ == "__main__":
    unittest.main()
