#!/usr/bin/env python3
"""A writer killed with SIGKILL while it rewrites the registry leaves a file that loads:
either the one before a change or the one after it, never a broken one."""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest

WRITER = None


class RegistryKillTest(unittest.TestCase):
    def test_killed_writer_leaves_a_whole_registry(self):
        with tempfile.TemporaryDirectory() as machine:
            env = dict(os.environ, TOLLGATE_MACHINE=machine)
            counts = []
            for _ in range(6):
                writer = subprocess.Popen([WRITER, "write"], env=env)
                time.sleep(random.uniform(0.15, 0.4))
                writer.send_signal(signal.SIGKILL)
                writer.wait(timeout=10)
                check = subprocess.run([WRITER, "check"], env=env, capture_output=True,
                                       timeout=30)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                self.assertTrue(check.stdout.startswith(b"ok "), check.stdout)
                counts.append(int(check.stdout.split()[1]))
            # The writer made progress and what it wrote survived each kill.
            self.assertGreater(counts[-1], 0)
            self.assertEqual(counts, sorted(counts))


if __name__ == "__main__":
    WRITER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
