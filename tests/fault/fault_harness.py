"""Shared pieces of the fault tests: the e2e lock, the gateway and the device
cloud as child processes, the browser's side of the gateway's wire, and the
gateway's descriptors and threads as /proc shows them.

The gateway listens on the fixed ports 9999 and 45000, so every fault test holds
/tmp/harborgate-e2e.lock for its whole run. Every wait is bounded; every process
a test starts is ended by its own PID, at the latest when the test process ends.
"""
import base64
import json
import os
import re
import shutil
import socket
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import (  # noqa: E402,F401
    CHECK_CODE_SALT, GATEWAY_PORT, LOCK_PATH, NOTICE_PORT, PAGE_FILES, WITH_HOST_ADDRESS,
    check_code, free_port, hold_e2e_lock, is_listening, run_module, started,
    wait_for_listeners, wait_until, wait_until_ports_free)

REDIRECT = re.compile(
    rb"HTTP/1\.1 200 OK\nContent-Type: text/html; charset = utf-8\n\n"
    rb"<html><head></head><body><script/javascript>window\.location\.href ="
    rb"\"http://localhost:(\d+)/\?user=[^&\"]*&Key=[^&\"]*&Key2=([^&\"]*)\""
    rb"</script></body></html>\0*")

# Accounts of the fault tests: two built-in devices and one whose agent runs as
# a process of its own.
CLOUD_CONFIG = {"accounts": [{"user": "fault", "password": "pw", "devices": [
    {"sn": "FLT-0001", "name": "Lobby", "tunnel_id": "tn-flt-0001", "user": "admin",
     "key": "k-flt-1"},
    {"sn": "FLT-0002", "name": "Yard", "tunnel_id": "tn-flt-0002", "user": "admin",
     "key": "k-flt-2"},
    {"sn": "FLT-EXT1", "name": "Dock", "tunnel_id": "tn-flt-ext1", "user": "admin",
     "key": "k-flt-3", "agent": "external", "agent_secret": "secret-of-flt-ext1"}]}]}


class Program(harness.Program):
    """A child process of the fault tests: lines are matched as plain text (log
    lines hold brackets), and a process can be ended as a crash would end it."""

    @property
    def pid(self):
        return self.proc.pid

    def count_lines(self, text):
        return sum(1 for line in self.output() if text in line)

    def wait_for_count(self, text, count, timeout):
        """Waits until text is in at least count lines; fails if the program ends."""
        def reached():
            if self.count_lines(text) >= count:
                return True
            if self.proc.poll() is not None:
                raise AssertionError("%s ended (%s) waiting for %r:\n%s" % (
                    self.args[0], self.proc.returncode, text, "\n".join(self.output()[-40:])))
            return False
        try:
            wait_until(reached, timeout, "%d lines with %r" % (count, text))
        except AssertionError as e:
            raise AssertionError("%s; %s printed last:\n%s" % (
                e, self.args[-1], "\n".join(self.output()[-30:]))) from None

    def kill(self):
        """Ends the process at once (SIGKILL), as a crash or a power cut would."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        harness.running.discard(self)
        self._reader.join(5)
        self.proc.stdout.close()


class DevCloud:
    """devcloud on a given (or free) port with the accounts of config (the fault
    tests' by default), written into config_dir; args are added to its command."""

    def __init__(self, binary, config_dir, port=None, config=None, args=()):
        self.binary = binary
        self.port = port or free_port()
        self.address = "127.0.0.1:%d" % self.port
        self.config = os.path.join(config_dir, "cloud-%d.json" % self.port)
        with open(self.config, "w") as f:
            json.dump(config or CLOUD_CONFIG, f)
        self.program = Program([binary, "--listen", self.address, "--config", self.config,
                                *args])
        started(self.program,
                lambda: wait_until(self._answers, 20, "devcloud's /getime on " + self.address))

    @property
    def pid(self):
        return self.program.pid

    def _answers(self):
        if self.program.proc.poll() is not None:
            raise AssertionError("devcloud ended:\n" + "\n".join(self.program.output()))
        try:
            self.get("/getime")
            return True
        except OSError:
            return False

    def get(self, path):
        with urllib.request.urlopen("http://%s%s" % (self.address, path), timeout=10) as r:
            return r.read().decode("utf-8")

    def admin(self, path, **params):
        url = "http://%s/admin/%s?%s" % (self.address, path, urllib.parse.urlencode(params))
        request = urllib.request.Request(url, data=b"", method="POST",
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.read().decode("utf-8")

    def device_stats(self, sn):
        stats = json.loads(self.get("/admin/stats"))
        devices = stats["devices"] if isinstance(stats, dict) else stats
        return next(d for d in devices if d["sn"] == sn)

    def service_time(self):
        return int(re.search(r"t=(-?\d+)", self.get("/getime")).group(1))

    def start_agent(self, sn):
        """One device agent as a process of its own, which reads its secret from
        the cloud's config; ready once the relay has it."""
        agent = Program([self.binary, "--agent", sn, "--cloud", self.address,
                         "--config", self.config])
        wait_until(lambda: self.device_stats(sn)["agent"], 15, "the agent of " + sn)
        return agent

    def stop(self):
        self.program.stop()


class Gateway:
    """The gateway started from a folder of its own with its page files."""

    def __init__(self, binary, prefix=()):
        """prefix: a command that runs the gateway's wrapper (prlimit, say)."""
        wait_until_ports_free()
        self.folder = tempfile.mkdtemp(prefix="harborgate-fault-")
        self.program = None
        try:
            shutil.copy2(binary, self.folder)
            for page in PAGE_FILES:
                shutil.copy2(os.path.join(os.path.dirname(binary), page), self.folder)
            # The wrapper ends by executing the gateway, so the PID is the gateway's.
            self.program = Program(list(prefix) + [WITH_HOST_ADDRESS,
                                                   os.path.join(self.folder, "harborgate")],
                                   cwd=self.folder)
            self.program.wait_for_count("The log path : ", 1, 15)
            wait_for_listeners(self.program)
        except BaseException:
            self.stop()
            raise

    @property
    def pid(self):
        return self.program.pid

    def page(self, name):
        """A page file as the gateway sends it: CR LF read as LF, 0x1A ends it."""
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read().split(b"\x1a")[0].replace(b"\r\n", b"\n")

    def kind(self, reply):
        if not reply:
            return "nothing"
        for name in PAGE_FILES:
            if reply == self.page(name):
                return name[:-len(".html")]
        if REDIRECT.fullmatch(reply):
            return "redirect"
        return "unknown"

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.pid))

    def quiet_counts(self, timeout=10):
        """Descriptors and threads once they stay the same over a reaper pass."""
        def steady():
            before = (self.descriptors(), self.threads())
            time.sleep(1.2)
            return before if before == (self.descriptors(), self.threads()) else None
        return wait_until(steady, timeout, "the gateway's descriptors and threads to settle")

    def settles_at(self, descriptors, threads, timeout=8):
        """Waits until the gateway holds exactly these counts again (the reaper
        closes finished connections about once a second)."""
        wait_until(lambda: (self.descriptors(), self.threads()) == (descriptors, threads),
                   timeout, "%d descriptors and %d threads (now %d and %d)" % (
                       descriptors, threads, self.descriptors(), self.threads()))

    def stop(self):
        if self.program:
            self.program.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def device_query(clock_address, serial, name, t, user="fault", password="pw"):
    """The query a portal link carries; hi names the service clock and cloud, and
    comes before a last "&" so that the gateway's key scan ends it there."""
    return "t=%s&k=%s&u=%s&c=%s&ds=%s&dn=%s&si=127.0.0.1&sc=1&hi=%s&" % (
        t, check_code(t), user, password, serial, urllib.parse.quote(name), clock_address)


def request_bytes(query):
    return ("GET /?%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: text/html\r\n\r\n" % (
        query, GATEWAY_PORT)).encode()


def read_to_end(sock, timeout):
    """Everything sent on sock until the peer closes it; fails after timeout."""
    deadline = time.monotonic() + timeout
    data = b""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("the connection was still open after %ss" % timeout)
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return data
        if not chunk:
            return data
        data += chunk


def gateway_request(query, timeout=30):
    """One browser request; the bytes the gateway sent before it closed."""
    with socket.create_connection(("127.0.0.1", GATEWAY_PORT), timeout=10) as sock:
        sock.sendall(request_bytes(query))
        return read_to_end(sock, timeout)


def mapped_ports(reply):
    """The local ports of a redirect reply's Key2 record, by record member."""
    key2 = REDIRECT.fullmatch(reply).group(2)
    return {name: int(port) for name, port in json.loads(base64.b64decode(key2)).items()
            if name != "ip"}


def ask_until_redirect(gateway, ask, limit=30):
    """Asks as the waiting page does; the kinds up to the redirect, and its reply."""
    kinds = []
    for _ in range(limit):
        reply = ask()
        kinds.append(gateway.kind(reply))
        if kinds[-1] == "redirect":
            return kinds, reply
        time.sleep(0.3)
    raise AssertionError("no redirect after %d requests: %s" % (limit, kinds))


def read_exactly(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            break
        data += chunk
    return data


def can_connect(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return True
    except OSError:
        return False
