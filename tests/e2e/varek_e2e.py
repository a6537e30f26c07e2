"""Shared helpers for end-to-end tests: the simulated supply, ports, waiting, running programs.

Run with /usr/bin/python3; needs only the standard library. VAREK_BIN_DIR names
the directory holding the built programs (build/bin).
"""

import os
import queue
import signal
import socket
import subprocess
import tempfile
import threading
import time

BIN = os.environ["VAREK_BIN_DIR"]


class SimError(RuntimeError):
    """varek-sim answered a command with "error: ..."."""


class Sim:
    """One varek-sim process; a context manager. Sim(*extra_args) adds options
    such as "--serial", "777" or "--latency", "5" to the command line."""

    def __init__(self, *extra_args, startup_timeout=20):
        fd, self.log_path = tempfile.mkstemp(prefix="varek-sim-", suffix=".log")
        os.close(fd)
        argv = [os.path.join(BIN, "varek-sim"), "--log", self.log_path, *map(str, extra_args)]
        self.process = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        # A reader thread, so a reply is never stuck in a buffer that select cannot see.
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read_stdout, daemon=True)
        self._reader.start()
        try:
            self.path = self._read_line(startup_timeout)
        except Exception:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _read_stdout(self):
        for line in self.process.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)  # end of output: the process is gone

    def _read_line(self, timeout):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("varek-sim did not answer within %s s" % timeout) from None
        if line is None:
            raise RuntimeError("varek-sim exited (status %s)" % self.process.poll())
        return line

    def command(self, line, timeout=20):
        """Sends one command line; returns the reply line, raising SimError on "error:"."""
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        reply = self._read_line(timeout)
        if reply.startswith("error:"):
            raise SimError("%s -> %s" % (line, reply))
        return reply

    def get(self, reg):
        """The value of holding register `reg`."""
        return int(self.command("get %d" % reg))

    def set(self, reg, value):
        """Sets holding register `reg` as the front panel would."""
        self.command("set %d %d" % (reg, value))

    def requests(self):
        """Every request frame the simulator received so far, oldest first."""
        with open(self.log_path) as log:
            return [bytes.fromhex(line) for line in log.read().splitlines() if line.strip()]

    def close(self):
        """Stops the simulator with SIGTERM and waits for it; removes the log."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        try:
            self.process.stdin.close()
        except (OSError, ValueError):
            pass
        self._reader.join(timeout=20)
        self.process.stdout.close()
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)


def free_port():
    """A TCP port that was free a moment ago (the OS picks it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=20, interval=0.02):
    """Polls `predicate` until it returns a true value (returned) or `timeout` s pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("condition not met within %s s" % timeout)
        time.sleep(interval)


def run(*argv, timeout=60, input=None):
    """Runs the built program argv[0] from BIN with the rest as arguments."""
    command = [os.path.join(BIN, str(argv[0])), *map(str, argv[1:])]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, input=input)
