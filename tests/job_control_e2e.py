#!/usr/bin/env python3
"""The central server acts on the jobs the agent holds, through the agent's own RPC server:
`tollserver release|delete|owner|reexamine` of a held job, an independent client (impacket)
from addresses that may and may not command jobs, hostile input to the agent's endpoint, and
an endpoint held by another program. What the test reads is what a person would: the
spooler's journal, the queue window, the agent's file log and the ledger."""
import os
import re
import socket
import sqlite3
import struct
import subprocess
import sys
import time
import unittest

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.ndr import NDRCALL
from impacket.dcerpc.v5.dtypes import LONG, WSTR
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

import job_road_e2e as road
from job_road_e2e import HOLD, Road, free_port
from machine_support import wait_for

JOB_CONTROL = uuidtup_to_bin(("1edbe959-3e15-4ccf-ab5b-1ed5458654e9", "1.0"))
ACCESS_DENIED = "rpc_s_access_denied"


class SetJobCommand(NDRCALL):
    opnum = 0
    structure = (("jobId", LONG), ("command", LONG), ("queueName", WSTR))


class SetJobCommandResponse(NDRCALL):
    structure = ()


class SourceTransport(transport.TCPTransport):
    """A connection to the agent's endpoint from a chosen address of the loopback network."""

    def __init__(self, port, source):
        super().__init__("127.0.0.1", port)
        self.source = source

    def connect(self):
        s = socket.socket()
        s.settimeout(10)
        s.bind((self.source, 0))
        s.connect(("127.0.0.1", self.get_dport()))
        self._TCPTransport__socket = s
        return 1


class AgentServer(Road):
    policy = {
        "users": {"maria": {"balance": 50}, "ana": {"balance": 50}},
        "printers": {
            "Recepção": {"confirmAbove": 1,
                         "confirmMessage": "Confirma a impressão de {pages} páginas ({cost})?"},
        },
    }
    allowed = None

    def setUp(self):
        super().setUp()
        self.endpoint = free_port()
        self.env["TOLLGATE_AGENT_ENDPOINT"] = str(self.endpoint)

    def boot(self):
        if self.allowed:
            self.tm("reg", "add", r"HKLM\SOFTWARE\Velmora\Tollgate Client", "/v",
                    "AllowedCallers", "/t", "REG_SZ", "/d", self.allowed, "/f")
            # The queue the agent does not watch keeps its jobs: its printer is paused.
            self.tm("reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\Arquivo",
                    "/v", "Status", "/t", "REG_DWORD", "/d", "1", "/f")
        super().boot()
        self.assertTrue(wait_for(self.agent_listens), self.log())

    def agent_listens(self, port=None):
        try:
            socket.create_connection(("127.0.0.1", port or self.endpoint), 1).close()
            return True
        except OSError:
            return False

    def mapper_port(self):
        out = self.tm("reg", "query",
                      r"HKLM\SYSTEM\CurrentControlSet\Services\RpcEptMapper\Parameters", "/v",
                      "TcpPort", check=False).stdout.decode()
        found = re.search(r"TcpPort\s+REG_DWORD\s+0x([0-9a-fA-F]+)", out)
        return int(found.group(1), 16) if found else 135

    def tollserver(self, *args):
        return subprocess.run([os.path.join(road.BIN, "tollserver"), *args, "--data", self.ledger,
                               "--policy", self.policy_file], capture_output=True, timeout=60)

    def command(self, *args):
        return self.tollserver(*args, "--mapper-port", str(self.mapper_port()))

    def held(self):
        lines = self.tollserver("held").stdout.decode().splitlines()
        head = lines[0].split("\t")
        return {int(l.split("\t")[0]): dict(zip(head, l.split("\t"))) for l in lines[1:]}

    def ledger_rows(self, spooler_job):
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(self.ledger, "tollserver.db"),
                             uri=True)
        try:
            return db.execute("SELECT job_id, user_name, status, reexamined, charged FROM jobs "
                              "WHERE spooler_job_id = ? ORDER BY job_id",
                              (spooler_job,)).fetchall()
        finally:
            db.close()

    def hold_one(self, user="maria"):
        job = self.print("Recepção", "d04.ljet4.pcl", user=user)
        self.assertTrue(wait_for(lambda: self.jobs().get(job, {}).get("text") == HOLD[43]),
                        (self.jobs(), self.log()))
        rows = wait_for(lambda: self.ledger_rows(job))
        return job, rows[-1][0]

    def call_from(self, source, command, job, queue="Recepção"):
        """SetJobCommand through impacket, from a given source address."""
        dce = SourceTransport(self.endpoint, source).get_dce_rpc()
        dce.connect()
        try:
            dce.bind(JOB_CONTROL)
            request = SetJobCommand()
            request["jobId"] = job
            request["command"] = command
            request["queueName"] = queue + "\0"
            dce.request(request, checkError=False)
            return 0
        except DCERPCException as e:
            return str(e)
        finally:
            dce.disconnect()

    def notifier(self):
        out = open(os.path.join(self.tmp, "notify.jsonl"), "wb")
        proc = subprocess.Popen([os.path.join(road.BIN, "tollnotify"), "--port", "7001"],
                                stdout=out, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (proc.kill(), proc.wait(), out.close()))
        time.sleep(0.3)
        return os.path.join(self.tmp, "notify.jsonl")

class Commands(AgentServer):
    def test_a_held_job_released_by_the_administrator_prints_and_is_charged_once(self):
        calls = self.notifier()
        self.boot()
        job, ledger_job = self.hold_one()
        self.assertIn("Confirma a impress", self.read(calls).decode())
        self.assertEqual(self.held()[ledger_job]["waiting for"], "confirmation")
        done = self.command("release", str(ledger_job))
        self.assertEqual(done.returncode, 0, (done.stderr, self.log()))
        self.assertEqual(done.stdout.decode().strip(), "job %d: released" % ledger_job)
        self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job)),
                        self.journal())
        self.assertEqual(self.events(job).count(("resumed", "tollagent")), 1, self.events(job))
        rows = self.ledger_rows(job)
        self.assertEqual(len(rows), 1, rows)
        self.assertEqual(rows[0][4], 1)
        self.assertNotIn(ledger_job, self.held())
        balance = self.tollserver("balance").stdout.decode()
        self.assertRegex(balance, r"maria\t\tR\$ 50,00\tR\$ 0,40\tR\$ 49,60")
        again = self.command("release", str(ledger_job))
        self.assertEqual(again.returncode, 1)
        self.assertIn(b"is not held", again.stderr)

    def test_a_new_owner_or_a_new_examination_reports_the_job_again(self):
        self.boot()
        owned, first = self.hold_one()
        done = self.command("owner", str(first), "ana")
        self.assertEqual(done.returncode, 0, (done.stderr, self.log()))
        self.assertIn({"event": "owner", "user": "ana"},
                      [{k: e.get(k) for k in ("event", "user")} for e in self.journal()
                       if e.get("job") == owned])
        rows = wait_for(lambda: len(self.ledger_rows(owned)) == 2 and self.ledger_rows(owned))
        self.assertTrue(rows, (self.ledger_rows(owned), self.log()))
        self.assertEqual([(r[1], r[2]) for r in rows], [("maria", 12), ("ana", 12)])
        self.assertEqual(self.jobs()[owned]["user"], "ana")

        again, second = self.hold_one()
        done = self.command("reexamine", str(second))
        self.assertEqual(done.returncode, 0, (done.stderr, self.log()))
        rows = wait_for(lambda: len(self.ledger_rows(again)) == 2 and self.ledger_rows(again))
        self.assertTrue(rows, (self.ledger_rows(again), self.log()))
        self.assertEqual([r[3] for r in rows], [0, 1])
        self.assertTrue(wait_for(lambda: self.jobs()[again]["text"] == HOLD[43]))

    def test_a_deleted_job_leaves_the_queue_and_its_charge(self):
        self.boot()
        job, ledger_job = self.hold_one()
        done = self.command("delete", str(ledger_job))
        self.assertEqual(done.returncode, 0, (done.stderr, self.log()))
        self.assertTrue(wait_for(lambda: job not in self.jobs()), self.jobs())
        self.assertIn(("deleted", "tollagent"), self.events(job))
        self.assertTrue(wait_for(lambda: any("(cancelled)" in j["cost"]
                                             for j in self.ledger_jobs())), self.ledger_jobs())


class Callers(AgentServer):
    allowed = "127.0.0.78"

    def test_only_the_server_this_machine_and_the_listed_callers_command_jobs(self):
        self.boot()
        job, _ = self.hold_one()
        for _ in range(3):
            self.assertIn(ACCESS_DENIED, self.call_from("127.0.0.77", 2, job))
        refused = "Refused an RPC call from 127.0.0.77"
        self.assertTrue(wait_for(lambda: refused in self.log()), self.log())
        self.assertEqual(self.log().count(refused), 1, self.log())
        self.assertEqual(self.jobs()[job]["text"], HOLD[43])
        self.assertNotIn(("resumed", "tollagent"), self.events(job))
        # Listed in "AllowedCallers": its pause goes to the spooler without touching the
        # table; a job that is gone is an error the caller learns of.
        self.assertEqual(self.call_from("127.0.0.78", 1, job), 0)
        self.assertIn("00000057", self.call_from("127.0.0.78", 1, 999999))
        self.assertEqual(self.call_from("127.0.0.1", 2, job), 0)
        self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job)))
        # A queue the agent does not monitor still gets the command.
        kept = self.print("Arquivo", "d04.ljet4.pcl")
        self.assertEqual(self.call_from("127.0.0.1", 5, kept, queue="Arquivo"), 0)
        self.assertTrue(wait_for(lambda: ("deleted", "tollagent") in self.events(kept, "Arquivo")),
                        self.events(kept))

    def test_hostile_input_to_the_endpoint_leaves_the_agent_accounting(self):
        sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "shared", "rpc"))
        import rpc_hostile_test as hostile
        self.boot()

        def send(data, read=True):
            s = socket.create_connection(("127.0.0.1", self.endpoint), 5)
            s.settimeout(5)
            try:
                s.sendall(data)
                return s.recv(4096) if read else b""
            except OSError:
                return b""
            finally:
                s.close()
        bind = hostile.bind_pdu(uuid=JOB_CONTROL[:16], major=1)
        send(os.urandom(4096))
        send(bind[:20], read=False)
        send(hostile.header(0, 3, 0xFFFF) + b"\0" * 64)
        # Stub data that does not decode: a string longer than the request.
        bad = struct.pack("<ll", 1, 2) + struct.pack("<LLL", 0x10000, 0, 0x10000) + b"A\0"
        answer = send(bind + hostile.request_pdu(bad, opnum=0))
        self.assertIn(answer[2:3], (b"\x0c",), answer[:16])  # bind_ack; the fault follows
        # A request beyond the limit of this interface.
        send(bind + hostile.request_pdu(b"\0" * (16 << 10), opnum=0))
        idle = [socket.create_connection(("127.0.0.1", self.endpoint)) for _ in range(50)]
        self.addCleanup(lambda: [s.close() for s in idle])
        job = self.print("Balcão", "text-3ff.txt", "datatype=TEXT")
        self.assertTrue(wait_for(lambda: self.released(job)), (self.journal(), self.log()))
        held, _ = self.hold_one()
        self.assertEqual(self.call_from("127.0.0.1", 2, held), 0)
        self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(held)))


class RemoteServer(AgentServer):
    """The central server on another address than the agent's (listening there only), named
    only by the "/server" of the installed service (no "ServerAddress" in the registry): its
    commands, sent from that address, are taken; another address's are refused."""
    server_address = "127.0.0.23"
    server_args = ("--address", server_address)

    def setUp(self):
        super().setUp()
        # The machine before the installer: no service of the agent yet.
        service = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TollgateClient]"
        spool = os.path.join(self.machine, "spool").replace("/", "\\\\")
        text = road.REGISTRY.split(service)[0].format(spool=spool)
        with open(os.path.join(self.machine, "registry.reg"), "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))

    def boot(self):
        self.tm("start")
        self.tm("install", "--server", self.server_address, "--port", str(self.port))
        self.assertTrue(wait_for(lambda: "Starting..." in self.log()), self.log())
        self.wait_watching()
        self.assertTrue(wait_for(self.agent_listens), self.log())

    def test_the_server_named_by_the_installer_commands_jobs_from_its_own_address(self):
        self.boot()
        image = self.tm("sc", "qc", "tollgate client").stdout.decode()
        self.assertIn("/server %s /port %d" % (self.server_address, self.port), image)
        self.assertNotIn("ServerAddress", self.tm(
            "reg", "query", r"HKLM\SOFTWARE\Velmora\Tollgate Client", check=False).stdout.decode())
        job, ledger_job = self.hold_one()
        # The commands leave from the address they are given: another one than the server's
        # is refused, as is an independent client's from elsewhere.
        other = self.command("release", str(ledger_job), "--address", "127.0.0.24")
        self.assertEqual(other.returncode, 1, (other.stdout, self.log()))
        self.assertIn(b"did not take the command", other.stderr)
        self.assertTrue(wait_for(lambda: "Refused an RPC call from 127.0.0.24" in self.log()),
                        self.log())
        self.assertIn(ACCESS_DENIED, self.call_from("127.0.0.77", 2, job))
        self.assertEqual(self.jobs()[job]["text"], HOLD[43])
        done = self.command("release", str(ledger_job), "--address", self.server_address)
        self.assertEqual(done.returncode, 0, (done.stderr, self.log()))
        self.assertEqual(done.stdout.decode().strip(), "job %d: released" % ledger_job)
        self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job)),
                        (self.journal(), self.log()))
        self.assertNotIn("Refused an RPC call from %s" % self.server_address, self.log())


class HeldEndpoint(AgentServer):
    def test_a_held_endpoint_is_tried_60_times_then_a_dynamic_one_is_found_by_the_mapper(self):
        holder = socket.socket()
        holder.bind(("0.0.0.0", self.endpoint))
        holder.listen(1)
        self.addCleanup(holder.close)
        started = time.time()
        Road.boot(self)
        line = "RPC endpoint %d is held by another program; listening on " % self.endpoint
        self.assertTrue(wait_for(lambda: line in self.log(), 90), self.log())
        self.assertGreater(time.time() - started, 58)
        port = int(re.search(re.escape(line) + r"(\d+)", self.log()).group(1))
        mapper = transport.DCERPCTransportFactory(
            "ncacn_ip_tcp:127.0.0.1[%d]" % self.mapper_port()).get_dce_rpc()
        mapper.connect()
        found = epm.hept_map("127.0.0.1", JOB_CONTROL, protocol="ncacn_ip_tcp", dce=mapper)
        mapper.disconnect()
        self.assertTrue(found.endswith("[%d]" % port), found)
        # The independent client calls the agent where the mapper says.
        dce = SourceTransport(port, "127.0.0.1").get_dce_rpc()
        dce.connect()
        dce.bind(JOB_CONTROL)
        dce.disconnect()
        job, ledger_job = self.hold_one()
        done = self.command("release", str(ledger_job))
        self.assertEqual(done.returncode, 0, (done.stderr, self.log()))
        self.assertTrue(wait_for(lambda: ("printed", "spooler") in self.events(job)))


if __name__ == "__main__":
    road.BIN = os.path.abspath(sys.argv.pop(1))
    road.TESTDATA = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
