"""The Windows package as a user meets it: make-dist's zip unpacked into a
folder whose path holds a space, harborgate.exe started from there under Wine
(inside scripts/with-wine), a device's web interface reached through it, and
its log folder beside it.

Usage: e2e_dist.py --build build-win --devcloud build/bin/devcloud
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_DIST = os.path.join(HERE, "..", "..", "scripts", "make-dist")
BUILD = None
DEVCLOUD = None
FRONT_DOOR = ("DEMO-0001", "Front door")
REDIRECT_URL = re.compile(rb"window\.location\.href =\"http://localhost:(\d+)(/\?[^\"]*)\"")


class Package(unittest.TestCase):
    def setUp(self):
        made = subprocess.run([MAKE_DIST, BUILD], capture_output=True, text=True, timeout=120)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.zip_path = made.stdout.strip()
        self.place = tempfile.mkdtemp(prefix="harborgate dist ")
        self.gateway = self.cloud = None

    def tearDown(self):
        if self.gateway:
            self.gateway.stop()
        if self.cloud:
            self.cloud.stop()
        shutil.rmtree(self.place, ignore_errors=True)

    def test_unpacked_gateway_serves_a_device_and_logs_beside_itself(self):
        name = os.path.basename(self.zip_path)[:-len(".zip")]
        self.assertRegex(name, r"^harborgate-.+-win64$")
        with zipfile.ZipFile(self.zip_path) as z:
            self.assertEqual(sorted(z.namelist()), sorted(
                "%s/%s" % (name, n) for n in ("harborgate.exe", "harborpop.exe", "trystun.html",
                                              "trystunfailed.html", "README-windows.txt")))
            readme = z.read(name + "/README-windows.txt")
            z.extractall(self.place)
        self.assertIn(b"9999", readme)
        self.assertNotIn(b"\n", readme.replace(b"\r\n", b""))
        folder = os.path.join(self.place, name)

        self.cloud = harness.DevCloud(DEVCLOUD)
        self.gateway = harness.Gateway(folder)
        line = self.gateway.program.wait_for_line(r"The log path : ")
        self.assertTrue(line.endswith(harness.shown_path(os.path.join(folder, "log"))), line)

        match = None
        for _ in range(20):
            reply = harness.gateway_request(harness.device_query(self.cloud, *FRONT_DOOR))
            match = REDIRECT_URL.search(reply)
            if match:
                break
            self.assertEqual(harness.page_kind(reply, folder), "trystun")
            time.sleep(0.3)
        self.assertIsNotNone(match, "no redirect through the unpacked gateway")
        status, body = harness.local_get(int(match.group(1)), match.group(2).decode())
        self.assertEqual(status, 200)
        self.assertIn("DEMO-0001", body)

        log = os.path.join(folder, "log")
        harness.wait_until(lambda: any(n.startswith("p2plog_") for n in os.listdir(log)), 10,
                           "a p2plog_ file in the log folder beside the program")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--devcloud", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    DEVCLOUD = os.path.abspath(args.devcloud)
    lock = harness.hold_e2e_lock()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
