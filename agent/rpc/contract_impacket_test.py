#!/usr/bin/python3
"""The interface definitions and the agent's gateway against an independent implementation,
impacket, over loopback: the structure shapes both ways, and the gateway's whole conversation
with a central server made of impacket's NDR classes, which checks the wire form of every
parameter it is given."""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "shared", "rpc"))
from rpc_impacket_test import (ECHO, NDR, ByteArray, PByteArray, PeerServer, PWCharArray,  # noqa
                               WCharArray, fault, lpstr, text_of)

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dtypes import BYTE, CHAR, DOUBLE, LONG, LPSTR, NULL, SHORT, STR
from impacket.dcerpc.v5.ndr import NDRCALL, NDRPOINTER, NDRSTRUCT, NDRUniConformantArray
from impacket.uuid import uuidtup_to_bin

PROBE = None
CENTRAL = uuidtup_to_bin(("b9969d8a-327c-405a-be87-c6408967b4bf", "1.5"))


# The structure shapes of the central-server interface (operation 3 of contract_probe's interface).
class CounterLine(NDRSTRUCT):
    structure = (("first", LONG), ("second", LONG), ("kind", SHORT), ("paperSize", LPSTR))


class CounterLineArray(NDRUniConformantArray):
    item = CounterLine


class PCounterLineArray(NDRPOINTER):
    referent = (("Data", CounterLineArray),)


class CounterSnapshot(NDRSTRUCT):
    structure = (("deviceText1", LPSTR), ("deviceText2", LPSTR), ("deviceText3", LPSTR),
                 ("value1", LONG), ("value2", LONG), ("readingTime", DOUBLE),
                 ("lineCount", SHORT), ("lines", PCounterLineArray))


class QueueEntry(NDRSTRUCT):
    structure = (("queueName", LPSTR), ("portAddress", LPSTR), ("hasAddress", BYTE))


class QueueEntryArray(NDRUniConformantArray):
    item = QueueEntry


class PQueueEntryArray(NDRPOINTER):
    referent = (("Data", QueueEntryArray),)


class QueueSettings(NDRSTRUCT):
    structure = (("queueIndex", LONG), ("Id", LONG), ("Language", SHORT),
                 ("IdentifyHardware", SHORT), ("SnmpCommunity", LPSTR), ("IsToArchive", SHORT),
                 ("IsToCheckCounterAfterPrint", SHORT), ("reserved", SHORT))


class QueueSettingsArray(NDRUniConformantArray):
    item = QueueSettings


class PQueueSettingsArray(NDRPOINTER):
    referent = (("Data", QueueSettingsArray),)


class ShapesCall(NDRCALL):
    opnum = 3
    structure = (("snapshot", CounterSnapshot), ("text", STR), ("when", DOUBLE), ("n", SHORT),
                 ("queues", PQueueEntryArray))


class ShapesAnswer(NDRCALL):
    structure = (("count", SHORT), ("settings", PQueueSettingsArray), ("textLength", LONG),
                 ("message", PWCharArray), ("total", DOUBLE))


def compute_shapes(snapshot, text, when, queues):
    """What operation 3 answers (contract_probe.cpp says the same)."""
    settings = []
    for i, (name, address, has) in enumerate(queues):
        settings.append((i, 100 * len(name or "") + has, 7, -1, address if has else None, 1, 0, 0))
    message = text + "|" + (snapshot["texts"][0] or "-")
    total = when + snapshot["readingTime"] + snapshot["value1"] + snapshot["value2"]
    for first, second, kind, paper in snapshot["lines"]:
        message += "|" + (paper or "-")
        total += first + second + kind
    return settings, message, total


SHAPES_CASE = dict(
    snapshot={"texts": ["Impressora Recepção", None, "série 9"], "value1": 7, "value2": 70000,
              "readingTime": 46001.25,
              "lines": [(1, 2, 3, "A4"), (4, 5, 6, None), (-7, 8, 9, "A3")]},
    text="Orçamento", when=0.125,
    queues=[("Financeiro", "192.0.2.1", 1), ("Sem porta", None, 0), ("Fila três", "x", 1)])


def encode_shapes_request(case):
    c = ShapesCall()
    s = CounterSnapshot()
    t = case["snapshot"]
    s["deviceText1"], s["deviceText2"], s["deviceText3"] = (lpstr(x) for x in t["texts"])
    s["value1"], s["value2"], s["readingTime"] = t["value1"], t["value2"], t["readingTime"]
    s["lineCount"] = len(t["lines"])
    lines = []
    for first, second, kind, paper in t["lines"]:
        line = CounterLine()
        line["first"], line["second"], line["kind"] = first, second, kind
        line["paperSize"] = lpstr(paper)
        lines.append(line)
    s["lines"] = lines if lines else NULL
    c["snapshot"] = s
    c["text"] = case["text"].encode("latin-1") + b"\x00"
    c["when"] = case["when"]
    c["n"] = len(case["queues"])
    entries = []
    for name, address, has in case["queues"]:
        e = QueueEntry()
        e["queueName"], e["portAddress"], e["hasAddress"] = lpstr(name), lpstr(address), has
        entries.append(e)
    c["queues"] = entries if entries else NULL
    return c


def decode_shapes_request(stub):
    c = ShapesCall(stub)
    s = c["snapshot"]
    lines = []
    if s.fields["lines"].fields["ReferentID"]:
        for line in s["lines"]:
            lines.append((line["first"], line["second"], line["kind"],
                          text_of(line.fields["paperSize"])))
    snapshot = {"texts": [text_of(s.fields[k]) for k in
                          ("deviceText1", "deviceText2", "deviceText3")],
                "value1": s["value1"], "value2": s["value2"], "readingTime": s["readingTime"],
                "lines": lines}
    queues = []
    if c.fields["queues"].fields["ReferentID"]:
        for e in c["queues"]:
            queues.append((text_of(e.fields["queueName"]), text_of(e.fields["portAddress"]),
                           e["hasAddress"]))
    text = c["text"]
    text = (text.decode("latin-1") if isinstance(text, bytes) else text).rstrip("\x00")
    return snapshot, text, c["when"], queues


def encode_shapes_answer(settings, message, total):
    a = ShapesAnswer()
    a["count"] = len(settings)
    items = []
    for values in settings:
        q = QueueSettings()
        for key, value in zip(("queueIndex", "Id", "Language", "IdentifyHardware",
                               "SnmpCommunity", "IsToArchive", "IsToCheckCounterAfterPrint",
                               "reserved"), values):
            q[key] = lpstr(value) if key == "SnmpCommunity" else value
        items.append(q)
    a["settings"] = items if items else NULL
    units = list(struct.unpack("<%dH" % len(message), message.encode("utf-16le")))
    a["textLength"] = len(units)
    a["message"] = units if units else NULL
    a["total"] = total
    return a.getData()


def decode_shapes_answer(stub):
    a = ShapesAnswer(stub)
    settings = []
    if a.fields["settings"].fields["ReferentID"]:
        for q in a["settings"]:
            settings.append((q["queueIndex"], q["Id"], q["Language"], q["IdentifyHardware"],
                             text_of(q.fields["SnmpCommunity"]), q["IsToArchive"],
                             q["IsToCheckCounterAfterPrint"], q["reserved"]))
    units = a["message"] if a.fields["message"].fields["ReferentID"] else []
    message = struct.pack("<%dH" % len(units), *units).decode("utf-16le")
    return a["count"], settings, a["textLength"], message, a["total"]


def shapes_interface(handler, call_id, opnum, stub):
    if opnum == 3:
        return encode_shapes_answer(*compute_shapes(*decode_shapes_request(stub)))
    return fault(call_id, 0x1C010002)


# The central server's interface, from impacket's NDR classes.
class CounterJobLink(NDRSTRUCT):
    structure = (("storeRecordId", LONG), ("jobNumber", LONG), ("one", LONG))


class LongArray(NDRUniConformantArray):
    item = "<l"


class PLongArray(NDRPOINTER):
    referent = (("Data", LongArray),)


class RegisterAgentCall(NDRCALL):
    opnum = 37
    structure = (("agentKind", BYTE), ("computerName", STR), ("queueCount", SHORT),
                 ("queues", PQueueEntryArray))


class RegisterAgentAnswer(NDRCALL):
    structure = (("status", SHORT), ("clientId", LONG), ("freeGbRequiredToArchive", BYTE),
                 ("daysToKeepArchivedFile", SHORT), ("canQueryMfCopy", SHORT),
                 ("textLength", SHORT), ("text", PWCharArray), ("settingsCount", SHORT),
                 ("settings", PQueueSettingsArray), ("jsonLength", LONG), ("json", PByteArray))


class ReportJobCall(NDRCALL):
    opnum = 34
    structure = (("clientId", LONG), ("queueName", STR), ("portAddress", STR),
                 ("userName", STR), ("owner", STR), ("networkPort", CHAR),
                 ("submitted", DOUBLE), ("pages", LONG), ("colourPages", LONG),
                 ("monoPages", LONG), ("copies", LONG), ("documentName", STR),
                 ("spoolerJobId", LONG), ("paperCode", SHORT), ("paperName", STR),
                 ("colour", SHORT), ("duplex", SHORT), ("resent", BYTE), ("fresh", BYTE),
                 ("agentVersion", STR), ("machineName", STR), ("language", SHORT),
                 ("one", SHORT), ("reexamined", BYTE))


class ReportJobAnswer(NDRCALL):
    structure = (("idCount", SHORT), ("serverJobIds", PLongArray), ("status", SHORT),
                 ("messageLength", LONG), ("message", PWCharArray), ("jsonLength", LONG),
                 ("json", PByteArray))


class UploadFileChunkCall(NDRCALL):
    opnum = 23
    structure = (("serverJobId", LONG), ("count", SHORT), ("data", PByteArray), ("last", BYTE))


class ReportHardwareCountersCall(NDRCALL):
    opnum = 40
    structure = (("snapshot", CounterSnapshot), ("link", CounterJobLink),
                 ("hasJobNumber", BYTE))


class CancelJobCall(NDRCALL):
    opnum = 5
    structure = (("serverJobId", LONG),)


class ShortAnswer(NDRCALL):
    structure = (("result", SHORT),)


def narrow(call, name):
    """A top-level [string] char* parameter in the agent's code page (Windows-1252)."""
    data = call.fields[name].fields["Data"]
    assert data.endswith(b"\x00"), (name, data)
    return data[:-1].decode("cp1252")


def embedded(pointer):
    if pointer.fields["ReferentID"] == 0:
        return None
    data = pointer.fields["Data"].fields["Data"]
    assert data.endswith(b"\x00"), data
    return data[:-1].decode("cp1252")


def units(text):
    return list(struct.unpack("<%dH" % (len(text.encode("utf-16le")) // 2),
                              text.encode("utf-16le")))


def short(value):
    a = ShortAnswer()
    a["result"] = value
    return a.getData()


REGISTRATION_JSON = b'{"printers":[{"emfCopiesReading":false}]}'
JOB_JSON = '{"watermark":"CONFIDENCIAL","feedbackMessage":"Impress\u00e3o: R$ 1,20"}'


def central_interface(received):
    """A central server that decodes each call into `received` and answers as the test
    expects; a call it cannot decode is answered with bad stub data."""

    def serve(handler, call_id, opnum, stub):
        try:
            if opnum == 37:
                c = RegisterAgentCall(stub)
                queues = []
                if c.fields["queues"].fields["ReferentID"]:
                    for e in c["queues"]:
                        queues.append((embedded(e.fields["queueName"]),
                                       embedded(e.fields["portAddress"]), e["hasAddress"]))
                received.append(("register", c["agentKind"], narrow(c, "computerName"),
                                 c["queueCount"], queues))
                a = RegisterAgentAnswer()
                a["status"], a["clientId"] = 0, 4242
                a["freeGbRequiredToArchive"], a["daysToKeepArchivedFile"] = 3, 45
                a["canQueryMfCopy"] = 0
                a["textLength"], a["text"] = 3, units("Olá")
                items = []
                for values in ((0, 501, 12, 1, "priv", 1, 0, 9), (1, 502, 0, 0, None, 0, 1, 0)):
                    q = QueueSettings()
                    for key, value in zip(("queueIndex", "Id", "Language", "IdentifyHardware",
                                           "SnmpCommunity", "IsToArchive",
                                           "IsToCheckCounterAfterPrint", "reserved"), values):
                        q[key] = lpstr(value) if key == "SnmpCommunity" else value
                    items.append(q)
                a["settingsCount"], a["settings"] = len(items), items
                a["jsonLength"], a["json"] = len(REGISTRATION_JSON), REGISTRATION_JSON
                return a.getData()
            if opnum == 34:
                c = ReportJobCall(stub)
                fields = {}
                for name, kind in ReportJobCall.structure:
                    fields[name] = narrow(c, name) if kind is STR else c[name]
                received.append(("job", fields))
                a = ReportJobAnswer()
                a["idCount"], a["serverJobIds"] = 2, [900, 901]
                a["status"] = 0
                a["messageLength"], a["message"] = 0, NULL
                data = JOB_JSON.encode("utf-8")
                a["jsonLength"], a["json"] = len(data), data
                return a.getData()
            if opnum == 23:
                c = UploadFileChunkCall(stub)
                data = b"".join(c["data"]) if c.fields["data"].fields["ReferentID"] else None
                received.append(("chunk", c["serverJobId"], c["count"], data, c["last"]))
                return short(0)
            if opnum == 40:
                c = ReportHardwareCountersCall(stub)
                s = c["snapshot"]
                lines = []
                if s.fields["lines"].fields["ReferentID"]:
                    for line in s["lines"]:
                        lines.append((line["first"], line["second"], line["kind"],
                                      embedded(line.fields["paperSize"])))
                received.append(("hardware",
                                 [embedded(s.fields[k]) for k in
                                  ("deviceText1", "deviceText2", "deviceText3")],
                                 s["value1"], s["value2"], s["readingTime"], s["lineCount"],
                                 lines, (c["link"]["storeRecordId"], c["link"]["jobNumber"],
                                         c["link"]["one"]), c["hasJobNumber"]))
                return short(0)
            if opnum == 5:
                received.append(("cancel", CancelJobCall(stub)["serverJobId"]))
                return short(0)
        except Exception as e:  # the test sees what went wrong
            received.append(("undecodable", opnum, repr(e)))
            return fault(call_id, 1783)
        return fault(call_id, 0x1C010002)

    return serve


def probe(*args, env=None, timeout=60):
    done = subprocess.run([PROBE, *map(str, args)], capture_output=True, timeout=timeout,
                          env=env)
    lines = done.stdout.decode("utf-8").strip().splitlines()
    return [eval(line.replace("true", "True").replace("false", "False").replace("null", "None"))
            for line in lines]


class OurClientImpacketServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.peer = PeerServer({ECHO: shapes_interface})

    @classmethod
    def tearDownClass(cls):
        cls.peer.shutdown()
        cls.peer.server_close()

    def test_every_structure_shape(self):
        (got,) = probe("shapes", "127.0.0.1", self.peer.port)
        self.assertEqual((got["status"], got["ok"]), (0, True), got)


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

    def test_every_structure_shape(self):
        dce = self.connect()
        case = SHAPES_CASE
        dce.call(3, encode_shapes_request(case))
        count, settings, length, message, total = decode_shapes_answer(dce.recv())
        want_settings, want_message, want_total = compute_shapes(
            case["snapshot"], case["text"], case["when"], case["queues"])
        self.assertEqual(settings, want_settings)
        self.assertEqual(count, len(want_settings))
        self.assertEqual(message, want_message)
        self.assertEqual(length, len(want_message))
        self.assertEqual(total, want_total)



class GatewayImpacketServer(unittest.TestCase):
    """The agent's gateway registers, reports a job, uploads files, reports a counter reading
    and cancels a job at a central server of impacket's making."""

    def test_the_whole_conversation(self):
        received = []
        peer = PeerServer({CENTRAL: central_interface(received)})
        self.addCleanup(peer.server_close)
        self.addCleanup(peer.shutdown)
        machine = tempfile.mkdtemp(prefix="contract-machine-")
        with open(os.path.join(machine, "registry.reg"), "w", encoding="cp1252",
                  newline="\r\n") as f:
            f.write("REGEDIT4\n\n"
                    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                    "TimeZoneInformation]\n\"Bias\"=dword:000000b4\n")  # UTC-3
        env = dict(os.environ, TOLLGATE_MACHINE=machine)
        results = probe("gateway", "127.0.0.1", peer.port, env=env)
        undecodable = [r for r in received if r[0] == "undecodable"]
        self.assertEqual(undecodable, [])

        register = [r for r in received if r[0] == "register"]
        self.assertEqual(register, [("register", 4, "TOLLSRV01", 2,
                                     [("Recepção", "10.0.0.7", 1), ("Local", None, 0)])])
        self.assertEqual(results[0]["register"], None)
        self.assertEqual(results[0]["clientId"], 4242)
        self.assertEqual((results[0]["FreeGBRequiredToArchive"],
                          results[0]["DaysToKeepArchivedFile"], results[0]["CanQueryMFCopy"]),
                         ("3", "45", "0"))
        self.assertEqual(results[0]["Recepção"], {
            "Id": "501", "Language": "12", "IdentifyHardware": "1", "IsToArchive": "1",
            "IsToCheckCounterAfterPrint": "0", "SnmpCommunity": "priv",
            "EmfCopiesReading": "0"})
        self.assertEqual(results[0]["Local"], {
            "Id": "502", "Language": "0", "IdentifyHardware": "0", "IsToArchive": "0",
            "IsToCheckCounterAfterPrint": "1", "SnmpCommunity": None,
            "EmfCopiesReading": "1"})

        jobs = [r[1] for r in received if r[0] == "job"]
        self.assertEqual(len(jobs), 2)
        self.assertEqual(jobs[0], {
            "clientId": 4242, "queueName": "Recepção", "portAddress": "10.0.0.7",
            "userName": "joão", "owner": "João Silva", "networkPort": 1,
            "submitted": 46000.5 - 3 / 24, "pages": 4, "colourPages": 1, "monoPages": 3,
            "copies": 2, "documentName": "Relatório € 1.pdf", "spoolerJobId": 31,
            "paperCode": 9, "paperName": "A4", "colour": 1, "duplex": 1, "resent": 0,
            "fresh": 1, "agentVersion": "2.7.2.0", "machineName": "\\\\PC-07",
            "language": 12, "one": 1, "reexamined": 1})
        self.assertEqual(results[1], {"job": None, "decision": False,
                                      "records": [[900, 6], [901, 2]],
                                      "watermark": "CONFIDENCIAL",
                                      "feedbackMessage": "Impressão: R$ 1,20"})

        chunks = [r[1:] for r in received if r[0] == "chunk"]
        data = bytes((i * 7) & 0xFF for i in range(40000))
        self.assertEqual([(c[0], c[1], c[3]) for c in chunks],
                         [(900, 32767, 0), (900, 7233, 1), (901, 32767, 0), (901, 0, 1),
                          (900, 0, 1)])
        self.assertEqual(chunks[0][2] + chunks[1][2], data)
        self.assertEqual(chunks[2][2], data[:32767])
        self.assertEqual((chunks[3][2], chunks[4][2]), (None, None))  # empty: a null array
        self.assertEqual([r["result"] for r in results[2:5]], [None, None, None])

        hardware = [r[1:] for r in received if r[0] == "hardware"]
        self.assertEqual(hardware, [(["MFP-4000", "Recepção", "série 77"], 1000, 20, 46000.25,
                                     3, [(0, 60, 0, None), (30, 0, 1, None), (8, 8, 1, "A3")],
                                     (900, 31, 1), 1)])
        self.assertEqual(results[5], {"hardware": None})
        self.assertEqual([r for r in received if r[0] == "cancel"], [("cancel", 11)])
        self.assertEqual(results[6], {"cancel": None})

        # What Windows-1252 cannot hold goes as numeric character references; a literal "&#"
        # is escaped; the rest of the wire is as before.
        raw = {k: jobs[1][k].encode("cp1252") for k in
               ("userName", "owner", "documentName", "machineName", "queueName")}
        self.assertEqual(raw, {"userName": b"&#26446;&#26126;", "owner": b"&#29579;&#33459;",
                               "documentName": b"a&#38;#65;b &#128512;",
                               "machineName": b"\\\\PC-&#321;",
                               "queueName": "Recepção".encode("cp1252")})
        self.assertEqual(results[7], {"names": None})


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
