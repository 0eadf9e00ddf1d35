#!/usr/bin/env python3
"""The road under every outage at once: jobs are printed every tenth of a second while, once a
cycle, the spooler crashes, the agent's data folder fills up, the agent's process is killed
(its service is started again by the machine's control manager) and the folder empties; every
other cycle (the first among them) the central server stops and starts again meanwhile. At the end every job that printed must be in the ledger exactly
once, and every job that printed before the agent released it must have spooled while no agent
was watching (its process dead, or the spooler restarting), and be in the ledger all the same.

    road_soak.py BIN TESTDATA [--cycles N] [--cycle-seconds S]

The README's soak runs ten cycles of a minute; CI runs one short cycle. Filling the data folder
needs root (a tmpfs of 64 MiB is mounted over it); without it that step is left out and said so.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine_support import free_port, machine_pid, wait_for  # noqa: E402

REGISTRY = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="{spool}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Recepção]
"Port"="IP_10.0.0.5"
"Printer Driver"="HP Universal Printing PCL 6"
"Attributes"=dword:00000140

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Balcão]
"Port"="LPT1:"
"Printer Driver"="Generic / Text Only"
"Attributes"=dword:00000140

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Standard TCP/IP Port\Ports\IP_10.0.0.5]
"IPAddress"="10.0.0.5"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports]
"LPT1:"=""

[HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Tollgate Client]
"OnRemoteFailureWaitMinutes"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Spooler]
"RecoveryDelay"=dword:000001f4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\TollgateClient]
"ImagePath"="tollagent /servicerun /server {address} /port {port}"
"Start"=dword:00000002
"DisplayName"="Tollgate Client"
"Type"=dword:00000010
"RecoveryDelay"=dword:000001f4
"""

FILES = [("Recepção", "d04.ljet4.pcl", None), ("Balcão", "text-3ff.txt", "datatype=TEXT")]
# Room for the jobs a soak keeps while the server is away; the filler takes the rest.
DATA_FOLDER_BYTES = 64 * 1024 * 1024


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


class Soak:
    def __init__(self, bin_dir, testdata, cycles, cycle_seconds):
        self.bin = bin_dir
        self.testdata = testdata
        self.cycles = cycles
        self.cycle = cycle_seconds
        self.tmp = tempfile.mkdtemp(prefix="road-soak-")
        self.machine = os.path.join(self.tmp, "machine")
        self.ledger = os.path.join(self.tmp, "ledger")
        self.data = os.path.join(self.machine, "ProgramData", "Tollgate", "Client")
        os.makedirs(self.data)
        os.makedirs(self.ledger)
        self.address = "127.0.0.1"
        self.port = free_port(self.address)
        self.server = None
        self.mounted = False
        self.submitted = {}  # job id -> (queue, title, time)
        self.refused = 0
        self.outages = []  # (kind, start, end) in time.time()
        self.stop_printing = threading.Event()
        self.env = dict(os.environ, TOLLGATE_MACHINE=self.machine,
                        TOLLGATE_SPOOL_OBSERVER_STEP_MS="300",
                        TOLLGATE_AGENT_ENDPOINT=str(free_port("127.0.0.1")),
                        PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))

    # -- the programs ------------------------------------------------------------------------
    def tm(self, *args, timeout=60):
        return subprocess.run([os.path.join(self.bin, "tollmachine"), *args], env=self.env,
                              capture_output=True, timeout=timeout)

    def start_server(self):
        self.server_err = open(os.path.join(self.tmp, "tollserver.txt"), "ab")
        self.server = subprocess.Popen(
            [os.path.join(self.bin, "tollserver"), "--port", str(self.port), "--data",
             self.ledger], stderr=self.server_err)
        if not wait_for(lambda: read(os.path.join(self.tmp, "tollserver.txt")).count(
                b"listening") >= self.server_starts + 1, 20):
            raise RuntimeError("tollserver did not start")
        self.server_starts += 1

    def stop_server(self):
        if self.server is not None:
            self.server.terminate()
            self.server.wait(10)
            self.server = None
            self.server_err.close()

    def log(self):
        return read(os.path.join(self.data, "events_0.log")).decode("cp1252", "replace")

    def journal(self):
        text = read(os.path.join(self.machine, "spooler.jsonl")).decode("utf-8", "replace")
        out = []
        for line in text.splitlines():
            try:
                out.append(json.loads(line))
            except ValueError:
                pass
        return out

    def ledger_jobs(self):
        done = subprocess.run([os.path.join(self.bin, "tollserver"), "jobs", "--data",
                               self.ledger], capture_output=True)
        lines = done.stdout.decode("utf-8", "replace").splitlines()
        if not lines:
            return []
        head = lines[0].split("\t")
        return [dict(zip(head, l.split("\t"))) for l in lines[1:]]

    def agent_pid(self):
        out = self.tm("sc", "queryex", "TollgateClient").stdout.decode()
        for line in out.splitlines():
            if line.strip().startswith("PID"):
                return int(line.split(":")[1])
        return 0

    # -- the data folder ---------------------------------------------------------------------
    def mount_data_folder(self):
        if os.geteuid() != 0:
            print("soak: not root, the data folder is not filled")
            return
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % DATA_FOLDER_BYTES,
                               "tmpfs", self.data], capture_output=True)
        if done.returncode != 0:
            print("soak: cannot mount a tmpfs (%s), the data folder is not filled" %
                  done.stderr.decode().strip())
            return
        self.mounted = True

    def fill(self):
        if not self.mounted:
            return
        with open(os.path.join(self.data, "filler"), "wb") as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
                    f.flush()
            except OSError:
                pass
        # Byte by byte to the last one.
        try:
            with open(os.path.join(self.data, "filler2"), "wb", buffering=0) as f:
                while True:
                    f.write(b"\0" * 512)
        except OSError:
            pass

    def empty(self):
        for name in ("filler", "filler2"):
            try:
                os.remove(os.path.join(self.data, name))
            except FileNotFoundError:
                pass

    # -- printing ----------------------------------------------------------------------------
    def printer(self):
        n = 0
        while not self.stop_printing.is_set():
            queue, name, option = FILES[n % len(FILES)]
            title = "soak-%06d" % n
            args = ["print", "-P", queue, "-U", "user%d" % (n % 7), "-H", "WS042", "-T", title]
            if option:
                args += ["-o", option]
            at = time.time()
            try:
                done = self.tm(*args, os.path.join(self.testdata, name), timeout=30)
            except subprocess.TimeoutExpired:
                done = None
            if done is not None and done.returncode == 0 and done.stdout.split():
                self.submitted[int(done.stdout.split()[0])] = (queue, title, at)
            else:
                self.refused += 1  # the spooler was down: nothing was submitted
            n += 1
            self.stop_printing.wait(max(0.0, 0.1 - (time.time() - at)))

    # -- outages -----------------------------------------------------------------------------
    def crash_spooler(self):
        start = time.time()
        restarted = "O spooler de impressão terminou de forma inesperada."
        count = self.log().count(restarted)
        self.tm("crash", "Spooler")
        # The window ends once the agent says it watches again, and a moment for it to do so.
        wait_for(lambda: self.log().count(restarted) > count, 30, 0.2)
        self.outages.append(("spooler", start, time.time() + 3))

    def kill_agent(self):
        pid = self.agent_pid()
        path = os.path.join(self.data, "events_0.log")
        old = os.stat(path).st_ino if os.path.exists(path) else None
        start = time.time()
        if pid:
            os.kill(pid, signal.SIGKILL)
        wait_for(lambda: self.agent_pid() not in (0, pid), 30, 0.2)
        # Each run of the agent starts a new file log.
        # (A full data folder may leave it without one: then a few seconds.)
        wait_for(lambda: os.path.exists(path) and os.stat(path).st_ino != old and
                 "Starting..." in self.log(), 8, 0.2)
        self.outages.append(("agent", start, time.time() + 3))

    def schedule(self, cycle):
        """One cycle's steps. The server is away every other cycle: the store tries again a
        minute after a failure, which would otherwise fall into the next cycle's outage each
        time and never find the server."""
        c = self.cycle
        away = cycle % 2 == 0
        steps = [(0.10 * c, "crash the spooler", self.crash_spooler),
                 (0.25 * c, "stop the server", self.stop_server if away else None),
                 (0.35 * c, "fill the data folder", self.fill),
                 (0.50 * c, "kill the agent", self.kill_agent),
                 (0.60 * c, "empty the data folder", self.empty),
                 (0.70 * c, "start the server", self.start_server if away else None)]
        return [step for step in steps if step[2] is not None]

    # -- the run -----------------------------------------------------------------------------
    def run(self):
        spool = os.path.join(self.machine, "spool").replace("/", "\\\\")
        with open(os.path.join(self.machine, "registry.reg"), "wb") as f:
            f.write(b"\xff\xfe" + REGISTRY.format(spool=spool, address=self.address,
                                                   port=self.port).encode("utf-16-le"))
        self.mount_data_folder()
        self.server_starts = 0
        self.start_server()
        if self.tm("start").returncode != 0:
            raise RuntimeError("the machine did not start")
        if not wait_for(lambda: "Starting..." in self.log(), 30):
            raise RuntimeError("the agent did not start: " + self.log())
        time.sleep(1.5)
        began = time.time()
        printing = threading.Thread(target=self.printer, daemon=True)
        printing.start()
        for cycle in range(self.cycles):
            start = began + cycle * self.cycle
            for offset, what, action in self.schedule(cycle):
                delay = start + offset - time.time()
                if delay > 0:
                    time.sleep(delay)
                print("soak: %6.1f s cycle %d: %s" % (time.time() - began, cycle + 1, what),
                      flush=True)
                action()
            end = start + self.cycle
            if time.time() < end:
                time.sleep(end - time.time())
        self.stop_printing.set()
        printing.join(60)
        printed_for = time.time() - began
        return self.check(printed_for)

    def check(self, printed_for):
        # Every job spooled reaches its end in the spooler; the kept ones reach the ledger
        # once the store's retry wait (a minute) is over.
        def settled():
            journal = self.journal()
            ended = {(e["queue"], e["job"]) for e in journal
                     if e["event"] in ("printed", "deleted", "cancelled")}
            return all((q, j) in ended for j, (q, _, _) in self.submitted.items())
        wait_for(settled, 60, 0.5)
        titles = {title for _, title, _ in self.submitted.values()}

        def ledger_titles():
            return [j["document"] for j in self.ledger_jobs() if j["document"] in titles]

        journal = self.journal()
        printed = {}
        released_by_agent = set()
        spooled_at = {}
        for e in journal:
            key = (e["queue"], e["job"])
            if e["event"] == "resumed" and e.get("by") == "tollagent":
                released_by_agent.add(key)
            if e["event"] == "printed":
                printed[key] = e
        for job, (queue, title, at) in self.submitted.items():
            spooled_at[title] = at
        expected = {t for j, (q, t, _) in self.submitted.items() if (q, j) in printed}
        wait_for(lambda: expected <= set(ledger_titles()), 150, 1.0)
        rows = ledger_titles()
        counts = {}
        for title in rows:
            counts[title] = counts.get(title, 0) + 1
        missing = sorted(t for t in expected if counts.get(t, 0) == 0)
        twice = sorted(t for t, n in counts.items() if n > 1)
        undecided = []
        after_outage = 0
        for job, (queue, title, at) in self.submitted.items():
            key = (queue, job)
            if key not in printed or key in released_by_agent:
                continue
            in_outage = any(start - 1 <= at <= end for _, start, end in self.outages)
            if in_outage:
                after_outage += 1
            else:
                undecided.append(title)
        deleted = sum(1 for j, (q, _, _) in self.submitted.items() if (q, j) not in printed)
        print("soak: %.0f s of printing, %d cycles: %d jobs submitted, %d refused while the "
              "spooler was down, %d printed, %d released by the agent, %d printed while no "
              "agent watched and reported afterwards, %d not printed" % (
                  printed_for, self.cycles, len(self.submitted), self.refused, len(printed),
                  len(released_by_agent), after_outage, deleted))
        print("soak: ledger: %d rows for this run's jobs, %d missing, %d more than once, %d "
              "printed undecided outside an outage" % (len(rows), len(missing), len(twice),
                                                      len(undecided)))
        ok = True
        for what, items in (("missing from the ledger", missing),
                            ("in the ledger more than once", twice),
                            ("printed undecided outside an outage", undecided)):
            if items:
                ok = False
                print("soak: FAILED: %d jobs %s: %s" % (len(items), what, " ".join(items[:20])))
        if deleted:
            ok = False
            print("soak: FAILED: %d jobs never printed" % deleted)
        return ok

    def cleanup(self):
        self.stop_printing.set()
        if self.tm("stop", timeout=60).returncode != 0:
            pid = machine_pid(self.machine)
            if pid:
                os.kill(pid, signal.SIGKILL)
        self.stop_server()
        if self.mounted:
            keep = os.path.join(self.tmp, "data-folder")
            shutil.copytree(self.data, keep, ignore=shutil.ignore_patterns("filler*"))
            subprocess.run(["umount", "-l", self.data])
        if os.environ.get("SOAK_KEEP"):
            print("soak: kept " + self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("testdata")
    parser.add_argument("--cycles", type=int, default=10)
    parser.add_argument("--cycle-seconds", type=float, default=60.0)
    args = parser.parse_args()
    soak = Soak(os.path.abspath(args.bin), os.path.abspath(args.testdata), args.cycles,
                args.cycle_seconds)
    try:
        ok = soak.run()
    finally:
        soak.cleanup()
    print("soak: %s" % ("passed" if ok else "FAILED"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
