"""The NAT lab's network: namespaces and veth pairs that the lab makes itself,
the routers' NAT and filter rules (nftables), the cloud link's shaping (tc),
and a way for the test process to open sockets inside a namespace.

Every namespace of a run is named hgnat-<pid>-<role>, and every veth pair is
made with its two ends already inside lab namespaces, so none ever stands in
the host's own namespace and removing a run's namespaces removes all it made.
A run first removes what a crashed earlier run left behind (namespaces of the
same pattern whose process is gone, with whatever still runs inside them).
Every command has a deadline.
"""
import ctypes
import os
import re
import signal
import subprocess
import threading

LEFTOVER = re.compile(r"^hgnat-(\d+)-[a-z0-9]+$")
CLONE_NEWNET = 0x40000000
COMMAND_LIMIT = 15

_libc = ctypes.CDLL(None, use_errno=True)


def run(*args, stdin=None):
    """Runs a command; its standard output. Fails with its own words when it fails."""
    done = subprocess.run(args, input=stdin, capture_output=True, text=True,
                          timeout=COMMAND_LIMIT)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(args), done.returncode,
                                                     done.stderr.strip()))
    return done.stdout


def in_ns(ns, *args, stdin=None):
    return run("ip", "netns", "exec", ns, *args, stdin=stdin)


def lab_available():
    """Why the lab cannot run here, or None when it can: it needs root and
    network namespaces."""
    if os.geteuid() != 0:
        return "the NAT lab needs root (network namespaces, veth pairs, nftables)"
    try:
        run("ip", "netns", "list")
    except (OSError, AssertionError, subprocess.TimeoutExpired) as e:
        return "ip netns is unavailable: %s" % e
    return None


def namespaces():
    return [line.split()[0] for line in run("ip", "netns", "list").splitlines() if line.strip()]


def process_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def remove_namespace(ns):
    """Ends what still runs inside ns (only the lab starts anything there) and
    removes it; its veth ends go with it."""
    try:
        pids = run("ip", "netns", "pids", ns).split()
    except AssertionError:
        pids = []
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=COMMAND_LIMIT)


def remove_leftovers():
    """Namespaces of earlier runs whose process is gone; the names removed."""
    removed = []
    for ns in namespaces():
        match = LEFTOVER.match(ns)
        if match and not process_alive(int(match.group(1))):
            remove_namespace(ns)
            removed.append(ns)
    return removed


class Lab:
    """The namespaces of this run. Each is recorded before it is made, so that
    remove() also takes one whose making failed halfway."""

    def __init__(self):
        self.prefix = "hgnat-%d-" % os.getpid()
        self.made = []
        self._lock = threading.Lock()

    def namespace(self, role):
        ns = self.prefix + role
        with self._lock:
            self.made.append(ns)
        run("ip", "netns", "add", ns)
        run("ip", "-n", ns, "link", "set", "lo", "up")
        return ns

    def remove(self, ns):
        remove_namespace(ns)
        with self._lock:
            if ns in self.made:
                self.made.remove(ns)

    def remove_all(self):
        with self._lock:
            made = list(reversed(self.made))
        for ns in made:
            self.remove(ns)


def veth(ns_a, name_a, ns_b, name_b):
    """A veth pair made with its ends inside ns_a and ns_b, both up."""
    run("ip", "link", "add", name_a, "netns", ns_a, "type", "veth", "peer", "name", name_b,
        "netns", ns_b)
    run("ip", "-n", ns_a, "link", "set", name_a, "up")
    run("ip", "-n", ns_b, "link", "set", name_b, "up")


def bridge(ns, name):
    run("ip", "-n", ns, "link", "add", name, "type", "bridge")
    run("ip", "-n", ns, "link", "set", name, "up")


def enslave(ns, port, bridge_name):
    run("ip", "-n", ns, "link", "set", port, "master", bridge_name)


def address(ns, device, cidr):
    run("ip", "-n", ns, "addr", "add", cidr, "dev", device)


def route(ns, destination, via):
    run("ip", "-n", ns, "route", "add", destination, "via", via)


# The next hop of that route: a documentation address, never on any link.
NOWHERE = "192.0.2.1"


def default_route_to_nowhere(ns):
    """A default route that drops what it is given: a datagram for an address
    nobody routes (another network's private address, say) then vanishes
    without an error, as it does on the internet. Without a route the sender
    gets an error instead, and a TURN server closes the allocation that sent
    it. The route leads out of one end of a veth pair to a neighbour that no
    end answers for, so the other end discards every frame."""
    veth(ns, "nowhere", ns, "nowhere-end")
    run("ip", "-n", ns, "route", "add", "default", "via", NOWHERE, "dev", "nowhere", "onlink")
    run("ip", "-n", ns, "neigh", "add", NOWHERE, "lladdr", "02:00:00:00:00:01", "dev",
        "nowhere", "nud", "permanent")


def router_rules(ns, masquerade="masquerade", drop_udp=False):
    """Makes ns a router: forwarding on, and one nftables table that masquerades
    what leaves through "wan" (masquerade may be "masquerade random"), drops
    datagrams from the internet that no mapping leads inside, and, with
    drop_udp, drops every forwarded UDP datagram. The drop keeps such a
    datagram from leaving a connection entry behind: an entry for it would
    take the port that the host inside needs for its own mapping towards that
    sender, as a home router's firewall keeps it free."""
    in_ns(ns, "sysctl", "-q", "-w", "net.ipv4.ip_forward=1")
    udp = "    meta l4proto udp drop\n" if drop_udp else ""
    in_ns(ns, "nft", "-f", "-", stdin=(
        "table ip lab {\n"
        "  chain postrouting {\n"
        "    type nat hook postrouting priority srcnat; policy accept;\n"
        "    oifname \"wan\" %s\n"
        "  }\n"
        "  chain input {\n"
        "    type filter hook input priority filter; policy accept;\n"
        "    iifname \"wan\" meta l4proto udp ct state new drop\n"
        "  }\n"
        "  chain forward {\n"
        "    type filter hook forward priority filter; policy accept;\n"
        "%s"
        "  }\n"
        "}\n") % (masquerade, udp))


def block_udp(ns):
    """Drops every UDP datagram the router forwards, until unblock_udp."""
    in_ns(ns, "nft", "add", "rule", "ip", "lab", "forward", "meta", "l4proto", "udp", "drop")


def unblock_udp(ns):
    in_ns(ns, "nft", "flush", "chain", "ip", "lab", "forward")


def conntrack_ids(ns):
    """The ids of the connections the router's conntrack table holds."""
    listing = in_ns(ns, "conntrack", "-L", "-o", "id")
    return set(re.findall(r"\bid=(\d+)", listing))


def flush_conntrack(ns):
    in_ns(ns, "conntrack", "-F")


def shape(ns, device, rate):
    """Limits what leaves ns through device to rate with a token bucket."""
    in_ns(ns, "tc", "qdisc", "add", "dev", device, "root", "tbf", "rate", rate, "burst", "64kb",
          "latency", "200ms")


def unshape(ns, device):
    subprocess.run(["ip", "netns", "exec", ns, "tc", "qdisc", "del", "dev", device, "root"],
                   capture_output=True, timeout=COMMAND_LIMIT)


def shaped_bytes(ns, device):
    """The bytes the device's root qdisc has sent."""
    shown = in_ns(ns, "tc", "-s", "qdisc", "show", "dev", device)
    match = re.search(r"qdisc tbf .*?Sent (\d+) bytes", shown, re.S)
    if not match:
        raise AssertionError("no token bucket on %s:\n%s" % (device, shown))
    return int(match.group(1))


def netns_call(ns, function, timeout):
    """Runs function on a thread of its own inside ns: the sockets it opens
    belong to ns (and stay usable from any thread). Its result; its exception
    is raised here; fails after timeout."""
    outcome = {}

    def body():
        try:
            fd = os.open("/run/netns/" + ns, os.O_RDONLY)
            try:
                if _libc.setns(fd, CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns into " + ns)
            finally:
                os.close(fd)
            outcome["result"] = function()
        except BaseException as e:  # handed to the caller
            outcome["error"] = e

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        raise AssertionError("gave up after %ss in %s" % (timeout, ns))
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("result")
