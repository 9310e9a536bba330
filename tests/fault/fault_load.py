"""A storm of connections: 2000 of them, 200 at once, a quarter of them garbage
or cut short (random bytes; half a request and then the end; a connection
closed at once). While it lasts, every connection ends (none is left hanging),
every reply is a whole redirect page, and well-formed requests keep being
answered; afterwards the next well-formed requests are all answered and the
gateway holds as many descriptors and threads as before the storm.

Usage: fault_load.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
import collections
import concurrent.futures
import random
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
CONNECTIONS = 2000
AT_ONCE = 200
# A connection ends at the latest when the reaper closes it after its worker,
# or when the gateway's read of a silent connection gives up after 30 s.
CONNECTION_LIMIT = 45


def setUpModule():
    global cloud, gateway, workdir
    workdir = tempfile.TemporaryDirectory(prefix="harborgate-fault-")
    unittest.addModuleCleanup(workdir.cleanup)
    cloud = fh.DevCloud(DEVCLOUD, workdir.name)
    unittest.addModuleCleanup(cloud.stop)
    gateway = fh.Gateway(GATEWAY)
    unittest.addModuleCleanup(gateway.stop)


def good_request():
    t = int(time.time()) + 600
    return fh.request_bytes(fh.device_query(cloud.address, "FLT-0001", "Lobby", t))


def one_connection(kind, rng):
    """Runs one connection of the storm; what came of it."""
    try:
        with socket.create_connection(("127.0.0.1", fh.GATEWAY_PORT), timeout=15) as sock:
            if kind == "garbage":
                sock.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 3000))))
            elif kind == "cut":
                request = good_request()
                sock.sendall(request[:rng.randrange(len(request) // 2)])
                return "cut"
            elif kind == "good":
                sock.sendall(good_request())
            reply = fh.read_to_end(sock, CONNECTION_LIMIT)
    except (ConnectionResetError, BrokenPipeError):
        return kind + ":reset"
    except socket.timeout:
        return kind + ":connect-timeout"
    if kind != "good":
        return kind + (":answered" if reply else ":ended")
    return "good:" + gateway.kind(reply)


def storm():
    rng = random.Random(20240611)
    kinds = ["garbage" if i % 8 == 0 else "cut" if i % 8 == 4 else "good"
             for i in range(CONNECTIONS)]
    seeds = [rng.randrange(1 << 30) for _ in kinds]
    with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
        outcomes = pool.map(lambda ks: one_connection(ks[0], random.Random(ks[1])),
                            zip(kinds, seeds))
        return collections.Counter(outcomes)


class ConnectionStorm(unittest.TestCase):
    def test_storm_of_good_garbage_and_cut_connections(self):
        fh.ask_until_redirect(gateway, lambda: fh.gateway_request(
            fh.device_query(cloud.address, "FLT-0001", "Lobby", int(time.time()) + 600)))
        descriptors, threads = gateway.quiet_counts()

        outcomes = storm()
        summary = dict(outcomes)
        self.assertEqual(sum(outcomes.values()), CONNECTIONS, summary)
        # Well-formed requests get the redirect, or nothing while every worker
        # slot is taken; never a cut or wrong reply, never a hang.
        good = {k: v for k, v in outcomes.items() if k.startswith("good:")}
        self.assertLessEqual(set(good), {"good:redirect", "good:nothing"}, summary)
        self.assertGreater(good.get("good:redirect", 0), 0, summary)
        self.assertEqual(outcomes["garbage:answered"], 0, summary)
        self.assertFalse([k for k in outcomes if k.endswith("connect-timeout")], summary)

        time.sleep(1.5)  # the reaper frees the storm's last slots
        for _ in range(5):
            reply = fh.gateway_request(fh.device_query(cloud.address, "FLT-0001", "Lobby",
                                                       int(time.time()) + 600))
            self.assertEqual(gateway.kind(reply), "redirect")
        gateway.settles_at(descriptors, threads, timeout=10)
        self.assertIsNone(gateway.program.proc.poll())


if __name__ == "__main__":
    fh.run_module(sys.modules[__name__])
