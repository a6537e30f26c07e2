"""varek-sim's program contract: path line, link, request log, control lines, exit."""

import os
import select
import signal
import tempfile
import termios
import tty
import unittest

from varek_e2e import Sim, SimError, run

STATUS_READ = bytes.fromhex("01 03 00 04 00 26 85 D1")
OUTPUT_ON = bytes.fromhex("01 06 00 12 00 01 E8 0F")


def transact(path, request, reply_length):
    """Sends one request on the terminal and returns the reply bytes."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        termios.tcflush(fd, termios.TCIFLUSH)
        os.write(fd, request)
        reply = b""
        while len(reply) < reply_length and select.select([fd], [], [], 20)[0]:
            reply += os.read(fd, 512)
        return reply
    finally:
        os.close(fd)


class VarekSimTest(unittest.TestCase):
    def test_link_log_and_commands(self):
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "supply")
            open(link, "w").close()  # an existing file at the link is replaced
            with Sim("--link", link, "--serial", "65538", "--firmware", "150") as sim:
                self.assertTrue(sim.path.startswith("/dev/"))
                self.assertEqual(os.readlink(link), sim.path)
                self.assertEqual([sim.get(r) for r in range(4)], [60301, 1, 2, 150])

                self.assertEqual(transact(link, OUTPUT_ON, 8), OUTPUT_ON)
                self.assertEqual(sim.get(18), 1)
                self.assertEqual(len(transact(sim.path, STATUS_READ, 81)), 81)
                with open(sim.log_path) as log:
                    self.assertEqual(log.read(), "01 06 00 12 00 01 E8 0F\n01 03 00 04 00 26 85 D1\n")
                self.assertEqual(sim.command("requests"), "2")
                sim.command("clear")
                self.assertEqual(sim.command("requests"), "0")
                self.assertEqual(len(sim.requests()), 2)  # the file keeps every frame

                sim.set(8, 1200)
                self.assertEqual(sim.get(8), 1200)
                for bad in ("exception nope", "stray FFF", "get 70000", "", "dance"):
                    with self.assertRaises(SimError, msg=bad):
                        sim.command(bad)
                sim.command("exception 2")
                self.assertEqual(transact(sim.path, STATUS_READ, 5), bytes.fromhex("01 83 02 C0 F1"))
                for ok in ("stray FF 0", "split 3", "crc 2", "silent on", "stuck off"):
                    self.assertEqual(sim.command(ok), "ok")
            self.assertFalse(os.path.lexists(link))

    def test_keeps_serving_after_stdin_closes_and_exits_cleanly_on_signals(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signum), Sim() as sim:
                sim.process.stdin.close()
                self.assertEqual(len(transact(sim.path, STATUS_READ, 81)), 81)
                sim.process.send_signal(signum)
                self.assertEqual(sim.process.wait(timeout=20), 0)

    def test_bad_options_print_usage_and_exit_2(self):
        for argv in (["--station", "0"], ["--station", "248"], ["--load", "0"], ["--serial", "-1"], ["--link", ""],
                     ["--bogus"], ["--baud"]):
            with self.subTest(argv=argv):
                result = run("varek-sim", *argv)
                self.assertEqual(result.returncode, 2)
                self.assertTrue(result.stderr.startswith("Usage: varek-sim"), result.stderr)
                self.assertEqual(result.stdout, "")


if __name__ == "__main__":
    unittest.main()
