#!/usr/bin/env python3
"""End-to-end checks of tollmachine: the simulated machine's system process with its service
control manager, event log, spooler and registry, driven as an administrator drives it and
read back through its journal, its event log and its printed files."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from machine_support import wait_for, machine_pid, free_port


BIN = None
TESTDATA = None
WRITER = None

REGISTRY = r"""REGEDIT4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="{spool}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Recepção]
"Port"="IP_10.0.0.5"
"Printer Driver"="HP Universal Printing PCL 6"
"Attributes"=dword:00000040

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Balcão]
"Port"="LPT1:"
"Printer Driver"="Generic / Text Only"
"Status"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Standard TCP/IP Port\Ports\IP_10.0.0.5]
"IPAddress"="10.0.0.5"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports]
"LPT1:"=""

; The agent runs as the machine's service but keeps its hands off these queues.
[HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Tollgate Client\Printers\Recepção]
"KeepHistory"="0"

[HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Tollgate Client\Printers\Balcão]
"KeepHistory"="0"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Spooler]
"RecoveryDelay"=dword:000001f4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\TollgateClient]
"ImagePath"="tollagent /servicerun /server 127.0.0.1"
"Start"=dword:00000002
"DisplayName"="Tollgate Client"
"Type"=dword:00000010
"""


def read(path):
    with open(path, "rb") as f:
        return f.read()


class MachineTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tollmachine-e2e-")
        self.machine = os.path.join(self.tmp, "machine")
        os.makedirs(self.machine)
        spool = os.path.join(self.machine, "spool").replace("\\", "\\\\")
        with open(os.path.join(self.machine, "registry.reg"), "wb") as f:
            f.write(REGISTRY.format(spool=spool).encode("cp1252"))
        # The agent's own endpoint is one of this run's: other tests' agents may hold 7002.
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.machine,
                        TOLLGATE_AGENT_ENDPOINT=str(free_port()))
        self.addCleanup(self.cleanup)

    def cleanup(self):
        if self.tm("stop", check=False).returncode != 0:
            pid = machine_pid(self.machine)
            if pid:
                os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def tm(self, *args, check=True, stdin=None, timeout=60):
        done = subprocess.run([os.path.join(BIN, "tollmachine"), *args], env=self.env,
                              input=stdin, capture_output=True, timeout=timeout)
        if check:
            self.assertEqual(done.returncode, 0, (args, done.stdout, done.stderr))
        return done

    def start(self):
        self.tm("start")

    def events(self):
        return self.tm("events").stdout.decode().splitlines()

    def journal(self):
        path = os.path.join(self.machine, "spooler.jsonl")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def jobs(self):
        lines = self.tm("jobs").stdout.decode().splitlines()
        self.assertEqual(lines[0].split("\t")[0], "ID")
        return [dict(zip(["id", "queue", "user", "document", "status", "text", "pages", "size"],
                         line.split("\t"))) for line in lines[1:]]

    def service_state(self, name):
        out = self.tm("sc", "queryex", name).stdout.decode()
        state = re.search(r"STATE\s+: \d+\s+(\w+)", out).group(1)
        pid = int(re.search(r"PID\s+: (\d+)", out).group(1))
        return state, pid


class ServicesAndEvents(MachineTest):
    def test_the_agent_service_runs_and_its_death_is_recorded(self):
        self.start()
        self.assertEqual(self.tm("status").stdout, b"running\n")
        state, pid = wait_for(lambda: (lambda s: s if s[0] == "RUNNING" else None)(
            self.service_state("TollgateClient")))
        self.assertEqual(state, "RUNNING")
        self.assertGreater(pid, 0)
        self.assertIn("Starting...", read(os.path.join(
            self.machine, "ProgramData", "Tollgate", "Client", "events_0.log")).decode(
                "latin1"))
        follower = subprocess.Popen([os.path.join(BIN, "tollmachine"), "events", "--follow"],
                                    env=self.env, stdout=subprocess.PIPE)
        self.addCleanup(lambda: (follower.kill(), follower.wait(), follower.stdout.close()))
        self.assertIn(b"\t7036\t", follower.stdout.readline())  # the records so far
        os.kill(pid, signal.SIGKILL)
        # A reader waiting on the log's change notification gets the new record.
        followed = [follower.stdout.readline() for _ in range(2)]
        self.assertTrue(any(b"\t7034\t" in l for l in followed), followed)
        line = wait_for(lambda: next((l for l in self.events() if "\t7034\t" in l), None))
        self.assertIsNotNone(line, self.events())
        fields = line.split("\t")
        self.assertEqual(fields[1:4], ["Service Control Manager", "7034", "error"])
        self.assertEqual(fields[4:], ["Tollgate Client", "1"])
        self.assertEqual(self.service_state("TollgateClient")[0], "STOPPED")
        # Started again by hand, stopped cleanly: no error record.
        self.tm("sc", "start", "TollgateClient")
        self.assertEqual(wait_for(lambda: self.service_state("TollgateClient")[0] == "RUNNING"),
                         True)
        self.tm("sc", "stop", "TollgateClient")
        self.assertTrue(wait_for(lambda: self.service_state("TollgateClient")[0] == "STOPPED"))
        self.assertEqual(sum("\t7034\t" in l for l in self.events()), 1)
        self.assertTrue(any(l.endswith("\tTollgate Client\tstopped") for l in self.events()))

    def test_a_service_with_a_recovery_delay_is_started_again(self):
        self.start()
        self.tm("sc", "create", "Again", "binPath=", "tollagent /servicerun /server 127.0.0.1",
                "DisplayName=", "Again Service")
        self.tm("reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Services\Again", "/v",
                "RecoveryDelay", "/t", "REG_DWORD", "/d", "300", "/f")
        self.tm("sc", "start", "Again")
        # The agent reports running once its start sequence is through.
        state, pid = wait_for(lambda: (lambda s: s if s[0] == "RUNNING" else None)(
            self.service_state("Again")))
        self.assertEqual(state, "RUNNING")
        os.kill(pid, signal.SIGKILL)
        line = wait_for(lambda: next((l for l in self.events() if "\t7031\t" in l), None))
        self.assertEqual(line.split("\t")[4:], ["Again Service", "1", "300", "Restart the service"])
        again = wait_for(lambda: (lambda s: s if s[0] == "RUNNING" and s[1] != pid else None)(
            self.service_state("Again")))
        self.assertIsNotNone(again)
        self.assertFalse(any("\t7034\t" in l for l in self.events()))

    def test_sc_create_config_delete_keep_the_registry(self):
        self.start()
        done = self.tm("sc", "create", "Demo", "binPath=", "/bin/true x", "start=", "demand",
                       "DisplayName=", "Demo Service")
        self.assertEqual(done.stdout, b"[SC] CreateService SUCCESS\n")
        qc = self.tm("sc", "qc", "Demo").stdout.decode()
        self.assertIn("START_TYPE         : 3   DEMAND_START", qc)
        self.assertIn("DISPLAY_NAME       : Demo Service", qc)
        self.tm("sc", "config", "Demo", "start=", "disabled")
        q = self.tm("reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Services\Demo", "/v",
                    "Start").stdout.decode()
        self.assertIn("Start    REG_DWORD    0x4", q)
        refused = self.tm("sc", "start", "Demo", check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(b"[SC] StartService FAILED 1058:", refused.stdout)
        self.tm("sc", "delete", "Demo")
        gone = self.tm("sc", "query", "Demo", check=False)
        self.assertEqual(gone.returncode, 1)
        self.assertIn(b"[SC] OpenService FAILED 1060:", gone.stdout)
        self.assertNotEqual(self.tm("reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Services\Demo",
                                    check=False).returncode, 0)

    def test_a_process_that_never_connects_fails_its_start(self):
        self.start()
        self.tm("sc", "create", "Mute", "binPath=", "/bin/sleep 1")
        done = self.tm("sc", "start", "Mute", check=False, timeout=90)
        self.assertNotEqual(done.returncode, 0)
        self.assertTrue(wait_for(lambda: any("\t7000\t" in l and "\tMute\t" in l
                                             for l in self.events())))


class Spooler(MachineTest):
    def print_file(self, queue, path, *options, user="maria", host="WS042"):
        args = ["print", "-P", queue, "-U", user, "-H", host]
        for o in options:
            args += ["-o", o]
        done = self.tm(*args, path)
        return int(done.stdout.decode().strip())

    def test_a_real_driver_file_is_listed_journalled_and_printed(self):
        self.start()
        pcl = os.path.join(TESTDATA, "d04.ljet4.pcl")
        job = self.print_file("Balcão", pcl, "pages=4", "copies=2", "color=no")
        listed = [j for j in self.jobs() if j["id"] == str(job)]
        self.assertEqual(len(listed), 1)
        self.assertEqual(listed[0]["queue"], "Balcão")
        self.assertEqual(listed[0]["user"], "maria")
        self.assertEqual(listed[0]["document"], "d04.ljet4.pcl")
        self.assertEqual(listed[0]["status"], "spooled")
        self.assertEqual(listed[0]["pages"], "4")
        self.assertEqual(int(listed[0]["size"]), os.path.getsize(pcl))
        spl = os.path.join(self.machine, "spool", "%05u.spl" % job)
        self.assertEqual(read(spl), read(pcl))
        events = [(e["event"], e["by"]) for e in self.journal() if e["job"] == job]
        self.assertEqual(events, [("submitted", "tollmachine"), ("spooled", "tollmachine")])
        submitted = next(e for e in self.journal() if e["event"] == "submitted")
        self.assertEqual((submitted["user"], submitted["machine"], submitted["document"],
                          submitted["datatype"], submitted["queue"]),
                         ("maria", "\\\\WS042", "d04.ljet4.pcl", "RAW", "Balcão"))
        # The queue is paused ("Status" 1): the job waits. Paused by hand, it stays after the
        # queue is resumed; resumed, it prints.
        self.tm("pause", str(job))
        self.tm("reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\Balcão",
                "/v", "Status", "/t", "REG_DWORD", "/d", "0", "/f")
        time.sleep(1.5)  # the spooler reads its queues again every second
        self.assertEqual([j["status"] for j in self.jobs() if j["id"] == str(job)], ["paused"])
        self.tm("resume", str(job))
        printed = os.path.join(self.machine, "printed", "Balcão", "%u.prn" % job)
        self.assertTrue(wait_for(lambda: os.path.exists(printed) and not any(
            j["id"] == str(job) for j in self.jobs())))
        self.assertEqual(read(printed), read(pcl))
        self.assertFalse(os.path.exists(spl))
        events = [e["event"] for e in self.journal() if e["job"] == job]
        self.assertEqual(events, ["submitted", "spooled", "paused", "resumed", "printing",
                                  "printed"])
        last = [e for e in self.journal() if e["job"] == job][-1]
        self.assertEqual(last["file"], printed)
        self.assertEqual(last["by"], "spooler")

    def test_a_watcher_sees_a_slow_job_spooling_then_its_states(self):
        self.start()
        watcher = subprocess.Popen([os.path.join(BIN, "tollmachine"), "watch", "Recepção",
                                    "--seconds", "30"], env=self.env, stdout=subprocess.PIPE)
        self.addCleanup(lambda: (watcher.kill(), watcher.wait(), watcher.stdout.close()))
        self.assertEqual(json.loads(watcher.stdout.readline()), {"ready": True})
        lines = []
        threading.Thread(target=lambda: [lines.append(json.loads(l)) for l in watcher.stdout],
                         daemon=True).start()
        data = os.path.join(TESTDATA, "d02.cljet5.pcl")
        size = os.path.getsize(data)
        job = self.print_file("Recepção", data, "rate=%d" % max(size // 2, 1))
        self.assertTrue(wait_for(lambda: any(l.get("job") == job and l["status"] & 0x80
                                             for l in lines)), lines)
        seen = [l["words"] for l in lines if l.get("job") == job]
        self.assertEqual(seen[0], "spooling")
        self.assertIn("spooled", seen)
        self.assertIn("printing", seen)
        self.assertTrue(any("printed" in w for w in seen))

    def test_the_spooler_crashes_and_comes_back_with_its_jobs(self):
        self.start()
        job = self.print_file("Balcão", os.path.join(TESTDATA, "text-3ff.txt"), "datatype=TEXT")
        watcher = subprocess.Popen([os.path.join(BIN, "tollmachine"), "watch", "Balcão",
                                    "--seconds", "20"], env=self.env, stdout=subprocess.PIPE)
        self.addCleanup(lambda: (watcher.kill(), watcher.wait(), watcher.stdout.close()))
        self.assertEqual(json.loads(watcher.stdout.readline()), {"ready": True})
        self.tm("crash", "Spooler")
        # The notification of a crashed spooler fails: RPC_S_SERVER_UNAVAILABLE.
        self.assertEqual(json.loads(watcher.stdout.readline()), {"failed": 1722})
        line = wait_for(lambda: next((l for l in self.events() if "\t7031\t" in l), None))
        self.assertEqual(line.split("\t")[1:], ["Service Control Manager", "7031", "error",
                                                "Print Spooler", "1", "500",
                                                "Restart the service"])
        down = self.tm("jobs", check=False)
        if down.returncode != 0:
            self.assertIn(b"RPC server is unavailable", down.stderr)
        self.assertTrue(wait_for(lambda: self.tm("jobs", check=False).returncode == 0))
        self.assertEqual([j["id"] for j in self.jobs()], [str(job)])
        self.assertEqual(self.service_state("Spooler")[0], "RUNNING")

    def test_jobs_outlive_the_machine_process(self):
        self.start()
        job = self.print_file("Balcão", os.path.join(TESTDATA, "d06.ljet4d.pcl"), "pages=6")
        self.tm("pause", str(job))
        self.tm("stop")
        self.assertEqual(self.tm("status", check=False).stdout, b"not running\n")
        self.start()
        listed = [j for j in self.jobs() if j["id"] == str(job)]
        self.assertEqual([(j["status"], j["pages"], j["user"]) for j in listed],
                         [("paused", "6", "maria")])
        later = self.print_file("Balcão", os.path.join(TESTDATA, "text-3ff.txt"))
        self.assertGreater(later, job)

    def test_a_queue_added_to_the_registry_appears(self):
        self.start()
        self.tm("reg", "add", r"HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\Nova",
                "/v", "Port", "/d", "LPT1:", "/f")
        self.assertTrue(wait_for(lambda: self.tm("jobs", "Nova", check=False).returncode == 0))
        job = self.print_file("Nova", os.path.join(TESTDATA, "text-3ff.txt"))
        self.assertTrue(wait_for(lambda: os.path.exists(
            os.path.join(self.machine, "printed", "Nova", "%u.prn" % job))))

    def test_bad_print_options_are_refused(self):
        self.start()
        for option in ["color=maybe", "duplex=sideways", "copies=0", "devmode-extra=zz",
                       "rate=-1", "speed=3"]:
            done = self.tm("print", "-P", "Balcão", "-o", option, "-", stdin=b"x", check=False)
            self.assertEqual(done.returncode, 2, option)
        done = self.tm("print", "-P", "Nowhere", "-", stdin=b"x", check=False)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"printer name is invalid", done.stderr)
        self.assertEqual(self.tm("cancel", "999", check=False).returncode, 1)


class Registry(MachineTest):
    def test_reg_add_is_seen_by_the_next_read_of_another_process(self):
        self.start()
        key = r"HKLM\SOFTWARE\Velmora\Tollgate Client"
        self.tm("reg", "add", key, "/v", "ServerAddress", "/d", "acct01", "/f")
        self.assertIn("ServerAddress    REG_SZ    acct01",
                      self.tm("reg", "query", key, "/v", "ServerAddress").stdout.decode())
        self.tm("reg", "add", key, "/v", "ServerAddress", "/d", "acct02", "/f")
        self.assertIn("acct02", self.tm("reg", "query", key, "/v", "ServerAddress").stdout.decode())

    def test_reg_delete_and_recursive_query(self):
        self.start()
        base = r"HKLM\SOFTWARE\Velmora\Tree"
        self.tm("reg", "add", base + r"\A\B", "/v", "Deep", "/t", "REG_DWORD", "/d", "0x10", "/f")
        self.tm("reg", "add", base, "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", r"um\0dois", "/f")
        self.tm("reg", "add", base, "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10", "/f")
        out = self.tm("reg", "query", base, "/s").stdout.decode()
        self.assertIn("Multi    REG_MULTI_SZ    um\\0dois", out)
        self.assertIn("Bin    REG_BINARY    00FF10", out)
        self.assertIn("HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Tree\\A\\B\n    Deep    REG_DWORD    0x10", out)
        self.tm("reg", "delete", base, "/v", "Bin", "/f")
        self.assertNotIn("Bin", self.tm("reg", "query", base).stdout.decode())
        self.tm("reg", "delete", base, "/f")
        self.assertNotEqual(self.tm("reg", "query", base, check=False).returncode, 0)
        bad = self.tm("reg", "add", base, "/v", "N", "/t", "REG_DWORD", "/d", "zz", "/f", check=False)
        self.assertEqual(bad.returncode, 1)
        self.assertIn(b"ERROR: Invalid syntax.", bad.stderr)

    def test_two_writers_at_once_both_keep_their_values(self):
        for running in (False, True):
            with self.subTest(machine_process=running):
                if running:
                    self.start()
                self.two_writers("%s" % running)

    def two_writers(self, tag):
        writers = [subprocess.Popen([WRITER, "write", tag + prefix, "300"], env=self.env)
                   for prefix in ("A", "B")]
        for w in writers:
            self.assertEqual(w.wait(timeout=120), 0)
        out = self.tm("reg", "query", r"HKLM\SOFTWARE\Velmora\Stress").stdout.decode()
        for prefix in ("A", "B"):
            for i in range(300):
                self.assertIn("%s%s%d    REG_SZ    %d\n" % (tag, prefix, i, i), out)
        # The file holds both, and loads.
        self.tm("stop")
        text = read(os.path.join(self.machine, "registry.reg")).decode("cp1252")
        self.assertIn('"%sA299"="299"' % tag, text)
        self.assertIn('"%sB299"="299"' % tag, text)

    def test_a_hand_edit_while_running_is_taken_in(self):
        self.start()
        # The agent writes its queues' values while it starts: edit once it runs.
        self.assertTrue(wait_for(lambda: self.service_state("TollgateClient")[0] == "RUNNING"))
        self.tm("reg", "add", r"HKLM\SOFTWARE\Velmora\Mine", "/v", "Kept", "/d", "1", "/f")
        path = os.path.join(self.machine, "registry.reg")
        with open(path, "ab") as f:
            f.write(b'\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Hand]\r\n"Edited"="yes"\r\n')
        time.sleep(0.05)
        out = self.tm("reg", "query", r"HKLM\SOFTWARE\Velmora\Hand").stdout.decode()
        self.assertIn("Edited    REG_SZ    yes", out)
        self.tm("reg", "add", r"HKLM\SOFTWARE\Velmora\Mine", "/v", "After", "/d", "2", "/f")
        text = read(path)
        self.assertIn(b'"Edited"="yes"', text)
        self.assertIn(b'"Kept"="1"', text)
        # A broken edit is kept aside, never overwritten.
        with open(path, "ab") as f:
            f.write(b"\r\nthis is no registry line\r\n")
        time.sleep(0.05)
        self.tm("reg", "query", r"HKLM\SOFTWARE\Velmora\Mine")
        self.assertIn(b"this is no registry line",
                      read(path + ".rejected"))
        self.assertIn(b'"After"="2"', read(path))

    def test_import_takes_regedit_forms(self):
        self.start()
        f = os.path.join(self.tmp, "in.reg")
        with open(f, "wb") as out:
            out.write(b"\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n\r\n"
                      b"[HKEY_CURRENT_USER\\Software\\X]\r\n\"Skipped\"=\"1\"\r\n\r\n"
                      b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Imported]\r\n"
                      b"\"Fila\"=\"Recep\xc3\xa7\xc3\xa3o \xe2\x82\xac\"\r\n")
        self.tm("reg", "import", f)
        out = self.tm("reg", "query", r"HKLM\SOFTWARE\VELMORA\IMPORTED").stdout.decode()
        self.assertIn("Fila    REG_SZ    Recepção €", out)
        exported = os.path.join(self.tmp, "out.reg")
        self.tm("reg", "export", r"HKLM\SOFTWARE\Velmora", exported)
        text = read(exported)
        self.assertTrue(text.startswith(b"REGEDIT4") or text.startswith(b"\xff\xfe"))
        self.assertNotIn(b"CurrentControlSet", text)


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    TESTDATA = os.path.abspath(sys.argv.pop(1))
    WRITER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
