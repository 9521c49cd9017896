#!/usr/bin/python3
"""First load of a folder's newest envelopes, three programs side by side in one run
against the same loopback Dovecot INBOX, rounds interleaved (K, P, M, K, P, M, ...):

  kestrova  kestrova-bench-sync-round: a fresh database, the folder list, the newest LIMIT
            envelopes of INBOX fetched, converted and stored in SQLite (connect to records
            stored);
  imaplib   Python's imaplib: connect, LOGIN, SELECT INBOX, UID SEARCH ALL, one UID FETCH
            of the newest LIMIT UIDs (UID ENVELOPE FLAGS), the answers parsed into the same
            header records (bench/imaplib_headers.py), LOGOUT — kept in memory, not stored;
  mbsync    isync's mbsync pulling INBOX into a fresh Maildir: with MaxMessages LIMIT (it
            downloads whole messages, it has no envelope-only mode; flagged messages are
            never expired, so it also pulls every older flagged one), and the whole folder.

With --baseline-round PROGRAM one more row: the same Kestrova round with PROGRAM (built from
another revision), for before/after figures in one run. With --whole two more rows: Kestrova loading the whole folder as `kestrova sync` does (the
newest envelopes, then the rest through the background loader, waited for) and imaplib
fetching every envelope of the folder in one UID FETCH.

  sync_first_load.py --servers servers.json --user U --bench-round PROGRAM
                     [--limit 1000] [--rounds 7] [--warmup 1] [--expect 10000] [--markdown F]
                     [--whole]

Wall time of each round is measured here (process start to exit for the two programs);
CPU time is the child's (resource.getrusage) or, for imaplib, this process's.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import imaplib_headers  # noqa: E402  (the record parser shared with the header benchmark)
import imaplib  # noqa: E402


def child_cpu_ms(before):
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return ((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) * 1000.0


def kestrova_round(args, servers, scratch, whole=False, program=None):
    db = os.path.join(scratch, "kestrova", "email.db")
    shutil.rmtree(os.path.dirname(db), ignore_errors=True)
    os.makedirs(os.path.dirname(db))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    out = subprocess.run([program or args.bench_round, "--host", servers["host"], "--port", str(servers["imap_plain"]),
                          "--user", args.user, "--password", servers["password"], "--db", db,
                          "--limit", str(args.limit)] + (["--whole"] if whole else []),
                         check=True, capture_output=True, text=True)
    wall = (time.perf_counter() - t0) * 1000.0
    answer = json.loads(out.stdout.strip().splitlines()[-1])
    return {"wall": wall, "cpu": child_cpu_ms(before), "items": answer["stored"],
            "inner": answer["first_load"], "folder_list": answer["folder_list"]}


def imaplib_round(args, servers, scratch, whole=False):
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    imap = imaplib.IMAP4(servers["host"], servers["imap_plain"])
    imap.login(args.user, servers["password"])
    imap.select("INBOX")
    typ, data = imap.uid("SEARCH", "ALL")
    if typ != "OK":
        raise RuntimeError("UID SEARCH failed: %r" % data)
    uids = sorted(int(u) for u in b" ".join(d for d in data if d).split())
    if not whole:
        uids = uids[-args.limit:]
    typ, data = imap.uid("FETCH", ",".join(map(str, uids)), "(UID ENVELOPE FLAGS)")
    if typ != "OK":
        raise RuntimeError("UID FETCH failed: %r" % data)
    records = [r for r in (imaplib_headers.record_of(imaplib_headers.nest(t))
                           for t in imaplib_headers.responses(data)) if r is not None]
    imap.logout()
    wall = (time.perf_counter() - t0) * 1000.0
    return {"wall": wall, "cpu": (time.process_time() - cpu0) * 1000.0, "items": len(records)}


MBSYNC_CONFIG = """IMAPAccount bench
Host {host}
Port {port}
User {user}
Pass {password}
SSLType None
AuthMechs LOGIN

IMAPStore far
Account bench

MaildirStore near
Path {maildir}/
Inbox {maildir}/INBOX

Channel inbox
Far :far:INBOX
Near :near:INBOX
Create Near
Sync Pull
SyncState *
{max_messages}
"""


def mbsync_round(args, servers, scratch, limited):
    maildir = os.path.join(scratch, "mbsync")
    shutil.rmtree(maildir, ignore_errors=True)
    os.makedirs(maildir)
    config = os.path.join(scratch, "mbsyncrc")
    with open(config, "w") as f:
        f.write(MBSYNC_CONFIG.format(host=servers["host"], port=servers["imap_plain"], user=args.user,
                                     password=servers["password"], maildir=maildir,
                                     max_messages="MaxMessages %d\nExpireUnread yes" % args.limit
                                     if limited else ""))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(["mbsync", "-q", "-c", config, "inbox"], check=True, stderr=subprocess.DEVNULL)
    wall = (time.perf_counter() - t0) * 1000.0
    inbox = os.path.join(maildir, "INBOX")
    items = sum(len(os.listdir(os.path.join(inbox, d))) for d in ("cur", "new"))
    return {"wall": wall, "cpu": child_cpu_ms(before), "items": items}


def interleave(sides, args, servers, prefix):
    """Runs each side of [(name, run, expected items or None)] once per round, in turn, in one
    scratch directory; the samples after the warm-up rounds by name."""
    samples = {name: [] for name, _, _ in sides}
    scratch = tempfile.mkdtemp(prefix=prefix)
    try:
        for r in range(args.warmup + args.rounds):
            for name, run, expected in sides:
                result = run(args, servers, scratch)
                if expected is not None and result["items"] != expected:
                    sys.exit("%s: %d items instead of %d" % (name, result["items"], expected))
                if r >= args.warmup:
                    samples[name].append(result)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return samples


def emit(lines, markdown):
    """Prints the table lines with the load average, and keeps them in `markdown` when given."""
    lines.append("Load average after the run: %s" % " ".join("%.2f" % v for v in os.getloadavg()))
    table = "\n".join(lines)
    print(table)
    if markdown:
        with open(markdown, "w") as f:
            f.write(table + "\n")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--servers", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--bench-round", required=True)
    p.add_argument("--limit", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--warmup", type=int, default=1)
    p.add_argument("--expect", type=int, default=10000)
    p.add_argument("--markdown")
    p.add_argument("--whole", action="store_true")
    p.add_argument("--without-mbsync", action="store_true", help="leave the two mbsync rows out")
    p.add_argument("--baseline-round", help="the same program built from another revision: one more row")
    args = p.parse_args()
    imaplib._MAXLINE = max(imaplib._MAXLINE, 10_000_000)
    with open(args.servers) as f:
        servers = json.load(f)

    sides = [
        ("kestrova (folder list + newest %d envelopes stored in SQLite)" % args.limit, kestrova_round, args.limit),
        ("Python imaplib (newest %d envelopes parsed, not stored)" % args.limit, imaplib_round, args.limit),
        ("mbsync, MaxMessages %d (whole messages to a Maildir, older flagged ones too)" % args.limit,
         lambda a, s, d: mbsync_round(a, s, d, True), None),
        ("mbsync, whole folder (%d whole messages to a Maildir)" % args.expect,
         lambda a, s, d: mbsync_round(a, s, d, False), args.expect),
    ]
    if args.without_mbsync:
        sides = sides[:2]
    if args.baseline_round:
        sides.append(("kestrova, baseline build (%s)" % args.baseline_round,
                      lambda a, s, d: kestrova_round(a, s, d, program=a.baseline_round), args.limit))
    if args.whole:
        sides += [
            ("kestrova, whole folder (newest %d, then the background loader; stored in SQLite)" % args.limit,
             lambda a, s, d: kestrova_round(a, s, d, True), args.expect),
            ("Python imaplib, whole folder (%d envelopes parsed, not stored)" % args.expect,
             lambda a, s, d: imaplib_round(a, s, d, True), args.expect),
        ]
    samples = interleave(sides, args, servers, "kestrova-bench-sync.")

    kestrova_median = statistics.median(s["wall"] for s in samples[sides[0][0]])
    lines = ["| program | items | rounds | wall median ms | wall min ms | wall max ms | CPU median ms | wall ÷ Kestrova |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name, _, _ in sides:
        items = samples[name][0]["items"]
        walls = [s["wall"] for s in samples[name]]
        cpus = [s["cpu"] for s in samples[name]]
        median = statistics.median(walls)
        lines.append("| %s | %d | %d | %.1f | %.1f | %.1f | %.1f | %.2f |" % (
            name, items, len(walls), median, min(walls), max(walls), statistics.median(cpus),
            median / kestrova_median))
    inner = [s["inner"] for s in samples[sides[0][0]]]
    folder_list = [s["folder_list"] for s in samples[sides[0][0]]]
    lines.append("")
    imaplib_median = statistics.median(s["wall"] for s in samples[sides[1][0]])
    lines.append("Kestrova's own clock (median): folder list %.1f ms, INBOX first load %.1f ms (%.2f× imaplib's "
                 "wall time); the rest of its wall time is process start, opening the new database and exit." %
                 (statistics.median(folder_list), statistics.median(inner),
                  statistics.median(inner) / imaplib_median))
    if args.whole:
        whole = [s["inner"] for s in samples[sides[-2][0]]]
        lines.append("Kestrova's own clock for the whole folder (median): %.1f ms." % statistics.median(whole))
    if args.baseline_round:
        baseline_name = next(name for name, _, _ in sides if name.startswith("kestrova, baseline"))
        baseline = [s["inner"] for s in samples[baseline_name]]
        lines.append("The baseline build's own clock (median): INBOX first load %.1f ms (%.2f× imaplib's wall time)." %
                     (statistics.median(baseline), statistics.median(baseline) / imaplib_median))
    emit(lines, args.markdown)


if __name__ == "__main__":
    main()
