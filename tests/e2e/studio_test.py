"""VarekPowerStudio as a user starts it: from the command line, against a
simulated supply, then stopped with a signal from the terminal."""

import json
import os
import signal
import subprocess
import tempfile
import unittest

from varek_e2e import BIN, Sim, wait_for, writes

STUDIO = os.path.join(BIN, "VarekPowerStudio")


@unittest.skipUnless(os.path.exists(STUDIO), "the desktop application is not built")
class StudioCommandLine(unittest.TestCase):
    def start(self, sim, *args):
        home = tempfile.TemporaryDirectory()
        self.addCleanup(home.cleanup)
        self.evidence = os.path.join(home.name, "evidence.json")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=home.name,
                   XDG_CONFIG_HOME=os.path.join(home.name, "config"),
                   XDG_DATA_HOME=os.path.join(home.name, "data"))
        process = subprocess.Popen(
            [STUDIO, "--connect", sim.path, "--evidence", self.evidence, *args],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process

    def evidence_samples(self):
        try:
            with open(self.evidence) as f:
                return json.load(f)["samples"]
        except (OSError, ValueError, KeyError):
            return 0

    def test_connects_from_the_command_line_and_a_signal_leaves_the_output_alone(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum), Sim() as sim:
                sim.set(18, 1)
                studio = self.start(sim, "--refresh", "10")
                self.assertTrue(wait_for(lambda: self.evidence_samples() >= 3, timeout=60),
                                "no samples in the evidence file")
                with open(self.evidence) as f:
                    snapshot = json.load(f)
                self.assertEqual((snapshot["model"], snapshot["target_hz"]), (60301, 10))
                self.assertTrue(snapshot["output_enabled"])

                studio.send_signal(signum)
                self.assertEqual(studio.wait(timeout=60), 0, studio.stderr.read())
                studio.stderr.close()
                self.assertEqual(sim.get(18), 1)
                self.assertEqual(writes(sim.requests()), [])


if __name__ == "__main__":
    unittest.main()
