#!/usr/bin/env python3
"""What scripts/demo shows, read from the machine and the ledger as a person would read them:
the spooler's journal (spooler.jsonl), the agent's file log (events_*.log, ISO 8859-1), the
workstation notifier's output and the central server's ledger (`tollserver jobs`, and its
database read-only for what that table leaves out: the spooler's job id, the language and
duplex). Nothing shown here is made up by the script.

  demo_view.py wait-ready                     the agent has registered its queues
  demo_view.py job QUEUE ID [--offline]       waits for the job's fate and prints its line
  demo_view.py job-printed QUEUE ID           waits for a released job to print and be charged
  demo_view.py ledger-job QUEUE DOCUMENT      waits for the job in the ledger, prints its line
  demo_view.py log TEXT [--after N]           waits for a line of the agent's file log
  demo_view.py log-count TEXT                 how many lines of the file log hold TEXT
  demo_view.py notify [--after N]             waits for a call to the workstation, prints it
  demo_view.py port FILE                      waits for "listening on ... port N" in FILE
  demo_view.py sweep TOKEN                    ends every process started by this demo run
Environment: TOLLGATE_MACHINE, DEMO_LEDGER (the server's data folder), DEMO_POLICY, DEMO_BIN,
DEMO_NOTIFY (the notifier's output), DEMO_TIMEOUT (seconds a wait lasts, default 30)."""
import glob
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import time

MACHINE = os.environ.get("TOLLGATE_MACHINE", "")
LEDGER = os.environ.get("DEMO_LEDGER", "")
POLICY = os.environ.get("DEMO_POLICY", "")
BIN = os.environ.get("DEMO_BIN", "")
NOTIFY = os.environ.get("DEMO_NOTIFY", "")
TIMEOUT = float(os.environ.get("DEMO_TIMEOUT", "30"))

# The agent's language numbers, as it reports them.
LANGUAGES = ["Unknown", "PCL", "PJL", "UEL", "PL_EOF", "BJ", "POSTSCRIPT", "PRESCRIBE", "ESCP2",
             "ZIMF", "CANON_IMAGERUNNER", "ZJSTREAM", "SHARP_GDI", "MINOLTADI16", "SPL",
             "CANON_IR2200", "LIDIL", "HPGL", "XQX", "WINDOWS_GDI", "XML", "XRX", "EMF", "TEXT",
             "PCLXL", "XPS", "PDF", "PDF_BANNER", "EJL"]

# The server's answers, by status.
DECISIONS = {0: "accepted", 1: "held: balance too low", 2: "deleted: balance too low",
             6: "asks for a cost centre", 12: "asks for confirmation",
             13: "asks to authenticate", 14: "asks to authenticate",
             15: "colour: held", 16: "colour: deleted", 17: "not duplex: held",
             18: "not duplex: deleted", 19: "held for release"}

HOLD_TEXTS = ("Aguardando centro de custo.", "Aguardando autenticação.",
              "Aguardando confirmação.")


def fail(text):
    print("demo: " + text, file=sys.stderr)
    sys.exit(1)


def wait_for(predicate, seconds=None, step=0.1):
    until = time.time() + (TIMEOUT if seconds is None else seconds)
    while True:
        value = predicate()
        if value or time.time() >= until:
            return value
        time.sleep(step)


def read(path, encoding="utf-8"):
    try:
        with open(path, "rb") as f:
            return f.read().decode(encoding, "replace")
    except FileNotFoundError:
        return ""


def journal():
    out = []
    for line in read(os.path.join(MACHINE, "spooler.jsonl")).splitlines():
        try:
            out.append(json.loads(line))
        except ValueError:
            pass  # a line being written
    return out


def job_events(queue, job):
    """The journal of the job's last submission to the queue (ids start again after a
    restart of the spooler with an empty queue)."""
    events = [e for e in journal() if e.get("queue") == queue and e.get("job") == job]
    starts = [i for i, e in enumerate(events) if e.get("event") == "submitted"]
    return events[starts[-1]:] if starts else events


def fate(events):
    """What the spooler did with the job: printed, deleted, held (with its status text), or
    None while it is on its way."""
    names = [e.get("event") for e in events]
    if "printed" in names:
        return "printed"
    if "deleted" in names or "cancelled" in names:
        by = next(e.get("by") for e in events if e.get("event") in ("deleted", "cancelled"))
        return "deleted by " + by
    texts = [e.get("text", "") for e in events if e.get("event") == "status-text"]
    paused = [i for i, e in enumerate(events)
              if e.get("event") == "paused" and e.get("by") == "tollagent"]
    resumed = [i for i, e in enumerate(events) if e.get("event") == "resumed"]
    if paused and texts and texts[-1] in HOLD_TEXTS and (not resumed or resumed[-1] < paused[-1]):
        return "held: " + texts[-1]
    return None


def ledger_rows():
    """The ledger's jobs: `tollserver jobs` joined with what its table leaves out."""
    path = os.path.join(LEDGER, "tollserver.db")
    if not os.path.exists(path):
        return []
    try:
        db = sqlite3.connect("file:" + path + "?mode=ro", uri=True, timeout=5)
        extra = {r[0]: r[1:] for r in db.execute(
            "SELECT job_id, spooler_job_id, language, duplex, colour, message FROM jobs")}
        db.close()
    except sqlite3.Error:
        return []
    args = [os.path.join(BIN, "tollserver"), "jobs", "--data", LEDGER]
    if POLICY:
        args += ["--policy", POLICY]
    done = subprocess.run(args, capture_output=True)
    if done.returncode != 0:
        return []
    lines = done.stdout.decode("utf-8", "replace").splitlines()
    if not lines:
        return []
    head = lines[0].split("\t")
    rows = []
    for line in lines[1:]:
        row = dict(zip(head, line.split("\t")))
        more = extra.get(int(row["job"]))
        if more is None:
            continue
        row["spooler job"], row["language"], row["duplex"], row["colour flag"], row["message"] = more
        rows.append(row)
    return rows


def ledger_row(queue, job=None, document=None):
    found = [r for r in ledger_rows() if r["printer"] == queue and
             (job is None or r["spooler job"] == job) and
             (document is None or r["document"] == document)]
    return found[-1] if found else None


def colour_text(row):
    if row["colour flag"] or int(row["colour"]) > 0:
        return "colour %s p." % row["colour"]
    return "mono"


def line(queue, spooler_job, row, spooler_fate, user=None):
    """One job as the demo shows it."""
    if row is None:
        return "     %-10s %-6s %-10s %-11s %-13s %-7s %-24s %-34s %s" % (
            queue, user or "?", "-", "-", "-", "-", "not in the ledger yet", spooler_fate, "-")
    language = LANGUAGES[row["language"]] if 0 <= row["language"] < len(LANGUAGES) else "?"
    pages = "%s p. x %s" % (row["pages"], row["copies"])
    decision = DECISIONS.get(int(row["status"]), "status " + row["status"])
    return "     %-10s %-6s %-10s %-11s %-13s %-7s %-24s %-34s %s" % (
        queue, row["user"], language, pages, colour_text(row),
        "duplex" if row["duplex"] else "simplex", decision, spooler_fate, row["cost"])


def header():
    return "     %-10s %-6s %-10s %-11s %-13s %-7s %-24s %-34s %s" % (
        "queue", "user", "language", "pages", "colour", "duplex", "server's decision",
        "in the spooler", "cost")


def cmd_job(args):
    queue, job = args[0], int(args[1])
    offline = "--offline" in args
    events = wait_for(lambda: (lambda ev: ev if fate(ev) else None)(job_events(queue, job)))
    if not events:
        fail("job %d of %s: no fate in spooler.jsonl after %ds: %s"
             % (job, queue, TIMEOUT, job_events(queue, job)))
    user = next((e.get("user") for e in events if e.get("event") == "submitted"), None)
    row = None
    if not offline:
        row = wait_for(lambda: ledger_row(queue, job))
        if row is None:
            fail("job %d of %s is not in the ledger" % (job, queue))
    print(line(queue, job, row, fate(events), user))


def cmd_job_printed(args):
    """A held job released: it prints and is charged."""
    queue, job = args[0], int(args[1])
    events = wait_for(lambda: (lambda ev: ev if fate(ev) == "printed" else None)(
        job_events(queue, job)))
    if not events:
        fail("job %d of %s did not print: %s" % (job, queue, job_events(queue, job)))
    row = wait_for(lambda: (lambda r: r if r and r["cost"] != "-" else None)(
        ledger_row(queue, job)))
    if row is None:
        fail("job %d of %s is not charged in the ledger: %s" % (job, queue, ledger_row(queue, job)))
    print(line(queue, job, row, fate(events)))


def cmd_ledger_job(args):
    """A job kept while the server was away: waits until the ledger has it, then checks that
    it is there once."""
    queue, document = args[0], args[1]
    began = time.time()
    row = wait_for(lambda: ledger_row(queue, document=document), step=0.5)
    if row is None:
        fail("%s on %s is not in the ledger" % (document, queue))
    time.sleep(0.5)
    count = sum(1 for r in ledger_rows() if r["printer"] == queue and r["document"] == document)
    if count != 1:
        fail("%s on %s is %d times in the ledger" % (document, queue, count))
    events = job_events(queue, row["spooler job"])
    print(line(queue, row["spooler job"], row, fate(events) or "?") +
          "   (in the ledger once, %.0f s later)" % (time.time() - began))


def cmd_wait_ready(_):
    path = os.path.join(LEDGER, "tollserver.db")

    def registered():
        if not os.path.exists(path):
            return None
        try:
            db = sqlite3.connect("file:" + path + "?mode=ro", uri=True, timeout=5)
            names = [r[0] for r in db.execute("SELECT name FROM queues")]
            db.close()
            return names
        except sqlite3.Error:
            return None
    names = wait_for(registered)
    if not names:
        fail("the agent did not register with the server")
    print("   the agent registered with tollserver, queues: " + ", ".join(names))


def log_text():
    folder = os.path.join(MACHINE, "ProgramData", "Tollgate", "Client")
    files = sorted(glob.glob(os.path.join(folder, "events_*.log")),
                   key=lambda p: -int(re.search(r"events_(\d+)", p).group(1)))
    return "".join(read(p, "latin-1") for p in files)


def cmd_log(args):
    text = args[0]
    after = int(args[args.index("--after") + 1]) if "--after" in args else 0
    seconds = float(args[args.index("--seconds") + 1]) if "--seconds" in args else None
    found = wait_for(lambda: [l for l in log_text().splitlines() if text in l][after:],
                     seconds=seconds)
    if not found:
        fail("no line with %r in the agent's file log" % text)
    print("   file log: " + found[0].rstrip())


def cmd_log_count(args):
    print(sum(1 for l in log_text().splitlines() if args[0] in l))


def cmd_notify(args):
    after = int(args[args.index("--after") + 1]) if "--after" in args else 0
    lines = wait_for(lambda: read(NOTIFY).splitlines()[after:])
    if not lines:
        fail("the workstation got no call")
    call = json.loads(lines[0])
    p = call.get("parameters", {})
    text = p.get("message") or json.dumps(p, ensure_ascii=False)
    print("   workstation %s: %s %s" % (os.environ.get("DEMO_WORKSTATION", ""),
                                        call.get("operation"), text))


def cmd_port(args):
    found = wait_for(lambda: re.search(r"listening on ncacn_ip_tcp port (\d+)", read(args[0])),
                     seconds=15)
    if not found:
        fail("no 'listening' line in %s: %s" % (args[0], read(args[0])))
    print(found.group(1))


def cmd_sweep(args):
    """Ends what is left of this run: every process whose environment carries the run's mark
    (the demo exports it before it starts anything)."""
    mark = ("TOLLGATE_DEMO_RUN=" + args[0]).encode()
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == me:
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if mark in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    for pid in found:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    if found:
        print("demo: ended %d process(es) left behind" % len(found), file=sys.stderr)


COMMANDS = {"job": cmd_job, "job-printed": cmd_job_printed, "ledger-job": cmd_ledger_job, "wait-ready": cmd_wait_ready,
            "log": cmd_log, "log-count": cmd_log_count, "notify": cmd_notify, "port": cmd_port,
            "sweep": cmd_sweep, "header": lambda _: print(header())}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    try:
        COMMANDS[sys.argv[1]](sys.argv[2:])
    except KeyboardInterrupt:
        sys.exit(130)
