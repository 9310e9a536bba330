"""The gateway as a program on its own: its start-up, its log folder, a port
that is taken, a full table of worker slots, and many connections in a row.

Usage: e2e_gateway_startup.py --gateway build/bin/harborgate
"""
import argparse
import os
import select
import shutil
import socket
import subprocess
import sys
import time
import unittest

import harness

GATEWAY = None


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def threads(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def closed_by_peer(sock, timeout):
    """True when the gateway closed sock (end of stream) within timeout seconds."""
    sock.settimeout(timeout)
    try:
        return sock.recv(4096) == b""
    except socket.timeout:
        return False
    except ConnectionResetError:
        return True


class GatewayTest(unittest.TestCase):
    def setUp(self):
        self.folder = harness.gateway_folder(GATEWAY)
        self.started = []

    def tearDown(self):
        for program in self.started:
            program.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start(self, args=()):
        gateway = harness.Gateway(self.folder, args)
        self.started.append(gateway)
        return gateway


class StartUp(GatewayTest):
    def test_log_path_and_log_folder(self):
        gateway = self.start()
        line = gateway.program.wait_for_line(r"The log path : ")
        log_path = harness.shown_path(os.path.join(self.folder, "log"))
        self.assertTrue(line.endswith("] The log path : " + log_path), line)
        log = os.path.join(self.folder, "log")
        harness.wait_until(lambda: any(n.startswith("p2plog_") for n in os.listdir(log)),
                           10, "a p2plog_ file")
        # The first start had to make the folder, so it left no probe file.
        self.assertFalse(os.path.exists(os.path.join(log, "temp")))
        gateway.stop()

        self.start()
        self.assertEqual(os.path.getsize(os.path.join(log, "temp")), 0)

    def test_port_taken(self):
        harness.wait_until(lambda: harness.port_is_free(harness.GATEWAY_PORT), 30,
                           "port 9999 to be free")
        with socket.socket() as holder:
            holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            holder.bind(("127.0.0.1", harness.GATEWAY_PORT))
            holder.listen(1)
            program = harness.Program(harness.gateway_command(self.folder), cwd=self.folder)
            self.started.append(program)
            try:
                code = program.exit_code(15)
            except subprocess.TimeoutExpired:
                self.fail("the gateway kept running with port 9999 taken")
            self.assertEqual(code, 255)  # exit code -1
            # The system's own code for an address in use: WSAEADDRINUSE, EADDRINUSE.
            in_use = 10048 if GATEWAY.endswith(".exe") else 98
            program.wait_for_line(r"Failed bind\(\),error code :%d$" % in_use)


class WorkerSlots(GatewayTest):
    def test_65th_connection_closed_at_once_and_accepting_goes_on(self):
        gateway = self.start()
        held = []
        try:
            for _ in range(64):
                held.append(socket.create_connection(("127.0.0.1", harness.GATEWAY_PORT), 5))
            harness.wait_until(
                lambda: gateway.program.count_lines(r"create thread : \d+$") >= 64, 15,
                "64 workers")
            with socket.create_connection(("127.0.0.1", harness.GATEWAY_PORT), 5) as extra:
                self.assertTrue(closed_by_peer(extra, 10), "the 65th connection stayed open")
            readable, _, _ = select.select(held, [], [], 0)
            self.assertEqual(readable, [], "a held connection was answered or closed")
            self.assertEqual(gateway.program.count_lines(r"create thread : \d+$"), 64)
        finally:
            for sock in held:
                sock.close()
        # Their workers end on the closed connections and the reaper frees the
        # slots; until it has, a connection is still closed without a worker.
        def served_again():
            with socket.create_connection(("127.0.0.1", harness.GATEWAY_PORT), 5) as late:
                late.sendall(b"GET /?nothing HTTP/1.1\r\n\r\n")
                self.assertTrue(closed_by_peer(late, 15))
            return gateway.program.count_lines(r"create thread : \d+$") > 64
        harness.wait_until(served_again, 20, "a worker for a connection after the full table")

    def test_1000_connections_leave_no_descriptor_or_thread(self):
        gateway = self.start()
        usage = lambda: (open_descriptors(gateway.pid), threads(gateway.pid))
        # Wine makes some of its own threads and descriptors on the first
        # connections; the first batch counts them in.
        self.connect_batches(1)
        time.sleep(1)
        before = usage()
        self.connect_batches(19)
        try:
            harness.wait_until(lambda: usage() == before, 15, "descriptors and threads")
        except AssertionError:
            self.fail("descriptors and threads: %s before, %s after" % (before, usage()))

    def connect_batches(self, count, batch=50):
        for first in range(0, count * batch, batch):
            socks = [socket.create_connection(("127.0.0.1", harness.GATEWAY_PORT), 5)
                     for _ in range(batch)]
            for i, sock in enumerate(socks):
                if (first + i) % 5 == 0:
                    sock.close()  # the browser gives up before it asks
                else:
                    sock.sendall(b"GET /?no-query-keys HTTP/1.1\r\n\r\n")
            for sock in socks:
                if sock.fileno() != -1:
                    self.assertTrue(closed_by_peer(sock, 15), "a refused request stayed open")
                    sock.close()

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", required=True)
    args, rest = parser.parse_known_args()
    GATEWAY = os.path.abspath(args.gateway)
    lock = harness.hold_e2e_lock()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
