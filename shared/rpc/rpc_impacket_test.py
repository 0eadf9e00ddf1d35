#!/usr/bin/python3
"""The runtime against an independent implementation, impacket, over loopback: impacket's
client calls our server (rpc_probe serve), and our client (rpc_probe echo/call) calls a
server built from impacket's PDU and NDR classes. The interface definitions' tests import
the peer server and the NDR helpers from here."""
import base64
import hashlib
import os
import select
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import time
import unittest

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.dtypes import BYTE, DOUBLE, LONG, LPSTR, NULL, SHORT, STR, ULONG
from impacket.dcerpc.v5.ndr import NDRCALL, NDRPOINTER, NDRSTRUCT, NDRUniConformantArray
from impacket.dcerpc.v5.rpcrt import (CtxItemResult, DCERPCException, MSRPCRequestHeader,
                                      MSRPCRespHeader)
from impacket.uuid import bin_to_uuidtup, uuidtup_to_bin

PROBE = None
ECHO_UUID = "0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f"
ECHO = uuidtup_to_bin((ECHO_UUID, "1.2"))
NDR = uuidtup_to_bin(("8a885d04-1ceb-11c9-9fe8-08002b104860", "2.0"))
EPM = uuidtup_to_bin(("e1af8308-5d1f-11c9-91a4-08002b14a0fa", "3.0"))


class ByteArray(NDRUniConformantArray):
    item = "c"


class PByteArray(NDRPOINTER):
    referent = (("Data", ByteArray),)


class EchoCall(NDRCALL):
    opnum = 0
    structure = (("n", LONG), ("data", PByteArray))


class RaiseCall(NDRCALL):
    opnum = 1
    structure = (("status", ULONG),)


class WCharArray(NDRUniConformantArray):
    item = "<H"


class PWCharArray(NDRPOINTER):
    referent = (("Data", WCharArray),)


def text_of(pointer):
    """The text of a decoded LPSTR field (None for null); impacket keeps the terminator."""
    if pointer.fields["ReferentID"] == 0:
        return None
    data = pointer["Data"]
    if isinstance(data, bytes):
        data = data.decode("latin-1")
    return data.rstrip("\x00")


def lpstr(text):
    # Narrow texts travel in the agent's code page (Latin-1 here).
    return NULL if text is None else text.encode("latin-1") + b"\x00"


def array_bytes(call, name):
    """The bytes of a unique byte array field of a decoded call, None when null."""
    if call.fields[name].fields["ReferentID"] == 0:
        return None
    return b"".join(call[name])


def pattern(n):
    # The bytes rpc_probe sends: ((i * 2654435761) mod 2^32) >> 13, low byte.
    return bytes((((i * 2654435761) & 0xFFFFFFFF) >> 13) & 0xFF for i in range(n))


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def fault(call_id, status):
    return struct.pack("<BBBBLHHLLHBBLL", 5, 0, 3, 3, 0x10, 32, 0, call_id, 0, 0, 0, 0, status, 0)


class PeerHandler(socketserver.BaseRequestHandler):
    """A DCE/RPC server over one connection, from impacket's PDU and NDR classes."""

    def handle(self):
        sock = self.request
        frag = 4280
        contexts = {}
        stub = b""
        while True:
            header = recv_exact(sock, 16)
            if header is None:
                return
            (frag_len,) = struct.unpack_from("<H", header, 8)
            body = recv_exact(sock, frag_len - 16)
            if body is None:
                return
            pdu = header + body
            ptype, flags = pdu[2], pdu[3]
            (call_id,) = struct.unpack_from("<L", pdu, 12)
            if ptype in (11, 14):  # bind, alter_context
                max_t, max_r, group, count = struct.unpack_from("<HHLB", pdu, 16)
                frag = max(2048, min(5840, max_t, max_r)) & ~7
                results = []
                at = 28
                for _ in range(count):
                    ctx_id, ntrans = struct.unpack_from("<HB", pdu, at)
                    abstract = pdu[at + 4:at + 24]
                    transfers = [pdu[at + 24 + 20 * k:at + 44 + 20 * k] for k in range(ntrans)]
                    at += 24 + 20 * ntrans
                    result = CtxItemResult()
                    if abstract in self.server.interfaces and NDR in transfers:
                        contexts[ctx_id] = abstract
                        result["Result"], result["Reason"] = 0, 0
                        result["TransferSyntax"] = NDR
                    else:
                        result["Result"], result["Reason"] = 2, 1
                        result["TransferSyntax"] = b"\0" * 20
                    results.append(result.getData())
                address = (str(self.server.server_address[1]).encode() + b"\0") \
                    if ptype == 11 else b""
                ack = struct.pack("<HHLH", frag, frag, 0x5151, len(address)) + address
                ack += b"\0" * ((4 - (16 + len(ack)) % 4) % 4)
                ack += struct.pack("<BBH", len(results), 0, 0) + b"".join(results)
                head = struct.pack("<BBBBLHHL", 5, 0, 12 if ptype == 11 else 15, 3, 0x10,
                                   16 + len(ack), 0, call_id)
                sock.sendall(head + ack)
                continue
            if ptype != 0:
                continue  # orphaned, cancel: nothing to do
            request = MSRPCRequestHeader(pdu)
            if flags & 1:
                stub = b""
            stub += request["pduData"]
            if not flags & 2:
                continue
            opnum = request["op_num"]
            interface = contexts.get(request["ctx_id"])
            answer = self.server.interfaces[interface](self, call_id, opnum, stub) \
                if interface else fault(call_id, 0x1C010003)
            stub = b""
            if answer is None:
                continue  # never answered
            if isinstance(answer, bytes) and answer[2:3] == b"\x03" and len(answer) == 32:
                sock.sendall(answer)
                continue
            self.send_response(call_id, request["ctx_id"], answer, frag)

    def send_response(self, call_id, ctx_id, stub, frag):
        room = (frag - 24) & ~7
        offset = 0
        out = []
        while True:
            chunk = stub[offset:offset + room]
            r = MSRPCRespHeader()
            r["flags"] = (1 if offset == 0 else 0) | (2 if offset + room >= len(stub) else 0)
            r["call_id"] = call_id
            r["ctx_id"] = ctx_id
            r["alloc_hint"] = len(stub) - offset
            r["pduData"] = chunk
            r["pad"] = b""
            r["sec_trailer"] = b""
            r["auth_data"] = b""
            data = r.getData()
            # frag_len as the bytes really sent (no padding after the stub data)
            data = data[:8] + struct.pack("<H", 24 + len(chunk)) + data[10:24 + len(chunk)]
            out.append(data)
            offset += room
            if offset >= len(stub):
                break
        self.request.sendall(b"".join(out))


def echo_interface(handler, call_id, opnum, stub):
    if opnum == 0 and len(stub) > 65536:
        # A large array is read here: impacket unpacks arrays one element at a time.
        n, ref, count = struct.unpack_from("<lLL", stub)
        assert ref != 0 and count == n and len(stub) >= 12 + n
        return struct.pack("<lLL", n, 0x20000, n) + stub[12:12 + n]
    if opnum == 0:
        request = EchoCall(stub)
        data = array_bytes(request, "data") or b""
        answer = EchoCall()
        answer["n"] = len(data)
        answer["data"] = data if data else NULL
        return answer.getData()
    if opnum == 1:
        return fault(call_id, RaiseCall(stub)["status"])
    if opnum == 2:
        return None  # a server that never answers
    return fault(call_id, 0x1C010002)


def make_mapper(port_of):
    def mapper(handler, call_id, opnum, stub):
        if opnum != 3:
            return fault(call_id, 0x1C010002)
        request = epm.ept_map(stub)
        tower = epm.EPMTower(b"".join(request["map_tower"]["tower_octet_string"])
                             if isinstance(request["map_tower"]["tower_octet_string"], list)
                             else request["map_tower"]["tower_octet_string"])
        interface = tower["Floors"][0]
        wanted = bin_to_uuidtup(interface["InterfaceUUID"] +
                                struct.pack("<HH", interface["MajorVersion"],
                                            interface["MinorVersion"]))
        port = port_of(wanted[0])
        towers = []
        if port:
            t = epm.EPMTower()
            floors = [epm.EPMRPCInterface(), epm.EPMRPCDataRepresentation(),
                      epm.EPMProtocolIdentifier(), epm.EPMPortAddr(), epm.EPMHostAddr()]
            floors[0]["InterfaceUUID"] = interface["InterfaceUUID"]
            floors[0]["MajorVersion"] = interface["MajorVersion"]
            floors[0]["MinorVersion"] = interface["MinorVersion"]
            floors[1]["DataRepUuid"] = NDR[:16]
            floors[1]["MajorVersion"] = 2
            floors[1]["MinorVersion"] = 0
            floors[2]["ProtIdentifier"] = 0x0B
            floors[3]["IpPort"] = port
            floors[4]["Ip4addr"] = socket.inet_aton("127.0.0.1")
            t["NumberOfFloors"] = len(floors)
            t["Floors"] = b"".join(f.getData() for f in floors)
            towers.append(t.getData())
        answer = epm.ept_mapResponse()
        answer["entry_handle"]["context_handle_attributes"] = 0
        answer["num_towers"] = len(towers)
        pointers = []
        for t in towers:
            twr = epm.twr_t()
            twr["tower_length"] = len(t)
            twr["tower_octet_string"] = t
            pointer = epm.twr_p_t()
            pointer["Data"] = twr
            pointers.append(pointer)
        answer["ITowers"] = pointers
        answer["status"] = 0 if towers else 0x16C9A0D6
        out = answer.getData()
        return out
    return mapper


class PeerServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, interfaces):
        super().__init__(("127.0.0.1", 0), PeerHandler)
        self.interfaces = interfaces
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def port(self):
        return self.server_address[1]


def probe(*args, timeout=60):
    done = subprocess.run([PROBE, *map(str, args)], capture_output=True, timeout=timeout)
    line = done.stdout.decode().strip()
    return eval(line.replace("true", "True").replace("false", "False"))


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class OurClientImpacketServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.peer = PeerServer({ECHO: echo_interface})

    @classmethod
    def tearDownClass(cls):
        cls.peer.shutdown()
        cls.peer.server_close()

    def test_two_megabytes_each_way(self):
        got = probe("echo", "127.0.0.1", self.peer.port, 2 * 1024 * 1024)
        self.assertEqual((got["status"], got["ok"]), (0, True), got)
        for size in (0, 1, 4152, 4153, 100000):
            got = probe("echo", "127.0.0.1", self.peer.port, size)
            self.assertEqual((got["status"], got["ok"]), (0, True), (size, got))

    def test_faults_reach_the_caller_as_their_status(self):
        cases = [(1, 0x20000005, 0x20000005), (1, 5, 5), (1, 0x1C010002, 1745),
                 (1, 0x1C00001B, 1130), (7, 0, 1745)]
        for opnum, arg, expected in cases:
            got = probe("call", "127.0.0.1", self.peer.port, opnum, arg)
            self.assertEqual(got["status"], expected, (opnum, arg, got))

    def test_unknown_interface_is_refused_at_bind(self):
        got = probe("call", "127.0.0.1", self.peer.port, 1, 0, "--uuid",
                    "11111111-2222-3333-4444-555555555555")
        self.assertEqual(got["status"], 1717)

    def test_call_timeout(self):
        got = probe("call", "127.0.0.1", self.peer.port, 2, 0, "--call-timeout", 700)
        self.assertEqual(got["status"], 1818)
        self.assertGreaterEqual(got["ms"], 650)
        self.assertLess(got["ms"], 3000)

    def test_server_not_there(self):
        got = probe("call", "127.0.0.1", free_port(), 1, 0, "--com-timeout", 0)
        self.assertEqual(got["status"], 1722)
        self.assertLess(got["ms"], 2000)

    def test_endpoint_mapper(self):
        ports = {ECHO_UUID: self.peer.port}
        mapper = PeerServer({EPM: make_mapper(lambda uuid: ports.get(uuid.lower()))})
        try:
            got = probe("echo", "127.0.0.1", "-", 3000, "--epm-port", mapper.port)
            self.assertEqual((got["status"], got["ok"]), (0, True), got)
            got = probe("call", "127.0.0.1", "-", 1, 0, "--epm-port", mapper.port, "--uuid",
                        "11111111-2222-3333-4444-555555555555")
            self.assertEqual(got["status"], 1753)
        finally:
            mapper.shutdown()
            mapper.server_close()


class ImpacketClientOurServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = subprocess.Popen([PROBE, "serve"], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE)
        cls.port = int(cls.server.stdout.readline().split()[1])

    @classmethod
    def tearDownClass(cls):
        cls.server.stdin.close()
        cls.server.wait(timeout=30)

    def connect(self, interface=ECHO):
        t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % self.port)
        dce = t.get_dce_rpc()
        dce.connect()
        dce.bind(interface)
        self.addCleanup(dce.disconnect)
        return dce

    def echo(self, dce, data):
        if len(data) > 65536:
            # impacket packs arrays one element at a time: the stub is written here, the
            # fragmentation and reassembly are impacket's.
            stub = struct.pack("<LLL", len(data), 0x20000, len(data)) + data
            dce.call(0, stub)
            answer = dce.recv()
            n, ref, count = struct.unpack_from("<lLL", answer)
            self.assertEqual((ref != 0, count), (True, n))
            return n, answer[12:12 + count]
        request = EchoCall()
        request["n"] = len(data)
        request["data"] = data if data else NULL
        dce.call(0, request)
        answer = EchoCall(dce.recv())
        return answer["n"], array_bytes(answer, "data") or b""

    def test_megabytes_each_way_on_one_connection(self):
        dce = self.connect()
        data = os.urandom(3 * 1024 * 1024 + 5)
        n, back = self.echo(dce, data)
        self.assertEqual(n, len(data))
        self.assertEqual(hashlib.sha256(back).digest(), hashlib.sha256(data).digest())
        self.assertEqual(self.echo(dce, b"abc"), (3, b"abc"))
        self.assertEqual(self.echo(dce, b""), (0, b""))

    def raw_answer(self, dce):
        """The next PDU on the connection, as (type, flags, fault status or None)."""
        t = dce.get_rpc_transport()
        header = t.recv(count=16)
        (frag_len,) = struct.unpack_from("<H", header, 8)
        pdu = header + t.recv(count=frag_len - 16)
        status = struct.unpack_from("<L", pdu, 24)[0] if pdu[2] == 3 else None
        return pdu[2], pdu[3], status

    def test_faults(self):
        dce = self.connect()
        cases = [(1, struct.pack("<L", 0x20000005), 0x20000005, False),
                 (1, struct.pack("<L", 1783), 1783, True),
                 (9, struct.pack("<L", 0), 0x1C010002, True),
                 (0, struct.pack("<L", 10), 1783, True),  # a count with no array behind it
                 (1, b"", 1783, True)]
        for opnum, stub, status, did_not_execute in cases:
            dce.call(opnum, stub)
            ptype, flags, got = self.raw_answer(dce)
            self.assertEqual((ptype, got), (3, status), (opnum, stub))
            self.assertEqual(bool(flags & 0x20), did_not_execute, (opnum, stub))
        r = RaiseCall()
        r["status"] = 9
        with self.assertRaises(DCERPCException):
            dce.call(1, r)
            dce.recv()
        self.assertEqual(self.echo(dce, b"ok"), (2, b"ok"))

    def test_unknown_interface_and_wrong_versions(self):
        for uuid, version in ((ECHO_UUID, "2.0"), (ECHO_UUID, "1.3"),
                              ("11111111-2222-3333-4444-555555555555", "1.0")):
            t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % self.port)
            dce = t.get_dce_rpc()
            dce.connect()
            with self.assertRaises(DCERPCException) as raised:
                dce.bind(uuidtup_to_bin((uuid, version)))
            self.assertIn("abstract_syntax_not_supported", str(raised.exception))
            dce.disconnect()
        # A lower minor version is served.
        self.assertEqual(self.echo(self.connect(uuidtup_to_bin((ECHO_UUID, "1.0"))), b"x"),
                         (1, b"x"))


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
