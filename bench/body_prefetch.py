#!/usr/bin/python3
"""Body prefetch of a folder's newest messages, side by side in one run against the same
loopback Dovecot INBOX, rounds interleaved (K, M, K, M, ...):

  kestrova  kestrova-bench-sync-round --bodies: envelopes stored first (not timed), then the bodies
            of the newest COUNT messages fetched with BODY.PEEK in batches, decoded and
            stored in SQLite (the prefetch's own clock);
  mbsync    isync's mbsync pulling INBOX into a fresh Maildir with MaxMessages COUNT (whole
            messages; flagged messages are never expired, so it also pulls every older
            flagged one), process start to exit.

  body_prefetch.py --servers servers.json --user U --bench-round PROGRAM --count 1000
                   [--rounds 5] [--warmup 1] [--markdown F]
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sync_first_load import MBSYNC_CONFIG, child_cpu_ms, emit, interleave  # noqa: E402


def kestrova_round(args, servers, scratch):
    db = os.path.join(scratch, "kestrova", "email.db")
    shutil.rmtree(os.path.dirname(db), ignore_errors=True)
    os.makedirs(os.path.dirname(db))
    out = subprocess.run([args.bench_round, "--host", servers["host"], "--port", str(servers["imap_plain"]),
                          "--user", args.user, "--password", servers["password"], "--db", db,
                          "--limit", str(args.count), "--bodies"], check=True, capture_output=True, text=True)
    answer = json.loads(out.stdout.strip().splitlines()[-1])
    return {"wall": answer["prefetch"], "cpu": answer["prefetch_cpu"], "items": answer["bodies"],
            "bytes": answer["bytes"]}


def mbsync_round(args, servers, scratch):
    maildir = os.path.join(scratch, "mbsync")
    shutil.rmtree(maildir, ignore_errors=True)
    os.makedirs(maildir)
    config = os.path.join(scratch, "mbsyncrc")
    with open(config, "w") as f:
        f.write(MBSYNC_CONFIG.format(host=servers["host"], port=servers["imap_plain"], user=args.user,
                                     password=servers["password"], maildir=maildir,
                                     max_messages="MaxMessages %d\nExpireUnread yes" % args.count))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(["mbsync", "-q", "-c", config, "inbox"], check=True, stderr=subprocess.DEVNULL)
    wall = (time.perf_counter() - t0) * 1000.0
    inbox = os.path.join(maildir, "INBOX")
    files = [os.path.join(inbox, d, n) for d in ("cur", "new") for n in os.listdir(os.path.join(inbox, d))]
    return {"wall": wall, "cpu": child_cpu_ms(before), "items": len(files),
            "bytes": sum(os.path.getsize(p) for p in files)}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--servers", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--bench-round", required=True)
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--warmup", type=int, default=1)
    p.add_argument("--markdown")
    args = p.parse_args()
    with open(args.servers) as f:
        servers = json.load(f)

    sides = [("kestrova (BODY.PEEK batches, decoded, stored in SQLite)", kestrova_round, args.count),
             ("mbsync, MaxMessages %d (whole messages to a Maildir, older flagged ones too)" % args.count,
              mbsync_round, None)]
    samples = interleave(sides, args, servers, "kestrova-bench-bodies.")

    kestrova_median = statistics.median(s["wall"] for s in samples[sides[0][0]])
    lines = ["| program | messages | MB | rounds | wall median ms | wall min ms | wall max ms | MB/s (median) | CPU median ms | wall ÷ Kestrova |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name, _, _ in sides:
        walls = [s["wall"] for s in samples[name]]
        median = statistics.median(walls)
        mb = samples[name][0]["bytes"] / 1048576.0
        lines.append("| %s | %d | %.1f | %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f |" % (
            name, samples[name][0]["items"], mb, len(walls), median, min(walls), max(walls),
            mb / (median / 1000.0), statistics.median(s["cpu"] for s in samples[name]),
            median / kestrova_median))
    emit(lines, args.markdown)


if __name__ == "__main__":
    main()
