"""Chromium driven over its own debugging pipe, for the click-to-page figure.

A browser automation library attaches to every page and every new renderer
process and sets each one up before it may run; on this machine that adds tens
of milliseconds to each navigation to another site, which no user pays. This
driver enables no event domain, lets go of the tab between the click and the
device's page, and then asks that page for its times: what the figure shows is
the browser's own way from the click to the page.

The click comes READING_PAUSE seconds after the portal page has loaded, as a
user's would: a browser that has just shown a page goes on starting the
renderer process it keeps ready for the next site, and a click at the very
moment the page is there shares the machine with that start-up.

Usage (for trials): chromium_pipe.py [--pause SECONDS] PORTAL_URL open|straight ARG...
open: SERIAL ..., clicks "Open web interface" of each device on the portal.
straight: SERIAL=URL ..., clicks a link to URL put on the portal page.
Prints "SERIAL MILLISECONDS" per device.
"""
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--remote-debugging-pipe"]
MESSAGE_CAP = 1 << 20
DEVICE_URL = re.compile(r"^http://localhost:\d+/")
STEP_LIMIT = 30.0
READING_PAUSE = 1.0

# The page's clock, read just before the click is sent: the answer to a call
# still open when the page unloads is lost, so the click cannot report itself.
NOW = "performance.timeOrigin + performance.now()"

# The link's middle in the page's viewport, scrolled into view first.
LINK_POINT = """(() => {
  const link = %s;
  if (!link) return null;
  link.scrollIntoView({block: 'center'});
  const box = link.getBoundingClientRect();
  return [box.left + box.width / 2, box.top + box.height / 2];
})()"""

# The moment the device's page was read whole, or 0 while it is not there yet.
DEVICE_PARSED = """(() => {
  if (!/^localhost:\\d+$/.test(location.host) || document.readyState === 'loading') return 0;
  if (!document.body || !document.body.innerText.includes('Signed in as')) return 0;
  const entry = performance.getEntriesByType('navigation')[0];
  return performance.timeOrigin + entry.domContentLoadedEventStart;
})()"""


class Browser:
    """One headless Chromium with a profile of its own, spoken to over fds 3 and 4."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="harborgate-bench-chromium-")
        to_browser, self._to_browser = os.pipe()
        self._from_browser, from_browser_end = os.pipe()
        try:
            command = ["sh", "-c", 'exec "$0" "$@" 3<&%d 4>&%d' % (to_browser, from_browser_end),
                       CHROMIUM, *ARGS, "--user-data-dir=" + self.profile]
            self.process = subprocess.Popen(command, pass_fds=(to_browser, from_browser_end),
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            os.close(to_browser)
            os.close(from_browser_end)
        self._next_id = 0
        self._pending = b""
        self._answers = {}  # answers that came while another was awaited

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except Exception:
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)

    def send(self, method, params=None, session=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._to_browser, data):]
        return self._next_id

    def wait(self, ident, timeout=STEP_LIMIT):
        """The result of command ident; events on the way are dropped."""
        deadline = time.monotonic() + timeout
        while True:
            while ident not in self._answers and b"\0" in self._pending:
                raw, self._pending = self._pending.split(b"\0", 1)
                message = json.loads(raw)
                if "id" in message:
                    self._answers[message["id"]] = message
            message = self._answers.pop(ident, None)
            if message is not None:
                if "error" in message:
                    raise RuntimeError(message["error"].get("message", "error"))
                return message.get("result", {})
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise TimeoutError("no answer from the browser")
            piece = os.read(self._from_browser, 65536)
            if not piece:
                raise RuntimeError("the browser ended")
            self._pending += piece
            if len(self._pending) > MESSAGE_CAP:
                raise RuntimeError("message from the browser too long")

    def call(self, method, params=None, session=None, timeout=STEP_LIMIT):
        return self.wait(self.send(method, params, session), timeout)

    def evaluate(self, session, expression):
        return self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                         session)


def value_of(result):
    if "exceptionDetails" in result:
        raise RuntimeError(result["exceptionDetails"].get("text", "exception"))
    return result.get("result", {}).get("value")


def poll(browser, session, expression, what, period=0.010):
    """The first true value of expression, asked every period seconds; a page
    that is between documents answers with an error, which counts as not yet."""
    deadline = time.monotonic() + STEP_LIMIT
    while time.monotonic() < deadline:
        try:
            value = value_of(browser.wait(browser.evaluate(session, expression)))
            if value:
                return value
        except RuntimeError as error:
            if "ended" in str(error):
                raise
        time.sleep(period)
    raise TimeoutError("no %s within %.0f s" % (what, STEP_LIMIT))


def attach(browser, target):
    return browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]


def wait_for_device_url(browser, target):
    """Asks the browser, not the page, until the tab shows a device's page."""
    deadline = time.monotonic() + STEP_LIMIT
    while time.monotonic() < deadline:
        info = browser.call("Target.getTargetInfo", {"targetId": target})["targetInfo"]
        if DEVICE_URL.match(info.get("url", "")):
            return
        time.sleep(0.020)
    raise TimeoutError("no device page within %.0f s" % STEP_LIMIT)


def click_to_page(browser, portal_url, link_expression, pause):
    """Milliseconds from the click on the link, pause seconds after the portal
    page has loaded, to the device's page read whole. The driver lets go of the
    tab between the click and the device's page, so nothing of it runs in the
    pages on the way."""
    target = browser.call("Target.createTarget", {"url": portal_url})["targetId"]
    try:
        session = attach(browser, target)
        poll(browser, session, "location.href === %s && document.readyState === 'complete'"
             % json.dumps(portal_url), "portal page")
        point = value_of(browser.call("Runtime.evaluate", {
            "expression": LINK_POINT % link_expression, "returnByValue": True}, session))
        if not point:
            raise RuntimeError("no link on the portal: " + link_expression)
        time.sleep(pause)
        clicked_at = value_of(browser.call("Runtime.evaluate", {"expression": NOW}, session))
        for kind in ("mousePressed", "mouseReleased"):
            browser.call("Input.dispatchMouseEvent", {"type": kind, "x": point[0], "y": point[1],
                                                      "button": "left", "clickCount": 1}, session)
        browser.call("Target.detachFromTarget", {"sessionId": session})
        wait_for_device_url(browser, target)
        session = attach(browser, target)
        return poll(browser, session, DEVICE_PARSED, "device page", 0.100) - clicked_at
    finally:
        browser.call("Target.closeTarget", {"targetId": target})


def portal_link(serial):
    return ("document.querySelector('a[href*=\"ds=%s&\"], a[href$=\"ds=%s\"]')"
            % (serial, serial))


def straight_link(url):
    return """(() => {
  const link = document.createElement('a');
  link.href = %s;
  link.textContent = 'Straight to the device';
  document.body.prepend(link);
  return link;
})()""" % json.dumps(url)


def time_clicks(portal_url, mode, args, pause=READING_PAUSE):
    """(serial, milliseconds) for each argument, one tab after another."""
    browser = Browser()
    try:
        times = []
        for arg in args:
            serial, _, url = arg.partition("=")
            if mode == "straight" and not url:
                raise ValueError("not SERIAL=URL: " + arg)
            link = straight_link(url) if mode == "straight" else portal_link(serial)
            times.append((serial, click_to_page(browser, portal_url, link, pause)))
        return times
    finally:
        browser.close()


def main():
    args = sys.argv[1:]
    pause = READING_PAUSE
    if args[:1] == ["--pause"] and len(args) > 1:
        pause = float(args[1])
        args = args[2:]
    if len(args) < 3 or args[1] not in ("open", "straight") or not 0 <= pause <= 60:
        sys.exit(__doc__)
    for serial, ms in time_clicks(args[0], args[1], args[2:], pause):
        print("%s %.1f" % (serial, ms))


if __name__ == "__main__":
    main()
