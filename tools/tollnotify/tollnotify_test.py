#!/usr/bin/python3
"""tollnotify served to an independent client: impacket's DCE/RPC and NDR classes marshal
every WorkstationNotifier and WorkstationConfirm call; the notifier's JSON lines must show
every parameter as sent."""
import json
import os
import re
import select
import subprocess
import sys
import unittest

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dtypes import BYTE, LONG, LPWSTR, NULL, SHORT, WSTR
from impacket.dcerpc.v5.ndr import NDRCALL, NDRPOINTER, NDRSTRUCT, NDRUniConformantArray
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

NOTIFY = None
NOTIFIER = uuidtup_to_bin(("a9d0e856-eb8f-4efb-8341-82aa0a9e8f02", "1.0"))
CONFIRM = uuidtup_to_bin(("a6fc6445-3f19-4196-b293-cd8af088925a", "1.0"))


class AccountEntry(NDRSTRUCT):
    structure = (("id", LPWSTR), ("name", LPWSTR), ("requireItem", LONG))


class AccountArray(NDRUniConformantArray):
    item = AccountEntry


class PAccountArray(NDRPOINTER):
    referent = (("Data", AccountArray),)


class ByteArray(NDRUniConformantArray):
    item = "c"


class PByteArray(NDRPOINTER):
    referent = (("Data", ByteArray),)


class LongArray(NDRUniConformantArray):
    item = "<l"


class PLongArray(NDRPOINTER):
    referent = (("Data", LongArray),)


class Reserved0(NDRCALL):
    opnum = 0
    structure = (("a", LONG), ("b", LONG), ("c", BYTE), ("s1", WSTR), ("s2", WSTR), ("s3", WSTR),
                 ("d", LONG), ("count", LONG), ("accounts", PAccountArray))


class ShowFeedback(NDRCALL):
    opnum = 1
    structure = (("message", WSTR),)


class RequestAuthorization(NDRCALL):
    opnum = 2
    structure = (("jobId", LONG), ("reserved", BYTE), ("computerName", WSTR),
                 ("queueName", WSTR), ("documentName", WSTR), ("pages", LONG),
                 ("keyLength", LONG), ("publicKey", PByteArray))


class RequestAuthentication(RequestAuthorization):
    opnum = 3


class RequestAccount(NDRCALL):
    opnum = 4
    structure = (("jobId", LONG), ("idCount", SHORT), ("storeRecordIds", PLongArray),
                 ("reserved", BYTE), ("computerName", WSTR), ("queueName", WSTR),
                 ("documentName", WSTR), ("pages", LONG), ("count", LONG),
                 ("accounts", PAccountArray))


class ConfirmPrint(NDRCALL):
    opnum = 0
    structure = (("computerName", WSTR), ("reserved1", BYTE), ("jobId", LONG),
                 ("printerName", WSTR), ("message", WSTR), ("reserved2", BYTE),
                 ("reserved3", BYTE))


class Unknown(NDRCALL):
    opnum = 5
    structure = (("x", LONG),)


def accounts(entries):
    array = []
    for ident, name, require in entries:
        e = AccountEntry()
        e["id"] = ident + "\x00"
        e["name"] = name + "\x00"
        e["requireItem"] = require
        array.append(e)
    return array


ACCENTED = "Relatório de produção – ação nº 3 ✓ 🖨"


class TollnotifyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.proc = subprocess.Popen([NOTIFY, "--port", "0"], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
        line = cls.proc.stderr.readline().decode()
        match = re.search(r"port (\d+)", line)
        if not match:
            cls.proc.kill()
            raise RuntimeError("tollnotify did not start: " + line)
        cls.port = int(match.group(1))

    @classmethod
    def tearDownClass(cls):
        cls.proc.kill()
        cls.proc.wait()

    def connect(self, interface):
        t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % self.port)
        t.set_connect_timeout(5)
        dce = t.get_dce_rpc()
        dce.connect()
        dce.bind(interface)
        self.addCleanup(dce.disconnect)
        return dce

    def call(self, dce, request):
        dce.call(request.opnum, request)
        answer = dce.recv()
        self.assertEqual(answer, b"")  # the operations have no results
        return self.next_line()

    def next_line(self):
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        self.assertTrue(ready, "no line from tollnotify")
        return json.loads(self.proc.stdout.readline().decode("utf-8"))

    def test_every_operation_decodes_every_parameter(self):
        dce = self.connect(NOTIFIER)

        r = ShowFeedback()
        r["message"] = ACCENTED + "\x00"
        self.assertEqual(self.call(dce, r), {
            "interface": "WorkstationNotifier", "opnum": 1, "operation": "ShowFeedback",
            "parameters": {"message": ACCENTED}})

        for request, name in ((RequestAuthorization(), "RequestAuthorization"),
                              (RequestAuthentication(), "RequestAuthentication")):
            request["jobId"] = 4711
            request["reserved"] = 0
            request["computerName"] = "TOLLSRV01\x00"
            request["queueName"] = "Financeiro – 2º andar\x00"
            request["documentName"] = ACCENTED + "\x00"
            request["pages"] = 12
            key = bytes(range(256)) * 3
            request["keyLength"] = len(key)
            request["publicKey"] = key
            self.assertEqual(self.call(dce, request), {
                "interface": "WorkstationNotifier", "opnum": request.opnum, "operation": name,
                "parameters": {
                    "jobId": 4711, "reserved": 0, "computerName": "TOLLSRV01",
                    "queueName": "Financeiro – 2º andar", "documentName": ACCENTED,
                    "pages": 12, "keyLength": len(key),
                    "publicKey": __import__("base64").b64encode(key).decode()}})

        # An empty key travels as a null array.
        request = RequestAuthentication()
        request["jobId"] = -1
        request["reserved"] = 0
        request["computerName"] = "\x00"
        request["queueName"] = "\x00"
        request["documentName"] = "\x00"
        request["pages"] = 0
        request["keyLength"] = 0
        request["publicKey"] = NULL
        got = self.call(dce, request)["parameters"]
        self.assertEqual((got["jobId"], got["computerName"], got["publicKey"]), (-1, "", None))

        r = RequestAccount()
        r["jobId"] = 99
        r["idCount"] = 3
        r["storeRecordIds"] = [1, -2, 0x7FFFFFFF]
        r["reserved"] = 0
        r["computerName"] = "TOLLSRV01\x00"
        r["queueName"] = "Recepção\x00"
        r["documentName"] = "Orçamento.pdf\x00"
        r["pages"] = 3
        r["count"] = 2
        r["accounts"] = accounts([("10", "Diretoria Açores", 1), ("11", "Produção", 0)])
        self.assertEqual(self.call(dce, r), {
            "interface": "WorkstationNotifier", "opnum": 4, "operation": "RequestAccount",
            "parameters": {
                "jobId": 99, "idCount": 3, "storeRecordIds": [1, -2, 0x7FFFFFFF],
                "reserved": 0, "computerName": "TOLLSRV01", "queueName": "Recepção",
                "documentName": "Orçamento.pdf", "pages": 3, "count": 2,
                "accounts": [{"id": "10", "name": "Diretoria Açores", "requireItem": 1},
                             {"id": "11", "name": "Produção", "requireItem": 0}]}})

        r = Reserved0()
        r["a"] = 1
        r["b"] = -2
        r["c"] = 255
        r["s1"] = "um\x00"
        r["s2"] = "dois\x00"
        r["s3"] = "três\x00"
        r["d"] = 4
        r["count"] = 1
        r["accounts"] = accounts([("x", "ý", 1)])
        self.assertEqual(self.call(dce, r)["parameters"], {
            "a": 1, "b": -2, "c": 255, "s1": "um", "s2": "dois", "s3": "três", "d": 4,
            "count": 1, "accounts": [{"id": "x", "name": "ý", "requireItem": 1}]})

    def test_confirm_interface(self):
        dce = self.connect(CONFIRM)
        r = ConfirmPrint()
        r["computerName"] = "TOLLSRV01\x00"
        r["reserved1"] = 0
        r["jobId"] = 31
        r["printerName"] = "Impressora Recepção\x00"
        r["message"] = "Confirma a impressão de 40 páginas?\x00"
        r["reserved2"] = 0
        r["reserved3"] = 0
        self.assertEqual(self.call(dce, r), {
            "interface": "WorkstationConfirm", "opnum": 0, "operation": "ConfirmPrint",
            "parameters": {"computerName": "TOLLSRV01", "reserved1": 0, "jobId": 31,
                           "printerName": "Impressora Recepção",
                           "message": "Confirma a impressão de 40 páginas?",
                           "reserved2": 0, "reserved3": 0}})

    def test_faults_and_refusals(self):
        dce = self.connect(NOTIFIER)
        with self.assertRaises(DCERPCException) as raised:
            u = Unknown()
            u["x"] = 1
            dce.call(5, u)
            dce.recv()
        self.assertIn("nca_s_op_rng_error", str(raised.exception))
        # Stub data that does not decode: a count that disagrees with the array.
        r = RequestAccount()
        r["jobId"] = 1
        r["idCount"] = 5
        r["storeRecordIds"] = [1, 2]
        r["reserved"] = 0
        for field in ("computerName", "queueName", "documentName"):
            r[field] = "\x00"
        r["pages"] = 0
        r["count"] = 0
        r["accounts"] = NULL
        with self.assertRaises(DCERPCException) as raised:
            dce.call(4, r)
            dce.recv()
        self.assertIn("rpc_x_bad_stub_data", str(raised.exception))
        # A message beyond the notifier's 64 KiB: a fault, the call is not made.
        f = ShowFeedback()
        f["message"] = "x" * 40000 + "\x00"
        with self.assertRaises(DCERPCException) as raised:
            dce.call(1, f)
            dce.recv()
        self.assertIn("nca_s_fault_remote_no_memory", str(raised.exception))
        # The connection is still good after the faults.
        f = ShowFeedback()
        f["message"] = "ok\x00"
        self.assertEqual(self.call(dce, f)["parameters"], {"message": "ok"})
        # An interface the notifier does not offer is refused at bind.
        t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % self.port)
        other = t.get_dce_rpc()
        other.connect()
        with self.assertRaises(DCERPCException) as raised:
            other.bind(uuidtup_to_bin(("11111111-2222-3333-4444-555555555555", "1.0")))
        self.assertIn("abstract_syntax_not_supported", str(raised.exception))
        other.disconnect()
        self.assertIsNone(self.proc.poll())


if __name__ == "__main__":
    NOTIFY = sys.argv.pop(1)
    unittest.main(verbosity=2)
