#!/usr/bin/python3
"""The endpoint mapper of a machine that tollmachine runs, against impacket: a server of the
runtime (rpc_probe serve --register) registers with it through the port the machine's registry
names; impacket finds it with ept_map and ept_lookup, registers with ept_insert itself, and
sends garbage; two machines at once each have a mapper of their own."""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.ndr import NDRCALL, NDRUniConformantArray
from impacket.dcerpc.v5.dtypes import ULONG
from impacket.uuid import uuidtup_to_bin

from machine_support import machine_pid, wait_for

BIN = None
PROBE = None
ECHO = ("0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f", "1.2")
OTHER = ("6b1a0f3e-2c4d-4e5f-8a9b-0c1d2e3f4a5b", "1.0")
KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\RpcEptMapper\Parameters"
NDR = uuidtup_to_bin(("8a885d04-1ceb-11c9-9fe8-08002b104860", "2.0"))


class EntryArray(NDRUniConformantArray):
    item = epm.ept_entry_t


class ept_insert(NDRCALL):
    opnum = 0
    structure = (("num_ents", ULONG), ("entries", EntryArray), ("replace", ULONG))


def tcp_tower(uuid, version, port):
    major, minor = (int(v) for v in version.split("."))
    floors = [epm.EPMRPCInterface(), epm.EPMRPCDataRepresentation(), epm.EPMProtocolIdentifier(),
              epm.EPMPortAddr(), epm.EPMHostAddr()]
    floors[0]["InterfaceUUID"] = uuidtup_to_bin((uuid, version))[:16]
    floors[0]["MajorVersion"], floors[0]["MinorVersion"] = major, minor
    floors[1]["DataRepUuid"], floors[1]["MajorVersion"], floors[1]["MinorVersion"] = NDR[:16], 2, 0
    floors[2]["ProtIdentifier"] = 0x0B
    floors[3]["IpPort"] = port
    floors[4]["Ip4addr"] = socket.inet_aton("127.0.0.1")
    t = epm.EPMTower()
    t["NumberOfFloors"] = 5
    t["Floors"] = b"".join(f.getData() for f in floors)
    return t.getData()


class Machine:
    def __init__(self, test):
        self.tmp = tempfile.mkdtemp(prefix="epm-e2e-")
        self.folder = os.path.join(self.tmp, "m")
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "registry.reg"), "wb") as f:
            f.write(b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"x\"=\"y\"\r\n")
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.folder)
        test.addCleanup(self.cleanup)
        done = self.tm("start")
        test.assertEqual(done.returncode, 0, done)

    def tm(self, *args):
        return subprocess.run([os.path.join(BIN, "tollmachine"), *args], env=self.env,
                              capture_output=True, timeout=60)

    def cleanup(self):
        if self.tm("stop").returncode != 0:
            pid = machine_pid(self.folder)
            if pid:
                os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def port(self):
        out = self.tm("reg", "query", KEY, "/v", "TcpPort").stdout.decode()
        return int(re.search(r"TcpPort\s+REG_DWORD\s+0x([0-9a-fA-F]+)", out).group(1), 16)

    def log(self):
        with open(os.path.join(self.folder, "tollmachine.log"), encoding="latin-1") as f:
            return f.read()


def mapper(port, bind=False):
    """A connection to the mapper; hept_map and hept_lookup bind it themselves."""
    t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % port)
    dce = t.get_dce_rpc()
    dce.connect()
    if bind:
        dce.bind(epm.MSRPC_UUID_PORTMAP)
    return dce


def raw_call(dce, opnum, stub):
    """The answer to a request with this stub data: ('status', last word) or ('fault', status)."""
    dce.call(opnum, stub)
    t = dce.get_rpc_transport()
    header = t.recv(count=16)
    (frag_len,) = struct.unpack_from("<H", header, 8)
    pdu = header + t.recv(count=frag_len - 16)
    if pdu[2] == 3:
        return "fault", struct.unpack_from("<L", pdu, 24)[0]
    return "status", struct.unpack_from("<L", pdu, len(pdu) - 4)[0]


class EndpointMapperTest(unittest.TestCase):
    def test_register_find_call_and_stop(self):
        m = Machine(self)
        port = m.port()
        self.assertIn("tollmachine: endpoint mapper on TCP port %d\n" % port, m.log())
        server = subprocess.Popen([PROBE, "serve", "--register", "rpc_probe echo"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=m.env)
        self.addCleanup(server.wait, 30)
        self.addCleanup(server.stdin.close)
        words = server.stdout.readline().split()
        self.assertEqual(words[2:], [b"registered", b"0"], words)
        echo_port = int(words[1])

        # ept_map finds the server's port; ept_lookup lists it with its annotation.
        found = epm.hept_map("127.0.0.1", uuidtup_to_bin(ECHO), protocol="ncacn_ip_tcp",
                             dce=mapper(port))
        self.assertEqual(found, "ncacn_ip_tcp:127.0.0.1[%d]" % echo_port)
        entries = epm.hept_lookup("127.0.0.1", dce=mapper(port))
        self.assertEqual([(e["annotation"], epm.PrintStringBinding(e["tower"]["Floors"]))
                          for e in entries],
                         [(b"rpc_probe echo\0", "ncacn_ip_tcp:127.0.0.1[%d]" % echo_port)])
        # Our client resolves the endpoint through the machine's registry.
        got = subprocess.run([PROBE, "echo", "127.0.0.1", "-", "100"], env=m.env,
                             capture_output=True, timeout=60).stdout
        self.assertIn(b'"status": 0, "ok": true', got)

        # impacket registers an interface itself; an unknown one is not registered.
        entry = epm.ept_entry_t()
        entry["object"] = b"\0" * 16
        entry["tower"]["tower_length"] = len(tcp_tower(*OTHER, 4567))
        entry["tower"]["tower_octet_string"] = tcp_tower(*OTHER, 4567)
        entry["annotation"] = b"from impacket\0"
        request = ept_insert()
        request["num_ents"] = 1
        request["entries"].append(entry)
        request["replace"] = 1
        dce = mapper(port, bind=True)
        self.assertEqual(raw_call(dce, 0, request.getData()), ("status", 0))
        self.assertEqual(epm.hept_map("127.0.0.1", uuidtup_to_bin(OTHER), protocol="ncacn_ip_tcp",
                                      dce=mapper(port)), "ncacn_ip_tcp:127.0.0.1[4567]")
        self.assertEqual(len(epm.hept_lookup("127.0.0.1", dce=mapper(port))), 2)
        unknown = ("11111111-2222-3333-4444-555555555555", "1.0")
        with self.assertRaises(Exception) as raised:
            epm.hept_map("127.0.0.1", uuidtup_to_bin(unknown), protocol="ncacn_ip_tcp",
                         dce=mapper(port))
        self.assertIn("0x16c9a0d6", str(raised.exception).lower())

        # Garbage and oversized towers: a status or a bad-stub fault, and the mapper answers.
        good = request.getData()
        hostile = [
            (0, good[:-9]),
            (0, struct.pack("<LL", 0x7FFFFFFF, 0x7FFFFFFF)),
            (0, struct.pack("<LL", 1, 1) + b"\0" * 16 + struct.pack("<LLL", 0x20000, 0, 1) +
             b"\0\0\0\0" + struct.pack("<LL", 5000, 5000) + os.urandom(5000) + b"\1\0\0\0"),
            (0, os.urandom(300)),
            (3, struct.pack("<L", 1) + b"\0" * 16 + struct.pack("<LLL", 2, 0x7FFFFFF0, 0x7FFFFFF0)),
            (3, struct.pack("<L", 1) + b"\0" * 16 + struct.pack("<LLL", 2, 2000, 2000) +
             os.urandom(2000) + b"\0" * 20 + struct.pack("<L", 0xFFFFFFFF)),
            (3, os.urandom(64)),
            (2, os.urandom(40)),
        ]
        for opnum, stub in hostile:
            dce = mapper(port, bind=True)
            kind, status = raw_call(dce, opnum, stub)
            self.assertIn((kind, status), [("fault", 1783), ("status", 1751), ("status", 1752),
                                           ("status", 0x16C9A0D6)], (opnum, stub[:40]))
            dce.disconnect()
        found = epm.hept_map("127.0.0.1", uuidtup_to_bin(ECHO), protocol="ncacn_ip_tcp",
                             dce=mapper(port))
        self.assertEqual(found, "ncacn_ip_tcp:127.0.0.1[%d]" % echo_port)

        # The server unregisters as it ends; the mapper stops with the machine.
        server.stdin.close()
        self.assertEqual(server.stdout.readline().split(), [b"unregistered", b"0"])
        self.assertEqual(len(epm.hept_lookup("127.0.0.1", dce=mapper(port))), 1)
        self.assertEqual(m.tm("stop").returncode, 0)
        self.assertIn("tollmachine: endpoint mapper stopped\n", m.log())
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()

    def test_two_machines_have_mappers_of_their_own(self):
        a, b = Machine(self), Machine(self)
        pa, pb = a.port(), b.port()
        self.assertNotEqual(pa, pb)
        for m, p in ((a, pa), (b, pb)):
            self.assertIn("tollmachine: endpoint mapper on TCP port %d\n" % p, m.log())
        server = subprocess.Popen([PROBE, "serve", "--register", "on b"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, env=b.env)
        self.addCleanup(server.wait, 30)
        self.addCleanup(server.stdin.close)
        self.assertEqual(server.stdout.readline().split()[2:], [b"registered", b"0"])
        self.assertEqual(len(epm.hept_lookup("127.0.0.1", dce=mapper(pb))), 1)
        with self.assertRaises(Exception):
            epm.hept_lookup("127.0.0.1", dce=mapper(pa))  # nothing registered on a
        # A restarted machine keeps the port it wrote when 135 is not to be had.
        if pb != 135:
            self.assertEqual(b.tm("stop").returncode, 0)
            self.assertEqual(b.tm("start").returncode, 0)
            self.assertIn(b.port(), (135, pb))


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
