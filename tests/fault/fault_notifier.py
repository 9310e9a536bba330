"""A notifier that resets its connection to the notice channel. Two notifiers
subscribe on 127.0.0.1:45000; one of them resets its connection (SO_LINGER 0,
as a notifier that crashes does). Network events of a device with an open
tunnel must still reach the other one, byte for byte, at every event; the
gateway closes the reset subscriber's socket at the first event after the
reset, and a new notifier takes its place and gets the events after it.

Usage: fault_notifier.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
import socket
import struct
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


def setUpModule():
    global cloud, gateway, workdir
    workdir = tempfile.TemporaryDirectory(prefix="harborgate-fault-")
    unittest.addModuleCleanup(workdir.cleanup)
    cloud = fh.DevCloud(DEVCLOUD, workdir.name)
    unittest.addModuleCleanup(cloud.stop)
    gateway = fh.Gateway(GATEWAY)
    unittest.addModuleCleanup(gateway.stop)


def subscribe():
    """A notifier's connection, once the gateway has taken it in."""
    before = gateway.descriptors()
    sock = socket.create_connection(("127.0.0.1", fh.NOTICE_PORT), timeout=10)
    fh.wait_until(lambda: gateway.descriptors() > before, 5, "the subscriber to be accepted")
    return sock


def reset(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def notice_of(count):
    return b"Info:WindowPopup,Devicename:Lobby,CountValue:%d,UrlIndex:1.\0" % count


def read_notice(sock):
    data = b""
    while not data.endswith(b"\0"):
        chunk = sock.recv(1)
        if not chunk:
            raise AssertionError("the notice channel closed after %r" % data)
        data += chunk
    return data


class ResetSubscriber(unittest.TestCase):
    def test_notices_reach_the_other_subscriber_after_a_reset(self):
        t = int(time.time()) + 600
        fh.ask_until_redirect(gateway, lambda: fh.gateway_request(
            fh.device_query(cloud.address, "FLT-0001", "Lobby", t)))
        gateway.quiet_counts()
        crashing = subscribe()
        staying = subscribe()
        descriptors = gateway.descriptors()
        reset(crashing)

        self.assertEqual(cloud.admin("netinfo", sn="FLT-0001", code=3, count=101), "ok")
        self.assertEqual(read_notice(staying), notice_of(101))
        # The reset subscriber's socket is closed at that first event.
        fh.wait_until(lambda: gateway.descriptors() == descriptors - 1, 5,
                      "the reset subscriber's socket to be closed")

        self.assertEqual(cloud.admin("netinfo", sn="FLT-0001", code=3, count=102), "ok")
        self.assertEqual(read_notice(staying), notice_of(102))

        newcomer = subscribe()
        self.assertEqual(cloud.admin("netinfo", sn="FLT-0001", code=3, count=103), "ok")
        self.assertEqual(read_notice(staying), notice_of(103))
        self.assertEqual(read_notice(newcomer), notice_of(103))
        # The gateway logs an event after sending its notice: wait for the line.
        gateway.program.wait_for_count("NetInfoEvent 3:103", 1, 5)
        self.assertEqual(gateway.program.count_lines("NetInfoEvent 3:10"), 3)
        staying.close()
        newcomer.close()


if __name__ == "__main__":
    fh.run_module(sys.modules[__name__])
