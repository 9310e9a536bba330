"""The whole-program benchmark behind `make bench`: the real gateway and device
cloud from a release build, measured on loopback as their users and peers meet
them. Prints one table and rewrites bench/RESULTS.md with the machine, the
commands and the figures.

Every figure is the median of BENCH_RUNS runs (at least 5) with its minimum and
maximum; every comparison is measured side by side in the same round and given
as the median of the per-round ratios. The gateway uses the fixed ports 9999
and 45000, so the benchmark holds the e2e lock while it runs.

Usage: run_bench.py --bin BUILD/bin --out bench/RESULTS.md
Environment: BENCH_RUNS (default 5), BENCH_BYTES (default 1 GiB per read),
BENCH_REQUESTS (default 10000, the memory figure's request count).
"""
import argparse
import concurrent.futures
import datetime
import os
import platform as host
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "fault"))
import fault_harness as fh  # noqa: E402

import chromium_pipe  # noqa: E402

RUNS = max(5, int(os.environ.get("BENCH_RUNS", "5")))
READ_BYTES = int(os.environ.get("BENCH_BYTES", str(1 << 30)))
MEMORY_REQUESTS = int(os.environ.get("BENCH_REQUESTS", "10000"))
ECHO_COUNT = 1000
LOAD_SECONDS = 3
# A client whose connection the gateway closed unanswered (every worker slot
# taken) waits this long before the next; without it the clients flood the
# listen queue and the figures show SYN retransmissions instead of the gateway.
REFUSED_PAUSE_MS = 10
FRESH_DEVICES = 20
VIDEO_PLAYERS = 16
VIDEO_SECONDS = 20
VIDEO_FPS = 15  # the simulated devices' RTSP stream
BROWSER_RUNS = RUNS
# Clicks are cheap (about a second each) and vary with the machine's two cores,
# so their figure takes more runs than the others.
BROWSER_CLICKS = max(9, RUNS)
# A fresh browser's first navigations to a device are slower (its caches and
# the first renderers for a device's site); these clicks come first, apart.
WARM_UP_CLICKS = 3
REDIRECT_HEAD = b"HTTP/1.1 200 OK\nContent-Type: text/html; charset = utf-8\n\n"
TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
PLAYWRIGHT = os.path.join(TOP, "tests", "e2e", "node_modules", "playwright-core")


class Bench:
    def __init__(self, bin_dir, workdir):
        self.bin = bin_dir
        self.work = workdir
        self.rows = []      # (figure, what, value text, goal text)
        self.notes = []
        self.commands = []
        self.children = []  # Programs started here, ended by PID at the end

    def tool(self, name, *args):
        command = [os.path.join(self.bin, name), *map(str, args)]
        out = subprocess.run(command, capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            raise AssertionError("%s ended with %d:\n%s" % (" ".join(command), out.returncode,
                                                             (out.stdout + out.stderr)[-2000:]))
        return out.stdout.split()

    def row(self, figure, what, value, goal=""):
        self.rows.append((figure, what, value, goal))
        print("  %-4s %-58s %-34s %s" % (figure, what, value, goal), flush=True)

    def note(self, text):
        self.notes.append(text)

    def start(self, args, cwd=None):
        program = fh.Program(args, cwd=cwd)
        self.children.append(program)
        return program

    def stop_all(self):
        for program in reversed(self.children):
            program.stop()
        self.children = []


def spread(values, fmt="%.1f"):
    """'median (min-max)' of values."""
    return (fmt + " (" + fmt + "-" + fmt + ")") % (statistics.median(values), min(values),
                                                  max(values))


def config_with(serials):
    devices = [{"sn": sn, "name": "Bench " + sn, "tunnel_id": "tn-" + sn.lower(),
                "user": "admin", "key": "k-" + sn.lower()} for sn in serials]
    return {"accounts": [{"user": "demo", "password": "demo", "devices": devices}]}


def cpu_seconds(pid):
    """User and system time of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))


def listen_overflows():
    """The kernel's count of connections dropped at a full listen queue."""
    out = subprocess.run(["nstat", "-az", "TcpExtListenOverflows"], capture_output=True,
                         text=True).stdout
    match = re.search(r"TcpExtListenOverflows\s+(\d+)", out)
    return int(match.group(1)) if match else 0


def listen_backlog(port):
    """The backlog of the socket listening on 127.0.0.1:port, as ss shows it."""
    out = subprocess.run(["ss", "-ltnH", "sport = :%d" % port], capture_output=True,
                         text=True).stdout.split()
    return int(out[2]) if len(out) > 2 else 0


def exposed_ports(cloud, serial):
    """The device's services on loopback, as devcloud printed them."""
    ports = {}
    for line in cloud.program.output():
        match = re.search(r"devcloud: %s (\w+) on 127\.0\.0\.1:(\d+)" % re.escape(serial), line)
        if match:
            ports[match.group(1)] = int(match.group(2))
    return ports


def query(cloud, serial, t=None):
    t = t if t is not None else int(time.time()) + 600
    return fh.device_query(cloud.address, serial, "Bench " + serial, t, "demo", "demo")


def ask(cloud, serial):
    return fh.gateway_request(query(cloud, serial))


def reply_of(sock):
    """One reply, read only as far as it goes: a page file up to its
    Content-Length, the redirect up to its 1024 bytes; else up to the close."""
    data = b""
    while True:
        head, sep, body = data.partition(b"\n\n")
        length = re.search(rb"\nContent-Length: (\d+)", head + b"\n") if sep else None
        if length and len(body) >= int(length.group(1)):
            return data
        if data.startswith(REDIRECT_HEAD) and len(data) >= 1024:
            return data
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:  # refused while all worker slots were taken
            return data
        if not chunk:
            return data
        data += chunk


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1)) // 1024
    commit = subprocess.run(["git", "-C", TOP, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    return [("CPU", "%s, %d logical cores" % (model, os.cpu_count())),
            ("Memory", "%d MiB" % memory),
            ("System", "%s %s" % (host.system(), host.release())),
            ("Load at start", "%.2f %.2f %.2f" % os.getloadavg()),
            ("Commit", commit or "unknown"),
            ("Date", datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))]


# Forwarders to compare the tunnel with.

def socat_chain(bench, target):
    """Two socat forwarders in a row in front of target; the port of the first."""
    middle, front = fh.free_port(), fh.free_port()
    for listen, to in ((middle, target), (front, middle)):
        command = ["socat", "-b", "131072", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % listen,
                   "TCP:127.0.0.1:%d" % to]
        bench.start(command)
        bench.commands.append(" ".join(command))
        fh.wait_until(lambda: fh.is_listening(listen), 10, "socat on %d" % listen)
    return front


def ssh_forward(bench, target):
    """ssh -L to target through an sshd on loopback; its port, or None with the
    reason when no sshd can be started here."""
    sshd = shutil.which("sshd") or ("/usr/sbin/sshd" if os.path.exists("/usr/sbin/sshd") else None)
    if sshd is None or shutil.which("ssh") is None:
        return None, "no sshd"
    keys = os.path.join(bench.work, "ssh")
    os.makedirs(keys, exist_ok=True)
    for name in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                        os.path.join(keys, name)], check=True)
    shutil.copy(os.path.join(keys, "user_key.pub"), os.path.join(keys, "authorized_keys"))
    if os.geteuid() == 0:
        os.makedirs("/run/sshd", exist_ok=True)  # sshd's privilege separation folder
    port, front = fh.free_port(), fh.free_port()
    user = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()
    sshd_command = [sshd, "-D", "-e", "-p", str(port), "-o", "ListenAddress=127.0.0.1",
                    "-h", os.path.join(keys, "host_key"),
                    "-o", "AuthorizedKeysFile=" + os.path.join(keys, "authorized_keys"),
                    "-o", "PidFile=" + os.path.join(keys, "sshd.pid"), "-o", "UsePAM=no",
                    "-o", "StrictModes=no", "-o", "PermitRootLogin=prohibit-password",
                    "-o", "AllowTcpForwarding=yes", "-o", "LogLevel=ERROR"]
    daemon = bench.start(sshd_command)
    try:
        fh.wait_until(lambda: fh.is_listening(port), 10, "sshd")
    except AssertionError:
        return None, "sshd did not start: " + " ".join(daemon.output()[-3:])
    ssh_command = ["ssh", "-N", "-p", str(port), "-i", os.path.join(keys, "user_key"),
                   "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                   "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes", "-o", "LogLevel=ERROR",
                   "-L", "127.0.0.1:%d:127.0.0.1:%d" % (front, target), user + "@127.0.0.1"]
    client = bench.start(ssh_command)
    try:
        fh.wait_until(lambda: fh.is_listening(front), 15, "ssh -L")
    except AssertionError:
        return None, "ssh -L did not start: " + " ".join(client.output()[-3:])
    bench.commands.append("sshd -D -p %d (loopback, key only); " % port + " ".join(ssh_command[:2])
                          + " -L %d:127.0.0.1:MEDIA" % front)
    return front, None


def nginx_server(bench):
    """nginx serving a 1 KiB file on a loopback port from a private prefix; the
    port, or None with the reason."""
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                      else None)
    if nginx is None:
        return None, "no nginx"
    prefix = os.path.join(bench.work, "nginx")
    os.makedirs(os.path.join(prefix, "www"), exist_ok=True)
    os.makedirs(os.path.join(prefix, "logs"), exist_ok=True)
    with open(os.path.join(prefix, "www", "1k.html"), "wb") as f:
        f.write(b"x" * 1024)
    port = fh.free_port()
    with open(os.path.join(prefix, "nginx.conf"), "w") as f:
        f.write("worker_processes auto;\ndaemon off;\npid %s/nginx.pid;\n"
                "error_log %s/logs/error.log;\nevents { worker_connections 1024; }\n"
                "http { access_log off; keepalive_timeout 0;\n"
                "  server { listen 127.0.0.1:%d; root %s/www; } }\n" % (prefix, prefix, port,
                                                                       prefix))
    command = [nginx, "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"), "-e",
               os.path.join(prefix, "logs", "error.log")]
    bench.start(command)
    bench.commands.append("nginx -p PREFIX -c nginx.conf (worker_processes auto, listen "
                          "127.0.0.1, keepalive_timeout 0, a 1 KiB file)")
    try:
        fh.wait_until(lambda: fh.is_listening(port), 10, "nginx")
    except AssertionError:
        return None, "nginx did not start"
    return port, None


def cloud_and_gateway(bench):
    """A cloud that exposes DEMO-0001's services on loopback, and a gateway."""
    cloud = fh.DevCloud(os.path.join(bench.bin, "devcloud"), bench.work,
                        config=config_with(["DEMO-0001"]), args=["--expose-services", "DEMO-0001"])
    bench.children.append(cloud.program)
    gateway = fh.Gateway(os.path.join(bench.bin, "harborgate"))
    bench.children.append(gateway.program)
    return cloud, gateway


# Figures 1, 2 and 4: one cloud, one gateway, DEMO-0001 ready.

def data_path(bench):
    cloud, gateway = cloud_and_gateway(bench)
    bench.commands.append("devcloud --listen %s --config CONFIG --expose-services DEMO-0001"
                          % cloud.address)
    bench.commands.append("harborgate (from a folder of its own, with its page files)")
    direct = fh.wait_until(lambda: exposed_ports(cloud, "DEMO-0001").get("SdkMapPort")
                           and exposed_ports(cloud, "DEMO-0001"), 10, "the exposed services")
    _, reply = fh.ask_until_redirect(gateway, lambda: ask(cloud, "DEMO-0001"))
    mapped = fh.mapped_ports(reply)
    throughput(bench, direct["MediaPort"], mapped["live"])
    connection_setup(bench, direct["SdkMapPort"], mapped["sdk"])
    request_path(bench, cloud)
    bench.stop_all()
    gateway.stop()


# Figures 1 and 2, direct rows: the same cloud and gateway, with a TURN server
# beside the cloud on loopback, so that the library and the device's agent
# offer each other a direct path; once the gateway logs it, the mapped ports
# carry their streams over it and the relay carries none of them.

def turn_server(bench):
    """coturn on a free loopback port with a fresh shared secret; the address
    and the secret's file."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    secret = "%032x" % random.getrandbits(128)
    secret_file = os.path.join(bench.work, "turn-secret")
    with open(secret_file, "w") as f:
        f.write(secret + "\n")
    conf = os.path.join(bench.work, "turnserver.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listening-ip=127.0.0.1", "relay-ip=127.0.0.1", "listening-port=%d" % port,
            "min-port=49152", "max-port=49250", "use-auth-secret",
            "static-auth-secret=" + secret, "realm=bench.harborgate.test",
            "allow-loopback-peers", "no-cli", "no-tls", "no-dtls", "no-stdout-log",
            "log-file=" + os.path.join(bench.work, "turnserver.log"),
            "pidfile=" + os.path.join(bench.work, "turnserver.pid"),
            "userdb=" + os.path.join(bench.work, "turndb"), ""]))
    bench.start(["turnserver", "-c", conf])
    time.sleep(1)
    return "127.0.0.1:%d" % port, secret_file


def direct_path(bench):
    if shutil.which("turnserver") is None:
        bench.row("1", "direct path", "not measured: no turnserver")
        return
    turn, secret_file = turn_server(bench)
    cloud = fh.DevCloud(os.path.join(bench.bin, "devcloud"), bench.work,
                        config=config_with(["DEMO-0001"]),
                        args=["--expose-services", "DEMO-0001", "--turn", turn,
                              "--turn-secret-file", secret_file])
    bench.children.append(cloud.program)
    gateway = fh.Gateway(os.path.join(bench.bin, "harborgate"))
    bench.children.append(gateway.program)
    bench.commands.append("turnserver on loopback; devcloud ... --turn ADDRESS "
                          "--turn-secret-file FILE; harborgate")
    direct = fh.wait_until(lambda: exposed_ports(cloud, "DEMO-0001").get("SdkMapPort")
                           and exposed_ports(cloud, "DEMO-0001"), 10, "the exposed services")
    _, reply = fh.ask_until_redirect(gateway, lambda: ask(cloud, "DEMO-0001"))
    mapped = fh.mapped_ports(reply)
    gateway.program.wait_for_count("Zelmo: tunnel to DEMO-0001 is direct (udp ", 1, 30)
    name = "through the tunnel, direct path"
    speeds, ratios = [], []
    for _ in range(RUNS):
        before = float(bench.tool("bench_stream_read", direct["MediaPort"], READ_BYTES)[2])
        speed = float(bench.tool("bench_stream_read", mapped["live"], READ_BYTES)[2])
        speeds.append(speed)
        ratios.append(speed / before)
    size = "%d MiB" % (READ_BYTES >> 20)
    bench.row("1", "%s read, %s: MB/s" % (size, name), spread(speeds, "%.0f"),
              "goal >= 100: " + ("met" if statistics.median(speeds) >= 100 else "MISSED"))
    bench.row("1", "  ratio to the straight read before it", spread(ratios, "%.2f"))
    p50s, p99s = [], []
    for _ in range(RUNS):
        out = list(map(float, bench.tool("bench_connect_echo", mapped["sdk"], ECHO_COUNT)))
        p50s.append(out[0])
        p99s.append(out[1])
    bench.row("2", "connect + 1-byte echo, %s: p50 us" % name, spread(p50s),
              "goal < 300: " + ("met" if statistics.median(p50s) < 300 else "MISSED"))
    bench.row("2", "connect + 1-byte echo, %s: p99 us" % name, spread(p99s),
              "goal < 1000: " + ("met" if statistics.median(p99s) < 1000 else "MISSED"))
    bench.note("Figures 1 and 2, direct rows: the gateway and the device's agent on one machine "
               "with coturn beside devcloud on loopback; the rows start once the gateway logged "
               "the direct path. Each stream is an SCTP stream with SCTP-AUTH (usrsctp's own "
               "SHA-1) in 1200-byte packets over one UDP socket per side, and crosses the "
               "direct path's thread on each side besides the I/O threads.")
    bench.stop_all()
    gateway.stop()
    lab_case_6(bench)


def lab_case_6(bench):
    """The NAT lab's case 6: the direct path's speed against the cloud's link
    shaped to 20 Mbit/s, the relay's ceiling there."""
    what = "16 MiB through the NAT lab, cloud link shaped to 20 Mbit/s, direct path"
    command = [sys.executable, os.path.join(TOP, "tests", "nat", "nat_lab.py"),
               "--gateway", os.path.join(bench.bin, "harborgate"),
               "--devcloud", os.path.join(bench.bin, "devcloud"),
               "--out", os.path.join(bench.work, "nat"), "--lock-held",
               "NatLab.test_case_6_cloud_link_at_20_mbit"]
    bench.commands.append("python3 tests/nat/nat_lab.py ... NatLab.test_case_6_cloud_link_at_20_mbit")
    out = subprocess.run(command, capture_output=True, text=True, timeout=600)
    ratio = re.search(r"case 6: ([\d.]+) times the shaped link's", out.stdout)
    if out.returncode == 77:
        bench.row("1", what, "not measured: " + out.stdout.strip())
        return
    if out.returncode != 0 or not ratio:
        raise AssertionError("the NAT lab's case 6 failed:\n" + (out.stdout + out.stderr)[-3000:])
    bench.row("1", what + ": times the link's rate", ratio.group(1),
              "goal >= 5: " + ("met" if float(ratio.group(1)) >= 5 else "MISSED"))


# A straight read below this share of the median straight read was disturbed
# (another job took the CPU): its round's ratio says little about the forwarder.
DISTURBED_SHARE = 0.7


def throughput(bench, direct, tunnel):
    """Each round reads straight, then through a forwarder, then straight again
    before the next forwarder, so that every forwarder's read sits beside a
    straight read of its own; a round's ratio is the forwarder's read over the
    straight read just before it."""
    straight_name = "straight from the device agent"
    paths = [("through the tunnel", tunnel),
             ("two socat -b 131072 forwarders", socat_chain(bench, direct))]
    ssh_port, why = ssh_forward(bench, direct)
    if ssh_port:
        paths.append(("ssh -L", ssh_port))
    bench.commands.append("bench_stream_read PORT %d   # straight, then a forwarder, in turn, "
                          "per round" % READ_BYTES)
    straight = []  # (round, forwarder read next, MB/s)
    speeds = {name: [] for name, _ in paths}
    ratios = {name: [] for name, _ in paths}
    for round_no in range(1, RUNS + 1):
        for name, port in paths:
            before = float(bench.tool("bench_stream_read", direct, READ_BYTES)[2])
            speed = float(bench.tool("bench_stream_read", port, READ_BYTES)[2])
            straight.append((round_no, name, before))
            speeds[name].append(speed)
            ratios[name].append(speed / before)
    size = "%d MiB" % (READ_BYTES >> 20)
    bench.row("1", "%s read, %s: MB/s" % (size, straight_name),
              spread([s for _, _, s in straight], "%.0f"))
    for name, _ in paths:
        goal = ""
        if name == "through the tunnel":
            goal = "goal >= 0.50: " + ("met" if statistics.median(ratios[name]) >= 0.5
                                       else "MISSED")
        bench.row("1", "%s read, %s: MB/s" % (size, name), spread(speeds[name], "%.0f"))
        bench.row("1", "  ratio to the straight read before it", spread(ratios[name], "%.2f"),
                  goal)
    if ssh_port is None:
        bench.row("1", "%s read, ssh -L: MB/s" % size, "not measured: " + why)
    mark_disturbed_reads(bench, straight, ratios)


def mark_disturbed_reads(bench, straight, ratios):
    """A row for each straight read far below the others, naming its round."""
    median = statistics.median(s for _, _, s in straight)
    seen = {}
    for round_no, name, speed in straight:
        index = seen.get(name, 0)
        seen[name] = index + 1
        if speed >= DISTURBED_SHARE * median:
            continue
        bench.row("1", "  round %d (%s), its straight read: MB/s" % (round_no, name),
                  "%.0f, below %.1f of the median %.0f" % (speed, DISTURBED_SHARE, median),
                  "disturbed: that round's ratio %.2f is not to trust" % ratios[name][index])
    bench.note("Figure 1: each round reads %d MiB straight from the device agent before each "
               "forwarder's read, so every ratio compares two reads taken one after the other; "
               "the straight figure is over all of those reads. A straight read below %.1f of "
               "their median is marked by its round: the machine was busy with something else "
               "then, and that round's ratio is not to trust." % (READ_BYTES >> 20,
                                                                  DISTURBED_SHARE))


def connection_setup(bench, direct, tunnel):
    bench.commands.append("bench_connect_echo PORT %d   # SdkMapPort, per path and round"
                          % ECHO_COUNT)
    figures = {"straight": ([], []), "through the tunnel": ([], [])}
    phases = {"straight": [], "through the tunnel": []}
    for _ in range(RUNS):
        for name, port in (("straight", direct), ("through the tunnel", tunnel)):
            out = list(map(float, bench.tool("bench_connect_echo", port, ECHO_COUNT)))
            figures[name][0].append(out[0])
            figures[name][1].append(out[1])
            phases[name].append(out[2:])
    for name, (p50, p99) in figures.items():
        tunnel_row = name == "through the tunnel"
        bench.row("2", "connect + 1-byte echo, %s: p50 us" % name, spread(p50),
                  ("goal < 300: " + ("met" if statistics.median(p50) < 300 else "MISSED"))
                  if tunnel_row else "")
        bench.row("2", "connect + 1-byte echo, %s: p99 us" % name, spread(p99),
                  ("goal < 1000: " + ("met" if statistics.median(p99) < 1000 else "MISSED"))
                  if tunnel_row else "")
    ratio = [t / s for t, s in zip(figures["through the tunnel"][0], figures["straight"][0])]
    bench.row("2", "  p50 ratio tunnel / straight", spread(ratio, "%.1f"))
    explain_connection_setup(bench, statistics.median(figures["through the tunnel"][0]), phases)
    tunnel_p99 = statistics.median(figures["through the tunnel"][1])
    straight_p99 = statistics.median(figures["straight"][1])
    if tunnel_p99 >= 1000:
        bench.note("Figure 2: the tunnel's p99 (%.0f us) misses its goal; the straight path's "
                   "p99 is %.0f us in the same rounds, and the load average was %.2f: the tail "
                   "%s." % (tunnel_p99, straight_p99, os.getloadavg()[0],
                            "follows the machine's scheduling, not the tunnel"
                            if straight_p99 >= 500 else "comes from the tunnel's own hops"))


def explain_connection_setup(bench, tunnel_p50, phases):
    """Where a connection's time goes, phase by phase, with this run's numbers."""
    split = {name: [statistics.median(run[i] for run in runs) for i in range(3)]
             for name, runs in phases.items()}
    text = ("Figure 2: medians of the phases, through the tunnel and straight: connect "
            "%.0f / %.0f us, greeting line %.0f / %.0f us, one-byte echo %.0f / %.0f us. "
            "Through the tunnel the greeting waits for the stream to be set up: the library "
            "names the service on the connection it keeps ready at the relay, the relay writes "
            "it on one of the spare connections the device's agent keeps open to it and joins "
            "the two, and the agent serves the service there (without them each stream would "
            "wait for two more TCP connections and the relay's request to the agent); the "
            "echo crosses two forwarding hops (library and relay) each way." % (split["through the tunnel"][0], split["straight"][0],
                      split["through the tunnel"][1], split["straight"][1],
                      split["through the tunnel"][2], split["straight"][2]))
    hops = split["through the tunnel"][2] - split["straight"][2]
    setup = split["through the tunnel"][1] - split["straight"][1] - hops
    text += (" The hops cost the echo %.0f us more than straight; the greeting pays the same "
             "hops, and the stream's set-up adds %.0f us to it." % (hops, setup))
    if tunnel_p50 >= 300:
        text += (" The p50 misses its goal: no TCP connection is made on the path any more, "
                 "but each hop is a wake-up of another thread in another process, and the "
                 "greeting and the echo cross them both; only a direct path between the peers, "
                 "without the relay, would take hops off it.")
    bench.note(text)


def request_path(bench, cloud):
    request_file = os.path.join(bench.work, "ready-request")
    with open(request_file, "wb") as f:
        f.write(fh.request_bytes(query(cloud, "DEMO-0001")))
    nginx_file = os.path.join(bench.work, "nginx-request")
    with open(nginx_file, "wb") as f:
        f.write(b"GET /1k.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    nginx_port, why = nginx_server(bench)
    overflows = listen_overflows()
    medians = {}
    bench.commands.append("bench_http_load PORT CLIENTS %d REQUEST EXPECT [PAUSE]   # gateway: "
                          "ready-path request, EXPECT 1024, PAUSE %d ms after a refusal; nginx: "
                          "1 KiB file, until close" % (LOAD_SECONDS, REFUSED_PAUSE_MS))
    for clients in (1, 16, 64):
        gateway_runs, nginx_runs = [], []
        for _ in range(RUNS):
            time.sleep(1.5)  # the reaper frees the slots of the previous run
            gateway_runs.append(bench.tool("bench_http_load", fh.GATEWAY_PORT, clients,
                                           LOAD_SECONDS, request_file, 1024, REFUSED_PAUSE_MS))
            if nginx_port:
                nginx_runs.append(bench.tool("bench_http_load", nginx_port, clients,
                                             LOAD_SECONDS, nginx_file, 0))
        medians[clients] = report_load(bench, "gateway", clients, gateway_runs)
        if nginx_port:
            report_load(bench, "nginx 1 KiB", clients, nginx_runs)
            ratio = [float(g[3]) / float(n[3]) for g, n in zip(gateway_runs, nginx_runs)]
            bench.row("4", "  requests/s ratio gateway / nginx, %d clients" % clients,
                      spread(ratio, "%.3f"))
    if not nginx_port:
        bench.row("4", "nginx 1 KiB file", "not measured: " + why)
    explain_request_path(bench, medians, listen_overflows() - overflows,
                         listen_backlog(cloud.port))


def explain_request_path(bench, medians, overflows, cloud_backlog):
    """What the request path's figures come from, with this run's numbers."""
    rates = ", ".join("%.0f" % medians[c][0] for c in sorted(medians))
    bench.note("Figure 4: the gateway answers at most about 64 connections per second, "
               "whatever the number of clients (%s requests/s at 1, 16 and 64 clients; a run "
               "starts with every slot free). A worker slot is freed only by the reaper's pass, "
               "once a second, so each of the 64 slots serves at most one connection per pass, "
               "and fewer when its worker waits on the cloud; a connection that finds every "
               "slot taken is closed at once without a reply (the unanswered counts). The bound "
               "is the worker-slot hand-over of the design, not the cost of a request." % rates)
    bench.note("Figure 4: the time to the first byte with one client (p50 %.2f ms) is mostly "
               "the two HTTP exchanges with the cloud that every ready-path request makes on "
               "new connections, the clock query and the device-list refresh; the request's "
               "own work (figures M) takes a few microseconds." % medians[1][1])
    slow = [c for c in sorted(medians) if medians[c][2] > 500]
    if slow:
        bench.note("Figure 4: the p99 near 1 s or 2 s at %s clients are TCP SYN retransmissions "
                   "on the way to the device cloud: devcloud's HTTP port listens with a backlog "
                   "of %d (the default of Debian's cpp-httplib) while up to 64 workers query it "
                   "at once, once for the clock and once for the device list; the kernel "
                   "counted %d listen-queue overflows during these runs."
                   % (" and ".join(map(str, slow)), cloud_backlog, overflows))


def report_load(bench, name, clients, runs):
    rps = [float(r[3]) for r in runs]
    p50 = [float(r[4]) / 1000 for r in runs]
    p99 = [float(r[5]) / 1000 for r in runs]
    refused = sum(int(r[1]) for r in runs)
    short = sum(int(r[2]) for r in runs)
    bench.row("4", "%s, %d clients: requests/s" % (name, clients), spread(rps))
    bench.row("4", "%s, %d clients: first byte p50 / p99 ms" % (name, clients),
              "%s / %s" % (spread(p50, "%.2f"), spread(p99, "%.2f")))
    if refused or short:
        bench.row("4", "%s, %d clients: closed unanswered / cut (all runs)" % (name, clients),
                  "%d / %d" % (refused, short))
    return statistics.median(rps), statistics.median(p50), statistics.median(p99)


# Figure 3: from the first request for a device with no session to its
# redirect page, polling every 10 ms; in a browser from the portal click to the
# device's page; and in a browser from the first request for an offline device
# to the page saying the gateway gave up.

def poll_until_redirect(cloud, serial, period=0.010, limit=30):
    """Seconds from the first request to the redirect page."""
    request = fh.request_bytes(query(cloud, serial))
    started = time.monotonic()
    tick = started
    while time.monotonic() - started < limit:
        with socket.create_connection(("127.0.0.1", fh.GATEWAY_PORT), timeout=10) as sock:
            sock.sendall(request)
            reply = reply_of(sock)
        if reply.startswith(REDIRECT_HEAD):
            return time.monotonic() - started
        tick += period
        time.sleep(max(0, tick - time.monotonic()))
    raise AssertionError("no redirect for %s within %ss" % (serial, limit))


def time_to_device(bench):
    fresh = ["T-%02d" % i for i in range(1, FRESH_DEVICES + 1)]
    browsed = ["W-%02d" % i for i in range(1, WARM_UP_CLICKS + BROWSER_CLICKS + 1)]
    hasty = ["H-%02d" % i for i in range(1, WARM_UP_CLICKS + BROWSER_CLICKS + 1)]
    driven = ["D-%02d" % i for i in range(1, BROWSER_RUNS + 1)]
    offline = ["G-%02d" % i for i in range(1, BROWSER_RUNS + 1)]
    cloud = fh.DevCloud(os.path.join(bench.bin, "devcloud"), bench.work,
                        config=config_with(fresh + browsed + hasty + driven + offline))
    bench.children.append(cloud.program)
    gateway = fh.Gateway(os.path.join(bench.bin, "harborgate"))
    bench.children.append(gateway.program)
    times = [poll_until_redirect(cloud, serial) * 1000 for serial in fresh]
    bench.row("3", "first request to redirect, %d fresh devices: ms" % len(fresh), spread(times),
              "goal < 50: " + ("met" if statistics.median(times) < 50 else "MISSED"))
    browser_time(bench, cloud, gateway, browsed, hasty, driven, offline)
    bench.stop_all()
    gateway.stop()


def run_browser(bench, cloud, mode, items):
    """The milliseconds browser_time.mjs printed for items, in their order."""
    command = ["node", os.path.join(TOP, "bench", "browser_time.mjs"), PLAYWRIGHT,
               "http://%s/" % cloud.address, mode, *items]
    bench.commands.append("node bench/browser_time.mjs PLAYWRIGHT PORTAL %s %s"
                          % (mode, " ".join(items)))
    out = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        raise AssertionError("browser timing failed:\n" + out.stderr[-2000:])
    return [float(line.split()[1]) for line in out.stdout.splitlines() if line.strip()]


def device_url(reply):
    """The address of the device's page in a redirect reply."""
    match = re.search(rb'window\.location\.href ="([^"]+)"', reply)
    if not match:
        raise AssertionError("no device address in the redirect: %r" % reply[:300])
    return match.group(1).decode()


def click_times(bench, cloud, mode, items, shown, pause=chromium_pipe.READING_PAUSE):
    """Milliseconds from each click to its device's page, Chromium driven over its pipe."""
    bench.commands.append("python3 bench/chromium_pipe.py --pause %g PORTAL %s %s"
                          % (pause, mode, shown))
    return [ms for _, ms in
            chromium_pipe.time_clicks("http://%s/" % cloud.address, mode, items, pause)]


def browser_time(bench, cloud, gateway, online, hasty, driven, offline):
    if not (shutil.which("node") and os.path.isdir(PLAYWRIGHT)
            and os.path.exists(chromium_pipe.CHROMIUM)):
        bench.row("3", "portal click to device page and offline give-up (Chromium)",
                  "not measured: no node, playwright-core or chromium")
        return
    times = click_times(bench, cloud, "open", online, " ".join(online))
    warm_up, times = times[:WARM_UP_CLICKS], times[WARM_UP_CLICKS:]
    bench.row("3", "portal click to device page, Chromium, %d fresh devices: ms" % len(times),
              spread(times, "%.0f"),
              "goal < 300: " + ("met" if statistics.median(times) < 300 else "MISSED"))
    bench.row("3", "  the browser's first %d clicks, before those: ms" % WARM_UP_CLICKS,
              ", ".join("%.0f" % ms for ms in warm_up))
    # Other fresh devices, each clicked the moment its portal page has loaded.
    at_once = click_times(bench, cloud, "open", hasty, " ".join(hasty), 0)[WARM_UP_CLICKS:]
    bench.row("3", "  the same, clicked as soon as the portal page has loaded: ms",
              spread(at_once, "%.0f"))
    # The same devices again, their tunnels now up, by links to their pages.
    urls = ["%s=%s" % (sn, device_url(fh.ask_until_redirect(gateway, lambda: ask(cloud, sn))[1]))
            for sn in online]
    straight = click_times(bench, cloud, "straight", urls,
                           " ".join(sn + "=URL" for sn in online))[WARM_UP_CLICKS:]
    bench.row("3", "  click on a link straight to the open device's page: ms",
              spread(straight, "%.0f"))
    automated = run_browser(bench, cloud, "open", driven)
    bench.row("3", "  portal click to device page, automation library on every page: ms",
              spread(automated, "%.0f"))
    for serial in offline:
        cloud.admin("device", sn=serial, online=0)
    bench.commands.append("POST /admin/device?sn=SERIAL&online=0   # " + " ".join(offline))
    seconds = [ms / 1000 for ms in run_browser(bench, cloud, "give-up", offline)]
    median = statistics.median(seconds)
    bench.row("3", "first request to give-up page, Chromium, %d offline devices at once: s"
              % len(seconds), spread(seconds),
              "goal 40 to 50: " + ("met" if 40 <= median <= 50 else "MISSED"))
    bench.note("Figure 3: the click-to-page time runs from the moment just before the click, "
               "read on the portal page's clock, to the moment the device's page had been read "
               "whole, \"Signed in as\" with it (its DOMContentLoaded), on the browser's clock. "
               "Chromium is driven over its own debugging pipe (bench/chromium_pipe.py), which "
               "lets go of the tab from the click until the device's page is there, so no driver "
               "code runs in the pages on the way. Each click comes %g s after the portal page "
               "has loaded, as a user's would: a browser that has just shown a page goes on "
               "starting the renderer process it keeps ready for the next site, and a click at "
               "that very moment shares the two cores with that start-up; the row of clicks made "
               "as soon as the portal page had loaded shows what that costs (median %.0f ms "
               "against %.0f ms in this run). The browser's first %d clicks of a run, on other "
               "fresh devices, come first and are shown apart: a fresh browser's first "
               "navigations to a device's site are slower. The waiting page asks the gateway "
               "again in the background as soon as its script runs, at least 40 ms after the "
               "first request, and goes on to the device as soon as the answer is the way there; "
               "the click on a link straight to the device's page, with its tunnel already up, "
               "is the part of the time that the browser's navigation to the device's page "
               "takes by itself (%.0f ms in this run; the way through the gateway and the "
               "waiting page added %.0f ms to it). An automation "
               "library (playwright-core) sets up every new page and renderer before it may run, "
               "which adds to each navigation to another site; its row shows other fresh "
               "devices' clicks measured through it, from the click event on the browser's clock."
               % (chromium_pipe.READING_PAUSE,
                  statistics.median(at_once), statistics.median(times), WARM_UP_CLICKS,
                  statistics.median(straight),
                  statistics.median(times) - statistics.median(straight)))
    bench.note("Figure 3: the give-up time runs from a tab's first request to the gateway to the "
               "failed page. The waiting page asks again 40, 80, 160, 320 and 640 ms after each "
               "request, then every second, so the 47th request, the one the gateway gives up "
               "at, is due 42.2 s after the first; the rest (median %.1f s) is the late firing "
               "of the page's timers and the answers' time." % (median - 42.24))


# Figure 5: resident sizes.

def mib_samples(pid, count=RUNS):
    samples = []
    for _ in range(count):
        samples.append(rss_kib(pid) / 1024)
        time.sleep(0.2)
    return samples


def keep_busy(ports, stop):
    """Traffic on every session now and then, so that the reaper, which deletes
    sessions whose tunnel stays idle for 120 passes, keeps them all."""
    while not stop.wait(15):
        for port in ports:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
                    sock.recv(256)
                    sock.sendall(b"k" * 64)
                    fh.read_exactly(sock, 64)
            except OSError:
                pass


def ready_requests(cloud, serials, total, on_progress):
    """total redirect replies for random ready devices, 16 clients at once; the
    count of connections the gateway closed unanswered meanwhile."""
    lock = threading.Lock()
    state = {"answered": 0, "unanswered": 0}

    def client(seed):
        rng = random.Random(seed)
        while True:
            with lock:
                if state["answered"] >= total:
                    return
            try:
                with socket.create_connection(("127.0.0.1", fh.GATEWAY_PORT), timeout=10) as sock:
                    sock.sendall(fh.request_bytes(query(cloud, rng.choice(serials))))
                    reply = reply_of(sock)
            except OSError:
                reply = b""
            with lock:
                if reply.startswith(REDIRECT_HEAD):
                    state["answered"] += 1
                    if state["answered"] % 2000 == 0:
                        on_progress(state["answered"])
                else:
                    state["unanswered"] += 1
            if not reply.startswith(REDIRECT_HEAD):
                time.sleep(0.01)  # every worker slot was taken: the next pass frees them

    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        list(pool.map(client, range(16)))
    return state["unanswered"]


def memory(bench):
    serials = ["M-%02d" % i for i in range(1, 65)]
    cloud = fh.DevCloud(os.path.join(bench.bin, "devcloud"), bench.work,
                        config=config_with(serials))
    bench.children.append(cloud.program)
    gateway = fh.Gateway(os.path.join(bench.bin, "harborgate"))
    bench.children.append(gateway.program)
    time.sleep(2)
    idle = mib_samples(gateway.pid)
    bench.row("5", "harborgate idle: MiB", spread(idle))

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        replies = list(pool.map(lambda sn: fh.ask_until_redirect(
            gateway, lambda: ask(cloud, sn), limit=60)[1], serials))
    stop = threading.Event()
    busy = threading.Thread(target=keep_busy,
                            args=([fh.mapped_ports(r)["sdk"] for r in replies], stop))
    busy.start()
    try:
        time.sleep(2)
        tunnels = sum(cloud.device_stats(sn)["tunnels"] for sn in serials)
        ready = mib_samples(gateway.pid)
        bench.row("5", "harborgate with 64 ready sessions: MiB", spread(ready))
        bench.row("5", "devcloud with %d open tunnels: MiB" % tunnels,
                  spread(mib_samples(cloud.pid)))
        progress = []
        unanswered = ready_requests(cloud, serials, MEMORY_REQUESTS,
                                    lambda n: progress.append((n, rss_kib(gateway.pid) / 1024)))
        time.sleep(2)
        after = mib_samples(gateway.pid)
    finally:
        stop.set()
        busy.join(30)
    steady = "growth %+.1f MiB from the first %d" % (progress[-1][1] - progress[0][1],
                                                       progress[0][0]) if progress else ""
    bench.row("5", "harborgate after %d more requests: MiB" % MEMORY_REQUESTS, spread(after),
              steady)
    bench.row("5", "  along the way (requests: MiB)",
              ", ".join("%d: %.1f" % point for point in progress))
    if unanswered:
        bench.note("Figure 5: while sending %d ready-path requests with 16 clients, the gateway "
                   "closed %d further connections unanswered because all 64 worker slots were "
                   "taken." % (MEMORY_REQUESTS, unanswered))
    bench.stop_all()
    gateway.stop()


# Figure 6: live video, 16 RTSP players at once through one tunnel and
# straight to the device.

def video(bench):
    cloud, gateway = cloud_and_gateway(bench)
    direct = fh.wait_until(lambda: exposed_ports(cloud, "DEMO-0001").get("RTSPPort"), 10,
                           "the exposed RTSP service")
    _, reply = fh.ask_until_redirect(gateway, lambda: ask(cloud, "DEMO-0001"))
    paths = [("straight to the device", direct), ("through one tunnel",
                                                  int(fh.mapped_ports(reply)["rtsp"]))]
    bench.commands.append("bench_rtsp_players PORT %d %d %d   # per path and round"
                          % (VIDEO_PLAYERS, VIDEO_SECONDS, VIDEO_FPS))
    runs = {name: [] for name, _ in paths}
    for _ in range(RUNS):
        for name, port in paths:
            time.sleep(2)  # the stream of the previous run has stopped
            before = (cpu_seconds(gateway.pid), cpu_seconds(cloud.pid), time.monotonic())
            out = bench.tool("bench_rtsp_players", port, VIDEO_PLAYERS, VIDEO_SECONDS, VIDEO_FPS)
            took = time.monotonic() - before[2]
            runs[name].append([float(v) for v in out] + [
                (cpu_seconds(gateway.pid) - before[0]) / took * 100,
                (cpu_seconds(cloud.pid) - before[1]) / took * 100])
    for name, _ in paths:
        report_video(bench, name, runs[name])
    bench.note("Figure 6: %d players of the device's RTSP stream (H.264, 320x240, %d frames a "
               "second, RTP over the RTSP connection) for %d s each, all at once; the device "
               "encodes one stream for all of them. Frames sent are those the stream held over "
               "each player's time, from the RTP time stamps; a frame counts as received when "
               "all its packets came. The CPU figures are per cent of one core over the run, set-up "
               "included: the gateway's carries the tunnel library's forwarding, devcloud's the "
               "device's encoder and RTSP server, its agent and the relay."
               % (VIDEO_PLAYERS, VIDEO_FPS, VIDEO_SECONDS))
    bench.stop_all()
    gateway.stop()


def report_video(bench, name, runs):
    # Each run: players, received, sent, lost packets, gap p50, p99, max, gateway %, devcloud %.
    received = [r[1] for r in runs]
    ratio = [r[1] / r[2] * 100 if r[2] else 0 for r in runs]
    bench.row("6", "%d players, %d s, %s: frames received / sent"
              % (VIDEO_PLAYERS, VIDEO_SECONDS, name),
              "%s / %d" % (spread(received, "%.0f"), statistics.median(r[2] for r in runs)))
    bench.row("6", "  received of sent: %", spread(ratio, "%.2f"))
    lost = sum(r[3] for r in runs)
    if lost:
        bench.row("6", "  RTP packets lost (all runs)", "%d" % lost)
    bench.row("6", "  largest gap between frames: p99 / max ms",
              "%s / %s" % (spread([r[5] for r in runs]), spread([r[6] for r in runs])))
    bench.row("6", "  gateway / devcloud CPU: % of one core",
              "%s / %s" % (spread([r[7] for r in runs]), spread([r[8] for r in runs])))


# Micro benchmarks of the request's own work (Google Benchmark).

def micro(bench):
    import json
    out = subprocess.run([os.path.join(bench.bin, "bench_micro"), "--benchmark_format=json",
                          "--benchmark_repetitions=%d" % RUNS, "--benchmark_min_time=0.2"],
                         check=True, capture_output=True, text=True, timeout=600)
    bench.commands.append("bench_micro --benchmark_repetitions=%d --benchmark_min_time=0.2"
                          % RUNS)
    times = {}
    for item in json.loads(out.stdout)["benchmarks"]:
        if item.get("run_type") == "iteration":
            times.setdefault(item["run_name"], []).append(item["real_time"])
    for name, values in times.items():
        bench.row("M", name + ": ns", spread(values, "%.0f"))


def write_results(bench, path, machine_rows):
    lines = ["# Benchmark results", "",
             "Written by `make bench` (scripts/bench, bench/run_bench.py) from a release build "
             "in build-bench. Each figure is the median of %d runs with the minimum and maximum "
             "in brackets; comparisons are measured side by side in the same round and given as "
             "the median of the per-round ratios. Everything runs on loopback." % RUNS, "",
             "## Machine", "", "| | |", "|---|---|"]
    lines += ["| %s | %s |" % item for item in machine_rows]
    lines += ["", "## Commands", "", "```"] + bench.commands + ["```", "", "## Figures", "",
                                                                 "| # | what | median (min-max) "
                                                                 "| goal |", "|---|---|---|---|"]
    lines += ["| %s | %s | %s | %s |" % (figure, what.strip(), value, goal)
              for figure, what, value, goal in bench.rows]
    lines += ["", "Figures: 1 tunnel throughput, 2 connection set-up through a mapped port, "
              "3 time to the device, 4 gateway request path, 5 memory, 6 live video, M micro "
              "benchmarks."]
    if bench.notes:
        lines += ["", "## Notes", ""] + ["- " + note for note in bench.notes]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the release build's bin folder")
    parser.add_argument("--out", required=True, help="the results file to rewrite")
    parser.add_argument("--only", default="", help="comma-separated sections (for trials)")
    args = parser.parse_args()
    sections = {"micro": micro, "data": data_path, "direct": direct_path, "time": time_to_device,
                "memory": memory, "video": video}
    chosen = args.only.split(",") if args.only else list(sections)
    lock = fh.hold_e2e_lock()
    workdir = tempfile.mkdtemp(prefix="harborgate-bench-")
    bench = Bench(os.path.abspath(args.bin), workdir)
    machine_rows = machine()
    try:
        for name in chosen:
            print("bench: %s" % name, flush=True)
            sections[name](bench)
    finally:
        bench.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)
        os.close(lock)
    write_results(bench, args.out, machine_rows)
    print("\n%-4s %-58s %-34s %s" % ("#", "what", "median (min-max)", "goal"))
    for figure, what, value, goal in bench.rows:
        print("%-4s %-58s %-34s %s" % (figure, what, value, goal))
    print("\nwritten to %s" % args.out)


if __name__ == "__main__":
    main()
