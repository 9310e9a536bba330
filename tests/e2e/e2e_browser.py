"""Browser test: Chromium, headless, from the portal of the local device cloud
through the gateway to a device's web interface (browser.mjs does the clicking).

Usage: e2e_browser.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
                      --out build/e2e
"""
import argparse
import os
import shutil
import subprocess
import sys

import harness

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--devcloud", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    if not os.path.isdir(os.path.join(HERE, "node_modules", "playwright-core")):
        print("playwright-core is missing: run scripts/install-deps")
        return 1
    lock = harness.hold_e2e_lock()
    cloud = harness.DevCloud(os.path.abspath(args.devcloud))
    folder = harness.gateway_folder(os.path.abspath(args.gateway))
    gateway = None
    try:
        gateway = harness.Gateway(folder)
        browser = subprocess.run(
            ["node", os.path.join(HERE, "browser.mjs"), "http://%s/" % cloud.address,
             os.path.abspath(args.out)], cwd=HERE, timeout=300)
        return browser.returncode
    finally:
        if gateway:
            gateway.stop()
        cloud.stop()
        shutil.rmtree(folder, ignore_errors=True)
        os.close(lock)


if __name__ == "__main__":
    sys.exit(main())
