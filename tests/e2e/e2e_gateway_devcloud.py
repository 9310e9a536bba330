"""The gateway against the local device cloud, as a browser meets it: the
waiting page, the redirect through the tunnel to a device's web interface, the
device's other services on their mapped ports, an offline device given up on,
refused requests, and a network event reaching a notice subscriber.

Usage: e2e_gateway_devcloud.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
import base64
import json
import re
import socket
import sys
import time
import unittest

import harness

GATEWAY = None
DEVCLOUD = None
cloud = None
gateway = None
folder = None

FRONT_DOOR = ("DEMO-0001", "Front door")
WAREHOUSE = ("DEMO-0002", "Warehouse")
GARAGE = ("DEMO-0003", "Garage")
REDIRECT = re.compile(
    rb"HTTP/1\.1 200 OK\nContent-Type: text/html; charset = utf-8\n\n"
    rb"<html><head></head><body><script/javascript>window\.location\.href ="
    rb"\"(http://localhost:(\d+)/\?user=([^&\"]*)&Key=([^&\"]*)&Key2=([^&\"]*))\""
    rb"</script></body></html>")


def setUpModule():
    global cloud, gateway, folder
    cloud, folder, gateway = harness.start_module_programs(DEVCLOUD, GATEWAY)


def ask(device, **overrides):
    return harness.gateway_request(harness.device_query(cloud, *device, **overrides))


def ask_until_redirect(device, limit=20):
    """Asks as the waiting page does; the kinds of the replies up to the redirect."""
    kinds = []
    for _ in range(limit):
        reply = ask(device)
        kinds.append(harness.page_kind(reply, folder))
        if kinds[-1] == "redirect":
            return kinds, reply
        time.sleep(0.3)
    raise AssertionError("no redirect after %d requests: %s" % (limit, kinds))


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=10)


def read_line(sock):
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(1)
        if not chunk:
            break
        data += chunk
    return data


class FrontDoorThroughTheTunnel(unittest.TestCase):
    """DEMO-0001, online: waiting page first, then the redirect."""

    @classmethod
    def setUpClass(cls):
        cls.subscriber = socket.create_connection(("127.0.0.1", harness.NOTICE_PORT), 10)
        cls.kinds, cls.reply = ask_until_redirect(FRONT_DOOR)
        match = REDIRECT.fullmatch(cls.reply.rstrip(b"\0"))
        assert match, "not the redirect page: %r" % cls.reply[:300]
        cls.url, port, user, key, key2 = (g.decode() for g in match.groups())
        cls.http_port, cls.user, cls.key, cls.key2 = int(port), user, key, key2
        cls.ports = json.loads(base64.b64decode(key2, validate=True))

    @classmethod
    def tearDownClass(cls):
        if cls.subscriber:
            cls.subscriber.close()

    def test_waiting_page_first_then_redirect_within_a_few_requests(self):
        self.assertEqual(self.kinds[0], "trystun")
        self.assertTrue(all(kind == "trystun" for kind in self.kinds[:-1]), self.kinds)
        self.assertEqual(self.kinds[-1], "redirect")

    def test_redirect_reply_is_1024_bytes_of_page_and_nul(self):
        self.assertEqual(len(self.reply), 1024)
        self.assertEqual(self.user, "admin")

    def test_port_record_names_the_redirect_port_and_distinct_ports(self):
        record = self.ports
        self.assertEqual(list(record), ["ip", "sdk", "http", "rtsp", "live", "sip", "ipchttp",
                                        "ipcrtsp"])
        self.assertEqual(record["http"], str(self.http_port))
        self.assertEqual(record["sip"], "0")
        self.assertRegex(record["ip"], r"^\d{1,3}(\.\d{1,3}){3}$")
        mapped = [int(record[name]) for name in ("sdk", "http", "rtsp", "live", "ipchttp",
                                                 "ipcrtsp")]
        self.assertTrue(all(0 < port < 65536 for port in mapped), record)
        self.assertEqual(len(set(mapped)), len(mapped), record)

    def test_web_interface_signed_in_through_the_http_port(self):
        # The URL exactly as the browser is sent to it, Key2 unencoded.
        status, body = harness.local_get(self.http_port,
                                         self.url[len("http://localhost:%d" % self.http_port):])
        self.assertEqual(status, 200)
        self.assertIn("Signed in as admin", body)
        self.assertIn("DEMO-0001", body)
        self.assertIn("Front door", body)
        self.assertIn(self.ports["rtsp"], body)

    def test_rtsp_options_through_the_rtsp_port(self):
        with connect(int(self.ports["rtsp"])) as sock:
            sock.sendall(b"OPTIONS rtsp://127.0.0.1/live RTSP/1.0\r\nCSeq: 7\r\n\r\n")
            answer = b""
            while b"\r\n\r\n" not in answer:
                chunk = sock.recv(4096)
                self.assertTrue(chunk, "RTSP closed early: %r" % answer)
                answer += chunk
        self.assertTrue(answer.startswith(b"RTSP/1.0 200 OK\r\n"), answer)
        self.assertRegex(answer, rb"\r\nCSeq: 7\r\n")
        self.assertIn(b"DESCRIBE", answer)

    def test_media_port_streams_its_test_pattern(self):
        with connect(int(self.ports["live"])) as sock:
            sock.sendall(b"pattern\n")
            got = 0
            while got < 1 << 20:
                chunk = sock.recv(65536)
                self.assertTrue(chunk, "the stream ended after %d bytes" % got)
                got += len(chunk)

    def test_other_ports_name_their_service_and_echo(self):
        for member, rule in (("sdk", "SdkMapPort"), ("ipchttp", "AccessIpcHTTPPort")):
            with self.subTest(rule=rule), connect(int(self.ports[member])) as sock:
                self.assertIn(rule.encode(), read_line(sock))
                sock.sendall(b"ping " + rule.encode() + b"\n")
                self.assertEqual(read_line(sock), b"ping " + rule.encode() + b"\n")

    def test_network_event_reaches_the_subscriber(self):
        self.assertEqual(cloud.admin("netinfo", sn="DEMO-0001", code=2, count=17), "ok")
        self.subscriber.settimeout(15)
        notice = b""
        while not notice.endswith(b"\0"):
            chunk = self.subscriber.recv(1)
            self.assertTrue(chunk, "the notice channel closed: %r" % notice)
            notice += chunk
        self.assertEqual(notice,
                         b"Info:WindowPopup,Devicename:Front%20door,CountValue:17,UrlIndex:1.\0")


class GarageOffline(unittest.TestCase):
    """DEMO-0003 never comes online: the gateway gives up at the 47th request."""

    def test_waiting_46_times_then_failed_then_afresh(self):
        kinds = [harness.page_kind(ask(GARAGE), folder)]
        time.sleep(0.5)  # the first request's worker claims the session after its reply
        kinds += [harness.page_kind(ask(GARAGE), folder) for _ in range(46)]
        self.assertEqual(kinds, ["trystun"] * 46 + ["trystunfailed"])
        # The reaper frees the given-up session at its next pass; from then on the
        # device starts afresh with the waiting page.
        def afresh():
            kind = harness.page_kind(ask(GARAGE), folder)
            self.assertIn(kind, ("trystun", "trystunfailed"))
            if kind == "trystun":
                return True
            time.sleep(0.5)
            return False
        harness.wait_until(afresh, 15, "a fresh start after the give-up")


class RefusedRequests(unittest.TestCase):
    """A request that fails a check gets no byte at all."""

    def test_stale_t_gets_nothing(self):
        stale = cloud.service_time() - 1
        self.assertEqual(ask(WAREHOUSE, t=stale), b"")

    def test_wrong_k_gets_nothing(self):
        t = cloud.service_time() + 600
        self.assertEqual(ask(WAREHOUSE, t=t, k=harness.check_code(t + 1)), b"")

    def test_t_equal_to_the_service_time_passes_and_one_less_does_not(self):
        fixed = cloud.service_time() + 100000
        self.assertEqual(cloud.admin("clock", fixed=fixed), "ok")
        try:
            self.assertEqual(ask(WAREHOUSE, t=fixed - 1), b"")
            self.assertIn(harness.page_kind(ask(WAREHOUSE, t=fixed), folder),
                          ("trystun", "redirect"))
        finally:
            cloud.admin("clock", offset=0)


if __name__ == "__main__":
    harness.run_module(sys.modules[__name__])
