"""Shared pieces of the whole-program tests: the e2e lock, the programs under
test started as child processes, and the browser's side of the gateway's wire.

The gateway listens on fixed ports (9999, 45000), so every test holds
/tmp/harborgate-e2e.lock while it runs. Every wait is bounded; every process a
test starts is ended by its PID when the test is done, and whatever is still
running when the test process ends, however it ends, is ended then.
"""
import argparse
import atexit
import fcntl
import hashlib
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
import unittest

LOCK_PATH = "/tmp/harborgate-e2e.lock"
CHECK_CODE_SALT = "5e1c0a9f3b7d24e86c0f1a2b3d4e5f60"
GATEWAY_PORT = 9999
NOTICE_PORT = 45000
PAGE_FILES = ("trystun.html", "trystunfailed.html")
# Gives the gateway a host name with an address other than 127.0.0.1.
WITH_HOST_ADDRESS = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                 "with-host-address")


# The programs started and not yet stopped. A set-up that fails halfway, an
# error nobody catches or a SIGTERM must not leave one of them running.
running = set()


def stop_running_programs():
    for program in list(running):
        program.stop()


def _end_on_sigterm(signum, frame):
    # No waiting here: the main thread may be inside a wait on the same process.
    for program in list(running):
        if program.proc.poll() is None:
            program.proc.kill()
    os._exit(128 + signum)


atexit.register(stop_running_programs)


def hold_e2e_lock():
    """Blocks until this process holds the e2e lock; it lasts until exit."""
    signal.signal(signal.SIGTERM, _end_on_sigterm)
    lock = os.open(LOCK_PATH, os.O_RDWR | os.O_CREAT, 0o666)
    fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


def run_module(module):
    """The entry of a test script that drives a gateway against a device cloud:
    takes --gateway and --devcloud into the module's GATEWAY and DEVCLOUD, then
    runs its tests under the whole-program lock; the rest goes to unittest."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--devcloud", required=True)
    args, rest = parser.parse_known_args()
    module.GATEWAY = os.path.abspath(args.gateway)
    module.DEVCLOUD = os.path.abspath(args.devcloud)
    lock = hold_e2e_lock()
    try:
        unittest.main(module=module, argv=[sys.argv[0]] + rest, verbosity=2)
    finally:
        os.close(lock)


def local_get(port, path):
    """A GET on 127.0.0.1:port: the status and the body as text."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=15)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read().decode("utf-8", "replace")
    finally:
        conn.close()


def start_module_programs(devcloud, gateway_binary):
    """A device cloud and a gateway in a folder of its own for a test module,
    each undone at the module's end (also when a later start fails)."""
    cloud = DevCloud(devcloud)
    unittest.addModuleCleanup(cloud.stop)
    folder = gateway_folder(gateway_binary)
    unittest.addModuleCleanup(shutil.rmtree, folder, ignore_errors=True)
    gateway = Gateway(folder)
    unittest.addModuleCleanup(gateway.stop)
    return cloud, folder, gateway


def check_code(t):
    return hashlib.md5((str(t) + CHECK_CODE_SALT).encode()).hexdigest()


def port_is_free(port):
    """Free for a listener, as the gateway binds it: connections of an earlier
    run that linger in TIME_WAIT do not count."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def wait_until_ports_free():
    """Before a gateway starts: 45000 lies in Linux's ephemeral range, and a
    connection that took it as its local port blocks the gateway's listener for
    up to a minute of TIME_WAIT after it closed."""
    wait_until(lambda: port_is_free(GATEWAY_PORT) and port_is_free(NOTICE_PORT), 75,
               "ports 9999 and 45000 to be free")


def wait_for_listeners(program):
    """Until the gateway listens on 9999 and 45000; its last lines if it does not."""
    try:
        wait_until(lambda: is_listening(GATEWAY_PORT) and is_listening(NOTICE_PORT), 15,
                   "the gateway to listen on 9999 and 45000")
    except AssertionError as e:
        raise AssertionError("%s; its last lines:\n%s" % (e, "\n".join(program.output()[-20:])))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError("gave up waiting for " + what)


def is_listening(port):
    """Whether a socket listens on port, seen without connecting to it: a test
    connection would take one of the gateway's worker slots."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


class Program:
    """A child process whose standard output is collected line by line."""

    def __init__(self, args, cwd=None, env=None):
        self.args = args
        self.proc = subprocess.Popen(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        running.add(self)
        self.lines = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()

    def _collect(self):
        for raw in self.proc.stdout:
            with self._lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))

    def output(self):
        with self._lock:
            return list(self.lines)

    def wait_for_line(self, pattern, timeout=15):
        regex = re.compile(pattern)

        def found():
            ended = self.proc.poll() is not None and not self._reader.is_alive()
            line = next((line for line in self.output() if regex.search(line)), None)
            if line is None and ended:
                raise AssertionError("%s ended (%s) before printing %r:\n%s" % (
                    self.args[0], self.proc.returncode, pattern, "\n".join(self.output())))
            return line
        return wait_until(found, timeout, "%r from %s" % (pattern, self.args[0]))

    def count_lines(self, pattern):
        regex = re.compile(pattern)
        return sum(1 for line in self.output() if regex.search(line))

    def exit_code(self, timeout=15):
        code = self.proc.wait(timeout)
        self._reader.join(5)
        return code

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        running.discard(self)
        self._reader.join(5)
        self.proc.stdout.close()


def started(program, wait):
    """Runs wait() for a program that was just started; ends it if wait fails."""
    try:
        wait()
    except BaseException:
        program.stop()
        raise


class DevCloud:
    """devcloud on 127.0.0.1: port 8700 when it is free, else any free port."""

    def __init__(self, binary):
        self.port = 8700 if port_is_free(8700) else free_port()
        self.address = "127.0.0.1:%d" % self.port
        self.program = Program([binary, "--listen", self.address])
        started(self.program,
                lambda: wait_until(self._answers, 20, "devcloud's /getime on " + self.address))

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

    def service_time(self):
        match = re.search(r"t=(-?\d+)", self.get("/getime"))
        assert match, "no t= in /getime"
        return int(match.group(1))

    def stop(self):
        self.program.stop()


def gateway_command(folder):
    """The gateway in folder as a command line: the Windows build runs under Wine
    (the environment scripts/with-wine prepares)."""
    exe = os.path.join(folder, "harborgate.exe")
    if os.path.exists(exe):
        return ["wine", exe]
    return [os.path.join(folder, "harborgate")]


def shown_path(path):
    """How the gateway names a path of this computer in its log lines: under Wine
    the root folder is drive Z: and the separator a backslash."""
    if os.path.exists(os.path.join(os.path.dirname(path), "harborgate.exe")):
        return "Z:" + path.replace("/", "\\")
    return path


def gateway_folder(binary):
    """A fresh folder holding the gateway and its page files, as a user has it."""
    folder = tempfile.mkdtemp(prefix="harborgate-e2e-")
    shutil.copy2(binary, folder)
    for page in PAGE_FILES:
        shutil.copy2(os.path.join(os.path.dirname(binary), page), folder)
    return folder


class Gateway:
    """The gateway started from its own folder; ready once it listens on 9999 and 45000."""

    def __init__(self, folder, args=()):
        wait_until_ports_free()
        self.folder = folder
        self.program = Program([WITH_HOST_ADDRESS, *gateway_command(folder), *args], cwd=folder)
        started(self.program, self._listens)

    def _listens(self):
        self.program.wait_for_line(r"The log path : ")
        wait_for_listeners(self.program)

    @property
    def pid(self):
        return self.program.proc.pid

    def stop(self):
        self.program.stop()


def device_query(cloud, serial, name, t=None, k=None, user="demo", password="demo"):
    """The query a portal link carries; hi comes before the last "&" so that the
    gateway's key scan ends it there."""
    if t is None:
        t = cloud.service_time() + 600
    if k is None:
        k = check_code(t)
    return ("t=%s&k=%s&u=%s&c=%s&ds=%s&dn=%s&si=127.0.0.1&sc=1&hi=%s&" % (
        t, k, user, password, serial, urllib.parse.quote(name), cloud.address))


def read_reply(sock, timeout):
    """Everything the gateway sends on one connection: up to the end of a body
    whose Content-Length is known, else up to the close."""
    sock.settimeout(timeout)
    data = b""
    while True:
        head, sep, body = data.partition(b"\n\n")
        if sep:
            length = re.search(rb"\nContent-Length: (\d+)", head + b"\n")
            if length and len(body) >= int(length.group(1)):
                return data
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            raise AssertionError("the gateway neither answered nor closed within %ss" % timeout)
        if not chunk:
            return data
        data += chunk


def gateway_request(query, timeout=45):
    """One browser request to the gateway; the bytes it answered with."""
    with socket.create_connection(("127.0.0.1", GATEWAY_PORT), timeout=10) as sock:
        sock.sendall(("GET /?%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                      "Accept: text/html\r\n\r\n" % (query, GATEWAY_PORT)).encode())
        return read_reply(sock, timeout)


def page_kind(reply, folder):
    """Which of the gateway's answers a reply is: a page file byte for byte, or
    the redirect page."""
    if not reply:
        return "nothing"
    for name in PAGE_FILES:
        if reply == page_file_bytes(folder, name):
            return name[:-len(".html")]
    if reply.startswith(b"HTTP/1.1 200 OK\nContent-Type: text/html; charset = utf-8\n\n"):
        return "redirect"
    return "unknown"


def page_file_bytes(folder, name):
    """A page file as the gateway sends it: CR LF read as LF, 0x1A ends it."""
    with open(os.path.join(folder, name), "rb") as f:
        return f.read().split(b"\x1a")[0].replace(b"\r\n", b"\n")
