#!/usr/bin/env python3
"""A network event from end to end: devcloud reports it on a device's open
tunnel, our tunnel library hands it to the gateway, the gateway sends its
notice to the subscribers on 127.0.0.1:45000, and Harborpop, running under
Wine, shows its popup.

Run inside scripts/with-wine (Xvfb, prefix, Chinese locale), with the device
cloud (and, without --gateway, the gateway) from the native build and
harborpop.exe from the Windows build:

  e2e_notice_popup.py --native-bin build/bin --exe build-win/bin/harborpop.exe \
      --probe build-win/bin/popup_probe.exe --shots build-win/e2e
"""
import argparse
import contextlib
import os
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "popup", "tests"))

import harness  # noqa: E402
import popup_wine_test as popup  # noqa: E402

FRONT_DOOR = ("DEMO-0001", "Front door")


def open_tunnel(cloud, folder, limit=30):
    """Asks for the device as the waiting page does, until the redirect."""
    kinds = []
    for _ in range(limit):
        reply = harness.gateway_request(harness.device_query(cloud, *FRONT_DOOR))
        kinds.append(harness.page_kind(reply, folder))
        if kinds[-1] == "redirect":
            return
        time.sleep(0.3)
    raise popup.Failure("no redirect after %d requests: %s" % (limit, kinds))


def run(args):
    screen = popup.Screen(args.probe, args.shots)
    # Each start's undoing is registered before the next start.
    with contextlib.ExitStack() as undo:
        cloud = harness.DevCloud(os.path.join(args.native_bin, "devcloud"))
        undo.callback(cloud.stop)
        folder = harness.gateway_folder(args.gateway or os.path.join(args.native_bin, "harborgate"))
        undo.callback(shutil.rmtree, folder, ignore_errors=True)
        gateway = harness.Gateway(folder)
        undo.callback(gateway.stop)
        pop = popup.Harborpop(args.exe)
        undo.callback(pop.end)
        pop.console.expect("connect ok!")
        open_tunnel(cloud, folder)

        popup.check(cloud.admin("netinfo", sn=FRONT_DOOR[0], code=2, count=23) == "ok",
                    "devcloud refused the network event")
        pop.console.expect("buf:Info:WindowPopup,Devicename:Front%20door,CountValue:23,UrlIndex:1.")
        pop.console.expect("servicezone:1")
        screen.wait_shown()
        popup.check_placed(screen, popup.CHINESE_LABEL)
        time.sleep(0.3)
        popup.check_skin(screen.grab("popup_from_gateway.png"))
        screen.wait_gone()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native-bin", required=True)
    parser.add_argument("--gateway", help="the gateway (default: the native one)")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()
    for name in ("devcloud",) if args.gateway else ("harborgate", "devcloud"):
        if not os.path.exists(os.path.join(args.native_bin, name)):
            print("no %s in %s: build the native programs first (make build)" %
                  (name, args.native_bin), file=sys.stderr)
            return 1
    harness.hold_e2e_lock()
    try:
        run(args)
    except (popup.Failure, AssertionError) as failure:
        print("FAIL: %s" % failure, file=sys.stderr)
        return 1
    print("ok notice from the device cloud to the popup")
    return 0


if __name__ == "__main__":
    sys.exit(main())
