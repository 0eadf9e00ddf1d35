#!/usr/bin/env python3
"""A queue's jobs paused, resumed, restarted, cancelled, deleted and given status texts
through the agent's Printer against a running tollmachine, its queues configured with
`reg import` as an administrator would, and each change read back from the spooler's
journal and from `tollmachine jobs`."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BIN = None
PROBE = None

QUEUES = r"""REGEDIT4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Fila]
"Port"="IP_10.0.0.5"
"Printer Driver"="HP Universal Printing PCL 6"
"Status"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Standard TCP/IP Port\Ports\IP_10.0.0.5]
"IPAddress"="10.0.0.5"
"""


class PrinterAgainstTheMachine(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="spooler-e2e-")
        self.machine = os.path.join(self.tmp, "machine")
        os.makedirs(self.machine)
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.machine)
        reg = os.path.join(self.tmp, "queues.reg")
        with open(reg, "wb") as f:
            f.write(QUEUES.encode("cp1252"))
        self.tm("reg", "import", reg)
        self.tm("start")
        self.addCleanup(self.cleanup)

    def cleanup(self):
        self.tm("stop", check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def tm(self, *args, check=True, stdin=None):
        done = subprocess.run([os.path.join(BIN, "tollmachine"), *args], env=self.env,
                              input=stdin, capture_output=True, timeout=60)
        if check:
            self.assertEqual(done.returncode, 0, (args, done.stdout, done.stderr))
        return done

    def probe(self, *args):
        return subprocess.run([PROBE, "Fila", *args], env=self.env, capture_output=True,
                              timeout=60)

    def print_job(self):
        out = self.tm("print", "-P", "Fila", "-U", "maria", "-", stdin=b"\x1b%-12345X@PJL\r\n")
        return int(out.stdout.decode().split()[-1])

    def events(self, job):
        path = os.path.join(self.machine, "spooler.jsonl")
        with open(path, encoding="utf-8") as f:
            records = [json.loads(line) for line in f if line.strip()]
        return [(r["event"], r.get("by")) for r in records if r.get("job") == job]

    def jobs(self):
        lines = self.tm("jobs").stdout.decode().splitlines()[1:]
        return {int(l.split("\t")[0]): l.split("\t") for l in lines}

    def test_every_job_control_reaches_the_spooler(self):
        a, b = self.print_job(), self.print_job()
        for command, event in [("pause", "paused"), ("resume", "resumed"),
                               ("restart", "restarted"), ("cancel", "cancelled")]:
            done = self.probe(command, str(a))
            self.assertEqual(done.returncode, 0, (command, done.stderr))
            self.assertIn((event, "queue_probe"), self.events(a), command)
        self.assertEqual(self.probe("delete", str(b)).returncode, 0)
        self.assertIn(("deleted", "queue_probe"), self.events(b))
        # Jobs that are gone are an answer, not an error.
        deadline = time.time() + 10
        while b in self.jobs() and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.probe("resume", str(b)).returncode, 1)
        self.assertEqual(self.probe("resume", "4242").returncode, 1)

    def test_a_status_text_shows_in_the_queue(self):
        a = self.print_job()
        self.assertEqual(self.probe("text", str(a), "Aguardando confirmacao").returncode, 0)
        self.assertEqual(self.jobs()[a][5], "Aguardando confirmacao")
        self.assertIn(("status-text", "queue_probe"), self.events(a))
        self.assertEqual(self.probe("text", str(a)).returncode, 0)
        self.assertEqual(self.jobs()[a][5], "")


if __name__ == "__main__":
    BIN, PROBE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
