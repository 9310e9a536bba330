"""A device's tunnel comes up while a second session of the same serial, under
another name, is still creating its client. The request's hi= names a cloud of
this test that holds its sign-in answer until told, so the order is certain:
the second session's record is claimed, the first name's tunnel comes up and
its ports are written into the serial's sessions, then the second name is asked
for again. That record has no client yet: it must still be waiting, not served
as ready; once its sign-in is refused, the gateway serves the first name at once
and is still running.

Usage: fault_create_race.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
import http.server
import socket
import sys
import tempfile
import threading
import time
import unittest

import fault_harness as fh

GATEWAY = None
DEVCLOUD = None


class HeldCloud:
    """Answers the service clock at once and holds every sign-in until released,
    then refuses it."""

    def __init__(self):
        self.signin_seen = threading.Event()
        self.release = threading.Event()
        held = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def reply(self, status, body):
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                if self.path.startswith("/getime"):
                    self.reply(200, b"t=%d" % int(time.time()))
                else:
                    self.reply(404, b"")

            def do_POST(self):
                held.signin_seen.set()
                held.release.wait(30)
                self.reply(403, b'{"error":"refused"}')

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.address = "127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


class CreateRaceTest(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="harborgate-fault-")
        self.cloud = fh.DevCloud(DEVCLOUD, self.workdir.name)
        self.held = HeldCloud()
        self.gateway = fh.Gateway(GATEWAY)

    def tearDown(self):
        self.gateway.stop()
        self.held.stop()
        self.cloud.stop()
        self.workdir.cleanup()

    def query(self, server, name):
        t = int(time.time()) + 600
        return fh.device_query(server, "FLT-0001", name, t)

    def test_record_without_client_is_never_served_as_ready(self):
        # The second name's request claims its record and blocks in the sign-in.
        creating = socket.create_connection(("127.0.0.1", fh.GATEWAY_PORT), timeout=10)
        try:
            creating.sendall(fh.request_bytes(self.query(self.held.address, "Side")))
            self.assertTrue(self.held.signin_seen.wait(15), "no sign-in reached the held cloud")
            # The first name's tunnel comes up meanwhile.
            kinds, _ = fh.ask_until_redirect(
                self.gateway, lambda: fh.gateway_request(self.query(self.cloud.address, "Lobby")))
            self.assertEqual(kinds[0], "trystun")
            # The second name again: its record is still being created.
            reply = fh.gateway_request(self.query(self.held.address, "Side"), timeout=10)
            self.assertIsNone(self.gateway.program.proc.poll(), "the gateway died")
            self.assertEqual(self.gateway.kind(reply), "trystun")
            self.gateway.program.wait_for_count("device session existed.devicesn is FLT-0001.", 1,
                                                5)
            self.held.release.set()
            self.gateway.program.wait_for_count("CreateClient fail.deviceSN is FLT-0001.", 1, 10)
            self.assertEqual(self.gateway.kind(fh.read_to_end(creating, 10)), "trystun")
        finally:
            creating.close()
        # A real request is served at once, and the gateway lives on.
        reply = fh.gateway_request(self.query(self.cloud.address, "Lobby"), timeout=5)
        self.assertEqual(self.gateway.kind(reply), "redirect")
        self.assertIsNone(self.gateway.program.proc.poll(), "the gateway died")


if __name__ == "__main__":
    fh.run_module(sys.modules[__name__])
