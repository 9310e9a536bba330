"""Hostile local peers and pages. Notifiers that connect and vanish, and one
that never reads, must not lock the real notifier out nor stall the tunnel; a
flood of idle connections to a mapped port that uses up the descriptors must
not end the gateway; a request naming a foreign host gets no reply; a
connection sending icon requests is still closed after 30 s. After each, a
real request is served and the gateway's descriptors and threads come back.

The gateway runs under a low descriptor limit (hard and soft), so that the
flood reaches it with few connections.

Usage: fault_hostile.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
import re
import socket
import sys
import tempfile
import time
import unittest

import fault_harness as fh

GATEWAY = None
DEVCLOUD = None
cloud = None
gateway = None
workdir = None
DESCRIPTOR_LIMIT = 160


def setUpModule():
    global cloud, gateway, workdir
    workdir = tempfile.TemporaryDirectory(prefix="harborgate-fault-")
    cloud = fh.DevCloud(DEVCLOUD, workdir.name)
    gateway = fh.Gateway(GATEWAY, prefix=(
        "prlimit", "--nofile=%d:%d" % (DESCRIPTOR_LIMIT, DESCRIPTOR_LIMIT), "--"))


def tearDownModule():
    if gateway:
        gateway.stop()
    if cloud:
        cloud.stop()
    if workdir:
        workdir.cleanup()


def query(t=None):
    return fh.device_query(cloud.address, "FLT-0001", "Lobby", t or int(time.time()) + 600)


def tunnel_up():
    """The device's redirect reply, once its tunnel is up."""
    return fh.ask_until_redirect(gateway, lambda: fh.gateway_request(query()))[1]


def served():
    return gateway.kind(fh.gateway_request(query(), timeout=10)) == "redirect"


def read_notice(sock):
    data = b""
    while not data.endswith(b"\0"):
        chunk = sock.recv(1)
        if not chunk:
            raise AssertionError("the notice channel closed after %r" % data)
        data += chunk
    return data


class Hostile(unittest.TestCase):
    def test_1_notifiers_that_vanish_or_never_read(self):
        tunnel_up()
        descriptors, threads = gateway.quiet_counts()
        for _ in range(64):
            socket.create_connection(("127.0.0.1", fh.NOTICE_PORT), timeout=10).close()
        # A notifier that never reads, with the smallest receive buffer.
        stalled = socket.socket()
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
        stalled.connect(("127.0.0.1", fh.NOTICE_PORT))
        fh.wait_until(lambda: sum(1 for line in gateway.program.output()
                                  if re.search(r"Notice subscriber \d+ closed", line)) >= 64,
                      10, "64 notifiers that left to be freed")
        self.assertEqual(gateway.program.count_lines("Notice subscribers full"), 0)
        dropped = "dropped: it does not take a whole notice"
        events = 0
        while gateway.program.count_lines(dropped) == 0:
            self.assertLess(events, 20000, "the stalled notifier was never dropped")
            self.assertEqual(cloud.admin("netinfo", sn="FLT-0001", code=5, count=events), "ok")
            events += 1
        # The stalled notifier got whole notices only, then the end.
        stalled.settimeout(10)
        got = b""
        while True:
            chunk = stalled.recv(65536)
            if not chunk:
                break
            got += chunk
        stalled.close()
        pieces = got.split(b"\0")
        self.assertEqual(pieces[-1], b"")
        for piece in pieces[:-1]:
            self.assertRegex(piece,
                             rb"^Info:WindowPopup,Devicename:Lobby,CountValue:\d+,UrlIndex:1\.$")
        # A real notifier is taken in and gets a whole notice.
        before = gateway.descriptors()
        notifier = socket.create_connection(("127.0.0.1", fh.NOTICE_PORT), timeout=10)
        fh.wait_until(lambda: gateway.descriptors() > before, 5, "the notifier to be accepted")
        self.assertEqual(cloud.admin("netinfo", sn="FLT-0001", code=6, count=1), "ok")
        self.assertEqual(read_notice(notifier),
                         b"Info:WindowPopup,Devicename:Lobby,CountValue:1,UrlIndex:1.\0")
        self.assertTrue(served())
        notifier.close()
        gateway.settles_at(descriptors, threads)

    def test_2_idle_flood_on_a_mapped_port(self):
        reply = tunnel_up()
        descriptors, threads = gateway.quiet_counts()
        port = int(fh.REDIRECT.fullmatch(reply).group(1))
        flood, waiting = [], []
        retrying = "Failed accept(),error code :24,retrying"
        try:
            # Idle connections until the gateway holds every descriptor it may
            # (the tunnel library keeps trying, so one may come and go).
            while gateway.descriptors() < DESCRIPTOR_LIMIT - 1:
                self.assertLess(len(flood), 2 * DESCRIPTOR_LIMIT,
                                "%d descriptors" % gateway.descriptors())
                flood.append(socket.create_connection(("127.0.0.1", port), timeout=5))
                time.sleep(0.01)
            # Browsers' connections until one finds no descriptor left.
            while gateway.program.count_lines(retrying) == 0:
                self.assertLess(len(waiting), 20, "no accept failed")
                waiting.append(socket.create_connection(("127.0.0.1", fh.GATEWAY_PORT),
                                                        timeout=5))
                time.sleep(0.2)
        finally:
            for s in flood + waiting:
                s.close()
        # One line per burst: a burst ends only at an accept that worked.
        self.assertLessEqual(gateway.program.count_lines(retrying), len(waiting))
        self.assertIsNone(gateway.program.proc.poll())
        tunnel_up()
        # The library may have given up a spare relay connection on the way.
        fh.wait_until(lambda: gateway.descriptors() <= descriptors and
                      gateway.threads() <= threads, 40,
                      "at most %d descriptors and %d threads" % (descriptors, threads))

    def test_3_foreign_host_gets_no_reply(self):
        tunnel_up()
        descriptors, threads = gateway.quiet_counts()
        with socket.create_connection(("127.0.0.1", fh.GATEWAY_PORT), timeout=10) as sock:
            sock.sendall(("GET /?%s HTTP/1.1\r\nHost: rebound.test:9999\r\n\r\n" % query())
                         .encode())
            self.assertEqual(fh.read_to_end(sock, 10), b"")
        gateway.program.wait_for_count("Refused request for host rebound.test:9999", 1, 5)
        self.assertTrue(served())
        gateway.settles_at(descriptors, threads)

    def test_4_icon_requests_do_not_hold_a_slot(self):
        tunnel_up()
        descriptors, threads = gateway.quiet_counts()
        icon = b"GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1:9999\r\n\r\n"
        sent = 0
        with socket.create_connection(("127.0.0.1", fh.GATEWAY_PORT), timeout=10) as sock:
            sock.settimeout(4)
            while sent < 15:  # far beyond the connection's 30 s
                try:
                    sock.sendall(icon)
                    sent += 1
                    if sock.recv(1) == b"":
                        break
                except socket.timeout:
                    continue
                except OSError:
                    break
        self.assertLess(sent, 15)
        self.assertTrue(served())
        gateway.settles_at(descriptors, threads)


if __name__ == "__main__":
    fh.run_module(sys.modules[__name__])
