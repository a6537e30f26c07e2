"""varek-read spawned against a spawned varek-sim: JSON reports, exit codes, messages."""
import datetime
import json
import unittest

from varek_e2e import Sim, run

USAGE = "Usage: varek-read <port> [--benchmark 1|2|5|10] (115200, station 1, reads only)\n"
ISO = r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$"
IDENTITY_READ = bytes.fromhex("01 03 00 00 00 04 44 09")
STATUS_READ = bytes.fromhex("01 03 00 04 00 26 85 D1")
RATE_MESSAGE = "benchmark rate must be 1, 2, 5 or 10\n"
TIMEOUT_MESSAGE = "电源未响应，请检查接口模式、波特率和站号。\n"


def ordered_keys(text):
    return json.loads(text, object_pairs_hook=lambda pairs: [k for k, _ in pairs])


class ReadTool(unittest.TestCase):
    def test_other_argument_forms_print_usage_and_exit_2(self):
        for args in ([], ["/dev/null", "extra"], ["/dev/null", "--benchmark"], ["/dev/null", "--bench", "5"]):
            with self.subTest(args=args):
                result = run("varek-read", *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, USAGE, ""))

    def test_failures_exit_1_with_the_message(self):
        cases = [
            # (simulator command before the run or None for a missing port, arguments, message)
            (None, [], "无法打开串口：No such file or directory\n"),
            ("", ["--benchmark", "3"], RATE_MESSAGE),
            ("", ["--benchmark", "ten"], RATE_MESSAGE),
            ("silent on", [], TIMEOUT_MESSAGE),
            ("exception 2", [], "电源拒绝请求（错误码 2）。\n"),
        ]
        for command, args, message in cases:
            with self.subTest(command=command, args=args), Sim() as sim:
                if command:
                    sim.command(command)
                result = run("varek-read", sim.path if command is not None else "/nonexistent/ttyUSB9", *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (1, "", message))
                self.assertEqual(sim.requests(), [IDENTITY_READ] if command is not None else [])

    def test_default_mode_prints_sorted_pretty_json_after_two_reads(self):
        with Sim("--serial", "12345", "--firmware", "123") as sim:
            sim.set(8, 1234)
            sim.set(9, 250)
            sim.set(16, 7)
            result = run("varek-read", sim.path, timeout=120)
            self.assertEqual((result.returncode, result.stderr), (0, ""), result.stderr)
            self.assertEqual(sim.requests(), [IDENTITY_READ, STATUS_READ])
            output = sim.get(18)
        self.assertEqual(ordered_keys(result.stdout), [
            "current_A", "current_limit_A", "firmware", "functions_sent", "mode", "model",
            "output_enabled", "power_W", "protection", "timestamp", "voltage_V", "voltage_set_V"])
        self.assertTrue(result.stdout.splitlines()[1].startswith("  \""), "one indented member per line")
        report = json.loads(result.stdout)
        self.assertEqual({k: report[k] for k in ("model", "firmware", "voltage_set_V", "current_limit_A",
                                                 "protection", "functions_sent")},
                         {"model": 60301, "firmware": 1.23, "voltage_set_V": 12.34, "current_limit_A": 2.5,
                          "protection": "保护状态 7", "functions_sent": [3]})
        self.assertIn(report["mode"], ["恒压 CV", "恒流 CC"])
        self.assertIs(report["output_enabled"], output != 0)
        for key in ("voltage_V", "current_A", "power_W"):
            self.assertIsInstance(report[key], float)
        self.assertRegex(report["timestamp"], ISO)
        stamp = datetime.datetime.strptime(report["timestamp"] + "+0000", "%Y-%m-%dT%H:%M:%SZ%z")
        self.assertLess(abs((datetime.datetime.now(datetime.timezone.utc) - stamp).total_seconds()), 600)

    def test_benchmark_reports_a_paced_run(self):
        with Sim() as sim:
            result = run("varek-read", sim.path, "--benchmark", "10", timeout=300)
            self.assertEqual((result.returncode, result.stderr), (0, ""), result.stderr)
            self.assertEqual(sim.requests(), [IDENTITY_READ] + [STATUS_READ] * 100)
        self.assertEqual(ordered_keys(result.stdout), [
            "actual_hz", "finished_at", "firmware", "functions_sent", "max_response_ms",
            "mean_response_ms", "model", "samples_passed", "target_hz"])
        report = json.loads(result.stdout)
        self.assertEqual((report["target_hz"], report["samples_passed"]), (10, 100))
        self.assertEqual((report["model"], report["functions_sent"]), (60301, [3]))
        self.assertLessEqual(report["mean_response_ms"], report["max_response_ms"])
        self.assertRegex(report["finished_at"], ISO)
        self.assertTrue(0 < report["actual_hz"] <= 10.01, "never outpaces the target")


if __name__ == "__main__":
    unittest.main()
