"""Browser test: Chromium, headless, from the portal of the local device cloud
through the gateway to a device's web interface (browser.mjs does the clicking).

Usage: e2e_browser.py --gateway build/bin/harborgate --devcloud build/bin/devcloud
                      --out build/e2e [--node NODE [--node-lib-dir DIR]] [--front-door]

--node runs browser.mjs with another Node.js than the one on PATH, such as
Debian's unpacked into a folder of its own; --node-lib-dir is then where its
shared libraries are (given to node alone, not to the programs under test).
--front-door opens only the online device, without the wait for the gateway
to give up on the offline one.
"""
import argparse
import contextlib
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
    parser.add_argument("--node", default="node")
    parser.add_argument("--node-lib-dir")
    parser.add_argument("--front-door", action="store_true")
    args = parser.parse_args()
    if not os.path.isdir(os.path.join(HERE, "node_modules", "playwright-core")):
        print("playwright-core is missing: run scripts/install-deps")
        return 1
    node = args.node
    env = dict(os.environ)
    if args.node_lib_dir:
        env["LD_LIBRARY_PATH"] = os.path.abspath(args.node_lib_dir)
    if shutil.which(node) is None:
        print("no Node.js at %s: run scripts/install-deps" % node)
        return 1
    version = subprocess.run([node, "--version"], env=env, capture_output=True, text=True,
                             timeout=30)
    print("browser test under Node.js %s" % (version.stdout.strip() or version.stderr.strip()))
    if version.returncode != 0:
        return 1
    lock = harness.hold_e2e_lock()
    # Each step's undoing is registered before the next step starts, so a step
    # that fails leaves nothing of the earlier ones behind.
    with contextlib.ExitStack() as undo:
        undo.callback(os.close, lock)
        cloud = harness.DevCloud(os.path.abspath(args.devcloud))
        undo.callback(cloud.stop)
        folder = harness.gateway_folder(os.path.abspath(args.gateway))
        undo.callback(shutil.rmtree, folder, ignore_errors=True)
        gateway = harness.Gateway(folder)
        undo.callback(gateway.stop)
        scope = ["front-door"] if args.front_door else []
        browser = harness.Program([node, os.path.join(HERE, "browser.mjs"),
                                   "http://%s/" % cloud.address, os.path.abspath(args.out),
                                   *scope], cwd=HERE, env=env)
        undo.callback(browser.stop)
        code = None
        try:
            code = browser.exit_code(300)
            return code
        finally:
            print("\n".join(browser.output()))
            if code != 0:
                print("---- the gateway's last lines")
                print("\n".join(gateway.program.output()[-40:]))


if __name__ == "__main__":
    sys.exit(main())
