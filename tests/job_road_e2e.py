#!/usr/bin/env python3
"""The road of one job through the real programs: tollmachine runs a simulated print server
with the agent as its service, tollserver decides and keeps the ledger, tollnotify stands for
the user's workstation. Jobs are printed with `tollmachine print`; what the test reads is what
a person would: the spooler's journal, the queue window (`tollmachine jobs`), the agent's file
log, the ledger and the notifier's output."""
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from machine_support import wait_for, machine_pid, free_port

BIN = None
TESTDATA = None

REGISTRY = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="{spool}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Recepção]
"Port"="IP_10.0.0.5"
"Printer Driver"="HP Universal Printing PCL 6"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Balcão]
"Port"="LPT1:"
"Printer Driver"="Generic / Text Only"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Arquivo]
"Port"="LPT2:"
"Printer Driver"="HP LaserJet 4"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Cofre]
"Port"="LPT1:"
"Printer Driver"="HP LaserJet 4"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Remota]
"Port"="\\\\srv01\\laser"
"Printer Driver"="HP LaserJet 4"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Standard TCP/IP Port\Ports\IP_10.0.0.5]
"IPAddress"="10.0.0.5"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports]
"LPT1:"=""
"LPT2:"=""
"\\\\srv01\\laser"=""

[HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Tollgate Client\Printers\Arquivo]
"KeepHistory"="0"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Spooler]
"RecoveryDelay"=dword:000001f4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\TollgateClient]
"ImagePath"="tollagent /servicerun /server 127.0.0.1 /port {port}"
"Start"=dword:00000002
"DisplayName"="Tollgate Client"
"Type"=dword:00000010
"""

HOLD = {41: "Aguardando centro de custo.", 42: "Aguardando autenticação.",
        43: "Aguardando confirmação."}


class Road(unittest.TestCase):
    policy = None
    server_args = ()
    extra_registry = ""  # more of the machine's registry for a case

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="job-road-e2e-")
        self.machine = os.path.join(self.tmp, "machine")
        self.ledger = os.path.join(self.tmp, "ledger")
        os.makedirs(self.machine)
        os.makedirs(self.ledger)
        self.policy_file = None
        if self.policy is not None:
            self.policy_file = os.path.join(self.tmp, "policy.json")
            with open(self.policy_file, "w", encoding="utf-8") as f:
                json.dump(self.policy, f, ensure_ascii=False)
        self.server = None
        self.port = free_port()
        self.start_server()
        with open(os.path.join(self.machine, "registry.reg"), "wb") as f:
            f.write(self.registry())
        hosts = os.path.join(self.machine, "Windows", "System32", "drivers", "etc")
        os.makedirs(hosts)
        with open(os.path.join(hosts, "hosts"), "w") as f:
            f.write("127.0.0.1 WS042\n127.0.0.66 WS099\n")
        # The agent's own endpoint is one of this run's: other tests' agents may hold 7002.
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.machine,
                        TOLLGATE_AGENT_ENDPOINT=str(free_port()),
                        TOLLGATE_SPOOL_OBSERVER_STEP_MS="300",
                        PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
        self.addCleanup(self.cleanup)

    def registry(self):
        """The machine's registry.reg: the server's queues and the agent's service."""
        spool = os.path.join(self.machine, "spool").replace("/", "\\\\")
        return b"\xff\xfe" + (REGISTRY.format(spool=spool, port=self.port) +
                                self.extra_registry).encode("utf-16-le")

    def cleanup(self):
        if self.tm("stop", check=False).returncode != 0:
            pid = machine_pid(self.machine)
            if pid:
                os.kill(pid, signal.SIGKILL)
        self.stop_server()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start_server(self):
        args = [os.path.join(BIN, "tollserver"), "--port", str(self.port), "--data", self.ledger]
        if self.policy_file:
            args += ["--policy", self.policy_file]
        args += list(self.server_args)
        self.server_err = open(os.path.join(self.tmp, "tollserver.txt"), "ab")
        self.server = subprocess.Popen(args, stderr=self.server_err)
        self.assertTrue(wait_for(lambda: b"listening" in self.read(
            os.path.join(self.tmp, "tollserver.txt"))), "tollserver did not start")

    def stop_server(self):
        if self.server is not None:
            self.server.terminate()
            self.server.wait(10)
            self.server = None
            self.server_err.close()

    @staticmethod
    def read(path):
        try:
            with open(path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def tm(self, *args, check=True, timeout=60):
        done = subprocess.run([os.path.join(BIN, "tollmachine"), *args], env=self.env,
                              capture_output=True, timeout=timeout)
        if check:
            self.assertEqual(done.returncode, 0, (args, done.stdout, done.stderr))
        return done

    def boot(self):
        self.tm("start")
        self.assertTrue(wait_for(lambda: "Starting..." in self.log()), self.log())
        self.wait_watching()

    def mapper_port(self):
        """The port of the machine's endpoint mapper, from the machine's log."""
        found = wait_for(lambda: re.search(rb"endpoint mapper on TCP port (\d+)", self.read(
            os.path.join(self.machine, "tollmachine.log"))))
        self.assertTrue(found, self.read(os.path.join(self.machine, "tollmachine.log")))
        return int(found.group(1))

    def wait_watching(self):
        """The agent of this run has started watching its queues: it has passed Arquivo, a
        queue it does not watch, and has had a moment for the others."""
        self.assertTrue(wait_for(lambda: "Printer Arquivo is set to not keep history" in
                                 self.log()), self.log())
        time.sleep(0.5)

    def print(self, queue, name, *options, user="maria", host="WS042"):
        args = ["print", "-P", queue, "-U", user, "-H", host]
        for o in options:
            args += ["-o", o]
        done = self.tm(*args, os.path.join(TESTDATA, name))
        return int(done.stdout.split()[0])

    def journal(self):
        text = self.read(os.path.join(self.machine, "spooler.jsonl")).decode("utf-8")
        return [json.loads(l) for l in text.splitlines() if l.strip()]

    def events(self, job, queue=None):
        return [(e["event"], e.get("by")) for e in self.journal()
                if e.get("job") == job and (queue is None or e.get("queue") == queue)]

    def log(self):
        path = os.path.join(self.machine, "ProgramData", "Tollgate", "Client", "events_0.log")
        return self.read(path).decode("cp1252", "replace")

    def jobs(self):
        lines = self.tm("jobs").stdout.decode().splitlines()
        return {int(l.split("\t")[0]): dict(zip(
            ["id", "queue", "user", "document", "status", "text", "pages", "size"],
            l.split("\t"))) for l in lines[1:]}

    def ledger_jobs(self):
        done = subprocess.run([os.path.join(BIN, "tollserver"), "jobs", "--data", self.ledger],
                              capture_output=True)
        lines = done.stdout.decode().splitlines()
        if not lines:
            return []
        head = lines[0].split("\t")
        return [dict(zip(head, l.split("\t"))) for l in lines[1:]]

    def ledger_rows(self, spooler_job, queue):
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(self.ledger, "tollserver.db"),
                             uri=True)
        try:
            return db.execute("SELECT job_id FROM jobs WHERE spooler_job_id = ? AND queue = ?",
                              (spooler_job, queue)).fetchall()
        finally:
            db.close()

    def released(self, job):
        return ("resumed", "tollagent") in self.events(job)

    def service(self):
        out = self.tm("sc", "queryex", "TollgateClient").stdout.decode()
        return (re.search(r"STATE\s+: \d+\s+(\w+)", out).group(1),
                int(re.search(r"PID\s+: (\d+)", out).group(1)))

    def assert_decided_before_printing(self):
        """No job the agent watches printed before the agent released it."""
        seen = {}
        for e in self.journal():
            key = (e["queue"], e["job"])
            if e["event"] == "resumed" and e.get("by") == "tollagent":
                seen[key] = True
            if e["event"] == "printing" and e["queue"] in ("Recepção", "Balcão"):
                self.assertTrue(seen.get(key), ("printed undecided", key, self.journal()))


class Accepted(Road):
    def test_jobs_are_paused_counted_reported_and_released(self):
        self.boot()
        pcl = self.print("Recepção", "d04.ljet4.pcl")
        text = self.print("Balcão", "text-3ff.txt", "datatype=TEXT")
        kept = self.print("Arquivo", "d04.ljet4.pcl")
        remote = self.print("Remota", "d04.ljet4.pcl")
        for job, queue in ((pcl, "Recepção"), (text, "Balcão")):
            self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job, queue)),
                            self.journal())
            events = self.events(job, queue)
            # Held by the agent while it spools (or at once when first seen spooled), then
            # released by it.
            self.assertLess(events.index(("paused", "tollagent")),
                            events.index(("resumed", "tollagent")), events)
        # Not watched: no history kept, and a local port with a UNC name.
        for job, queue in ((kept, "Arquivo"), (remote, "Remota")):
            self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job, queue)))
            self.assertNotIn("tollagent", [by for e, by in self.events(job, queue)],
                             (queue, self.log()))
        self.assertIn("Printer Arquivo is set to not keep history", self.log())
        self.assertNotIn("Can't monitor", self.log())
        ledger = wait_for(lambda: len(self.ledger_jobs()) == 2 and self.ledger_jobs())
        self.assertTrue(ledger, self.ledger_jobs())
        by_queue = {j["printer"]: j for j in ledger}
        self.assertEqual(by_queue["Recepção"]["pages"], "4")
        self.assertEqual(by_queue["Balcão"]["pages"], "3")
        self.assertEqual(by_queue["Balcão"]["user"], "maria")
        self.assert_decided_before_printing()

    def test_the_agent_waits_for_a_spooler_that_is_not_running_yet(self):
        self.boot()  # stop is accepted once the service runs
        self.tm("sc", "stop", "Spooler")
        self.tm("sc", "stop", "TollgateClient")
        self.assertTrue(wait_for(lambda: self.service() == ("STOPPED", 0)))
        self.tm("sc", "start", "TollgateClient")
        waiting = "waiting 500ms for the spool to be ready..."
        self.assertTrue(wait_for(lambda: self.log().count(waiting) >= 3), self.log())
        self.tm("sc", "start", "Spooler")
        self.wait_watching()
        job = self.print("Recepção", "d04.ljet4.pcl")
        self.assertTrue(wait_for(lambda: self.released(job)), (self.journal(), self.log()))
        # One line a try, half a second apart.
        stamps = re.findall(r"(\d\d):(\d\d):(\d\d) waiting 500ms", self.log())
        seconds = [int(h) * 3600 + int(m) * 60 + int(s) for h, m, s in stamps]
        self.assertLessEqual(len(stamps), 2 * (seconds[-1] - seconds[0] + 1) + 1)

    def test_a_queue_added_while_the_agent_runs_is_watched(self):
        self.boot()
        self.tm("reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\Nova",
                "/v", "Port", "/d", "LPT1:", "/f")
        self.tm("reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\Nova",
                "/v", "Printer Driver", "/d", "HP LaserJet 4", "/f")
        time.sleep(2.5)  # the spooler takes in registry changes once a second
        job = self.print("Nova", "d04.ljet4.pcl")
        self.assertTrue(wait_for(lambda: self.released(job)), (self.journal(), self.log()))

    def test_the_server_away_never_holds_a_job_and_gets_every_job_once_back(self):
        self.boot()
        self.stop_server()
        ids = [self.print("Recepção", "d04.ljet4.pcl") for _ in range(3)]
        for job in ids:
            self.assertTrue(wait_for(lambda: self.released(job), seconds=10), self.journal())
            stamps = {e["event"]: e["time"] for e in self.journal() if e["job"] == job}
            self.assertIn("spooled", stamps)
        self.assertIn("caused change to offline state", self.log())
        self.start_server()
        # The store sends what it kept once its retry wait (one minute by default) is over.
        ledger = wait_for(lambda: len(self.ledger_jobs()) >= 3 and self.ledger_jobs(), 90, 0.5)
        self.assertTrue(ledger, (self.ledger_jobs(), self.log()))
        time.sleep(1)
        self.assertEqual([(j["printer"], j["pages"]) for j in self.ledger_jobs()],
                         [("Recepção", "4")] * 3)


class Unusable(Road):
    """Answers the agent cannot act on as they are: a decision about the job, never an
    outage."""
    policy = {"printers": {"Recepção": {"authentication": {"publicKey": ""}}}}

    def test_an_authentication_answer_without_a_key_holds_the_job_and_the_server_stays_online(self):
        calls = Held.notifier(self)
        self.boot()
        job = self.print("Recepção", "d04.ljet4.pcl")
        self.assertTrue(wait_for(lambda: self.jobs().get(job, {}).get("text") == HOLD[42]),
                        (self.jobs(), self.log()))
        self.assertTrue(wait_for(lambda: "Recep" in self.read(calls).decode("utf-8", "replace")),
                        self.read(calls))
        self.assertIn("without a public key; the user is asked with an empty key.", self.log())
        # Not an outage: the next job is reported at once and released, not kept for later.
        other = self.print("Balcão", "text-3ff.txt", "datatype=TEXT")
        self.assertTrue(wait_for(lambda: self.released(other)), (self.journal(), self.log()))
        self.assertTrue(wait_for(lambda: any(j["printer"] == "Balcão" for j in self.ledger_jobs())),
                        self.ledger_jobs())
        self.assertNotIn("caused change to offline state", self.log())


class Held(Road):
    policy = {
        "printers": {
            "Recepção": {"confirmAbove": 1,
                         "confirmMessage": "Confirma a impressão de {pages} páginas?"},
            "Balcão": {"accounts": [{"id": "c1", "name": "Centro 1", "requireItem": True},
                                    {"id": "c2", "name": "Centro 2", "requireItem": False}]},
            "Cofre": {"authentication": {"publicKey": "AQID", "unauthenticated": True}},
        },
    }

    def test_an_authentication_request_is_tried_twice_on_a_workstation_that_does_not_answer(self):
        # The workstation takes connections and drops them: on the notifier's endpoint, then
        # on its endpoint mapper. The mapper is asked on the port this machine's own mapper
        # has: 135, or another when a machine of another test holds 135.
        self.boot()
        mapper = self.mapper_port()
        counts = {7001: 0, mapper: 0}
        listeners = []
        for port in counts:
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.66", port))
            s.listen(8)
            listeners.append((port, s))
            self.addCleanup(s.close)

        def serve(port, s):
            while True:
                try:
                    c, _ = s.accept()
                except OSError:
                    return
                counts[port] += 1
                c.close()
        for port, s in listeners:
            threading.Thread(target=serve, args=(port, s), daemon=True).start()
        job = self.print("Cofre", "d04.ljet4.pcl", host="WS099")
        self.assertTrue(wait_for(lambda: self.jobs().get(job, {}).get("text") == HOLD[42]),
                        (self.jobs(), self.log()))
        line = "Error while sending a message to the notifier at WS099::"
        self.assertTrue(wait_for(lambda: line in self.log(), 30), self.log())
        time.sleep(0.5)
        self.assertEqual(counts, {7001: 1, mapper: 1})
        self.assertEqual(self.log().count("sending a message to the notifier"), 1, self.log())

    def notifier(self):
        out = open(os.path.join(self.tmp, "notify.jsonl"), "wb")
        proc = subprocess.Popen([os.path.join(BIN, "tollnotify"), "--port", "7001"], stdout=out,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (proc.kill(), proc.wait(), out.close()))
        time.sleep(0.3)
        return os.path.join(self.tmp, "notify.jsonl")

    def test_held_jobs_show_their_text_ask_the_workstation_and_stay_held(self):
        calls = self.notifier()
        self.boot()
        confirm = self.print("Recepção", "d04.ljet4.pcl")
        account = self.print("Balcão", "text-3ff.txt", "datatype=TEXT")
        held = wait_for(lambda: (lambda j: j if j.get(confirm, {}).get("text") == HOLD[43] and
                                 j.get(account, {}).get("text") == HOLD[41] else None)(self.jobs()))
        self.assertTrue(held, (self.jobs(), self.log(), self.journal(), self.ledger_jobs()))
        lines = wait_for(lambda: len(self.read(calls).splitlines()) >= 2 and
                         self.read(calls).splitlines())
        self.assertTrue(lines, self.read(calls))
        text = b"\n".join(lines).decode()
        self.assertIn("Confirma a impress", text)
        self.assertIn("Centro 2", text)
        # Someone resumes a held job by hand: it is paused again.
        self.tm("resume", str(confirm))
        self.assertTrue(wait_for(lambda: self.events(confirm)[-1] == ("paused", "tollagent")),
                        self.events(confirm))
        self.assertFalse(any(e == "printing" for e, _ in self.events(confirm)))
        # Deleted before it printed: the server's ledger shows the cancellation.
        self.tm("cancel", str(account))
        self.assertTrue(wait_for(lambda: any(j["document"] == "text-3ff.txt" and
                                             "(cancelled)" in j["cost"]
                                             for j in self.ledger_jobs())), self.ledger_jobs())

    def test_a_killed_agent_leaves_no_job_paused_for_ever(self):
        self.boot()
        account = self.print("Balcão", "text-3ff.txt", "datatype=TEXT")
        self.assertTrue(wait_for(lambda: self.jobs().get(account, {}).get("text") == HOLD[41]))
        reported = len(self.ledger_jobs())
        # A slow job: paused while it spools, then the agent dies before it is decided.
        slow = subprocess.Popen([os.path.join(BIN, "tollmachine"), "print", "-P", "Recepção",
                                 "-U", "maria", "-H", "WS042", "-o", "rate=200000",
                                 os.path.join(TESTDATA, "d04.ljet4.pcl")],
                                env=self.env, stdout=subprocess.PIPE)
        job = int(slow.stdout.readline())
        self.addCleanup(slow.stdout.close)
        self.assertTrue(wait_for(lambda: ("paused", "tollagent") in self.events(job)))
        os.kill(self.service()[1], signal.SIGKILL)
        self.assertEqual(slow.wait(30), 0)
        self.assertTrue(wait_for(lambda: ("spooled", "tollmachine") in self.events(job)))
        time.sleep(0.5)
        self.assertFalse(self.released(job))
        self.tm("sc", "start", "TollgateClient")
        # The job left paused is decided; the one held for the user's answer stays held and
        # is not reported again.
        self.assertTrue(wait_for(lambda: self.jobs().get(job, {}).get("text") == HOLD[43]),
                        (self.jobs(), self.log()))
        self.assertEqual(self.jobs()[account]["text"], HOLD[41])
        self.assertEqual(len(self.ledger_jobs()), reported + 1)


class Names(Road):
    """Users, documents and machines whose names the machine's code page (Windows-1252) cannot
    hold stay distinct: each user is charged under their own name and has their own balance."""
    policy = {"prices": {"mono": 0.10, "colour": 0.50},
              "users": {"\u674e\u660e": {"balance": 10}, "\u738b\u82b3": {"balance": 10}}}
    code_page = None

    def boot(self):
        if self.code_page:
            self.tm("reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage", "/v",
                    "ACP", "/t", "REG_SZ", "/d", self.code_page, "/f")
        super().boot()

    def test_users_the_code_page_cannot_hold_keep_their_own_accounts(self):
        self.boot()
        printed = []
        for user, host, title in (("\u674e\u660e", "WS042", "\u62a5\u544a.pdf"),
                                  ("\u738b\u82b3", "WS099", "\u62a5\u544a.pdf"),
                                  ("\u738b\u82b3", "WS099", "a&#65;b.pdf")):
            done = self.tm("print", "-P", "Recepção", "-U", user, "-H", host, "-T", title,
                           os.path.join(TESTDATA, "d04.ljet4.pcl"))
            printed.append((int(done.stdout.split()[0]), user, title))
        for job, user, _ in printed:
            self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job)),
                            (self.journal(), self.log()))
        ledger = wait_for(lambda: len(self.ledger_jobs()) == 3 and self.ledger_jobs())
        self.assertTrue(ledger, (self.ledger_jobs(), self.log()))
        self.assertEqual(sorted((j["user"], j["document"]) for j in ledger),
                         sorted((user, title) for _, user, title in printed))
        done = subprocess.run([os.path.join(BIN, "tollserver"), "balance", "--data", self.ledger,
                               "--policy", self.policy_file], capture_output=True)
        spent = {l.split("\t")[0]: l.split("\t")[3]
                 for l in done.stdout.decode().splitlines()[1:]}
        self.assertEqual(spent, {"\u674e\u660e": "R$ 0,40", "\u738b\u82b3": "R$ 0,80"},
                         done.stdout.decode())
        self.assert_decided_before_printing()


class NamesOnAChineseMachine(Names):
    """The same on a machine whose ANSI code page is 936 (GBK), the server told so."""
    code_page = "936"
    server_args = ("--codepage", "936")


class SpoolerCrash(Road):
    def test_monitoring_restarts_after_the_spooler_fails(self):
        self.boot()
        before = [self.print("Recepção", "d04.ljet4.pcl") for _ in range(2)]
        self.tm("crash", "Spooler")
        restarted = "O spooler de impressão terminou de forma inesperada."
        self.assertTrue(wait_for(lambda: restarted in self.log(), 30), self.log())
        self.assertTrue(wait_for(lambda: self.tm("sc", "query", "Spooler").stdout.find(
            b"RUNNING") >= 0))
        time.sleep(1)
        after = [self.print("Recepção", "d04.ljet4.pcl"), self.print("Balcão", "text-3ff.txt")]
        for job in after:
            self.assertTrue(wait_for(lambda: self.released(job)), (self.journal(), self.log()))
        for job in before:
            self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job)),
                            (job, self.events(job), self.log(), self.jobs()))
        self.assert_decided_before_printing()


# A print server's registry as regedit exports it (version 5: UTF-16LE, CRLF, long hex values
# wrapped), drive letters and all, with the agent's service added as its installer adds it.
EXPORT_QUEUES = [
    # (queue, share, port, driver)
    ("财务部打印机", "CAIWU", "IP_192.168.10.21", "HP Universal Printing PCL 6"),
    ("Recepção Sala 2", "RECEP2", "LPT1:", "HP LaserJet 4"),
    ("Arquivo", "ARQ", "LPT2:", "HP LaserJet 4"),
]


def server_export(default_spool, port):
    def multi_sz(*texts):
        data = "".join(t + "\0" for t in texts) + "\0"
        raw = data.encode("utf-16-le")
        return "hex(7):" + ",\\\r\n  ".join(",".join("%02x" % b for b in raw[i:i + 24])
                                            for i in range(0, len(raw), 24))
    out = ["Windows Registry Editor Version 5.00", ""]
    out += [r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]"]
    if default_spool:
        out += [r'"DefaultSpoolDirectory"="C:\\Windows\\system32\\spool\\PRINTERS"']
    out += ['"BeepEnabled"=dword:00000000', ""]
    for queue, share, port_name, driver in EXPORT_QUEUES:
        key = r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers" + "\\" + queue
        out += [key + "]",
                '"Name"="%s"' % queue,
                '"Share Name"="%s"' % share,
                '"Print Processor"="winprint"',
                '"Datatype"="RAW"',
                '"Parameters"=""',
                '"ObjectGUID"="{2f8e6b47-9d4e-4a7b-9a3e-0c6f0d2b91a%d}"' % len(share),
                '"Description"=""',
                '"Location"="2º andar"',
                '"Port"="%s"' % port_name,
                '"Printer Driver"="%s"' % driver,
                # As a queue made by the spooler has it: empty, the server's folder.
                r'"SpoolDirectory"="C:\\Windows\\system32\\spool\\PRINTERS"'
                if default_spool else '"SpoolDirectory"=""',
                '"Attributes"=dword:00000a08',
                '"Priority"=dword:00000001',
                '"Default Priority"=dword:00000000',
                '"StartTime"=dword:00000000',
                '"UntilTime"=dword:00000000',
                '"Status"=dword:00000000',
                '"dnsTimeout"=dword:00003a98',
                '"txTimeout"=dword:0000afc8',
                "",
                key + r"\DsSpooler]",
                '"printerName"="%s"' % queue,
                '"portName"=' + multi_sz(port_name),
                '"uNCName"="\\\\\\\\PRINTSRV01\\\\%s"' % share,
                '"printColor"=hex:01',
                "",
                key + r"\PrinterDriverData]",
                '"FeatureKeyword"=hex:00,00,00,00',
                ""]
    out += [r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Standard TCP/IP Port\Ports\IP_192.168.10.21]",
            '"Protocol"=dword:00000001',
            '"Version"=dword:00000002',
            '"HostName"=""',
            '"IPAddress"="192.168.10.21"',
            '"HWAddress"=""',
            '"PortNumber"=dword:0000238c',
            '"SNMP Community"="public"',
            '"SNMP Enabled"=dword:00000001',
            '"SNMP Index"=dword:00000001',
            "",
            r"[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports]",
            '"LPT1:"=""',
            '"LPT2:"=""',
            '"COM1:"="9600,n,8,1"',
            '"FILE:"=""',
            "",
            r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Nls\CodePage]",
            '"ACP"="1252"',
            '"OEMCP"="850"',
            "",
            # What the agent's installer adds.
            r"[HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Tollgate Client\Printers\Arquivo]",
            '"KeepHistory"="0"',
            "",
            r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\TollgateClient]",
            '"ImagePath"="tollagent /servicerun /server 127.0.0.1 /port %d"' % port,
            '"Start"=dword:00000002',
            '"DisplayName"="Tollgate Client"',
            '"Type"=dword:00000010',
            "", ""]
    return b"\xff\xfe" + "\r\n".join(out).encode("utf-16-le")


class AdministratorsExport(Road):
    """A machine folder made from a print server's registry export runs as it is: its paths
    have drive letters, and it may have no "DefaultSpoolDirectory" (the Spooler service writes
    it at its start)."""
    default_spool = True

    def registry(self):
        return server_export(self.default_spool, self.port)

    def test_jobs_of_an_exported_server_are_paused_decided_and_printed(self):
        self.boot()
        jobs = {queue: self.print(queue, "d04.ljet4.pcl", host="\\\\PC-ANA")
                for queue in ("财务部打印机", "Recepção Sala 2")}
        for queue, job in jobs.items():
            self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job, queue)),
                            (self.journal(), self.log()))
            events = self.events(job, queue)
            self.assertLess(events.index(("paused", "tollagent")),
                            events.index(("resumed", "tollagent")), events)
            submitted = [e for e in self.journal() if e.get("job") == job and
                         e.get("queue") == queue and e["event"] == "submitted"]
            self.assertEqual(submitted[0]["machine"], "\\\\PC-ANA")
        # Counted from their spool files, found where the registry's paths say.
        ledger = wait_for(lambda: len(self.ledger_jobs()) == 2 and self.ledger_jobs())
        self.assertTrue(ledger, (self.ledger_jobs(), self.log()))
        self.assertEqual([j["pages"] for j in ledger], ["4", "4"])
        # Not one failure for them in the agent's log: no job it could not handle, no error.
        log = self.log()
        for failure in ("fail", "Não foi possível", "Código de erro", "Can't"):
            self.assertNotIn(failure.lower(), log.lower(), log)
        self.assert_decided_before_printing()
        # The spool folder's value, as the export had it or as the Spooler service wrote it.
        value = self.tm("reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers",
                        "/v", "DefaultSpoolDirectory").stdout.decode()
        self.assertRegex(value, r"(?i)DefaultSpoolDirectory\s+REG_SZ\s+C:\\Windows\\system32\\"
                                r"spool\\PRINTERS\r?\n", value)
        spool = os.path.join(self.machine, "Windows", "system32" if self.default_spool
                             else "System32", "spool", "PRINTERS")
        self.assertTrue(os.path.isdir(spool), os.listdir(self.machine))

    def assert_decided_before_printing(self):
        for e in self.journal():
            if e["event"] == "printing" and e["queue"] != "Arquivo":
                self.assertTrue(self.released(e["job"]), ("printed undecided", e))


class AdministratorsExportWithoutDefaultSpoolDirectory(AdministratorsExport):
    default_spool = False


class LargeServer(Road):
    """A print server with 903 queues: the agent watches every one of them."""
    QUEUES = 903

    def registry(self):
        out = ["Windows Registry Editor Version 5.00", ""]
        for i in range(self.QUEUES):
            out += [r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Fila %03d]" % i,
                    '"Port"="LPT1:"', '"Printer Driver"="HP LaserJet 4"', ""]
        # The last queue of the list is not watched: the agent says so when it reaches it.
        out += [r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Fila 999]",
                '"Port"="LPT1:"', '"Printer Driver"="HP LaserJet 4"', "",
                r"[HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Tollgate Client\Printers\Fila 999]",
                '"KeepHistory"="0"', ""]
        out += [r"[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports]",
                '"LPT1:"=""', "",
                r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\TollgateClient]",
                '"ImagePath"="tollagent /servicerun /server 127.0.0.1 /port %d"' % self.port,
                '"Start"=dword:00000002', '"DisplayName"="Tollgate Client"',
                '"Type"=dword:00000010', "", ""]
        return b"\xff\xfe" + "\r\n".join(out).encode("utf-16-le")

    def test_every_queue_of_a_large_server_is_watched(self):
        self.tm("start")
        started = time.time()
        self.assertTrue(wait_for(lambda: "Printer Fila 999 is set to not keep history" in
                                 self.log(), 60), self.log())
        print("%d queues watched in %.1f s" % (self.QUEUES, time.time() - started),
              file=sys.stderr)
        queues = ["Fila %03d" % i for i in (0, 450, 700, self.QUEUES - 1)]
        jobs = {q: self.print(q, "d04.ljet4.pcl") for q in queues}
        for queue, job in jobs.items():
            self.assertTrue(wait_for(lambda: self.released(job), 60),
                            (queue, self.events(job, queue), self.log()[-2000:],
                             self.read(os.path.join(self.machine, "tollmachine.log"))[-3000:]))
        self.assertNotIn("Can't watch", self.log())
        self.assert_decided_before_printing()

    def assert_decided_before_printing(self):
        for e in self.journal():
            if e["event"] == "printing":
                self.assertTrue(self.released(e["job"]), ("printed undecided", e))


class Restart(Road):
    """What the agent decided outlives it; what someone else paused stays theirs."""
    policy = {"prices": {"mono": 0.10, "colour": 0.50},
              "users": {"pedro": {"balance": 0}},
              "printers": {"Balcão": {"insufficientBalance": "pause"}}}

    def restart_agent(self):
        self.tm("sc", "stop", "TollgateClient")
        self.assertTrue(wait_for(lambda: self.service() == ("STOPPED", 0)))
        self.tm("sc", "start", "TollgateClient")
        self.assertTrue(wait_for(lambda: self.service()[0] == "RUNNING"))
        self.wait_watching()

    def test_restarts_keep_the_servers_hold_and_leave_a_job_paused_by_hand_alone(self):
        self.boot()
        # The server pauses it (no balance): reported once, paused with no hold text.
        held = self.print("Balcão", "text-3ff.txt", "datatype=TEXT", user="pedro")
        self.assertTrue(wait_for(lambda: len(self.ledger_rows(held, "Balcão")) == 1),
                        (self.ledger_jobs(), self.log()))
        # An administrator pauses a job by hand while the agent is away.
        self.tm("sc", "stop", "TollgateClient")
        self.assertTrue(wait_for(lambda: self.service() == ("STOPPED", 0)))
        slow = subprocess.Popen([os.path.join(BIN, "tollmachine"), "print", "-P", "Recepção",
                                 "-U", "maria", "-H", "WS042", "-o", "rate=200000",
                                 os.path.join(TESTDATA, "d04.ljet4.pcl")],
                                env=self.env, stdout=subprocess.PIPE)
        self.addCleanup(slow.stdout.close)
        by_hand = int(slow.stdout.readline())
        self.tm("pause", str(by_hand))
        self.assertEqual(slow.wait(30), 0)
        self.assertTrue(wait_for(lambda: ("spooled", "tollmachine") in self.events(by_hand)))
        self.tm("sc", "start", "TollgateClient")
        self.wait_watching()
        self.restart_agent()
        time.sleep(1)
        self.assertEqual(len(self.ledger_rows(held, "Balcão")), 1, self.ledger_jobs())
        self.assertEqual(self.jobs()[held]["status"], "paused", self.jobs())
        self.assertEqual(self.ledger_rows(by_hand, "Recepção"), [], self.ledger_jobs())
        self.assertEqual([e for e in self.events(by_hand) if e[1] == "tollagent"], [],
                         self.events(by_hand))
        self.assertEqual(self.jobs()[by_hand]["status"], "paused", self.jobs())
        self.assertIn("Job %d of Recepção was paused by someone else" % by_hand, self.log())
        # Resumed by its owner, it is held and decided like any job.
        self.tm("resume", str(by_hand))
        self.assertTrue(wait_for(lambda: self.released(by_hand)), (self.events(by_hand),
                                                                   self.log()))
        self.assertTrue(wait_for(lambda: len(self.ledger_rows(by_hand, "Recepção")) == 1))


class CrashStream(Road):
    """Jobs printed while the spooler crashes and monitoring restarts."""
    # The queue keeps printed documents, as the agent's history needs.
    extra_registry = ("\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"
                "\\Recepção]\n\"Attributes\"=dword:00000140\n")

    def test_every_job_printed_through_a_spooler_crash_is_accounted_once(self):
        # Monitoring restarts a second after the spooler is back: jobs print meanwhile.
        self.env["TOLLGATE_SPOOL_OBSERVER_STEP_MS"] = "1500"
        self.boot()
        printed = []
        stop = threading.Event()

        def stream():
            while not stop.is_set():
                done = subprocess.run(
                    [os.path.join(BIN, "tollmachine"), "print", "-P", "Recepção", "-U", "maria",
                     "-H", "WS042", os.path.join(TESTDATA, "d04.ljet4.pcl")],
                    env=self.env, capture_output=True, timeout=30)
                if done.returncode == 0:
                    printed.append(int(done.stdout.split()[0]))
                time.sleep(0.1)
        worker = threading.Thread(target=stream)
        worker.start()
        try:
            time.sleep(1)
            self.tm("crash", "Spooler")
            restarted = "O spooler de impressão terminou de forma inesperada."
            self.assertTrue(wait_for(lambda: restarted in self.log(), 30), self.log())
            time.sleep(2.5)
        finally:
            stop.set()
            worker.join()
        self.assertGreater(len(printed), 10)
        for job in printed:
            self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job), 20),
                            (job, self.events(job)))
        reported = set(int(n) for n in re.findall(
            r"Job (\d+) of Recepção printed before it could be held", self.log()))
        for job in printed:
            self.assertTrue(wait_for(lambda: len(self.ledger_rows(job, "Recepção")) >= 1, 20),
                            ("no ledger row", job, self.events(job), self.log()))
        time.sleep(1)
        sys.stderr.write("%d jobs printed, %d of them reported after they printed\n" %
                         (len(printed), len(reported)))
        for job in printed:
            self.assertEqual(len(self.ledger_rows(job, "Recepção")), 1, (job, self.events(job)))
            events = self.events(job)
            # Held, decided and released by the agent (a job found free as the watch began
            # may start printing as it is paused: it is decided all the same), or reported
            # after it printed.
            self.assertTrue(("resumed", "tollagent") in events or job in reported,
                            (job, events))


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    TESTDATA = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
