"""The step runner of scripts/install-deps: quiet while a step works; when one
fails, a report that names the step and the command, shows the end of its
output and the usual causes, and the command's exit status. A stub command
stands in for apt-get and npm, so nothing goes to the network.

Usage: run_step_test.py
"""
import os
import subprocess
import sys
import tempfile
import unittest

RUN_STEP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run-step.sh")
CAUSES = "Usual causes: the stub was told to fail."


def run_step(name, *command):
    """Sources the runner in bash and runs one step; its stdout (ending in
    "status N") and its stderr."""
    script = '. "$1"; shift; run_step "$@"; echo "status $?"'
    done = subprocess.run(["bash", "-c", script, "bash", RUN_STEP, name, CAUSES, *command],
                          capture_output=True, text=True, timeout=30)
    return done.stdout, done.stderr


class StepRunner(unittest.TestCase):
    def setUp(self):
        self.stub = tempfile.NamedTemporaryFile("w", suffix="-stub", delete=False)
        # Thirty lines of progress, then the line that explains the failure.
        self.stub.write('#!/bin/sh\ni=1\nwhile [ $i -le 30 ]; do echo "progress line $i"; '
                        'i=$((i + 1)); done\n'
                        'echo "E: stub: certificate not trusted" >&2\nexit "${1:-0}"\n')
        self.stub.close()
        os.chmod(self.stub.name, 0o755)
        self.addCleanup(os.remove, self.stub.name)

    def test_a_step_that_works_is_silent(self):
        out, err = run_step("stub step", self.stub.name, "0")
        self.assertEqual((out, err), ("status 0\n", ""))

    def test_a_failed_step_reports_itself(self):
        out, err = run_step("npm ci (stub)", self.stub.name, "3")
        self.assertEqual(out, "status 3\n")
        lines = err.splitlines()
        self.assertEqual(lines[0], 'install-deps: step "npm ci (stub)" failed (exit status 3)')
        self.assertEqual(lines[1], "  command: %s 3" % self.stub.name)
        self.assertIn("    E: stub: certificate not trusted", lines)
        self.assertEqual(lines[-1], "  " + CAUSES)
        # The last 20 lines of the output, the stub's error among them.
        shown = [line for line in lines if line.startswith("    ")]
        self.assertEqual(len(shown), 20, err)
        self.assertEqual(shown[0], "    progress line 12")
        self.assertNotIn("    progress line 11", lines)

    def test_a_silent_failure_says_so(self):
        out, err = run_step("silent", "false")
        self.assertEqual(out, "status 1\n")
        self.assertIn('step "silent" failed (exit status 1)', err)
        self.assertIn("  it printed nothing", err.splitlines())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
