#!/usr/bin/env python3
"""Harborpop as a whole, under Wine on an X server without a window manager.

The test plays the notice channel itself on 127.0.0.1:45000, runs harborpop.exe
with the Chinese locale (so the ANSI code page is 936), reads its console, looks
at the popup through X (xdotool, xwininfo, screenshots) and through the window
system inside Wine (popup_probe.exe), and drives it with the mouse (xdotool).

Run it inside scripts/with-wine, which provides DISPLAY, WINEPREFIX and the
locale name in HG_ZH_LOCALE. Cases: show, mouse, tip-later, no-listener. Each
holds /tmp/harborgate-e2e.lock while it uses the fixed port, ends the program
it started by its PID, and bounds every wait.
"""
import argparse
import fcntl
import os
import socket
import subprocess
import sys
import threading
import time

NOTICE_PORT = 45000
POPUP_W, POPUP_H = 250, 180
SCREEN_W, SCREEN_H = 1920, 1080  # no window manager: the work area is the screen
CORNER = (SCREEN_W - POPUP_W, SCREEN_H - POPUP_H)
CLOSE_BUTTON = (230, 10)  # client points: centre of the close button
MESSAGE = (100, 60)  # inside the message item
TIP_LATER_BOX = (15, 129)  # the check box square
TITLE_BACKGROUND = (120, 10)  # title band, no item: drags
GATE_SETTLE = 1.0  # from the X window's end to the window thread's exit, with room
WAIT = 40.0  # upper bound of every wait for the program; a new Wine process on a
# busy machine has taken over 10 s before its first window

CHINESE_LABEL = "稍后提示".encode("gbk")
TITLE_BLUE = (74, 148, 219)
FOOTER_BLUE = (76, 147, 213)
BODY_WHITE = (253, 253, 254)
HOVER_RED = (222, 52, 52)
MESSAGE_RECT = (8, 51, 242, 74)


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def notice(zone, name="cam-e2e", count=3):
    text = "Info:WindowPopup,Devicename:%s,CountValue:%d,UrlIndex:%d." % (name, count, zone)
    return text.encode() + b"\0"


class Console:
    """Lines the program prints: CR LF ends stripped, GBK decoded."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        self.seen = 0
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            line = raw.rstrip(b"\n").rstrip(b"\r").decode("gbk", errors="replace")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def expect(self, prefix, timeout=WAIT):
        """Waits for the next line (after those already matched) with prefix."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(self.seen, len(self.lines)):
                    if self.lines[i].startswith(prefix):
                        self.seen = i + 1
                        return self.lines[i]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failure("no line %r; console so far: %r" % (prefix, self.lines))
                self.cond.wait(left)

    def expect_unordered(self, *prefixes, timeout=WAIT):
        """Waits for lines with each prefix, in any order: the receive thread and
        the popup thread print side by side."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                found = {}
                for i in range(self.seen, len(self.lines)):
                    for prefix in prefixes:
                        if prefix not in found and self.lines[i].startswith(prefix):
                            found[prefix] = i
                            break
                if len(found) == len(prefixes):
                    self.seen = max(found.values()) + 1
                    return
                left = deadline - time.monotonic()
                if left <= 0:
                    missing = [p for p in prefixes if p not in found]
                    raise Failure("no line %r; console so far: %r" % (missing, self.lines))
                self.cond.wait(left)

    def has(self, prefix):
        with self.cond:
            return any(line.startswith(prefix) for line in self.lines[self.seen:])


def chinese_env():
    """Wine takes the ANSI code page from the locale: 936 with the Chinese one."""
    env = dict(os.environ)
    env["LANG"] = os.environ.get("HG_ZH_LOCALE", "zh_CN.UTF-8")
    env.pop("LC_ALL", None)
    return env


class Harborpop:
    latest = None  # the program of the running case, for the failure report

    def __init__(self, exe):
        self.proc = subprocess.Popen(["wine", exe], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     env=chinese_env())
        self.console = Console(self.proc.stdout)
        Harborpop.latest = self

    def end(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=WAIT)


class NoticeChannel:
    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # 45000 lies in Linux's ephemeral range: a connection that took it as its
        # local port holds it for up to a minute of TIME_WAIT after it closed.
        deadline = time.monotonic() + 75
        while True:
            try:
                self.listener.bind(("127.0.0.1", NOTICE_PORT))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.listener.listen(1)
        self.listener.settimeout(WAIT)
        self.peer = None

    def accept(self):
        self.peer, _ = self.listener.accept()

    def send(self, data):
        self.peer.sendall(data)

    def close(self):
        for s in (self.peer, self.listener):
            if s is not None:
                s.close()


def run(*args, env=None):
    return subprocess.run(args, capture_output=True, text=True, timeout=WAIT, env=env)


class Screen:
    def __init__(self, probe, shots):
        self.probe_exe = probe
        self.shots = shots
        run("xdotool", "mousemove", "0", "0")  # off any popup: no hover left over

    def probe(self):
        out = run("wine", self.probe_exe, env=chinese_env()).stdout.strip().splitlines()
        fields = dict(item.split("=", 1) for item in out[-1].split()) if out else {}
        check(fields, "the probe printed nothing")
        return fields

    def x_window(self):
        r = run("xdotool", "search", "--onlyvisible", "--name", "^P2P$")
        ids = r.stdout.split()
        return ids[0] if ids else None

    def wait_shown(self):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if self.x_window():
                return time.monotonic()
            time.sleep(0.05)
        raise Failure("the popup did not appear")

    def wait_gone(self, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.x_window():
                return time.monotonic()
            time.sleep(0.05)
        raise Failure("the popup did not go away")

    def wait_closed(self, timeout=WAIT):
        """Waits until the popup is gone and its window thread has let go of it.
        The X window goes first; the thread leaves the one-popup gate only when
        its message loop has ended, and a notice before that is dropped with
        "window is exist!" as the program should."""
        gone = self.wait_gone(timeout)
        time.sleep(GATE_SETTLE)
        return gone

    def x_geometry(self):
        info = run("xwininfo", "-id", self.x_window()).stdout
        values = {}
        for line in info.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def grab(self, name=None):
        """The popup's pixels as rows of RGB triples; saved as PNG when named."""
        crop = "%dx%d+%d+%d" % (POPUP_W, POPUP_H, CORNER[0], CORNER[1])
        xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, timeout=WAIT)
        if name:
            os.makedirs(self.shots, exist_ok=True)
            subprocess.run(["convert-im6.q16", "xwd:-", "-crop", crop, "+repage",
                            os.path.join(self.shots, name)], input=xwd.stdout, timeout=WAIT,
                           check=True)
        rgb = subprocess.run(["convert-im6.q16", "xwd:-", "-crop", crop, "+repage", "rgb:-"],
                             input=xwd.stdout, capture_output=True, timeout=WAIT,
                             check=True).stdout
        check(len(rgb) == POPUP_W * POPUP_H * 3, "screenshot of unexpected size")
        return [[tuple(rgb[(y * POPUP_W + x) * 3:(y * POPUP_W + x) * 3 + 3])
                 for x in range(POPUP_W)] for y in range(POPUP_H)]

    def mouse(self, *steps):
        """xdotool steps with client points turned into screen points."""
        args = ["xdotool"]
        for step in steps:
            if step[0] == "move":
                args += ["mousemove", str(CORNER[0] + step[1][0]), str(CORNER[1] + step[1][1])]
            else:
                args += [step[0], "1"]
        run(*args)


def near(pixel, colour, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def message_pixels(img):
    left, top, right, bottom = MESSAGE_RECT
    return [img[y][x] for y in range(top, bottom) for x in range(left, right)]


def check_skin(img):
    check(near(img[12][120], TITLE_BLUE), "title band colour %r" % (img[12][120],))
    check(near(img[100][125], BODY_WHITE), "body colour %r" % (img[100][125],))
    check(near(img[165][100], FOOTER_BLUE), "footer colour %r" % (img[165][100],))
    inked = [p for p in message_pixels(img) if not near(p, BODY_WHITE, 40)]
    check(len(inked) > 50, "the message text is not drawn")


def check_placed(screen, label):
    x, y, w, h = screen.x_geometry()
    check((x, y, w, h) == CORNER + (POPUP_W, POPUP_H),
          "X window at %r, want %r" % ((x, y, w, h), CORNER + (POPUP_W, POPUP_H)))
    info = screen.probe()
    want = {"found": "1", "left": str(CORNER[0]), "top": str(CORNER[1]),
            "right": str(SCREEN_W), "bottom": str(SCREEN_H), "topmost": "1",
            "toolwindow": "1", "visible": "1", "title": "P2P", "label": label.hex(),
            "checked": "0"}
    for key, value in want.items():
        check(info.get(key) == value, "popup %s is %r, want %r" % (key, info.get(key), value))


def case_show(exe, screen):
    channel = NoticeChannel()
    pop = Harborpop(exe)
    try:
        channel.accept()
        pop.console.expect("connect ok!")
        channel.send(notice(2))
        pop.console.expect("buf:Info:WindowPopup,Devicename:cam-e2e,CountValue:3,UrlIndex:2.")
        pop.console.expect("servicezone:2")
        shown = screen.wait_shown()
        check_placed(screen, b"Tip later")

        channel.send(notice(5, name="second"))
        pop.console.expect_unordered("servicezone:5", "window is exist!")
        english = screen.grab("popup_english.png")
        check_skin(english)
        gone = screen.wait_closed()
        check(3.5 <= gone - shown <= 9.0, "closed %.1f s after it appeared" % (gone - shown))

        channel.send(notice(1, name="zone-one"))
        pop.console.expect("servicezone:1")
        screen.wait_shown()
        check_placed(screen, CHINESE_LABEL)
        time.sleep(0.3)
        chinese = screen.grab("popup_chinese.png")
        check_skin(chinese)
        check(message_pixels(chinese) != message_pixels(english),
              "zone 1 draws the same message as zone 2")
        screen.wait_gone()

        channel.close()
        pop.console.expect("GetLastError : ")
        check(pop.proc.poll() is None, "the program should wait before it exits")
    finally:
        pop.end()
        channel.close()


def case_mouse(exe, screen):
    channel = NoticeChannel()
    pop = Harborpop(exe)
    try:
        channel.accept()
        channel.send(notice(3))
        shown = screen.wait_shown()
        screen.mouse(("move", CLOSE_BUTTON), ("mousedown",), ("mouseup",))
        check(time.monotonic() - shown < 3.0, "too slow to tell the click from the timer")
        gone = screen.wait_closed(timeout=2.0)
        check(gone - shown < 4.5, "closed by the timer, not by the click")

        channel.send(notice(2))
        pop.console.expect("servicezone:2")
        screen.wait_shown()
        check(not pop.console.has("window is exist!"), "the clicked popup was still there")
        screen.mouse(("move", MESSAGE), ("move", CLOSE_BUTTON))
        time.sleep(0.3)
        hover = screen.grab("popup_close_hover.png")
        check(near(hover[3][214], HOVER_RED, 20), "close button hover %r" % (hover[3][214],))

        screen.mouse(("mousedown",), ("move", MESSAGE), ("mouseup",))
        time.sleep(0.7)
        check(screen.probe().get("found") == "1", "release away from the button closed it")

        start = (CORNER[0] + TITLE_BACKGROUND[0], CORNER[1] + TITLE_BACKGROUND[1])
        run("xdotool", "mousemove", str(start[0]), str(start[1]), "mousedown", "1")
        time.sleep(0.2)
        run("xdotool", "mousemove", str(start[0] - 300), str(start[1] - 200))
        time.sleep(0.2)
        run("xdotool", "mouseup", "1")
        time.sleep(0.3)
        info = screen.probe()
        check((info.get("left"), info.get("top")) == (str(CORNER[0] - 300), str(CORNER[1] - 200)),
              "dragged popup at %r" % ((info.get("left"), info.get("top")),))
        screen.wait_gone()
    finally:
        pop.end()
        channel.close()


def tick_box(screen):
    screen.mouse(("move", TIP_LATER_BOX), ("click",))


def case_tip_later(exe, screen):
    channel = NoticeChannel()
    pop = Harborpop(exe)
    try:
        channel.accept()
        channel.send(notice(2))
        screen.wait_shown()
        time.sleep(0.3)
        tick_box(screen)
        time.sleep(0.3)
        tick_box(screen)
        time.sleep(0.3)
        check(screen.probe().get("checked") == "0", "ticked twice, the box should be clear")
        screen.wait_closed()

        channel.send(notice(2, name="after-two-ticks"))
        pop.console.expect("servicezone:2")
        screen.wait_shown()
        check(not pop.console.has("Not to the time!"), "ticking twice started a silence")
        check(not pop.console.has("set TimeInterval"), "ticking twice set the interval")
        time.sleep(0.3)
        tick_box(screen)
        time.sleep(0.3)
        check(screen.probe().get("checked") == "1", "the box did not tick")
        screen.wait_gone()
        pop.console.expect("set TimeInterval")

        channel.send(notice(2, name="silenced"))
        pop.console.expect_unordered("servicezone:2", "Not to the time!")
        time.sleep(1.0)
        check(screen.x_window() is None, "a popup showed during the silence")
    finally:
        pop.end()
        channel.close()


def case_no_listener(exe, screen):
    probe = socket.socket()
    try:
        check(probe.connect_ex(("127.0.0.1", NOTICE_PORT)) != 0, "something listens on 45000")
    finally:
        probe.close()
    pop = Harborpop(exe)
    try:
        line = pop.console.expect("connect error:")
        check(line[len("connect error:"):].strip().isdigit(), "no error code in %r" % line)
        check(not pop.console.has("connect ok!"), "connected to nothing")
        check(pop.proc.poll() is None, "the program should wait before it exits")
    finally:
        pop.end()


CASES = {
    "show": case_show,
    "mouse": case_mouse,
    "tip-later": case_tip_later,
    "no-listener": case_no_listener,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    for name in ("DISPLAY", "WINEPREFIX"):
        if not os.environ.get(name):
            print("%s is not set: run inside scripts/with-wine" % name, file=sys.stderr)
            return 2
    with open("/tmp/harborgate-e2e.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            CASES[args.case](args.exe, Screen(args.probe, args.shots))
        except Failure as failure:
            print("FAIL %s: %s" % (args.case, failure), file=sys.stderr)
            if Harborpop.latest:
                print("console: %r" % Harborpop.latest.console.lines, file=sys.stderr)
            return 1
    print("ok %s" % args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
