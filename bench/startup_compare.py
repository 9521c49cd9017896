#!/usr/bin/env python3
"""Start-up of kestrova against `notmuch --version`, side by side in one run.

    startup_compare.py [--runs 20] [--markdown FILE] KESTROVA [KESTROVA ...]

Each round starts, in turn (the order rotates every round so the programs share the
machine's load): `notmuch --version`, and for every KESTROVA binary given (the first is
"after", more are earlier builds for before/after figures) `kestrova --version`,
`kestrova account list` (starts and opens the database of one local account) and
`kestrova --mcp-stdio` up to its `initialize` answer (the clock stops when the answer line
has arrived; the server then sees the end of its input and exits). Wall time is this
process's clock around the child; CPU time is the child's user + system time from wait4().
One warm-up round is not counted. Medians over RUNS rounds, and each one's ratio to
notmuch's median wall time.

HOME and the XDG folders point at a scratch directory made here (removed at the end).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

INITIALIZE = json.dumps({
    "jsonrpc": "2.0", "id": 1, "method": "initialize",
    "params": {"protocolVersion": "2024-11-05", "capabilities": {},
               "clientInfo": {"name": "bench", "version": "1"}},
}).encode() + b"\n"


def spawn(argv, env, stdin_data=None, until=None):
    """Runs argv to its end; returns (wall ms to `until` in the output or to exit, CPU ms)."""
    stdin_r, stdin_w = os.pipe()
    stdout_r, stdout_w = os.pipe()
    devnull = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, env, file_actions=[
        (os.POSIX_SPAWN_DUP2, stdin_r, 0), (os.POSIX_SPAWN_DUP2, stdout_w, 1),
        (os.POSIX_SPAWN_DUP2, devnull, 2)])
    os.close(stdin_r)
    os.close(stdout_w)
    os.close(devnull)
    if stdin_data:
        os.write(stdin_w, stdin_data)
    answer = b""
    wall = None
    if until is not None:
        while until not in answer:
            chunk = os.read(stdout_r, 65536)
            if not chunk:
                break
            answer += chunk
        wall = (time.perf_counter() - start) * 1000
    os.close(stdin_w)
    while chunk := os.read(stdout_r, 65536):
        answer += chunk
    os.close(stdout_r)
    _, status, usage = os.wait4(pid, 0)
    if wall is None:
        wall = (time.perf_counter() - start) * 1000
    if status != 0 or (until is not None and until not in answer):
        sys.exit(f"{' '.join(argv)}: failed (status {status}): {answer[-300:]!r}")
    return wall, (usage.ru_utime + usage.ru_stime) * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--markdown")
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    if not shutil.which("notmuch"):
        sys.exit("notmuch is not installed (apt-get install notmuch)")

    scratch = tempfile.mkdtemp(prefix="kestrova-startup-")
    env = dict(os.environ, HOME=scratch, XDG_DATA_HOME=f"{scratch}/data",
               XDG_CONFIG_HOME=f"{scratch}/config", XDG_STATE_HOME=f"{scratch}/state",
               XDG_CACHE_HOME=f"{scratch}/cache", KESTROVA_CREDENTIAL_STORE="file",
               NOTMUCH_CONFIG=f"{scratch}/notmuch-config", LANG="C.UTF-8")
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    subprocess.run([args.binaries[0], "account", "add", "--local", "--email",
                    "bench@example.org", "--name", "Bench"], env=env, check=True,
                   stdout=subprocess.DEVNULL)

    cases = [("`notmuch --version`", ["notmuch", "--version"], None, None)]
    for index, binary in enumerate(args.binaries):
        label = "" if len(args.binaries) == 1 else (" (after)" if index == 0 else f" (before {index})")
        cases += [
            (f"`kestrova --version`{label}", [binary, "--version"], None, None),
            (f"`kestrova account list`{label}", [binary, "account", "list"], None, None),
            (f"`kestrova --mcp-stdio` start → `initialize`{label}", [binary, "--mcp-stdio"],
             INITIALIZE, b'"protocolVersion"'),
        ]
    samples = {case[0]: ([], []) for case in cases}
    load_start = os.getloadavg()
    for round_ in range(args.runs + 1):
        shift = round_ % len(cases)
        for name, argv, stdin_data, until in cases[shift:] + cases[:shift]:
            wall, cpu = spawn(argv, env, stdin_data, until)
            if round_:
                samples[name][0].append(wall)
                samples[name][1].append(cpu)
    load_end = os.getloadavg()
    shutil.rmtree(scratch, ignore_errors=True)

    notmuch_wall = statistics.median(samples[cases[0][0]][0])
    lines = [f"| program, medians of {args.runs} processes | wall ms | CPU ms | wall ÷ notmuch |",
             "|---|---:|---:|---:|"]
    for name, *_ in cases:
        wall, cpu = (statistics.median(v) for v in samples[name])
        lines.append(f"| {name} | {wall:.2f} | {cpu:.2f} | {wall / notmuch_wall:.2f} |")
    lines += ["", "Load average (1 min) at start {:.2f}, at end {:.2f}".format(
        load_start[0], load_end[0])]
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
