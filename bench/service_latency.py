#!/usr/bin/python3
"""New-mail latency and idle cost of `kestrova run`, next to `kestrova sync` on a timer.

  service_latency.py KESTROVA SERVERS_JSON OUT.md

Runs in the environment it is given (XDG_DATA_HOME, XDG_CONFIG_HOME and HOME pointing at a
scratch directory; bench/run_service.sh sets them). Steps:

  1. three accounts on the loopback Dovecot, each synced once by `kestrova sync`;
  2. a private session bus (dbus-daemon) with dbus-monitor watching Notify calls: nobody
     owns org.freedesktop.Notifications, so each call is answered with an error at once,
     and the monitor's time stamp is the moment the service asked for the notification;
  3. `kestrova run`; once all three watchers idle, MESSAGES messages are appended (IMAP
     APPEND) at random moments (gaps uniform in [GAP_MIN, GAP_MAX] s) to random accounts;
     per message: delivery (APPEND answered) → row in email_messages (the database is
     polled every POLL_MS ms) and → the Notify call on the bus;
  4. idle cost with IDLE_ACCOUNTS accounts: CPU time (utime + stime from /proc) of a fresh
     service over IDLE_SECONDS after its watchers idle, and its resident memory (VmRSS);
  5. the alternative: one measured `kestrova sync` of the three accounts, and the delay a
     60 s timer gives a message that arrives at a uniformly random moment: the wait for
     the next tick (uniform over 0–60 s: median 30 s, p99 59.4 s) plus that sync time.
"""

import imaplib
import json
import os
import random
import re
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MESSAGES = int(os.environ.get("SERVICE_MESSAGES", "50"))
GAP_MIN = float(os.environ.get("SERVICE_GAP_MIN", "0.2"))
GAP_MAX = float(os.environ.get("SERVICE_GAP_MAX", "2.0"))
IDLE_ACCOUNTS = int(os.environ.get("SERVICE_IDLE_ACCOUNTS", "5"))
IDLE_SECONDS = float(os.environ.get("SERVICE_IDLE_SECONDS", "120"))
POLL_MS = 10
TIMER = 60.0
WAIT_LIMIT = 30.0  # per message: give up on a row or a notification after this long


def percentile(values, p):
    ordered = sorted(values)
    rank = max(0, min(len(ordered) - 1, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[rank]


def add_account(kestrova, servers, user):
    subprocess.run([kestrova, "account", "add", "--email", user, "--name", user.split("@")[0],
                    "--imap-host", servers["host"], "--imap-port", str(servers["imap_plain"]),
                    "--imap-encryption", "startTLS", "--smtp-host", servers["host"],
                    "--smtp-port", str(servers["smtp_ssl"]), "--smtp-encryption", "ssl",
                    "--password-stdin"], input=servers["password"] + "\n", text=True,
                   check=True, capture_output=True)


class Service:
    """`kestrova run` with its output read on a thread."""

    def __init__(self, kestrova, env, accounts):
        self.process = subprocess.Popen([kestrova, "run"], env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.idle = set()
        self.ready = threading.Event()
        self.accounts = accounts
        threading.Thread(target=self._read, daemon=True).start()
        if not self.ready.wait(60):
            self.stop()
            sys.exit("the service's watchers did not reach idle")

    def _read(self):
        for line in self.process.stdout:
            match = re.search(r"账号 (\S+) IDLE 状态: idle", line)
            if match:
                self.idle.add(match.group(1))
                if len(self.idle) >= self.accounts:
                    self.ready.set()

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mb(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def start_bus(scratch):
    config = os.path.join(scratch, "bus.conf")
    with open(config, "w") as f:
        f.write("""<busconfig><type>session</type>
<listen>unix:dir=%s</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/><allow user="*"/></policy></busconfig>""" % scratch)
    daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork",
                               "--print-address=1"], stdout=subprocess.PIPE, text=True)
    return daemon, daemon.stdout.readline().strip()


class NotifyMonitor:
    """Time of each Notify call on the bus, by its body (the message's subject)."""

    def __init__(self, address):
        self.seen = {}
        self.process = subprocess.Popen(
            ["dbus-monitor", "--address", address,
             "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"],
            stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        time.sleep(0.5)  # the monitor has registered its match rule

    def _read(self):
        stamp, strings = None, []
        for line in self.process.stdout:
            match = re.match(r"method call time=([0-9.]+)", line)
            if match:
                stamp, strings = float(match.group(1)), []
                continue
            match = re.match(r'\s+string "(.*)"$', line)
            if match and stamp is not None:
                strings.append(match.group(1))
                # Notify(s app_name, u id, s icon, s summary, s body, as actions, ...): the
                # body is the fourth string.
                if len(strings) == 4:
                    self.seen.setdefault(strings[3], stamp)

    def stop(self):
        self.process.terminate()


def main():
    kestrova, servers_json, out_path = sys.argv[1:4]
    servers = json.load(open(servers_json))
    run_id = "%d-%d" % (time.time(), os.getpid())
    users = ["bench-svc-%s-%d@kestrova.test" % (run_id, i) for i in range(3)]
    for user in users:
        add_account(kestrova, servers, user)
    sync_started = time.monotonic()
    subprocess.run([kestrova, "sync"], check=True, capture_output=True)
    sync_seconds = time.monotonic() - sync_started

    scratch = tempfile.mkdtemp(prefix="kestrova-bench-bus-")
    daemon, address = start_bus(scratch)
    monitor = NotifyMonitor(address)
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address,
               DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
    database = os.path.join(os.environ["XDG_DATA_HOME"], "tivra", "Email", "email.db")
    service = Service(kestrova, env, len(users))

    rng = random.Random(42)
    imap = {}
    for user in users:
        imap[user] = imaplib.IMAP4(servers["host"], servers["imap_plain"])
        imap[user].login(user, servers["password"])
    db = sqlite3.connect(database, timeout=5)
    to_row, to_notify = [], []
    for n in range(MESSAGES):
        time.sleep(rng.uniform(GAP_MIN, GAP_MAX))
        user = rng.choice(users)
        subject = "bench %s %03d" % (run_id, n)
        message_id = "<bench-%s-%d@kestrova.test>" % (run_id, n)
        raw = ("From: Sender %d <sender%d@example.org>\r\nTo: %s\r\nSubject: %s\r\n"
               "Message-ID: %s\r\nDate: %s\r\n\r\nbody %d\r\n"
               % (n, n, user, subject, message_id,
                  time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime()), n))
        imap[user].append("INBOX", None, None, raw.encode())
        delivered = time.time()
        row = None
        while time.time() - delivered < WAIT_LIMIT:
            if db.execute("SELECT 1 FROM email_messages WHERE message_id = ?",
                          (message_id,)).fetchone():
                row = time.time()
                break
            time.sleep(POLL_MS / 1000.0)
        while subject not in monitor.seen and time.time() - delivered < WAIT_LIMIT:
            time.sleep(POLL_MS / 1000.0)
        if row is not None:
            to_row.append(row - delivered)
        if subject in monitor.seen:
            to_notify.append(monitor.seen[subject] - delivered)
    for connection in imap.values():
        connection.logout()
    service.stop()

    # Idle cost: a fresh service with IDLE_ACCOUNTS accounts and no mail arriving.
    for i in range(3, IDLE_ACCOUNTS):
        user = "bench-svc-%s-%d@kestrova.test" % (run_id, i)
        add_account(kestrova, servers, user)
        users.append(user)
    subprocess.run([kestrova, "sync"], check=True, capture_output=True)
    service = Service(kestrova, env, len(users))
    time.sleep(2)  # start-up work (maintenance, first receive) is not idle cost
    cpu_before = service.cpu_seconds()
    time.sleep(IDLE_SECONDS)
    idle_cpu = service.cpu_seconds() - cpu_before
    rss = service.rss_mb()
    service.stop()
    monitor.stop()
    daemon.terminate()

    lines = [
        "| measure | median | p99 | max | n |",
        "|---|---|---|---|---|",
    ]
    for name, values in (("delivery → row (kestrova run)", to_row),
                         ("delivery → Notify (kestrova run)", to_notify)):
        if values:
            lines.append("| %s | %.3f s | %.3f s | %.3f s | %d of %d |" % (
                name, statistics.median(values), percentile(values, 99), max(values), len(values),
                MESSAGES))
        else:
            lines.append("| %s | - | - | - | 0 of %d |" % (name, MESSAGES))
    lines.append("| delivery → row (`kestrova sync` every 60 s, expected) | %.1f s | %.1f s | %.1f s | analytic |"
                 % (TIMER / 2 + sync_seconds, TIMER * 0.99 + sync_seconds, TIMER + sync_seconds))
    lines.append("")
    lines.append("One `kestrova sync` of the 3 accounts: %.3f s." % sync_seconds)
    lines.append("Idle, %d accounts: %.3f s CPU over %.0f s (%.3f s per 10 minutes), RSS %.1f MB." % (
        IDLE_ACCOUNTS, idle_cpu, IDLE_SECONDS, idle_cpu * 600.0 / IDLE_SECONDS, rss))
    text = "\n".join(lines) + "\n"
    print(text)
    with open(out_path, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
