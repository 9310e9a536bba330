"""Tunnels ending under the gateway: the relay ended in the middle of a transfer
(the whole device cloud killed), and a device agent ended (its own process
killed). After each: the transfer through the mapped port ends instead of
hanging, the library calls the closed callback, the session is doomed and
reaped, its local ports are released, the gateway holds as many descriptors and
threads as before the session, and the next request for the device starts
afresh with the waiting page and leads to the device again once it is back.

Usage: fault_tunnel.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
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
CLOSED = "Call CloudTunnelClosedCallBackFun() function OK!"
REAPED = "DeleteClientHandle["
CLOCK_REFUSED = "t is error!!!!!!!!!!!!!!!!!!!!!"


def setUpModule():
    global cloud, gateway, workdir
    workdir = tempfile.TemporaryDirectory(prefix="harborgate-fault-")
    unittest.addModuleCleanup(workdir.cleanup)
    cloud = fh.DevCloud(DEVCLOUD, workdir.name)
    # A case replaces the cloud it killed: the one running at the end is ended.
    unittest.addModuleCleanup(lambda: cloud.stop())
    gateway = fh.Gateway(GATEWAY)
    unittest.addModuleCleanup(gateway.stop)
    # A stale request runs the clock query once, so the counts taken before a
    # session already include whatever the first query sets up for good.
    fh.gateway_request(fh.device_query(cloud.address, "FLT-0002", "Yard", t=1))
    gateway.program.wait_for_count(CLOCK_REFUSED, 1, 10)


def ask(serial, name):
    t = int(time.time()) + 600
    return fh.gateway_request(fh.device_query(cloud.address, serial, name, t))


def stream_some(port, size):
    """Reads size bytes of the media port's test pattern on port; the open socket."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    sock.sendall(b"pattern\n")
    got = 0
    while got < size:
        chunk = sock.recv(1 << 20)
        if not chunk:
            raise AssertionError("the stream ended after %d bytes" % got)
        got += len(chunk)
    return sock


def echo_link(port):
    """Connects to an echo service on port and checks an echo; the open socket."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    greeting = b""
    while not greeting.endswith(b"\n"):
        chunk = sock.recv(1)
        if not chunk:
            raise AssertionError("no greeting: %r" % greeting)
        greeting += chunk
    # As much as a device's answers to a web page: more than the reaper's
    # threshold of traffic in one pass.
    message = b"ping " * 200 + b"\n"
    sock.sendall(message)
    if fh.read_exactly(sock, len(message)) != message:
        raise AssertionError("no echo")
    return sock


def ends_within(sock, timeout):
    """True when the peer ends sock (close or reset) within timeout seconds,
    whatever it still sends before."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            if not sock.recv(1 << 20):
                return True
        except socket.timeout:
            return False
        except OSError:
            return True
    return False


class TunnelEnds(unittest.TestCase):
    def end_and_reap(self, link, end, before):
        """Ends the far side with end(); then the link ends, the callback runs,
        the session is reaped with its ports, and the counts are as before."""
        descriptors, threads, ports = before
        closed = gateway.program.count_lines(CLOSED)
        reaped = gateway.program.count_lines(REAPED)
        end()
        self.assertTrue(ends_within(link, 10), "the transfer did not end")
        link.close()
        gateway.program.wait_for_count(CLOSED, closed + 1, 10)
        gateway.program.wait_for_count(REAPED, reaped + 1, 10)
        fh.wait_until(lambda: not any(fh.can_connect(p) for p in ports), 5,
                      "the mapped ports to be released")
        gateway.settles_at(descriptors, threads)

    def starts_afresh(self, serial, name):
        made = "Call CloudTryConnectDevice function OK.deviceSN is %s." % serial
        count = gateway.program.count_lines(made)
        self.assertEqual(gateway.kind(ask(serial, name)), "trystun")
        gateway.program.wait_for_count(made, count + 1, 10)

    def test_relay_ended_in_the_middle_of_a_transfer(self):
        global cloud
        descriptors, threads = gateway.quiet_counts()
        kinds, reply = fh.ask_until_redirect(gateway, lambda: ask("FLT-0001", "Lobby"))
        self.assertEqual(kinds[0], "trystun")
        ports = fh.mapped_ports(reply)
        link = stream_some(ports["live"], 4 << 20)
        self.end_and_reap(link, cloud.program.kill,
                          (descriptors, threads, [p for p in ports.values() if p]))

        port = cloud.port
        cloud = fh.DevCloud(DEVCLOUD, workdir.name, port=port)
        self.starts_afresh("FLT-0001", "Lobby")
        kinds, reply = fh.ask_until_redirect(gateway, lambda: ask("FLT-0001", "Lobby"))
        stream_some(fh.mapped_ports(reply)["live"], 1 << 20).close()

    def test_device_agent_ended(self):
        agent = cloud.start_agent("FLT-EXT1")
        try:
            descriptors, threads = gateway.quiet_counts()
            kinds, reply = fh.ask_until_redirect(gateway, lambda: ask("FLT-EXT1", "Dock"))
            ports = fh.mapped_ports(reply)
            link = echo_link(ports["sdk"])
            self.end_and_reap(link, agent.kill,
                              (descriptors, threads, [p for p in ports.values() if p]))
            stats = cloud.device_stats("FLT-EXT1")
            self.assertEqual((stats["agent"], stats["tunnels"]), (False, 0), stats)

            self.starts_afresh("FLT-EXT1", "Dock")
            agent = cloud.start_agent("FLT-EXT1")
            kinds, reply = fh.ask_until_redirect(gateway, lambda: ask("FLT-EXT1", "Dock"))
            echo_link(fh.mapped_ports(reply)["sdk"]).close()
        finally:
            # The device goes away for good; its session goes with it, so the
            # next case starts from a gateway without sessions.
            reaped = gateway.program.count_lines(REAPED)
            agent.stop()
            gateway.program.wait_for_count(REAPED, reaped + 1, 10)


if __name__ == "__main__":
    fh.run_module(sys.modules[__name__])
