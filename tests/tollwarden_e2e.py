#!/usr/bin/env python3
"""End-to-end checks of tollwarden, the supervisor service: a simulated machine run by
tollmachine, the agent and the supervisor installed on it as an installer installs them, the
agent's process killed and its service reconfigured as an administrator would."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from machine_support import wait_for, free_port

BIN = None
AGENT = "tollgate client"
WARDEN = "tollwarden"
REPORT = "Tollgate Client Supervisor"
INTERVAL_MS = 500
SUPERVISOR_KEY = r"HKLM\SOFTWARE\Velmora\Tollgate Client Supervisor"

REGISTRY = r"""REGEDIT4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="{spool}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Recepção]
"Port"="LPT1:"
"Printer Driver"="Generic / Text Only"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports]
"LPT1:"=""

[HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Tollgate Client Supervisor]
"WatchIntervalMs"=dword:{interval:08x}
"""


class SupervisorTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tollwarden-e2e-")
        self.machine = os.path.join(self.tmp, "machine")
        os.makedirs(self.machine)
        spool = os.path.join(self.machine, "spool").replace("\\", "\\\\")
        with open(os.path.join(self.machine, "registry.reg"), "wb") as f:
            f.write(REGISTRY.format(spool=spool, interval=INTERVAL_MS).encode("cp1252"))
        # The agent's own endpoint is one of this run's: other tests' agents may hold 7002.
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.machine,
                        TOLLGATE_AGENT_ENDPOINT=str(free_port()))
        self.addCleanup(self.cleanup)
        self.tm("start")
        done = self.tm("install", "--server", "127.0.0.1")
        self.assertIn(b"started tollgate client\n", done.stdout)
        self.assertIn(b"started tollwarden\n", done.stdout)
        self.assertTrue(wait_for(lambda: self.state(AGENT)[0] == "RUNNING"), self.state(AGENT))
        self.assertTrue(wait_for(lambda: self.state(WARDEN)[0] == "RUNNING"))

    def cleanup(self):
        self.tm("stop", check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def tm(self, *args, check=True):
        done = subprocess.run([os.path.join(BIN, "tollmachine"), *args], env=self.env,
                              capture_output=True, timeout=90)
        if check:
            self.assertEqual(done.returncode, 0, (args, done.stdout, done.stderr))
        return done

    def state(self, name):
        out = self.tm("sc", "queryex", name, check=False).stdout.decode()
        found = re.search(r"STATE\s+: \d+\s+(\w+)", out)
        if not found:
            return None, 0
        return found.group(1), int(re.search(r"PID\s+: (\d+)", out).group(1))

    def events(self, log):
        lines = self.tm("events", "--log", log).stdout.decode().splitlines()
        return [line.split("\t") for line in lines]

    def supervisor_records(self):
        """Every record the supervisor wrote, in either log: all carry its report name."""
        records = [e for log in ("System", "Application") for e in self.events(log)]
        self.assertEqual([e for e in records if e[1] == ""], [])
        return [e for e in records if e[1] == REPORT]

    def supervisor_errors(self):
        return [e for e in self.supervisor_records() if e[2] not in ("103", "104")]

    def kill_agent(self):
        state, pid = self.state(AGENT)
        self.assertEqual(state, "RUNNING")
        os.kill(pid, signal.SIGKILL)
        self.assertTrue(wait_for(lambda: self.state(AGENT)[0] == "STOPPED", 5))
        return pid

    def stays_stopped(self):
        """The agent is still stopped after three checks."""
        time.sleep(3 * INTERVAL_MS / 1000 + 1)
        return self.state(AGENT)[0] == "STOPPED"

    def test_installed_as_an_installer_installs_them(self):
        qc = self.tm("sc", "qc", AGENT).stdout.decode()
        self.assertIn("AUTO_START", qc)
        path = re.search(r"BINARY_PATH_NAME   : (.*)", qc).group(1)
        self.assertEqual(path, '"%s" /servicerun /server 127.0.0.1' % os.path.join(BIN, "tollagent"))
        qc = self.tm("sc", "qc", WARDEN).stdout.decode()
        self.assertIn("AUTO_START", qc)
        self.assertIn('"%s"' % os.path.join(BIN, "tollwarden"), qc)
        self.assertIn("DISPLAY_NAME       : Tollgate Client Supervisor", qc)
        # The supervisor's start is event 104, a success without insertion strings, under the
        # name its watch reports with: a record without a source names nobody.
        self.assertIn([REPORT, "104", "success"], [e[1:] for e in self.events("Application")])
        self.assertEqual([e for e in self.supervisor_records() if e[1] == ""], [])

    def test_a_killed_agent_runs_again_within_the_next_check(self):
        old = self.kill_agent()
        started = time.time()
        state = wait_for(lambda: (lambda s: s if s[0] == "RUNNING" else None)(self.state(AGENT)),
                         15)
        self.assertIsNotNone(state)
        self.assertNotEqual(state[1], old)
        # Within the next check and the agent's own start (wait hint 10 s, looked at each second).
        took = time.time() - started
        self.assertLess(took, INTERVAL_MS / 1000 + 11)
        print("killed to RUNNING again: %.3f s" % took, file=sys.stderr)
        system = self.events("System")
        self.assertTrue(any(e[1:4] == ["Service Control Manager", "7034", "error"] for e in system))
        self.assertEqual(self.supervisor_errors(), [])

    def test_nothing_is_started_while_the_spooler_is_stopped(self):
        self.tm("sc", "stop", "Spooler")
        self.kill_agent()
        self.assertTrue(self.stays_stopped())
        self.tm("sc", "start", "Spooler")
        self.assertTrue(wait_for(lambda: self.state(AGENT)[0] == "RUNNING", 15))
        self.assertEqual(self.supervisor_errors(), [])

    def test_a_manual_start_agent_is_left_stopped(self):
        self.tm("sc", "config", AGENT, "start=", "demand")
        self.kill_agent()
        self.assertTrue(self.stays_stopped())
        self.tm("sc", "config", AGENT, "start=", "disabled")
        self.assertTrue(self.stays_stopped())
        self.tm("sc", "config", AGENT, "start=", "auto")
        self.assertTrue(wait_for(lambda: self.state(AGENT)[0] == "RUNNING", 15))
        self.assertEqual(self.supervisor_errors(), [])

    def test_no_agent_service_no_record(self):
        self.tm("sc", "stop", AGENT)
        self.assertTrue(wait_for(lambda: self.state(AGENT)[0] == "STOPPED", 10))
        before = len(self.events("Application")) + len(self.events("System"))
        self.tm("sc", "delete", AGENT)
        time.sleep(3 * INTERVAL_MS / 1000 + 1)
        self.assertEqual(self.state(WARDEN)[0], "RUNNING")
        self.assertEqual(len(self.events("Application")) + len(self.events("System")), before)

    def test_a_failed_start_is_an_error_record_of_each_check(self):
        self.tm("sc", "config", AGENT, "binPath=", "/nonexistent/tollagent /servicerun")
        self.kill_agent()
        records = wait_for(lambda: self.supervisor_errors()
                           if len(self.supervisor_errors()) >= 2 else None, 10)
        self.assertIsNotNone(records)
        for e in records:
            self.assertEqual(e[2:], ["0", "error", "StartService", "WinService::Start", "2",
                                     "The system cannot find the file specified.\\r\\n"])
        self.assertEqual(self.state(WARDEN)[0], "RUNNING")

    def test_a_stop_while_the_watch_sleeps_ends_the_service_at_once(self):
        # The product's 30-second wait: the stop must not wait for it.
        self.tm("reg", "delete", SUPERVISOR_KEY, "/f")
        self.tm("sc", "stop", WARDEN)
        self.assertTrue(wait_for(lambda: self.state(WARDEN)[0] == "STOPPED", 5))
        self.assertTrue(wait_for(lambda: self.tm("sc", "start", WARDEN, check=False).returncode
                                 == 0, 5))
        state, pid = self.state(WARDEN)
        self.assertEqual(state, "RUNNING")
        time.sleep(0.5)
        asked = time.time()
        self.tm("sc", "stop", WARDEN)
        self.assertTrue(wait_for(lambda: self.state(WARDEN)[0] == "STOPPED", 1, 0.02))
        stopped = time.time() - asked
        self.assertLess(stopped, 1.0)
        # Its process has ended too.
        def gone():
            try:
                os.kill(pid, 0)
                return False
            except OSError:
                return True
        self.assertTrue(wait_for(gone, 2))
        self.assertEqual([e[1:4] for e in self.supervisor_records()][-1],
                         [REPORT, "103", "success"])
        print("stop to STOPPED: %.3f s" % stopped, file=sys.stderr)

    def test_outside_a_control_manager_it_says_so(self):
        done = subprocess.run([os.path.join(BIN, "tollwarden")], capture_output=True, timeout=30,
                              env=dict(os.environ, TOLLGATE_MACHINE=os.path.join(self.tmp, "none")))
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stdout, b"Service failed to run w/err 0x00000427\n")


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
