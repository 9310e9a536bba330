"""The harness of the whole-program tests, tried on a gateway that cannot start:
each test script that starts the device cloud and then the gateway is run with
a gateway that ends at once and a devcloud that notes its PID. The script must
fail, say why, and leave no devcloud running.

Usage: harness_cleanup_test.py --devcloud build/bin/devcloud
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FAULT = os.path.join(HERE, "..", "fault")
DEVCLOUD = None
STUB_SAYS = "stub gateway: cannot start"
# Every script whose set-up starts a devcloud before the gateway, with the
# arguments it needs besides --gateway and --devcloud.
SCRIPTS = [
    (os.path.join(HERE, "e2e_gateway_devcloud.py"), []),
    (os.path.join(HERE, "e2e_browser.py"), ["--out", "{work}/out"]),
    (os.path.join(HERE, "e2e_video.py"), []),
    (os.path.join(FAULT, "fault_clock.py"), []),
    (os.path.join(FAULT, "fault_tunnel.py"), []),
    (os.path.join(FAULT, "fault_notifier.py"), []),
    (os.path.join(FAULT, "fault_load.py"), []),
]


def write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


def still_running(pid, binary):
    """Whether pid is a devcloud that runs yet (not one that ended, nor a PID
    that another program has taken since)."""
    try:
        return os.path.samefile(os.readlink("/proc/%d/exe" % pid), binary)
    except OSError:
        return False


class GatewayCannotStart(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="harborgate-harness-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.pids = os.path.join(self.work, "devcloud-pids")
        self.devcloud = os.path.join(self.work, "devcloud")
        write_script(self.devcloud, '#!/bin/sh\necho $$ >>"%s"\nexec "%s" "$@"\n' % (
            self.pids, DEVCLOUD))
        gateway_dir = os.path.join(self.work, "gateway")
        os.mkdir(gateway_dir)
        self.gateway = os.path.join(gateway_dir, "harborgate")
        write_script(self.gateway, "#!/bin/sh\necho '%s'\nexit 1\n" % STUB_SAYS)
        for page in ("trystun.html", "trystunfailed.html"):
            open(os.path.join(gateway_dir, page), "w").close()

    def started_devclouds(self):
        if not os.path.exists(self.pids):
            return []
        with open(self.pids) as f:
            return [int(line) for line in f if line.strip()]

    def test_no_devcloud_left_behind(self):
        for script, extra in SCRIPTS:
            with self.subTest(script=os.path.basename(script)):
                if os.path.exists(self.pids):
                    os.remove(self.pids)
                args = [a.format(work=self.work) for a in extra]
                run = subprocess.run(
                    [sys.executable, script, "--gateway", self.gateway,
                     "--devcloud", self.devcloud, *args],
                    stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=180)
                output = run.stdout + run.stderr
                started = self.started_devclouds()
                left = [pid for pid in started if still_running(pid, DEVCLOUD)]
                for pid in left:
                    os.kill(pid, signal.SIGKILL)
                self.assertNotEqual(run.returncode, 0, output)
                self.assertIn(STUB_SAYS, output)
                self.assertTrue(started, "no devcloud was started:\n" + output)
                self.assertEqual(left, [], "devcloud still running after:\n" + output)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--devcloud", required=True)
    args, rest = parser.parse_known_args()
    DEVCLOUD = os.path.abspath(args.devcloud)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
