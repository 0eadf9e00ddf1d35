#!/usr/bin/env python3
"""A program appending job records as fast as it can, killed with SIGKILL again and again:
every record it was told was kept is in the jobs file, whole, and the records of later runs
line up after it."""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PROBE = None


class RecordKillTest(unittest.TestCase):
    def test_killed_appender_loses_no_answered_record(self):
        with tempfile.TemporaryDirectory() as machine:
            env = dict(os.environ, TOLLGATE_MACHINE=machine)
            path = os.path.join(machine, "jobs2_7_2.log")
            answered = 0
            for _ in range(20):
                probe = subprocess.Popen([PROBE, "append", path], env=env,
                                         stdout=subprocess.PIPE)
                time.sleep(random.uniform(0.05, 0.3))
                probe.send_signal(signal.SIGKILL)
                out, _ = probe.communicate(timeout=10)
                ids = [int(x) for x in out.split()]
                if ids:
                    # Each run goes on after the last record of the one before.
                    self.assertGreater(ids[0], answered)
                    self.assertEqual(ids, list(range(ids[0], ids[0] + len(ids))))
                    answered = ids[-1]
            self.assertGreater(answered, 0)
            check = subprocess.run([PROBE, "check", path], env=env, capture_output=True,
                                   timeout=120)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            self.assertTrue(check.stdout.startswith(b"ok "), check.stdout)
            self.assertGreaterEqual(int(check.stdout.split()[1]), answered)


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
