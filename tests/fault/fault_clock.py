"""The service clock failing in each way a real one can, while the gateway runs:
down (nothing listens), answering 500, answering garbage (a body without the
time, and bytes that are not HTTP at all), and answering late (beyond the
transfer time-out, and late but within it).

After each fault: the request got no bytes and its connection was closed, the
log says "get t error!", no device session was made for it (the next good
request for the same device makes one), the gateway answers the next good
request, and it holds as many descriptors and threads as before. A clock that
answers late holds up only its own request.

Usage: fault_clock.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
import http.server
import socket
import socketserver
import sys
import tempfile
import threading
import time
import unittest

import fault_harness as fh

GATEWAY = None
DEVCLOUD = None
cloud = None
gateway = None
workdir = None
clocks = []
CLOCK_ERROR = "get t error!!!!!!!!!!!!!!!!!!!!!"
SESSION_MADE = "Call CloudTryConnectDevice function OK.deviceSN is FLT-0001."
# Each attempt of the clock query gives up after 10 s, and there are two.
LATE_LIMIT = 10
LATE_ANSWER_DELAY = LATE_LIMIT + 3


class ClockServer(socketserver.ThreadingTCPServer):
    """A clock of the test's own on a free loopback port. behave(handler) answers
    one request."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, behave):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                behave(self)

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        self.handle_error = lambda request, address: None  # a gateway that gave up
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()
        clocks.append(self)

    @property
    def address(self):
        return "127.0.0.1:%d" % self.server_address[1]


def answer(handler, status, body):
    handler.send_response(status)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def good_time(handler, delay=0):
    time.sleep(delay)
    answer(handler, 200, b"t=%d" % int(time.time()))


def close_clocks():
    for clock in clocks:
        clock.shutdown()
        clock.server_close()


def setUpModule():
    global cloud, gateway, workdir
    unittest.addModuleCleanup(close_clocks)
    workdir = tempfile.TemporaryDirectory(prefix="harborgate-fault-")
    unittest.addModuleCleanup(workdir.cleanup)
    cloud = fh.DevCloud(DEVCLOUD, workdir.name)
    unittest.addModuleCleanup(cloud.stop)
    gateway = fh.Gateway(GATEWAY)
    unittest.addModuleCleanup(gateway.stop)


def query(clock_address, serial="FLT-0001", name="Lobby"):
    return fh.device_query(clock_address, serial, name, int(time.time()) + 600)


def ask_until_ready(serial, name):
    fh.ask_until_redirect(gateway, lambda: fh.gateway_request(query(cloud.address, serial, name)))


class ClockFaults(unittest.TestCase):
    """Each case asks for FLT-0001 under a name of its own: a session is the
    serial and the name, so every case starts with no session."""

    @classmethod
    def setUpClass(cls):
        ask_until_ready("FLT-0002", "Yard")

    def refused(self, clock_address, name, timeout=10):
        """One request under the fault: nothing sent, closed, the log says why, no
        session, and the gateway back at its counts of before. Returns how long
        the request took."""
        descriptors, threads = gateway.quiet_counts()
        errors = gateway.program.count_lines(CLOCK_ERROR)
        made = gateway.program.count_lines(SESSION_MADE)
        started = time.monotonic()
        self.assertEqual(fh.gateway_request(query(clock_address, name=name), timeout), b"")
        took = time.monotonic() - started
        gateway.program.wait_for_count(CLOCK_ERROR, errors + 1, 5)
        self.assertEqual(gateway.program.count_lines(SESSION_MADE), made)
        gateway.settles_at(descriptors, threads)
        return took

    def served_afresh(self, name):
        """The next good request for the device makes its session and leads to it."""
        made = gateway.program.count_lines(SESSION_MADE)
        reply = fh.gateway_request(query(cloud.address, name=name))
        self.assertEqual(gateway.kind(reply), "trystun")
        gateway.program.wait_for_count(SESSION_MADE, made + 1, 10)
        ask_until_ready("FLT-0001", name)

    def test_clock_down(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            down = "127.0.0.1:%d" % s.getsockname()[1]  # bound, never listening
            self.refused(down, "Lobby-down")
        self.served_afresh("Lobby-down")

    def test_clock_answering_500(self):
        self.assertEqual(cloud.admin("clock", status=500), "ok")
        try:
            self.refused(cloud.address, "Lobby-500")
        finally:
            self.assertEqual(cloud.admin("clock", status=200), "ok")
        self.served_afresh("Lobby-500")

    def test_clock_answering_a_body_without_the_time(self):
        clock = ClockServer(lambda h: answer(h, 200, b"<html>time: 1700000000</html>"))
        self.refused(clock.address, "Lobby-no-time")
        self.served_afresh("Lobby-no-time")

    def test_clock_answering_bytes_that_are_not_http(self):
        def garbage(handler):
            handler.wfile.write(bytes(range(256)) * 4)
            handler.close_connection = True
        clock = ClockServer(garbage)
        self.refused(clock.address, "Lobby-garbage")
        self.served_afresh("Lobby-garbage")

    def test_clock_answering_late(self):
        asked = threading.Event()

        def late_time(handler):
            asked.set()
            good_time(handler, LATE_ANSWER_DELAY)

        late = ClockServer(late_time)
        slow = ClockServer(lambda h: good_time(h, 2))
        outcome = {}

        def late_request():
            outcome["took"] = self.refused(late.address, "Lobby-late", timeout=3 * LATE_LIMIT)

        waiting = threading.Thread(target=late_request)
        waiting.start()
        try:
            self.assertTrue(asked.wait(20), "the late clock was never asked")
            # Meanwhile others are served at once, also one whose clock is slow
            # but within the time-out.
            started = time.monotonic()
            reply = fh.gateway_request(query(cloud.address, "FLT-0002", "Yard"))
            self.assertEqual(gateway.kind(reply), "redirect")
            self.assertLess(time.monotonic() - started, LATE_LIMIT / 2)
            reply = fh.gateway_request(query(slow.address, "FLT-0002", "Yard"))
            self.assertEqual(gateway.kind(reply), "redirect")
        finally:
            waiting.join(4 * LATE_LIMIT)
        self.assertIn("took", outcome, "the late request did not end")
        self.assertGreaterEqual(outcome["took"], 2 * LATE_LIMIT - 1)
        self.served_afresh("Lobby-late")


if __name__ == "__main__":
    fh.run_module(sys.modules[__name__])
