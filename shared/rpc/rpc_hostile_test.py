#!/usr/bin/python3
"""Untrusted input to the runtime's server (rpc_probe serve): random bytes, truncated and
oversized fragments, bogus lengths and versions, unknown PDU types, a 4 GB allocation hint,
a request larger than the message limit, and 200 clients at once; one host that tries to lock
the others out (2 100 idle connections, 16 unfinished 16 MiB requests), connections that run
out of their deadlines, a server that runs out of sockets or threads. The server must answer as
the protocol says (bind_nak, fault, closed connection), keep serving everybody else, and keep
its memory bounded."""
import resource
import os
import random
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

PROBE = None
ECHO = bytes.fromhex("e5a16f0d3b8f534a9c1e6a1b2c3d4e5f")  # 0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f
NDR = bytes.fromhex("045d888aeb1cc9119fe808002b104860")


def header(ptype, flags, frag_len, call_id=1, version=(5, 0), drep=b"\x10\0\0\0", auth=0):
    return struct.pack("<BBBB4sHHL", version[0], version[1], ptype, flags, drep, frag_len, auth,
                       call_id)


def bind_pdu(call_id=1, version=(5, 0), drep=b"\x10\0\0\0", frag=4280, uuid=ECHO, major=1):
    body = struct.pack("<HHLBBH", frag, frag, 0, 1, 0, 0)
    body += struct.pack("<HBB", 0, 1, 0) + uuid + struct.pack("<HH", major, 2) + NDR + \
        struct.pack("<HH", 2, 0)
    return header(11, 3, 16 + len(body), call_id, version, drep) + body


def request_pdu(stub, opnum=0, flags=3, call_id=2, alloc_hint=None, frag_len=None):
    hint = len(stub) if alloc_hint is None else alloc_hint
    body = struct.pack("<LHH", hint, 0, opnum) + stub
    return header(0, flags, frag_len or 16 + len(body), call_id) + body


def recv_pdu(sock, timeout=5):
    sock.settimeout(timeout)
    data = b""
    try:
        while len(data) < 16:
            chunk = sock.recv(16 - len(data))
            if not chunk:
                return None
            data += chunk
        (frag_len,) = struct.unpack_from("<H", data, 8)
        while len(data) < frag_len:
            chunk = sock.recv(frag_len - len(data))
            if not chunk:
                return None
            data += chunk
    except (ConnectionResetError, socket.timeout):
        return None
    return data


def closed_by_server(sock, timeout=5):
    sock.settimeout(timeout)
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def echo_stub(data):
    return struct.pack("<lLL", len(data), 0x20000 if data else 0, len(data)) + data


class HostileInputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = subprocess.Popen([PROBE, "serve"], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE)
        cls.port = int(cls.server.stdout.readline().split()[1])

    @classmethod
    def tearDownClass(cls):
        cls.server.stdin.close()
        cls.server.wait(timeout=30)

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        self.addCleanup(s.close)
        return s

    def bound(self):
        s = self.connect()
        s.sendall(bind_pdu())
        ack = recv_pdu(s)
        self.assertEqual(ack[2], 12)
        return s

    def rss_kb(self):
        with open("/proc/%d/status" % self.server.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def assert_serving(self):
        s = self.bound()
        s.sendall(request_pdu(echo_stub(b"still here")))
        answer = recv_pdu(s)
        self.assertIsNotNone(answer, "the server stopped answering")
        self.assertEqual(answer[2], 2)
        self.assertEqual(answer[24 + 12:], b"still here")

    def test_answers_the_protocol_gives(self):
        # Bind with protocol version 4, or 5.3: bind_nak "protocol version not supported".
        for version in ((4, 0), (5, 3)):
            s = self.connect()
            s.sendall(bind_pdu(version=version))
            nak = recv_pdu(s)
            self.assertEqual((nak[2], struct.unpack_from("<H", nak, 16)[0]), (13, 4), version)
            self.assertTrue(closed_by_server(s))
        # Big-endian integers: bind_nak, closed.
        s = self.connect()
        pdu = bytearray(bind_pdu(drep=b"\0\0\0\0"))
        pdu[8:10] = struct.pack(">H", len(pdu))  # the lengths in the order the header declares
        s.sendall(bytes(pdu))
        self.assertEqual(recv_pdu(s)[2], 13)
        # Anything but a bind first: closed.
        s = self.connect()
        s.sendall(request_pdu(echo_stub(b"x")))
        self.assertTrue(closed_by_server(s))
        # A second bind, an unknown PDU type, a fragment above the negotiated size, a fragment
        # length below the header: closed.
        for pdu in (bind_pdu(), header(42, 3, 16), request_pdu(b"\0" * 8, frag_len=0xFFFF),
                    header(0, 3, 8)):
            s = self.bound()
            s.sendall(pdu)
            self.assertTrue(closed_by_server(s), pdu[:4].hex())
        # A bind for an interface the server lacks: bind_ack with a provider rejection.
        s = self.connect()
        s.sendall(bind_pdu(uuid=os.urandom(16)))
        ack = recv_pdu(s)
        self.assertEqual(ack[2], 12)
        result, reason = struct.unpack_from("<HH", ack, len(ack) - 24)
        self.assertEqual((result, reason), (2, 1))
        self.assert_serving()

    def test_bogus_lengths_do_not_allocate(self):
        before = self.rss_kb()
        # A 4 GB allocation hint on a small request: the call runs on what came.
        s = self.bound()
        s.sendall(request_pdu(echo_stub(b"abc"), alloc_hint=0xFFFFFFFF))
        answer = recv_pdu(s)
        self.assertEqual(answer[2], 2)
        # An echo claiming a 4 GB array: bad stub data.
        s.sendall(request_pdu(struct.pack("<lLL", 0x7FFFFFFF, 0x20000, 0xFFFFFFFF) + b"x" * 100))
        answer = recv_pdu(s)
        self.assertEqual((answer[2], struct.unpack_from("<L", answer, 24)[0]), (3, 1783))
        # A request that never ends: 20 MB in fragments, past the 16 MB limit. A fault comes
        # once the limit is passed; the rest is dropped and the connection goes on.
        chunk = b"\xAA" * 4096
        s.sendall(request_pdu(chunk, flags=1, call_id=7, alloc_hint=0xFFFFFFFF))
        for i in range(20 * 256):
            s.sendall(request_pdu(chunk, flags=2 if i == 20 * 256 - 1 else 0, call_id=7))
        answer = recv_pdu(s, timeout=20)
        self.assertEqual((answer[2], struct.unpack_from("<L", answer, 24)[0]), (3, 0x1C00001B))
        s.sendall(request_pdu(echo_stub(b"after"), call_id=8))
        answer = recv_pdu(s)
        self.assertEqual((answer[2], answer[24 + 12:]), (2, b"after"))
        self.assertLess(self.rss_kb() - before, 64 * 1024, "memory grew by more than 64 MB")
        self.assert_serving()

    def test_random_bytes_and_truncated_pdus(self):
        rng = random.Random(7)
        idle = self.connect()
        idle.sendall(bind_pdu()[:10])  # half a header, left open throughout
        before = self.rss_kb()
        for round in range(150):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            kind = round % 5
            if kind == 0:
                s.sendall(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 3000))))
            elif kind == 1:
                pdu = bind_pdu()
                s.sendall(pdu[:rng.randrange(1, len(pdu))])
            elif kind == 2:
                s.sendall(bind_pdu())
                recv_pdu(s)
                pdu = request_pdu(echo_stub(b"z" * 100))
                s.sendall(pdu[:rng.randrange(1, len(pdu))])
            elif kind == 3:
                s.sendall(bind_pdu())
                recv_pdu(s)
                junk = bytearray(request_pdu(echo_stub(b"q" * 64)))
                for _ in range(8):
                    junk[rng.randrange(16, len(junk))] = rng.getrandbits(8)
                s.sendall(bytes(junk))
                recv_pdu(s, timeout=2)
            else:
                s.sendall(header(rng.getrandbits(8), rng.getrandbits(8), 0xFFFF) +
                          os.urandom(200))
            s.close()
            if round % 50 == 49:
                self.assert_serving()
        self.assertLess(self.rss_kb() - before, 64 * 1024)
        self.assert_serving()
        self.assertIsNone(self.server.poll())

    def test_the_least_fragment_size_of_the_protocol_is_served(self):
        s = self.connect()
        s.sendall(bind_pdu(frag=1432))
        ack = recv_pdu(s)
        self.assertEqual(ack[2], 12)
        self.assertEqual(struct.unpack_from("<HH", ack, 16), (1432, 1432))
        payload = os.urandom(10000)
        stub = echo_stub(payload)
        room = 1432 - 24
        pieces = [stub[i:i + room] for i in range(0, len(stub), room)]
        s.sendall(b"".join(request_pdu(p, flags=(1 if i == 0 else 0) |
                                       (2 if i == len(pieces) - 1 else 0), alloc_hint=len(stub))
                           for i, p in enumerate(pieces)))
        back = b""
        while True:
            answer = recv_pdu(s)
            self.assertIsNotNone(answer)
            self.assertEqual(answer[2], 2)
            self.assertLessEqual(len(answer), 1432)
            back += answer[24:]
            if answer[3] & 2:
                break
        self.assertEqual(back[12:], payload)

    def test_two_hundred_clients_at_once(self):
        results = []
        lock = threading.Lock()
        barrier = threading.Barrier(200)

        def client(i):
            ok = False
            try:
                s = socket.create_connection(("127.0.0.1", self.port), timeout=20)
                s.sendall(bind_pdu())
                recv_pdu(s, timeout=20)
                barrier.wait(timeout=30)
                payload = ("client %d" % i).encode()
                s.sendall(request_pdu(echo_stub(payload)))
                answer = recv_pdu(s, timeout=20)
                ok = answer is not None and answer[24 + 12:] == payload
                s.close()
            finally:
                with lock:
                    results.append(ok)

        threads = [threading.Thread(target=client, args=(i,)) for i in range(200)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        self.assertEqual(results.count(True), 200)


def figure(text):
    sys.stderr.write("    figure: %s\n" % text)
    sys.stderr.flush()


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def from_address(address, port, timeout=5):
    """A connection from another loopback address: another host, as the server sees it."""
    s = socket.socket()
    s.bind((address, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def accept_queue(port):
    """Connections waiting in the listener's queue on the port (IPv4), from /proc/net/tcp."""
    with open("/proc/net/tcp") as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return int(fields[4].split(":")[1], 16)
    return None


def wait_for(predicate, seconds, step=0.05):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


DEADLINES = "1500,1000,2500,3000"  # bind, fragment, request, idle (ms)


class LockOutTest(unittest.TestCase):
    """One host (127.0.0.2) against a server that others (127.0.0.1) use too."""


    def start(self, limits=None, deadlines=DEADLINES):
        server = subprocess.Popen([PROBE, "serve", "--deadlines", deadlines],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  preexec_fn=limits)
        port = int(server.stdout.readline().split()[1])

        def stop():
            server.stdin.close()
            server.wait(timeout=30)
        self.addCleanup(stop)
        return server, port

    def normal_call(self, port, payload=b"still here", timeout=5):
        """A caller of another address: bind and one echo; its time in seconds."""
        begin = time.monotonic()
        s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        try:
            s.sendall(bind_pdu())
            ack = recv_pdu(s, timeout)
            self.assertIsNotNone(ack, "no bind_ack")
            self.assertEqual(ack[2], 12)
            stub = echo_stub(payload)
            room = 4280 - 24
            pieces = [stub[i:i + room] for i in range(0, len(stub), room)]
            s.sendall(b"".join(request_pdu(p, flags=(1 if i == 0 else 0) |
                                           (2 if i == len(pieces) - 1 else 0),
                                           alloc_hint=len(stub))
                               for i, p in enumerate(pieces)))
            back = b""
            while True:
                answer = recv_pdu(s, timeout)
                self.assertIsNotNone(answer, "no answer")
                self.assertEqual(answer[2], 2)
                back += answer[24:]
                if answer[3] & 2:
                    break
            self.assertEqual(back[12:12 + len(payload)], payload)
        finally:
            s.close()
        return time.monotonic() - begin

    def test_idle_connections_of_one_host_leave_room_for_the_others(self):
        # The flood takes from a few seconds to half a minute as the machine is loaded (each
        # connect waits while the listener's queue is full): the deadlines are longer than
        # any flood, so the connections kept are the first ones and none ends on its own.
        server, port = self.start(deadlines="120000,1000,120000,120000")
        before = rss_kb(server.pid)
        attackers = []
        for _ in range(2100):
            try:
                attackers.append(from_address("127.0.0.2", port, timeout=30))
            except OSError:
                pass
        self.addCleanup(lambda: [a.close() for a in attackers])
        took = self.normal_call(port)
        self.assertLess(took, 1.0)
        # Every connection has been accepted (kept or closed) before they are counted.
        self.assertTrue(wait_for(lambda: accept_queue(port) == 0, 30))
        held = 0
        for a in attackers:
            a.setblocking(False)
            try:
                held += 0 if a.recv(1) == b"" else 1
            except BlockingIOError:
                held += 1
            except ConnectionResetError:
                pass
        self.assertLessEqual(held, 256)
        figure("2100 idle connections from one address: %d kept open, a normal caller answered "
               "in %.0f ms, server memory %d -> %d KiB" % (held, took * 1000, before,
                                                         rss_kb(server.pid)))
        self.assertGreaterEqual(held, 200)  # the others were closed at once
        self.assertIsNone(server.poll())

    def test_unfinished_large_requests_of_one_host_leave_memory_for_the_others(self):
        server, port = self.start(deadlines="20000,5000,60000,60000")
        before = rss_kb(server.pid)
        frag = 5840
        room = frag - 24
        attackers = []
        faults = 0
        for _ in range(16):
            a = from_address("127.0.0.2", port)
            attackers.append(a)
            a.sendall(bind_pdu(frag=frag))
            self.assertEqual(recv_pdu(a)[2], 12)
        self.addCleanup(lambda: [a.close() for a in attackers])
        chunk = bytes(room)
        fragments = (16 << 20) // room - 1  # all but the last fragment of a 16 MiB request
        for i, a in enumerate(attackers):
            first = request_pdu(chunk, flags=1, call_id=7, alloc_hint=16 << 20)
            middle = request_pdu(chunk, flags=0, call_id=7, alloc_hint=16 << 20)
            a.sendall(first + middle * (fragments - 1))
        time.sleep(0.5)
        for a in attackers:
            answer = recv_pdu(a, timeout=0.5)
            if answer is not None and answer[2] == 3:
                faults += 1
        during = rss_kb(server.pid)
        # A normal caller: a request of the size a job report has, not one that itself takes
        # this test client a good part of the second to encode on a busy machine.
        took = self.normal_call(port, os.urandom(64 << 10), timeout=10)
        self.assertLess(took, 1.0)
        figure("16 unfinished 16 MiB requests from one address: %d refused with a fault, a "
               "normal 64 KiB call answered in %.0f ms, server memory %d -> %d KiB" %
               (faults, took * 1000, before, during))
        self.assertGreaterEqual(faults, 12)  # one host holds at most a quarter of the budget
        self.assertLess(during - before, 100 * 1024)
        self.assertIsNone(server.poll())

    def test_deadlines_close_connections_that_take_too_long(self):
        server, port = self.start()
        cases = []
        never_bound = from_address("127.0.0.2", port)
        cases.append(("no bind", never_bound, 1.5))
        half_header = from_address("127.0.0.2", port)
        half_header.sendall(bind_pdu()[:10])
        cases.append(("half a fragment", half_header, 1.0))
        idle = from_address("127.0.0.2", port)
        idle.sendall(bind_pdu())
        self.assertEqual(recv_pdu(idle)[2], 12)
        cases.append(("idle after bind", idle, 3.0))
        unfinished = from_address("127.0.0.2", port)
        unfinished.sendall(bind_pdu())
        self.assertEqual(recv_pdu(unfinished)[2], 12)
        unfinished.sendall(request_pdu(b"\0" * 100, flags=1, alloc_hint=1000))
        cases.append(("unfinished request", unfinished, 2.5))
        begin = time.monotonic()
        for name, sock, deadline in cases:
            self.addCleanup(sock.close)
        for name, sock, deadline in sorted(cases, key=lambda c: c[2]):
            left = deadline + 1.0 - (time.monotonic() - begin)
            self.assertTrue(closed_by_server(sock, max(left, 0.1)), name)
            self.assertGreater(time.monotonic() - begin, deadline * 0.8, name)
        self.assertLess(self.normal_call(port), 1.0)

    def test_out_of_sockets_or_threads_the_server_goes_on(self):
        cases = [("sockets", lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))),
                 ("threads", lambda: resource.setrlimit(resource.RLIMIT_AS,
                                                        (768 << 20, 768 << 20)))]
        for name, limits in cases:
            server, port = self.start(limits)
            attackers = []
            for _ in range(250):
                try:
                    attackers.append(from_address("127.0.0.2", port))
                except OSError:
                    pass
            cpu = cpu_seconds(server.pid)
            time.sleep(1.0)
            spent = cpu_seconds(server.pid) - cpu
            self.assertIsNone(server.poll(), name)
            figure("out of %s: 250 connections, the server alive, %.2f s of CPU in 1 s" %
                   (name, spent))
            self.assertLess(spent, 0.5, name)  # no busy loop
            for a in attackers:
                a.close()
            time.sleep(1.8)  # the bind deadline closes what was accepted
            self.assertLess(self.normal_call(port), 1.0, name)
            self.assertIsNone(server.poll(), name)


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
