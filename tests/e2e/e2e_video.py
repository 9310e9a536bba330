"""Live video through the tunnel, as a player and a browser get it: Debian's
ffprobe and ffmpeg on the gateway's mapped RTSP ports of the demo device (the
recorder's and the camera's), RTSP by hand for the answers a player relies on,
and the live view's MJPEG on the mapped media port.

Usage: e2e_video.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
"""
import base64
import json
import re
import socket
import subprocess
import sys
import time
import unittest

import harness

GATEWAY = None
DEVCLOUD = None
FRONT_DOOR = ("DEMO-0001", "Front door")
KEY2 = re.compile(rb"&Key2=([^&\"]*)\"")
WIDTH, HEIGHT, RATE = 320, 240, "15/1"
ports = None


def setUpModule():
    global ports
    cloud, folder, _ = harness.start_module_programs(DEVCLOUD, GATEWAY)
    for _ in range(20):
        reply = harness.gateway_request(harness.device_query(cloud, *FRONT_DOOR))
        if harness.page_kind(reply, folder) == "redirect":
            ports = json.loads(base64.b64decode(KEY2.search(reply).group(1), validate=True))
            return
        time.sleep(0.3)
    raise AssertionError("no redirect for %s" % FRONT_DOOR[0])


def rtsp_url(member):
    return "rtsp://127.0.0.1:%s/" % ports[member]


def run(command, timeout=60):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)


class Rtsp:
    """One RTSP connection, request by request."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=15)
        self.inbox = b""
        self.cseq = 0

    def ask(self, method, url, *headers):
        self.cseq += 1
        lines = ["%s %s RTSP/1.0" % (method, url), "CSeq: %d" % self.cseq, *headers]
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.inbox or self.inbox.startswith(b"$"):
            # Packets of a running stream may come before the answer to PLAY.
            if self.inbox.startswith(b"$") and len(self.inbox) >= 4:
                size = 4 + int.from_bytes(self.inbox[2:4], "big")
                if len(self.inbox) >= size:
                    self.inbox = self.inbox[size:]
                    continue
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError("RTSP closed before answering %s: %r" % (method, self.inbox))
            self.inbox += chunk
        head, _, self.inbox = self.inbox.partition(b"\r\n\r\n")
        length = re.search(rb"\r\nContent-Length: (\d+)", head, re.I)
        size = int(length.group(1)) if length else 0
        while len(self.inbox) < size:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError("RTSP closed inside a body")
            self.inbox += chunk
        body, self.inbox = self.inbox[:size], self.inbox[size:]
        return head.decode("utf-8", "replace"), body.decode("utf-8", "replace")

    def close(self):
        self.sock.close()


class PlayersThroughTheTunnel(unittest.TestCase):
    """ffprobe and ffmpeg, RTP over the RTSP connection as a tunnel needs."""

    def test_ffprobe_finds_h264_at_the_size_and_rate_on_both_rtsp_ports(self):
        for member in ("rtsp", "ipcrtsp"):
            with self.subTest(port=member):
                out = run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries",
                           "stream=codec_name,width,height,r_frame_rate", "-of", "json",
                           rtsp_url(member)])
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stderr, "")
                streams = json.loads(out.stdout)["streams"]
                self.assertEqual(streams, [{"codec_name": "h264", "width": WIDTH,
                                            "height": HEIGHT, "r_frame_rate": RATE}])

    def test_ffmpeg_decodes_three_seconds_without_an_error_on_both_rtsp_ports(self):
        for member in ("rtsp", "ipcrtsp"):
            with self.subTest(port=member):
                started = time.monotonic()
                out = run(["ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp",
                           "-i", rtsp_url(member), "-t", "3", "-f", "null", "-progress",
                           "pipe:1", "-"])
                took = time.monotonic() - started
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stderr, "", "decoding errors")
                frames = [int(n) for n in re.findall(r"^frame=(\d+)$", out.stdout, re.M)]
                self.assertTrue(frames, out.stdout)
                # 15 frames a second for 3 seconds, and live: not faster than that.
                self.assertGreaterEqual(frames[-1], 44)
                self.assertLessEqual(frames[-1], 47)
                self.assertGreater(took, 2.5)

    def test_a_player_that_asks_for_udp_falls_back_to_tcp(self):
        out = run(["ffprobe", "-v", "warning", "-show_entries", "stream=codec_name", "-of",
                   "csv=p=0", rtsp_url("rtsp")])
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.strip(), "h264")
        self.assertIn("461 Unsupported transport", out.stderr)


class RtspByHand(unittest.TestCase):
    """The answers a player relies on, on the camera's port as on the recorder's."""

    def test_options_describe_udp_refused_then_tcp_setup_and_play(self):
        for member in ("ipcrtsp", "rtsp"):
            with self.subTest(port=member):
                rtsp = Rtsp(int(ports[member]))
                self.addCleanup(rtsp.close)
                url = rtsp_url(member)
                head, _ = rtsp.ask("OPTIONS", url)
                self.assertTrue(head.startswith("RTSP/1.0 200 OK\r\nCSeq: 1\r\n"), head)
                self.assertRegex(head, r"\r\nPublic: (?=.*SETUP)(?=.*PLAY)")
                head, sdp = rtsp.ask("DESCRIBE", url, "Accept: application/sdp")
                self.assertIn("\r\nCSeq: 2", head)
                self.assertIn("m=video 0 RTP/AVP 96", sdp)
                self.assertIn("a=rtpmap:96 H264/90000", sdp)
                control = re.search(r"a=control:(\S+)", sdp.split("m=video", 1)[1]).group(1)
                track = control if control.startswith("rtsp:") else url + control
                head, _ = rtsp.ask("SETUP", track, "Transport: RTP/AVP;unicast;client_port=5000-5001")
                self.assertTrue(head.startswith("RTSP/1.0 461 Unsupported transport\r\nCSeq: 3"),
                                head)
                head, _ = rtsp.ask("SETUP", track, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1")
                self.assertTrue(head.startswith("RTSP/1.0 200 OK\r\nCSeq: 4"), head)
                self.assertIn("interleaved=0-1", head)
                session = re.search(r"\r\nSession: ([^;\r\n]+)", head).group(1)
                head, _ = rtsp.ask("PLAY", url, "Session: " + session)
                self.assertTrue(head.startswith("RTSP/1.0 200 OK\r\nCSeq: 5"), head)
                # The first packets: RTP of payload type 96 on channel 0.
                while len(rtsp.inbox) < 16:
                    rtsp.inbox += rtsp.sock.recv(65536)
                self.assertEqual(rtsp.inbox[0:2], b"$\x00")
                self.assertEqual(rtsp.inbox[4] >> 6, 2)
                self.assertEqual(rtsp.inbox[5] & 0x7F, 96)


class LiveViewOnTheMediaPort(unittest.TestCase):
    """The browser's live view: MJPEG over HTTP on the mapped media port."""

    def test_get_gives_moving_jpeg_frames(self):
        with socket.create_connection(("127.0.0.1", int(ports["live"])), timeout=15) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
            data = b""
            frames = []
            while len(frames) < 12:
                chunk = sock.recv(65536)
                self.assertTrue(chunk, "the live view ended: %r" % data[:200])
                data += chunk
                frames = re.findall(rb"--frame\r\nContent-Type: image/jpeg\r\n"
                                    rb"Content-Length: (\d+)\r\n\r\n", data)
        self.assertTrue(data.startswith(b"HTTP/1.1 200 OK\r\nContent-Type: multipart/"
                                        b"x-mixed-replace; boundary=frame\r\n"), data[:200])
        pictures = []
        at = 0
        for _ in range(10):
            head = re.compile(rb"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: (\d+)"
                              rb"\r\n\r\n").search(data, at)
            size = int(head.group(1))
            pictures.append(data[head.end():head.end() + size])
            at = head.end() + size
        for picture in pictures:
            self.assertEqual(picture[:2], b"\xff\xd8")
            self.assertEqual(picture[-2:], b"\xff\xd9")
        self.assertGreater(len(set(pictures)), 1, "the picture does not move")


if __name__ == "__main__":
    harness.run_module(sys.modules[__name__])
