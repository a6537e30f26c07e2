"""varek-read spawned against a spawned varek-sim: JSON reports, exit codes, messages."""
import datetime
import json
import re
import unittest

from varek_e2e import Sim, run

USAGE = "Usage: varek-read <port> [--benchmark 1|2|5|10] (115200, station 1, reads only)\n"
ISO = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
IDENTITY_READ = bytes.fromhex("01 03 00 00 00 04 44 09")
STATUS_READ = bytes.fromhex("01 03 00 04 00 26 85 D1")
RATE_MESSAGE = "benchmark rate must be 1, 2, 5 or 10\n"
TIMEOUT_MESSAGE = "电源未响应，请检查接口模式、波特率和站号。\n"


def read_tool(*args, timeout=120):
    return run("varek-read", *args, timeout=timeout)


def ordered_keys(text):
    """The keys of a JSON object in the order they appear in `text`."""
    return json.loads(text, object_pairs_hook=lambda pairs: [k for k, _ in pairs])


def near_now(stamp):
    moment = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
    return abs((datetime.datetime.now(datetime.timezone.utc) - moment).total_seconds()) < 600


class CommandLine(unittest.TestCase):
    def test_other_argument_forms_print_usage_and_exit_2(self):
        cases = [
            [],
            ["/dev/null", "extra"],
            ["/dev/null", "--benchmark"],
            ["/dev/null", "--Benchmark", "5"],
            ["/dev/null", "--bench", "5"],
            ["/dev/null", "--benchmark", "5", "extra"],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = read_tool(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, USAGE, ""))

    def test_missing_port_reports_the_open_failure(self):
        result = read_tool("/nonexistent/ttyUSB9")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr, "无法打开串口：No such file or directory\n")


class Reading(unittest.TestCase):
    def test_default_mode_prints_sorted_pretty_json_after_two_reads(self):
        with Sim("--serial", "12345", "--firmware", "123") as sim:
            sim.set(8, 1234)
            sim.set(9, 250)
            sim.set(16, 7)
            result = read_tool(sim.path)
            self.assertEqual((result.returncode, result.stderr), (0, ""), result.stderr)
            self.assertEqual(sim.requests(), [IDENTITY_READ, STATUS_READ])
            output = sim.get(18)

        keys = ordered_keys(result.stdout)
        expected = ["current_A", "current_limit_A", "firmware", "functions_sent", "mode", "model",
                    "output_enabled", "power_W", "protection", "timestamp", "voltage_V", "voltage_set_V"]
        self.assertEqual(keys, expected)
        self.assertTrue(result.stdout.endswith("}\n"))
        self.assertTrue(result.stdout.splitlines()[1].startswith("  \""), "one indented member per line")
        report = json.loads(result.stdout)
        self.assertEqual(report["model"], 60301)
        self.assertEqual(report["firmware"], 1.23)
        self.assertEqual(report["voltage_set_V"], 12.34)
        self.assertEqual(report["current_limit_A"], 2.5)
        self.assertEqual(report["protection"], "保护状态 7")
        self.assertIn(report["mode"], ["恒压 CV", "恒流 CC"])
        self.assertIs(report["output_enabled"], output != 0)
        self.assertEqual(report["functions_sent"], [3])
        for key in ("voltage_V", "current_A", "power_W"):
            self.assertIsInstance(report[key], float)
        self.assertRegex(report["timestamp"], ISO)
        self.assertTrue(near_now(report["timestamp"]))

    def test_failures_exit_1_with_the_message(self):
        cases = [
            # (simulator commands before the run, extra arguments, message, requests expected)
            ([], ["--benchmark", "3"], RATE_MESSAGE, [IDENTITY_READ]),
            ([], ["--benchmark", "ten"], RATE_MESSAGE, [IDENTITY_READ]),
            ([], ["--benchmark", ""], RATE_MESSAGE, [IDENTITY_READ]),
            (["silent on"], [], TIMEOUT_MESSAGE, [IDENTITY_READ]),
            (["exception 2"], [], "电源拒绝请求（错误码 2）。\n", [IDENTITY_READ]),
            (["silent on"], ["--benchmark", "3"], TIMEOUT_MESSAGE, [IDENTITY_READ]),
        ]
        for commands, args, message, requests in cases:
            with self.subTest(commands=commands, args=args), Sim() as sim:
                for command in commands:
                    sim.command(command)
                result = read_tool(sim.path, *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (1, "", message))
                self.assertEqual(sim.requests(), requests)


class Benchmark(unittest.TestCase):
    KEYS = ["actual_hz", "finished_at", "firmware", "functions_sent", "max_response_ms",
            "mean_response_ms", "model", "samples_passed", "target_hz"]

    def run_benchmark(self, *sim_args):
        with Sim(*sim_args) as sim:
            result = read_tool(sim.path, "--benchmark", "10", timeout=300)
            self.assertEqual((result.returncode, result.stderr), (0, ""), result.stderr)
            requests = sim.requests()
        self.assertEqual(requests, [IDENTITY_READ] + [STATUS_READ] * 100)
        self.assertEqual(ordered_keys(result.stdout), self.KEYS)
        report = json.loads(result.stdout)
        self.assertEqual((report["target_hz"], report["samples_passed"]), (10, 100))
        self.assertEqual((report["model"], report["functions_sent"]), (60301, [3]))
        self.assertLessEqual(report["mean_response_ms"], report["max_response_ms"])
        self.assertRegex(report["finished_at"], ISO)
        return report

    def test_paced_run_never_outpaces_the_target(self):
        report = self.run_benchmark()
        # Request i starts no earlier than i/10 s after the start, so 99 intervals
        # take at least 9.9 s (less the tiny start offset of the first request).
        self.assertGreater(report["actual_hz"], 0)
        self.assertLessEqual(report["actual_hz"], 10.01)

    def test_slow_supply_runs_back_to_back_below_the_target(self):
        # Every reply takes at least 150 ms, so 99 intervals take at least 14.85 s.
        report = self.run_benchmark("--latency", "150")
        self.assertLess(report["actual_hz"], 99 / 14.85 + 0.01)
        self.assertGreaterEqual(report["mean_response_ms"], 150)


if __name__ == "__main__":
    unittest.main()
