#!/usr/bin/env python3
"""End-to-end checks of the built tollagent on a new simulated machine each."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

AGENT = None
STAMP = rb"\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d\d \d\d:\d\d:\d\d "


class TollagentTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.machine = os.path.join(self.tmp.name, "machine")
        self.data = os.path.join(self.machine, "ProgramData", "Tollgate", "Client")

    def tearDown(self):
        self.tmp.cleanup()

    def run_agent(self, *args, stdin=b""):
        env = dict(os.environ, TOLLGATE_MACHINE=self.machine)
        return subprocess.run([AGENT, *args], input=stdin, capture_output=True, env=env,
                              timeout=60)

    def log(self, k=0):
        with open(os.path.join(self.data, "events_%d.log" % k), "rb") as f:
            return f.read()

    def test_version_only_as_the_single_argument(self):
        done = self.run_agent("-v")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stdout, b"2.7.2")
        self.assertFalse(os.path.exists(self.machine))
        # With more arguments "-v" is not a version request: this is a console run.
        done = self.run_agent("-v", "/server", "h")
        self.assertEqual(done.stdout, b"Press any char to close...")

    def test_usage_line_goes_to_the_log_and_runs_rotate(self):
        done = self.run_agent()
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, b"")
        self.assertRegex(self.log(0), b"^" + STAMP + rb"Usage: tollagent /server \{host\}\r\n$")
        self.run_agent("/server")
        self.assertRegex(self.log(1), rb"Usage: tollagent /server \{host\}\r\n$")
        self.assertRegex(self.log(0), rb"Usage: tollagent /server \{host\}\r\n$")

    def test_file_in_place_of_the_data_folder(self):
        os.makedirs(os.path.join(self.machine, "ProgramData"))
        with open(os.path.join(self.machine, "ProgramData", "Tollgate"), "w") as f:
            f.write("x")
        done = self.run_agent("/server", "h")
        self.assertEqual(done.returncode, 1)
        self.assertTrue(done.stdout.startswith(b"Error making data folder: error creating folder: "
                                               b"Windows error 3: "), done.stdout)

    def test_console_run_waits_for_one_character(self):
        done = self.run_agent("/SERVER", "acct01", "/Port", "7000", stdin=b"q")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, b"Press any char to close...")
        # The application then runs: with no server at acct01 its registration fails.
        self.assertRegex(self.log(0), b"^" + STAMP + rb"Starting\.\.\.\r\n")
        self.assertIn(b"Error registering: ", self.log(0))

    def test_service_run_outside_a_control_manager_ends_silently(self):
        done = self.run_agent("/servicerun", "/server", "acct01")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stdout, b"")
        self.assertRegex(self.log(0), rb"Starting\.\.\.\r\n$")


if __name__ == "__main__":
    AGENT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
