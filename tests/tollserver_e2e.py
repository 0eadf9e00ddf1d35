#!/usr/bin/env python3
"""The agent's gateway (contract_probe gateway) against tollserver: registration settings
from the policy written into the simulated machine's registry, a job accepted and charged,
files uploaded beside the ledger, a counter reading, a cancelled job; then the ledger
commands show it all."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import unittest

SERVER = None
PROBE = None

POLICY = {
    "prices": {"mono": 0.10, "colour": 0.50},
    "users": {"joão": {"balance": 10.0, "group": "vendas"}},
    "printers": {"Recepção": {"watermark": "CONFIDENCIAL", "feedback": True,
                              "settings": {"Id": 77, "Language": 12, "IdentifyHardware": 1,
                                           "SnmpCommunity": "priv", "IsToArchive": 1},
                              "emfCopiesReading": False}},
    "registration": {"FreeGBRequiredToArchive": 3, "DaysToKeepArchivedFile": 45,
                     "CanQueryMFCopy": 0},
}


class GatewayAgainstTollserver(unittest.TestCase):
    def test_the_gateway_conversation_lands_in_the_ledger(self):
        work = tempfile.mkdtemp(prefix="tollserver-e2e-")
        data = os.path.join(work, "ledger")
        policy = os.path.join(work, "policy.json")
        with open(policy, "w", encoding="utf-8") as f:
            json.dump(POLICY, f, ensure_ascii=False)
        server = subprocess.Popen([SERVER, "--port", "0", "--data", data, "--policy", policy],
                                  stderr=subprocess.PIPE)
        try:
            line = server.stderr.readline().decode()
            port = int(line.split("port ")[1].split(",")[0])
            env = dict(os.environ, TOLLGATE_MACHINE=os.path.join(work, "machine"))
            done = subprocess.run([PROBE, "gateway", "127.0.0.1", str(port)], env=env,
                                  capture_output=True, timeout=60)
            results = [json.loads(l) for l in done.stdout.decode("utf-8").splitlines()]
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
            server.stderr.close()
        registration, job = results[0], results[1]
        self.assertIsNone(registration["register"])
        self.assertGreater(registration["clientId"], 0)
        self.assertEqual((registration["FreeGBRequiredToArchive"],
                          registration["DaysToKeepArchivedFile"],
                          registration["CanQueryMFCopy"]), ("3", "45", "0"))
        self.assertEqual(registration["Recepção"]["Id"], "77")
        self.assertEqual(registration["Recepção"]["SnmpCommunity"], "priv")
        self.assertEqual(registration["Recepção"]["EmfCopiesReading"], "0")
        self.assertIsNone(registration["Local"]["Id"])  # no settings for it
        self.assertIsNone(job["job"])
        # 3 mono and 1 colour page, 2 copies: R$ 0,60 + R$ 1,00.
        self.assertEqual([pages for _, pages in job["records"]], [6, 2])
        self.assertEqual(job["watermark"], "CONFIDENCIAL")
        self.assertEqual(job["feedbackMessage"], "Custo: R$ 1,60. Saldo: R$ 8,40.")
        # The files go to the job's records (40 000 and 0 bytes to the first, 32 767 to the
        # second), beside the ledger; the counter reading to the first.
        self.assertEqual([r["result"] for r in results[2:5]], [None] * 3)
        first, second = [r for r, _ in job["records"]]
        files = os.path.join(data, "files")
        self.assertEqual(os.path.getsize(os.path.join(files, "%d.spl" % first)), 0)
        self.assertEqual(os.path.getsize(os.path.join(files, "%d.spl" % second)), 32767)
        with open(os.path.join(files, "%d.spl" % second), "rb") as f:
            self.assertEqual(f.read(), bytes((i * 7) & 0xFF for i in range(32767)))
        self.assertIsNone(results[5]["hardware"])
        self.assertIsNone(results[6]["cancel"])

        jobs = subprocess.run([SERVER, "jobs", "--data", data], capture_output=True,
                              timeout=30).stdout.decode("utf-8").splitlines()
        self.assertEqual(len(jobs), 3)
        fields = jobs[1].split("\t")
        self.assertEqual(fields[2:12], ["TOLLSRV01", "Recepção", "joão", "Relatório € 1.pdf",
                                        "4", "1", "3", "2", "0", "R$ 1,60"])
        ids = [int(x) for x in fields[12].split(",")]
        self.assertEqual(ids, [r for r, _ in job["records"]])
        # A job whose names Windows-1252 cannot hold: the ledger has the names themselves.
        self.assertIsNone(results[7]["names"])
        self.assertEqual(jobs[2].split("\t")[4:6], ["李明", "a&#65;b \U0001F600"])
        balance = subprocess.run([SERVER, "balance", "--data", data, "--policy", policy],
                                 capture_output=True, timeout=30).stdout.decode("utf-8")
        self.assertIn("joão\tvendas\tR$ 10,00\tR$ 1,60\tR$ 8,40", balance)


if __name__ == "__main__":
    PROBE = sys.argv.pop(2)
    SERVER = sys.argv.pop(1)
    unittest.main(verbosity=2)
