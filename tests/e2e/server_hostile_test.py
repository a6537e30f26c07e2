"""varek-server as an attacker and an impatient operator would treat it: signals during
start-up and with writes queued on a slow supply, clients that vanish before their turn,
descriptor exhaustion and connection storms."""
import os
import resource
import signal
import threading
import time
import unittest

from varek_e2e import Sim, VarekServer, closed, connect, free_port, reset, wait_for, writes

OUTPUT_OFF_WRITE = bytes.fromhex("01 06 00 12 00 00")


def post(port, token, path):
    sock = connect(port)
    sock.sendall(("POST %s HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer %s\r\n\r\n" % (path, token)).encode())
    return sock


def identity(port, source="127.0.0.1"):
    """True when an *IDN? on a fresh connection from `source` is answered."""
    try:
        sock = connect(port, source)
    except OSError:
        return False
    try:
        sock.sendall(b"*IDN?\n")
        return sock.recv(4096).startswith(b"RuvizOzurir,")
    except OSError:
        return False
    finally:
        reset(sock)  # no TIME_WAIT left under an address other than 127.0.0.1


def get_ok(port, path, source):
    """True when GET `path` on a fresh connection from `source` is answered 200."""
    with connect(port, source) as sock:
        sock.sendall(b"GET %s HTTP/1.1\r\n\r\n" % path.encode())
        return sock.makefile("rb").read().startswith(b"HTTP/1.1 200 ")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Signals(unittest.TestCase):
    def test_signal_while_connecting_to_a_silent_supply_ends_at_once_writing_nothing(self):
        with Sim() as sim:
            sim.command("silent on")
            with VarekServer(sim.path) as server:
                wait_for(lambda: sim.requests(), 30)  # the identity read is waiting for a reply
                server.process.send_signal(signal.SIGTERM)
                self.assertEqual(server.wait_exit(), 0)
                self.assertEqual(server.err, [], "a requested stop is not a failure")
                self.assertEqual(server.out, [])
                self.assertEqual(writes(sim.requests()), [])

    def test_a_signal_with_writes_queued_on_a_slow_supply_writes_nothing_after_it(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name), Sim("--latency", "1500") as sim, VarekServer(sim.path) as server:
                server.wait_ready()
                sim.set(8, 500)
                voltage = [connect(server.scpi_port) for _ in range(3)]
                for i, sock in enumerate(voltage):
                    sock.sendall(b"VOLT %d\n" % (i + 1))
                outputs = [post(server.http_port, server.token, "/v1/output/on") for _ in range(3)]
                mark = len(sim.requests())
                # A frame just arrived: the next cannot be sent for another 1.5 s, the
                # supply's latency, so everything after `sent` was sent after the signal.
                wait_for(lambda: len(sim.requests()) > mark, 30, 0.005)
                sent = len(sim.requests())
                server.process.send_signal(sig)
                self.assertEqual(server.wait_exit(), 0, server.err)
                self.assertEqual(writes(sim.requests()[sent:]), [])
                for sock in voltage + outputs:
                    sock.close()


class GoneClients(unittest.TestCase):
    def test_request_reset_before_its_turn_is_never_carried_out(self):
        with Sim("--latency", "1500") as sim, VarekServer(sim.path) as server:
            server.wait_ready()
            first = {}
            holder = threading.Thread(target=lambda: first.setdefault("reply", server.request(
                "POST", "/v1/output/on", timeout=60)))
            holder.start()
            wait_for(lambda: any(frame[1] == 0x06 for frame in sim.requests()), 30)
            leaving = post(server.http_port, server.token, "/v1/output/off")
            # Give the server the moment it needs to read the request; if it does not,
            # the test only gets weaker, never wrong.
            time.sleep(0.3)
            reset(leaving)
            # Replies that need no device never wait behind the switch in progress.
            for method, path, token, status in (("GET", "/health", False, 200), ("GET", "/v1/status", "0" * 64, 401),
                                                ("GET", "/v1/nothing", True, 404), ("GET", "/v1/output/on", True, 405)):
                self.assertEqual(server.request(method, path, token=token)[0], status, path)
            self.assertTrue(holder.is_alive(), "answered while the switch was still with the supply")
            holder.join(60)
            self.assertEqual(first["reply"][0], 200)
            # A status read queues behind anything the reset request could have started.
            self.assertEqual(server.request("GET", "/v1/status", timeout=60)[0], 200)
            self.assertFalse([f for f in sim.requests() if f.startswith(OUTPUT_OFF_WRITE)])
            self.assertEqual(sim.get(18), 1)


class DescriptorExhaustion(unittest.TestCase):
    def setUp(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))

    def test_scpi_connections_beyond_the_descriptor_limit_do_not_stop_the_server(self):
        # Eight addresses holding their share of sixteen each fill the listener's 128
        # slots; with 64 descriptors the server runs out first and must wait, not fail.
        with Sim() as sim, VarekServer(sim.path, nofile=64) as server:
            server.wait_ready()
            idle = []
            for i in range(128):
                try:
                    idle.append(connect(server.scpi_port, "127.0.0.%d" % (2 + i // 16)))
                except OSError:
                    pass
            wait_for(lambda: len(os.listdir("/proc/%d/fd" % server.process.pid)) >= 64, 30)
            self.assertIsNone(server.process.poll(), server.err)
            for sock in idle:
                reset(sock)
            wait_for(lambda: identity(server.scpi_port), 30)
            self.assertEqual(server.request("GET", "/health")[0], 200)
            self.assertEqual(server.request("GET", "/v1/status")[0], 200)
            self.assertFalse([line for line in server.err if "failed" in line or "失败" in line], server.err)


class Exhaustion(DescriptorExhaustion):
    """Clients holding and storming the listeners (the client side needs the raised limit too)."""
    test_scpi_connections_beyond_the_descriptor_limit_do_not_stop_the_server = None
    def test_one_address_holding_more_than_every_slot_keeps_its_share_and_locks_nobody_out(self):
        ports = free_port(), free_port(), free_port()
        options = ["--http-port", ports[0], "--scpi-port", ports[1], "--metrics-port", ports[2]]
        with Sim() as sim, VarekServer(sim.path, *ports[:2], options=list(map(str, options))) as server:
            server.wait_ready()
            wait_for(lambda: any("Metrics ready" in line for line in server.err))
            # listener, its total cap, one address's share (the manual page's numbers), served to another address
            table = (("http", ports[0], 256, 32, lambda: get_ok(ports[0], "/health", "127.0.0.2")),
                     ("scpi", ports[1], 128, 16, lambda: identity(ports[1], "127.0.0.2")),
                     ("metrics", ports[2], 64, 8, lambda: get_ok(ports[2], "/metrics", "127.0.0.2")))
            # The holder is 127.0.0.1, whose ports free_port() of other tests sees taken.
            held = {name: [connect(port) for _ in range(cap + 4)]
                    for name, port, cap, _, _ in table}
            try:
                for name, port, cap, share, served in table:
                    with self.subTest(name):
                        # Accepted in connect order: once the last is closed, the server has seen them all.
                        wait_for(lambda: closed(held[name][-1]), 30)
                        self.assertTrue(served())
                        wait_for(lambda: sum(not closed(sock) for sock in held[name]) <= share, 30)
                        self.assertEqual(sum(not closed(sock) for sock in held[name]), share)
            finally:
                for sock in sum(held.values(), []):
                    sock.close()

    def test_connect_and_reset_storms_leave_memory_and_descriptors_where_they_were(self):
        with Sim() as sim, VarekServer(sim.path, nofile=256) as server:
            server.wait_ready()
            pid = server.process.pid
            # Warm up once, so allocator pools that any server grows count as the start.
            self.storm(server, 300)
            rss = rss_kib(pid)
            self.storm(server, 2000)
            self.assertIsNone(server.process.poll(), server.err)
            self.assertEqual(server.request("GET", "/health")[0], 200)
            self.assertLess(rss_kib(pid), rss + 8 * 1024, "memory grew with the storm")
            self.assertFalse([line for line in server.err if "failed" in line or "失败" in line], server.err)

    @staticmethod
    def storm(server, count):
        for i in range(count):
            port = server.scpi_port if i % 2 else server.http_port
            try:
                sock = connect(port)
                sock.sendall(b"MEAS:VOLT?\n" if i % 2 else
                             ("GET /v1/status HTTP/1.1\r\nAuthorization: Bearer %s\r\n\r\n" % server.token).encode())
                reset(sock)
            except OSError:
                pass


if __name__ == "__main__":
    unittest.main()
