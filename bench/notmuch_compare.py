#!/usr/bin/env python3
"""Kestrova against notmuch on the same Maildir: indexing, then the search benchmark's queries.

    notmuch_compare.py KESTROVA MAILDIR WORKDIR RESULTS.md [ROUNDS]

Indexing: `notmuch new` into a fresh notmuch database against `kestrova import --maildir`
into a fresh local-only account (parsing, storing and the substring index), each timed once
with its wall time, CPU time (user + system) and peak resident memory.

Start: `notmuch --version`, `kestrova --version` and `kestrova account list` (start and open
the database), for what a query's process costs before it searches.

Queries: the fifty queries of bench/search_bench.cpp, each as a process, rounds interleaved:
`notmuch search --output=messages --limit=50` for the query as a phrase against
`kestrova search QUERY --limit 50`. notmuch finds words (Xapian terms), Kestrova substrings,
so the row counts differ; both are printed (notmuch count, and the rows LIKE finds in
subject, sender or body).

Environment: KESTROVA_REFERENCE names a second kestrova binary (an earlier build) that answers
the same queries in the same rounds on the same database: its times are printed beside, and
its output must be the same as KESTROVA's, query by query (the run fails otherwise).
NOTMUCH_REUSE=1 keeps WORKDIR's indexes from an earlier run and times the queries only.
"""
import os
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ACCOUNT = "bench@example.org"


def queries():
    """The (query, kind) list of the search benchmark, so both benchmarks ask the same."""
    with open(os.path.join(ROOT, "bench", "search_bench.cpp"), encoding="utf-8") as f:
        source = f.read()
    return re.findall(r'^\s*\{"((?:[^"\\]|\\.)*)", "(\w+)"\},$', source, re.M)


def run(argv, env):
    """Runs a process to its end (bounded): (wall s, stdout)."""
    start = time.monotonic()
    done = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=3600)
    if done.returncode:
        sys.exit(f"{' '.join(argv[:3])} failed ({done.returncode}): {done.stderr.decode()[-300:]}")
    return time.monotonic() - start, done.stdout


def timed(argv, env):
    """Wall s, CPU s (user + system) and peak resident MB of one process, from wait4."""
    start = time.monotonic()
    process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    deadline = threading.Timer(3600, process.kill)  # a bounded wait
    deadline.start()
    _, status, usage = os.wait4(process.pid, 0)
    deadline.cancel()
    wall = time.monotonic() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode:
        sys.exit(f"{' '.join(argv[:3])} failed ({process.returncode})")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def size_mb(path):
    total = 0
    for dirpath, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(dirpath, f)) for f in files)
    return total / 1e6


def write_config(config, notmuch_db, maildir):
    with open(config, "w") as f:
        f.write(f"[database]\npath={notmuch_db}\nmail_root={maildir}\n"
                f"[user]\nname=Bench\nprimary_email={ACCOUNT}\n[new]\ntags=\nignore=\n"
                "[search]\nexclude_tags=\n[maildir]\nsynchronize_flags=false\n")


def main():
    if len(sys.argv) not in (5, 6):
        sys.exit(__doc__)
    kestrova, maildir, work, results = sys.argv[1:5]
    rounds = int(sys.argv[5]) if len(sys.argv) == 6 else 5
    reference = os.environ.get("KESTROVA_REFERENCE")
    maildir, work = os.path.abspath(maildir), os.path.abspath(work)
    home = os.path.join(work, "home")
    notmuch_db = os.path.join(work, "notmuch")
    db = os.path.join(home, "data", "tivra", "Email", "email.db")
    reuse = os.environ.get("NOTMUCH_REUSE") == "1" and os.path.exists(db) and os.path.isdir(
        notmuch_db)
    if not reuse:
        shutil.rmtree(work, ignore_errors=True)
        for sub in ("config", "data", "cache"):
            os.makedirs(os.path.join(home, sub))
    config = os.path.join(work, "notmuch-config")
    # Reused indexes keep the configuration they were made with: WORKDIR may be another
    # checkout's, linked in, and is then only read.
    if not (reuse and os.path.exists(config)):
        write_config(config, notmuch_db, maildir)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_DATA_HOME=os.path.join(home, "data"),
               XDG_CACHE_HOME=os.path.join(home, "cache"), NOTMUCH_CONFIG=config,
               KESTROVA_CREDENTIAL_STORE="file", LANG="C.UTF-8")
    lines = [] if reuse else index(kestrova, maildir, env, notmuch_db, db, rounds)
    queries_table(kestrova, reference, env, db, rounds, lines, results)


def index(kestrova, maildir, env, notmuch_db, db, rounds):
    """Indexes the Maildir with both programs and times their start; the table lines."""
    os.makedirs(notmuch_db)
    lines = [f"Maildir: {maildir} ({len(os.listdir(os.path.join(maildir, 'cur')))} messages)", ""]
    lines += ["| indexing | wall s | CPU s | peak MB | index MB |", "|---|---:|---:|---:|---:|"]
    wall, cpu, peak = timed(["notmuch", "new", "--quiet"], env)
    lines.append(f"| `notmuch new` | {wall:.1f} | {cpu:.1f} | {peak:.0f} | {size_mb(notmuch_db):.0f} |")
    run([kestrova, "account", "add", "--local", "--email", ACCOUNT, "--name", "Bench"], env)
    run([kestrova, "folder", "create", "Archive", "--account", ACCOUNT], env)
    wall, cpu, peak = timed([kestrova, "import", "--maildir", maildir, "--account", ACCOUNT,
                                "--folder", "Archive"], env)
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as con:
        size = con.execute("SELECT SUM(pgsize) FROM dbstat WHERE name LIKE 'email_search%'")
        index_mb = size.fetchone()[0] / 1e6
    lines.append(f"| `kestrova import --maildir` | {wall:.1f} | {cpu:.1f} | {peak:.0f} | "
                 f"{index_mb:.0f} (database with the messages: {os.path.getsize(db) / 1e6:.0f}) |")
    print("\n".join(lines), flush=True)

    # What a process costs before it searches: starting, and for Kestrova opening the database.
    lines += ["", f"| start only, medians of {rounds} | wall ms | CPU ms |", "|---|---:|---:|"]
    for argv in (["notmuch", "--version"], [kestrova, "--version"], [kestrova, "account", "list"]):
        samples = [timed(argv, env) for _ in range(rounds + 1)][1:]
        lines.append(f"| `{' '.join([os.path.basename(argv[0])] + argv[1:])}` | "
                     f"{statistics.median(x[0] for x in samples) * 1e3:.1f} | "
                     f"{statistics.median(x[1] for x in samples) * 1e3:.1f} |")
    print("\n".join(lines[-5:]), flush=True)
    return lines


def queries_table(kestrova, reference, env, db, rounds, lines, results):
    """Times the fifty queries; writes the results file."""
    con = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    names = ["notmuch", "kestrova"] + (["reference"] if reference else [])
    table = ["", f"Queries: wall and CPU ms per process, medians of {rounds} rounds.", "",
             "| query | kind | notmuch count | substring rows | notmuch search wall | CPU | "
             "kestrova search wall | CPU | ÷ notmuch (wall) | ÷ notmuch (CPU) |"
             + (" reference wall | CPU | same output |" if reference else ""),
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|" + ("---:|---:|---|" if reference else "")]
    medians = {name: ([], []) for name in names}
    over_three, over_three_cpu, different = [], [], []
    for query, kind in queries():
        phrase = '"' + query.replace('"', "") + '"'
        commands = {
            "notmuch": ["notmuch", "search", "--output=messages", "--limit=50", phrase],
            "kestrova": [kestrova, "search", query, "--limit", "50"],
        }
        if reference:
            commands["reference"] = [reference, "search", query, "--limit", "50"]
            same = run(commands["kestrova"], env)[1] == run(commands["reference"], env)[1]
            if not same:
                different.append(query)
        counted = run(["notmuch", "count", phrase], env)[1].decode().strip()
        pattern = f"%{query}%"
        rows = con.execute(
            "SELECT COUNT(*) FROM email_messages WHERE subject LIKE ? OR from_email LIKE ? OR "
            "from_name LIKE ? OR text_body LIKE ?", (pattern,) * 4).fetchone()[0]
        samples = {name: ([], []) for name in commands}
        for round_ in range(rounds + 1):  # round 0 warms the caches
            order = list(commands) if round_ % 2 else list(reversed(commands))
            for name in order:
                wall, cpu, _ = timed(commands[name], env)
                if round_:
                    samples[name][0].append(wall * 1e3)
                    samples[name][1].append(cpu * 1e3)
        cells = []
        for name in names:
            wall, cpu = (statistics.median(v) for v in samples[name])
            medians[name][0].append(wall)
            medians[name][1].append(cpu)
            cells += [f"{wall:.1f}", f"{cpu:.1f}"]
            if name == "kestrova":
                ratio = wall / medians["notmuch"][0][-1]
                ratio_cpu = cpu / medians["notmuch"][1][-1]
                cells += [f"{ratio:.2f}", f"{ratio_cpu:.2f}"]
                if ratio > 3:
                    over_three.append(query)
                if ratio_cpu > 3:
                    over_three_cpu.append(query)
        if reference:
            cells.append("yes" if same else "NO")
        table.append(f"| {query} | {kind} | {counted} | {rows} | " + " | ".join(cells) + " |")
        print(table[-1], flush=True)
    summary = ["", "| median over the 50 queries | wall ms | CPU ms |", "|---|---:|---:|"]
    for name in names:
        label = f"{name} search" if name != "reference" else "kestrova search (reference build)"
        summary.append(f"| {label} | {statistics.median(medians[name][0]):.1f} | "
                       f"{statistics.median(medians[name][1]):.1f} |")
    summary += ["", f"Queries over 3 × notmuch's wall time: {len(over_three)} "
                    f"({', '.join(over_three) or 'none'}); over 3 × its CPU time: "
                    f"{len(over_three_cpu)} ({', '.join(over_three_cpu) or 'none'})"]
    if reference:
        summary.append(f"Output different from the reference build: {len(different)} "
                       f"({', '.join(different) or 'none'})")
    print("\n".join(summary))
    with open(results, "w", encoding="utf-8") as f:
        f.write("\n".join(lines + table + summary) + "\n")
    if different:
        sys.exit("kestrova search answered differently from the reference build")


if __name__ == "__main__":
    main()
