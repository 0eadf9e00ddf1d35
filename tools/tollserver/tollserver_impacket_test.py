#!/usr/bin/python3
"""tollserver against an independent client, impacket, over loopback: registration and job
reports answered as the policy says (every status of the job status table), resent jobs,
hostile stub data, a kill -9 right after an answer and one amid 8 busy connections, the
ledger commands, and bad input on the command line."""
import json
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "agent", "rpc"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "shared", "rpc"))
from contract_impacket_test import (CENTRAL, CancelJobCall, QueueEntry,  # noqa: E402
                                    RegisterAgentAnswer, RegisterAgentCall, ReportJobAnswer,
                                    ReportJobCall, ShortAnswer, UploadFileChunkCall, text_of)

from impacket.dcerpc.v5 import transport  # noqa: E402
from impacket.dcerpc.v5.dtypes import NULL  # noqa: E402
from impacket.dcerpc.v5.rpcrt import DCERPCException  # noqa: E402

SERVER = None

POLICY = {
    "prices": {"mono": 0.10, "colour": 0.50},
    "users": {"maria": {"balance": 1.00, "group": "financeiro"},
              "pobre": {"balance": 0.05, "group": "geral"}},
    "defaultUser": {"balance": 100, "group": "geral"},
    "defaultPrinter": {"feedback": True},
    "printers": {
        "Cor proibida": {"colour": "pause"},
        "Cor apagada": {"colour": "delete"},
        "Frente e verso": {"duplex": "pause"},
        "Frente e verso apaga": {"duplex": "delete"},
        "Liberação": {"holdForRelease": True},
        "Centro de custo": {"accounts": [{"id": "c1", "name": "Água", "requireItem": True}]},
        "Autorização": {"authentication": {"publicKey": "QUJD"}},
        "Autenticação": {"authentication": {"publicKey": "REVG", "unauthenticated": True}},
        "Confirmação": {"confirmAbove": 5},
        "Apaga sem saldo": {"insufficientBalance": "delete"},
        "Recepção": {"watermark": "CONFIDENCIAL",
                     "settings": {"Id": 900, "Language": 12, "IdentifyHardware": 1,
                                  "SnmpCommunity": "priv", "IsToArchive": 1,
                                  "IsToCheckCounterAfterPrint": 0},
                     "emfCopiesReading": False},
    },
    "registration": {"FreeGBRequiredToArchive": 5, "DaysToKeepArchivedFile": 60,
                     "CanQueryMFCopy": 0},
}


def lpstr(text):
    return NULL if text is None else text.encode("cp1252") + b"\x00"


def sz(text):
    return text.encode("cp1252") + b"\x00"


class Server:
    def __init__(self, data, policy=None, extra=()):
        args = [SERVER, "--port", "0", "--data", data, *extra]
        if policy:
            args += ["--policy", policy]
        self.process = subprocess.Popen(args, stderr=subprocess.PIPE)
        line = self.process.stderr.readline().decode()
        assert "listening" in line, line
        self.port = int(line.split("port ")[1].split(",")[0])

    def connect(self):
        t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % self.port)
        dce = t.get_dce_rpc()
        dce.connect()
        dce.bind(CENTRAL)
        return dce

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        self.process.wait(timeout=30)
        self.process.stderr.close()


def register(dce, computer="TOLLSRV01", queues=(("Recepção", "10.0.0.7"), ("Local", None))):
    c = RegisterAgentCall()
    c["agentKind"] = 4
    c["computerName"] = sz(computer)
    c["queueCount"] = len(queues)
    entries = []
    for name, address in queues:
        e = QueueEntry()
        e["queueName"], e["portAddress"] = lpstr(name), lpstr(address)
        e["hasAddress"] = 1 if address else 0
        entries.append(e)
    c["queues"] = entries
    dce.call(37, c)
    return RegisterAgentAnswer(dce.recv())


def report(dce, client_id, queue, user, mono, colour, copies=1, duplex=0, resent=0, job=31,
           submitted=46000.5):
    c = ReportJobCall()
    values = dict(clientId=client_id, queueName=sz(queue), portAddress=sz(""), userName=sz(user),
                  owner=sz(user), networkPort=0, submitted=submitted, pages=mono + colour,
                  colourPages=colour, monoPages=mono, copies=copies, documentName=sz("doc"),
                  spoolerJobId=job, paperCode=9, paperName=sz("A4"), colour=1 if colour else 0,
                  duplex=duplex, resent=resent, fresh=0 if resent else 1,
                  agentVersion=sz("2.7.2.0"), machineName=sz("\\\\PC-07"), language=12, one=1,
                  reexamined=0)
    for key, value in values.items():
        c[key] = value
    dce.call(34, c)
    a = ReportJobAnswer(dce.recv())
    ids = list(a["serverJobIds"]) if a.fields["serverJobIds"].fields["ReferentID"] else []
    units = a["message"] if a.fields["message"].fields["ReferentID"] else []
    message = struct.pack("<%dH" % len(units), *units).decode("utf-16le")
    data = b"".join(a["json"]) if a.fields["json"].fields["ReferentID"] else b""
    return a["status"], ids, message, data.decode("utf-8")


def run(*args):
    done = subprocess.run([SERVER, *args], capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


class TollserverImpacketClient(unittest.TestCase):
    def setUp(self):
        self.data = tempfile.mkdtemp(prefix="tollserver-")
        self.policy = os.path.join(self.data, "policy.json")
        with open(self.policy, "w", encoding="utf-8") as f:
            json.dump(POLICY, f, ensure_ascii=False)
        self.server = Server(self.data, self.policy)
        self.addCleanup(lambda: self.server.stop())  # the server of the test's end
        self.dce = self.server.connect()
        self.addCleanup(lambda: self.dce.disconnect())

    def test_registration_answers_with_the_policy_settings(self):
        a = register(self.dce)
        self.assertGreater(a["clientId"], 0)
        self.assertEqual((a["freeGbRequiredToArchive"], a["daysToKeepArchivedFile"],
                          a["canQueryMfCopy"]), (5, 60, 0))
        settings = [(q["queueIndex"], q["Id"], q["Language"], q["IdentifyHardware"],
                     text_of(q.fields["SnmpCommunity"]), q["IsToArchive"],
                     q["IsToCheckCounterAfterPrint"]) for q in a["settings"]]
        self.assertEqual(settings, [(0, 900, 12, 1, "priv", 1, 0)])
        self.assertEqual(a["settingsCount"], 1)
        self.assertEqual(json.loads(b"".join(a["json"])),
                         {"printers": [{"emfCopiesReading": False}]})
        self.assertEqual(register(self.dce)["clientId"], a["clientId"])

    def test_every_status_of_the_table(self):
        client = register(self.dce)["clientId"]
        cases = [
            ("Geral", "joao", 2, 0, 1, 0, 0),
            ("Geral", "pobre", 1, 0, 1, 0, 1),
            ("Apaga sem saldo", "pobre", 1, 0, 1, 0, 2),
            ("Centro de custo", "joao", 1, 0, 1, 0, 6),
            ("Confirmação", "joao", 3, 0, 2, 0, 12),
            ("Autorização", "joao", 1, 0, 1, 0, 13),
            ("Autenticação", "joao", 1, 0, 1, 0, 14),
            ("Cor proibida", "joao", 1, 1, 1, 0, 15),
            ("Cor apagada", "joao", 0, 1, 1, 0, 16),
            ("Frente e verso", "joao", 2, 0, 1, 0, 17),
            ("Frente e verso apaga", "joao", 2, 0, 1, 0, 18),
            ("Liberação", "joao", 1, 0, 1, 0, 19),
        ]
        seen = {}
        for job, (queue, user, mono, colour, copies, duplex, status) in enumerate(cases, 100):
            got = report(self.dce, client, queue, user, mono, colour, copies, duplex, job=job)
            self.assertEqual(got[0], status, (queue, got))
            self.assertTrue(got[1], queue)
            seen[status] = got
        self.assertEqual(sorted(seen), [0, 1, 2, 6, 12, 13, 14, 15, 16, 17, 18, 19])
        self.assertEqual(json.loads(seen[0][3]),
                         {"feedbackMessage": "Custo: R$ 0,20. Saldo: R$ 99,80."})
        self.assertEqual(json.loads(seen[6][3]),
                         {"accounts": [{"id": "c1", "name": "Água", "requireItem": 1}]})
        self.assertEqual(seen[12][2], "Confirma a impressão de 6 páginas (R$ 0,60)?")
        self.assertEqual(json.loads(seen[13][3]), {"publicKey": "QUJD"})
        self.assertEqual(json.loads(seen[14][3]), {"publicKey": "REVG"})

    def test_a_resent_job_keeps_its_ids_and_is_charged_once(self):
        client = register(self.dce)["clientId"]
        first = report(self.dce, client, "Recepção", "maria", 3, 1, job=40)
        self.assertEqual(first[0], 0)
        self.assertEqual(len(first[1]), 2)  # the mono record and the colour record
        self.assertEqual(json.loads(first[3]), {"watermark": "CONFIDENCIAL",
                                                "feedbackMessage": "Custo: R$ 0,80. Saldo: R$ 0,20."})
        again = report(self.dce, client, "Recepção", "maria", 3, 1, resent=1, job=40)
        self.assertEqual((again[0], again[1]), (0, first[1]))
        # Not resent: a new job; maria's R$ 0,20 is not enough for it.
        self.assertEqual(report(self.dce, client, "Recepção", "maria", 3, 1, job=40)[0], 1)
        code, out, _ = run("balance", "--data", self.data, "--policy", self.policy)
        self.assertEqual(code, 0)
        self.assertIn("maria\tfinanceiro\tR$ 1,00\tR$ 0,80\tR$ 0,20", out)
        # A cancelled job gives its charge back.
        c = CancelJobCall()
        c["serverJobId"] = first[1][0]
        self.dce.call(5, c)
        self.assertEqual(ShortAnswer(self.dce.recv())["result"], 0)
        code, out, _ = run("balance", "--data", self.data, "--policy", self.policy)
        self.assertIn("maria\tfinanceiro\tR$ 1,00\tR$ 0,00\tR$ 1,00", out)

    def test_names_sent_as_character_references_are_the_names_they_stand_for(self):
        """An agent sends what its code page cannot hold as numeric character references
        ("&#26446;&#26126;" for 李明) and a literal "&#" as "&#38;#": the ledger keeps the real
        names, one account each; anything not well formed stays as it came."""
        client = register(self.dce, computer="PC-&#29579;",
                          queues=(("&#25171;&#21360;", None),))["clientId"]
        users = ["&#26446;&#26126;", "&#29579;&#33459;", "&#29579;&#33459;", "&#38;#65;", "A",
                 "??", "&#55357;x", "&#x41;"]
        for job, user in enumerate(users, 200):
            self.assertEqual(report(self.dce, client, "&#25171;&#21360;", user, 1, 0, job=job)[0],
                             0)
        code, out, _ = run("balance", "--data", self.data, "--policy", self.policy)
        self.assertEqual(code, 0)
        spent = {l.split("\t")[0]: l.split("\t")[3] for l in out.splitlines()[1:]}
        self.assertEqual({u: spent.get(u) for u in ("李明", "王芳", "&#65;", "A", "??",
                                                     "&#55357;x", "&#x41;")},
                         {"李明": "R$ 0,10", "王芳": "R$ 0,20", "&#65;": "R$ 0,10",
                          "A": "R$ 0,10", "??": "R$ 0,10", "&#55357;x": "R$ 0,10",
                          "&#x41;": "R$ 0,10"}, out)
        code, out, _ = run("jobs", "--data", self.data)
        rows = [l.split("\t") for l in out.splitlines()[1:]]
        self.assertEqual({(r[2], r[3]) for r in rows}, {("PC-王", "打印")}, out)

    def test_hostile_stub_data_is_refused_and_the_server_goes_on(self):
        client = register(self.dce)["clientId"]
        t = self.dce.get_rpc_transport()
        for opnum, stub in ((34, os.urandom(200)), (34, b""), (37, b"\x04" + b"\xff" * 40),
                            (23, struct.pack("<lhxxL", 1, 30000, 0)), (40, b"\x01")):
            with self.assertRaises(DCERPCException) as raised:
                self.dce.call(opnum, stub)
                self.dce.recv()
            self.assertIn("rpc_x_bad_stub_data", str(raised.exception).lower(), opnum)
        with self.assertRaises(DCERPCException) as raised:
            self.dce.call(7, b"")
            self.dce.recv()
        self.assertIn("nca_s_op_rng_error", str(raised.exception).lower())
        self.assertIsNotNone(t)
        self.assertEqual(report(self.dce, client, "Geral", "joao", 1, 0, job=7)[0], 0)
        c = UploadFileChunkCall()
        c["serverJobId"], c["count"], c["data"], c["last"] = 999999, 0, NULL, 1
        self.dce.call(23, c)
        self.assertEqual(ShortAnswer(self.dce.recv())["result"], 1)  # no such job

    def test_an_answered_job_survives_kill_9(self):
        client = register(self.dce)["clientId"]
        answered = [report(self.dce, client, "Geral", "joao", 1, 0, job=job)[1]
                    for job in range(500, 520)]
        self.server.stop(signal.SIGKILL)
        code, out, _ = run("jobs", "--data", self.data)
        self.assertEqual(code, 0)
        self.assertEqual(out.count("\tdoc\t1\t0\t1\t1\t0\t"), 20, out)
        ids = [line.split("\t")[-1] for line in out.splitlines()[1:]]
        self.assertEqual(ids, [",".join(map(str, a)) for a in answered])
        # After a restart the agent's resent jobs are known.
        self.server = Server(self.data, self.policy)
        self.dce = self.server.connect()
        again = report(self.dce, client, "Geral", "joao", 1, 0, resent=1, job=505)
        self.assertEqual((again[0], again[1]), (0, answered[5]))
        code, out, _ = run("report", "--data", self.data, "--policy", self.policy)
        self.assertEqual(code, 0)
        self.assertIn("joao\t20\t20\t0\tR$ 2,00", out)
        self.assertIn("Geral\t20\t20\t0\tR$ 2,00", out)


class TollserverKilledUnderLoad(unittest.TestCase):
    def test_every_answered_job_of_8_busy_connections_survives_kill_9(self):
        data = tempfile.mkdtemp(prefix="tollserver-kill-")
        server = Server(data)
        client = register(server.connect())["clientId"]
        answered = {}
        lock = threading.Lock()
        stop = threading.Event()

        connections = [server.connect() for _ in range(8)]

        def worker(n):
            dce = connections[n]
            job = n * 100000
            try:
                while not stop.is_set():
                    job += 1
                    status, ids, _, _ = report(dce, client, "Geral", "joao", 1, 0, job=job)
                    with lock:
                        answered[job] = ids
            except Exception:
                pass  # the server is gone

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        time.sleep(1.5)
        server.process.send_signal(signal.SIGKILL)
        stop.set()
        server.process.wait(timeout=30)
        # A call in flight on a connection whose server is gone never returns from impacket's
        # reading loop: closing its socket ends it.
        for dce in connections:
            try:
                dce.get_rpc_transport().get_socket().close()
            except Exception:
                pass
        for t in threads:
            t.join(timeout=30)
            self.assertFalse(t.is_alive())
        server.stop()
        with lock:
            jobs = dict(answered)
        self.assertGreater(len(jobs), 100)
        code, out, _ = run("jobs", "--data", data)
        self.assertEqual(code, 0)
        # Each answered job is in the ledger with the ids it was given (the spooler job id is
        # not printed: the ids are the job's identity here).
        held = {line.split("\t")[-1] for line in out.splitlines()[1:]}
        missing = [job for job, ids in jobs.items() if ",".join(map(str, ids)) not in held]
        self.assertEqual(missing, [])
        sys.stderr.write("    figure: %d jobs answered before kill -9, all %d in the ledger\n" %
                         (len(jobs), len(jobs)))


class TollserverCommandLine(unittest.TestCase):
    def test_bad_input_gives_a_clear_error_and_leaves_the_files(self):
        data = tempfile.mkdtemp(prefix="tollserver-bad-")
        policy = os.path.join(data, "policy.json")
        with open(policy, "w") as f:
            f.write('{"prices": {"mono": "dez"}}')
        code, _, err = run("--port", "0", "--data", data, "--policy", policy)
        self.assertEqual(code, 2)
        self.assertIn('"prices.mono" must be a number', err)
        code, _, err = run("--port", "0", "--data", data, "--policy", os.path.join(data, "none"))
        self.assertEqual(code, 2)
        self.assertIn("cannot be read", err)
        db = os.path.join(data, "tollserver.db")
        with open(db, "wb") as f:
            f.write(b"not a database at all" * 100)
        code, _, err = run("--port", "0", "--data", data)
        self.assertEqual(code, 1)
        self.assertIn("not a database", err)
        code, _, err = run("jobs", "--data", data)
        self.assertEqual(code, 1)
        with open(db, "rb") as f:
            self.assertEqual(f.read(), b"not a database at all" * 100)
        code, _, err = run("jobs", "--data", os.path.join(data, "elsewhere"))
        self.assertEqual((code, "no ledger at" in err), (1, True))
        self.assertEqual(run("--port", "70000")[0], 2)
        self.assertEqual(run("ledger")[0], 2)

    def test_without_a_policy_every_job_is_accepted(self):
        data = tempfile.mkdtemp(prefix="tollserver-default-")
        server = Server(data)
        try:
            dce = server.connect()
            client = register(dce)["clientId"]
            for queue, colour, duplex in (("Cor", 3, 0), ("Qualquer", 0, 0)):
                got = report(dce, client, queue, "ninguem", 2, colour, 5, duplex)
                self.assertEqual((got[0], got[3]), (0, ""))
            dce.disconnect()
        finally:
            server.stop()
        code, out, _ = run("report", "--data", data)
        self.assertIn("ninguem\t2\t35\t15\tR$ 9,50", out)


if __name__ == "__main__":
    SERVER = sys.argv.pop(1)
    unittest.main(verbosity=2)
