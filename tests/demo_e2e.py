#!/usr/bin/env python3
"""scripts/demo as a newcomer runs it (with DEMO_FAST=1 and the programs already built): it
ends with status 0, and its ledger holds every job it printed once, with the pages and copies
that tollcount counts in the printed file. Interrupted at any step, it leaves no process of
its run behind."""
import os
import socket
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import json

from machine_support import wait_for

BIN = None
ROOT = None


def processes_of(machine):
    """Processes whose environment names this machine folder."""
    mark = ("TOLLGATE_MACHINE=" + machine).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if mark in f.read().split(b"\0"):
                    with open("/proc/%s/cmdline" % entry, "rb") as c:
                        found.append((int(entry), c.read().replace(b"\0", b" ").decode()))
        except OSError:
            pass
    return found


class Demo(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="demo-e2e-")
        self.machine = os.path.join(self.tmp, "machine")
        # The agent's own endpoint is one of this run's: other tests' agents may hold 7002.
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        endpoint = s.getsockname()[1]
        s.close()
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.machine, DEMO_BIN=BIN, DEMO_FAST="1",
                        TOLLGATE_AGENT_ENDPOINT=str(endpoint))
        self.env.pop("DEMO_KEEP", None)
        self.addCleanup(self.cleanup)

    def cleanup(self):
        for pid, _ in processes_of(self.machine):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self):
        self.out = open(os.path.join(self.tmp, "demo.txt"), "wb")
        self.addCleanup(self.out.close)
        return subprocess.Popen(["bash", os.path.join(ROOT, "scripts", "demo")], env=self.env,
                                stdout=self.out, stderr=subprocess.STDOUT, cwd=self.tmp,
                                start_new_session=True)

    def output(self):
        with open(os.path.join(self.tmp, "demo.txt"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def count(self, name, text):
        args = [os.path.join(BIN, "tollcount"), "--json"]
        if text:
            args.append("--text")
        done = subprocess.run(args + [os.path.join(ROOT, "testdata", name)],
                              capture_output=True, env=dict(os.environ, TOLLGATE_MACHINE=os.path.join(self.tmp, "count")))
        return json.loads(done.stdout.decode().splitlines()[0])

    def test_the_ledger_holds_every_printed_job_once_as_the_readers_count_it(self):
        began = time.time()
        demo = self.start()
        self.assertEqual(demo.wait(240), 0, self.output())
        seconds = time.time() - began
        print(self.output() + "\ndemo ran %.1f s" % seconds, file=sys.stderr)
        self.assertLess(seconds, 120, self.output())
        with open(os.path.join(self.machine, "spooler.jsonl"), encoding="utf-8") as f:
            printed = [json.loads(l) for l in f if l.strip()]
        printed = [e for e in printed if e["event"] == "submitted"]
        self.assertGreaterEqual(len(printed), 10)
        done = subprocess.run([os.path.join(BIN, "tollserver"), "jobs", "--data",
                               os.path.join(self.machine, "tollserver")], capture_output=True)
        lines = done.stdout.decode().splitlines()
        head = lines[0].split("\t")
        ledger = [dict(zip(head, l.split("\t"))) for l in lines[1:]]
        # Every queue of the demo is watched: each printed file is in the ledger once.
        self.assertEqual(sorted((e["queue"], e["document"]) for e in printed),
                         sorted((j["printer"], j["document"]) for j in ledger), self.output())
        languages = set()
        for e in printed:
            count = self.count(e["document"], e["datatype"] == "TEXT")
            job = next(j for j in ledger if j["document"] == e["document"])
            self.assertEqual((int(job["pages"]), int(job["copies"])),
                             (count["pages"], count["copies"]), (e, count, job))
            languages.add(count["language"])
        self.assertTrue({"PCLXL", "PCL", "POSTSCRIPT", "TEXT"} <= languages, languages)
        out = self.output()
        for seen in ("held: Aguardando confirmação.", "deleted by tollagent",
                     "ConfirmPrint", "caused change to offline state",
                     "O spooler de impressão terminou de forma inesperada.",
                     "in the ledger once"):
            self.assertIn(seen, out)
        if "has no 'held' command" not in out:
            # The administrator's release: the held job prints and is charged.
            self.assertIn(": released", out)
            held = next(j for j in ledger if j["printer"] == "Financeiro")
            self.assertNotEqual(held["cost"], "-", held)
        self.assertEqual(processes_of(self.machine), [])

    def test_an_interrupted_demo_leaves_no_process_behind(self):
        # While only the server runs, with everything running, and while the server is away.
        for step in ("tollserver: port", "== 2.", "== 4."):
            with self.subTest(step=step):
                demo = self.start()
                self.assertTrue(wait_for(lambda: step in self.output(), 90), self.output())
                os.killpg(demo.pid, signal.SIGINT)
                self.assertNotEqual(demo.wait(60), 0)
                self.assertTrue(wait_for(lambda: processes_of(self.machine) == [], 10),
                                (processes_of(self.machine), self.output()))


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
