"""Shared helpers for end-to-end tests: the simulated supply, varek-server, ports, waiting,
running programs.

Run with /usr/bin/python3; needs only the standard library. VAREK_BIN_DIR names
the directory holding the built programs (build/bin).
"""

import http.client
import json
import os
import queue
import random
import resource
import select
import shutil
import signal
import socket
import struct
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
        stop(self.process)
        try:
            self.process.stdin.close()
        except (OSError, ValueError):
            pass
        self._reader.join(timeout=20)
        self.process.stdout.close()
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)


def stop(process, timeout=60):
    """SIGTERM, then wait; SIGKILL only if it does not end in time. Returns the exit status."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


def free_port():
    """A TCP port that was free on every address a moment ago. Chosen below the
    system's ephemeral range, where no outgoing connection of a test running beside
    this one can take it before the server binds it."""
    while True:
        port = random.randrange(20000, 32000)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port


def connect(port, source="127.0.0.1"):
    """A loopback connection to `port` from the address `source`."""
    return socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))


def closed(sock):
    """True once the server has closed the connection; never blocks."""
    if not select.select([sock], [], [], 0)[0]:
        return False
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except ConnectionResetError:
        return True


def reset(sock):
    """Closes with a reset, as a client that crashed or gave up would: no TIME_WAIT to run
    out of ports or to block a later bind."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


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


WRITE_FUNCTIONS = (0x06, 0x10)
STATUS_READ = bytes.fromhex("010300040026")
STATUS_KEYS = {"ok", "connected", "verified", "output_enabled", "voltage_V", "current_A", "model",
               "firmware", "source_sha", "sample_at"}


def writes(frames):
    """The writes among `frames`, decoded: ("set", V, A) in hundredths or ("output", 0|1)."""
    decoded = []
    for frame in frames:
        if frame[1] == 0x10 and frame[2:4] == b"\x00\x08":
            decoded.append(("set", int.from_bytes(frame[7:9], "big"), int.from_bytes(frame[9:11], "big")))
        elif frame[1] == 0x06 and frame[2:4] == b"\x00\x12":
            decoded.append(("output", frame[5]))
        elif frame[1] in WRITE_FUNCTIONS:
            decoded.append(("other", frame.hex()))
    return decoded


def status_reads(frames):
    """How many of `frames` are the status read polling sends."""
    return sum(1 for frame in frames if frame[:6] == STATUS_READ)


def scpi_exchange(port, lines, replies=1, timeout=30):
    """Sends `lines` (bytes) to the SCPI port and returns the first `replies` reply lines."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as scpi:
        scpi.sendall(lines)
        received = b""
        while received.count(b"\n") < replies:
            chunk = scpi.recv(4096)
            if not chunk:
                break
            received += chunk
    return received.decode().splitlines()


API_LINE = "API已监听 · 本机 / 局域网 · %d"
SCPI_LINE = "SCPI ready on TCP %d, local and LAN, no authentication"


class VarekServer:
    """One varek-server process with its own XDG_DATA_HOME; reader threads collect its output lines."""

    def __init__(self, device, http_port=None, scpi_port=None, options=None, data_home=None, nofile=None):
        """`options` None passes both ports (free ones unless given); otherwise `options` go as given.
        `nofile` lowers the server's descriptor limit (soft and hard) to that number."""
        self.http_port = http_port or free_port()
        self.scpi_port = scpi_port or free_port()
        self.data_home = data_home or tempfile.mkdtemp(prefix="varek-server-")
        self.token_path = os.path.join(self.data_home, "VAREK Studio", "API", "access-token")
        if options is None:
            options = ["--http-port", str(self.http_port), "--scpi-port", str(self.scpi_port)]
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.process = subprocess.Popen([os.path.join(BIN, "varek-server"), device, *options],
                                        env=dict(os.environ, XDG_DATA_HOME=self.data_home),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limit)
        self.out, self.err = [], []
        self.readers = [threading.Thread(target=self._pump, args=stream_and_lines, daemon=True)
                        for stream_and_lines in ((self.process.stdout, self.out), (self.process.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _pump(stream, lines):
        for raw in stream:
            lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def wait_ready(self, timeout=60, interval=0.02):
        wait_for(lambda: self._listening() and len(self.out) >= 3 or self.process.poll() is not None, timeout, interval)
        if self.process.poll() is not None:
            raise AssertionError("varek-server exited: %r" % self.err)
        with open(self.token_path) as f:
            self.token = f.read().strip()
        return self

    def _listening(self):
        """Both status lines are in, whichever address they name (API_LINE, SCPI_LINE without --bind)."""
        api = [line for line in self.err if line.startswith("API已监听 · ") and line.endswith(" · %d" % self.http_port)]
        return api and any(line.startswith("SCPI ready on TCP %d, " % self.scpi_port) for line in self.err)

    def request(self, method, path, token=True, timeout=30, body=None):
        """(status, body text); `token` True sends the right bearer token, a string sends that.
        `body` (text, or any other value sent as JSON) goes with a Content-Length."""
        headers = {"Authorization": "Bearer " + (self.token if token is True else token)} if token else {}
        if body is not None and not isinstance(body, (str, bytes)):
            body = json.dumps(body)
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            return response.status, response.read().decode("utf-8")
        finally:
            connection.close()

    def json(self, method, path, **kwargs):
        status, body = self.request(method, path, **kwargs)
        return status, json.loads(body)

    def wait_exit(self):
        code = self.process.wait(timeout=60)
        for reader in self.readers:
            reader.join(timeout=60)
        return code

    def close(self):
        stop(self.process)
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        shutil.rmtree(self.data_home, ignore_errors=True)


def started(device, *extra, data_home=None):
    """varek-server on `device` with free HTTP and SCPI ports and `extra` options, once ready."""
    http_port, scpi_port = free_port(), free_port()
    options = ["--http-port", str(http_port), "--scpi-port", str(scpi_port), *map(str, extra)]
    server = VarekServer(device, http_port, scpi_port, options=options, data_home=data_home)
    try:
        return server.wait_ready()
    except BaseException:
        server.close()
        raise
