#!/usr/bin/env python3
"""Hostile input on tollmachine's socket and in its files: malformed, truncated, oversized and
random messages, requests with handles it never gave, more connections than it takes, a
broken registry file. Every one gets an error or a closed connection, and the machine goes on
answering."""
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from machine_support import machine_pid



BIN = None

REGISTRY = (b"REGEDIT4\r\n\r\n"
            b"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Q]\r\n"
            b"\"Port\"=\"LPT1:\"\r\n\"Status\"=dword:00000001\r\n")


def frame(payload):
    return struct.pack("<I", len(payload)) + payload


def u32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def wide(text):
    data = text.encode("utf-16-le")
    return u32(len(data)) + data


class Hostile(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tollmachine-hostile-")
        self.machine = os.path.join(self.tmp, "m")
        os.makedirs(self.machine)
        with open(os.path.join(self.machine, "registry.reg"), "wb") as f:
            f.write(REGISTRY)
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.machine)
        self.addCleanup(self.cleanup)

    def cleanup(self):
        if self.tm("stop").returncode != 0:
            pid = machine_pid(self.machine)
            if pid:
                os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def tm(self, *args):
        return subprocess.run([os.path.join(BIN, "tollmachine"), *args], env=self.env,
                              capture_output=True, timeout=60)

    def connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(10)
        s.connect(os.path.join(self.machine, "machine.sock"))
        return s

    def answer(self, s):
        try:
            return self.receive(s)
        except ConnectionResetError:
            return None

    def receive(self, s):
        header = b""
        while len(header) < 4:
            chunk = s.recv(4 - len(header))
            if not chunk:
                return None
            header += chunk
        n = struct.unpack("<I", header)[0]
        body = b""
        while len(body) < n:
            chunk = s.recv(n - len(body))
            if not chunk:
                return None
            body += chunk
        return body

    def alive(self):
        s = self.connect()
        s.sendall(frame(u32(2)))  # ping
        reply = self.answer(s)
        s.close()
        return reply is not None and struct.unpack("<I", reply[:4])[0] == 1

    def test_the_socket_survives_what_it_is_sent(self):
        self.assertEqual(self.tm("start").returncode, 0)
        rng = random.Random(12)
        # Random payloads, and every operation with arguments cut short or random.
        s = self.connect()
        for i in range(400):
            payload = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 64)))
            if i % 2 == 0:
                payload = u32(rng.choice(list(range(1, 100)) + [0xFFFFFFFF])) + payload
            s.sendall(frame(payload))
            reply = self.answer(s)
            if reply is None:  # a request that ended the connection: take a new one
                s = self.connect()
        s.close()
        self.assertTrue(self.alive())
        # Lengths that lie: far beyond the frame, inside strings and counts.
        for payload in [u32(10) + u32(0x80000002) + u32(0xFFFFFFF0),       # RegOpen, huge string
                        u32(13) + u32(0x80000002) + u32(7) + b"abc",        # RegQuery, odd text
                        u32(61) + u32(1, 1),                                # EvRead, cut short
                        u32(89) + u32(1, 2, 2, 3, 1) + u32(0xFFFF, 0xFFFF),  # SetJob, cut JobInfo
                        u32(91) + u32(1, 0, 0, 1) + u32(2, 0, 3),           # FindFirst, 3 types
                        u32(35) + u32(0x5C0004) + u32(0xFFFFFFFF),          # ScStart, huge count
                        u32(95) + u32(0x7A0004) + u32(0x7FFFFFFF) + b"x",   # SpWrite, cut bytes
                        u32(19) + u32(0x40000000)]:                         # RegImport, cut
            s = self.connect()
            s.sendall(frame(payload))
            reply = self.answer(s)
            self.assertIsNotNone(reply)
            self.assertEqual(struct.unpack("<II", reply[:8]), (0, 1783))
            s.close()
        # Handles it never gave, a service that waits for no process, a bogus watcher.
        s = self.connect()
        for payload in [u32(13) + u32(0x1234) + wide("v"), u32(12) + u32(0x1234),
                        u32(83) + u32(0x7A0010), u32(95) + u32(0x7A0010) + u32(1) + b"x",
                        u32(92) + u32(77, 0), u32(42) + wide("Spooler"),
                        u32(42) + wide("Nothing"), u32(61) + u32(0xE0004, 5, 0, 0xFFFFFFFF),
                        u32(36) + u32(0x5C0004, 1), u32(19) + u32(4) + b"junk"]:
            s.sendall(frame(payload))
            reply = self.answer(s)
            self.assertIsNotNone(reply, payload)
            result, error = struct.unpack("<II", reply[:8])
            op = struct.unpack("<I", payload[:4])[0]
            # Registry calls answer with their code, the others with the last error.
            self.assertNotEqual(result if 10 <= op <= 18 else error, 0, payload)
        s.close()
        # A frame larger than any message: the connection is closed.
        s = self.connect()
        s.sendall(struct.pack("<I", 0x7FFFFFFF) + b"\0" * 16)
        self.assertIsNone(self.answer(s))
        s.close()
        # A frame cut short, then the connection closed under it.
        s = self.connect()
        s.sendall(struct.pack("<I", 100) + b"\1\0\0\0")
        s.close()
        # More connections than it takes at once.
        many = []
        for _ in range(600):
            try:
                many.append(self.connect())
            except OSError:
                break
        self.assertGreater(len(many), 100)
        for c in many:
            c.close()
        time.sleep(0.5)
        self.assertTrue(self.alive())
        self.assertEqual(self.tm("status").stdout, b"running\n")
        self.assertIn(b"RUNNING", self.tm("sc", "query", "Spooler").stdout)
        self.assertEqual(self.tm("jobs").returncode, 0)
        with open(os.path.join(self.machine, "registry.reg"), "rb") as f:
            self.assertIn(b"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\"
                          b"Printers\\Q]", f.read())

    def test_truncated_and_garbage_files_are_passed_over(self):
        spool = os.path.join(self.machine, "Windows", "System32", "spool", "PRINTERS")
        os.makedirs(spool)
        os.makedirs(os.path.join(self.machine, "eventlog"))
        good = (b'{"record":1,"time":1765000000,"id":7036,"type":4,"category":0,'
                b'"source":"Service Control Manager","computer":"TOLLSRV01",'
                b'"strings":["Print Spooler","running"],"data":""}\n')
        with open(os.path.join(self.machine, "eventlog", "System.jsonl"), "wb") as f:
            f.write(good + b"\x00\xff{{{\n" + b'{"record":2,"time":' + b"9" * 5000 + b"\n" +
                    b'{"record":3,"id":7,"strings":[1,2]}\n{"record":')
        with open(os.path.join(spool, "00007.shd"), "wb") as f:
            f.write(b'{"job":7,"queue":"Q","comp')
        with open(os.path.join(spool, "00007.spl"), "wb") as f:
            f.write(b"kept, its shadow does not read")
        with open(os.path.join(spool, "00008.spl"), "wb") as f:
            f.write(b"a document never finished")
        with open(os.path.join(spool, "00009.shd"), "wb") as f:
            f.write(b'{"job":9,"queue":"Q","complete":true,"status":1,"devmode":"zz"}')
        with open(os.path.join(spool, "00009.spl"), "wb") as f:
            f.write(b"nine")
        self.assertEqual(self.tm("start").returncode, 0)
        events = self.tm("events").stdout.decode().splitlines()
        self.assertEqual(events[0].split("\t")[1:], ["Service Control Manager", "7036",
                                                     "information", "Print Spooler", "running"])
        jobs = self.tm("jobs").stdout.decode().splitlines()[1:]
        self.assertEqual([j.split("\t")[0] for j in jobs], ["9"])
        self.assertTrue(os.path.exists(os.path.join(spool, "00007.spl")))
        self.assertFalse(os.path.exists(os.path.join(spool, "00008.spl")))
        # The machine's own records follow the last whole one.
        self.assertIn("\t7036\tinformation\tPrint Spooler\trunning", events[1])
        self.assertTrue(self.alive())

    def test_a_broken_registry_stops_the_start_and_is_left_as_it_is(self):
        broken = b"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:zz\r\n"
        with open(os.path.join(self.machine, "registry.reg"), "wb") as f:
            f.write(broken)
        done = self.tm("start")
        self.assertEqual(done.returncode, 1)
        with open(os.path.join(self.machine, "tollmachine.log"), "rb") as f:
            self.assertIn(b"line 3: malformed dword value", f.read())
        with open(os.path.join(self.machine, "registry.reg"), "rb") as f:
            self.assertEqual(f.read(), broken)
        self.assertEqual(self.tm("status").stdout, b"not running\n")


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
