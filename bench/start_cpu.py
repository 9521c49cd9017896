#!/usr/bin/env python3
"""CPU time from process start to the `initialize` answer of `kestrova --mcp-stdio`.

Starts each binary RUNS times, alternating them so they share the machine's load, sends the
initialize line on standard input, closes it (the server answers and exits) and reads the
child's user + system time from wait4(). Wall time on two shared cores is mostly waiting for
a core; the CPU time is what a start costs.

    python3 bench/start_cpu.py --runs 100 BINARY [BINARY ...]
"""

import argparse
import json
import os
import statistics
import time

INITIALIZE = json.dumps({
    "jsonrpc": "2.0", "id": 1, "method": "initialize",
    "params": {"protocolVersion": "2024-11-05", "capabilities": {},
               "clientInfo": {"name": "bench", "version": "1"}},
}).encode() + b"\n"


def one_start(binary):
    """Returns (CPU ms, wall ms) of one start that answered initialize."""
    stdin_r, stdin_w = os.pipe()
    stdout_r, stdout_w = os.pipe()
    start = time.perf_counter()
    pid = os.posix_spawn(binary, [binary, "--mcp-stdio"], os.environ, file_actions=[
        (os.POSIX_SPAWN_DUP2, stdin_r, 0), (os.POSIX_SPAWN_DUP2, stdout_w, 1)])
    os.close(stdin_r)
    os.close(stdout_w)
    os.write(stdin_w, INITIALIZE)
    os.close(stdin_w)
    answer = b""
    while chunk := os.read(stdout_r, 65536):
        answer += chunk
    os.close(stdout_r)
    _, status, usage = os.wait4(pid, 0)
    wall = (time.perf_counter() - start) * 1000
    if status != 0 or b'"protocolVersion"' not in answer:
        raise SystemExit(f"{binary}: no initialize answer (status {status})")
    return (usage.ru_utime + usage.ru_stime) * 1000, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    cpu = {b: [] for b in args.binaries}
    wall = {b: [] for b in args.binaries}
    for _ in range(args.runs):
        for binary in args.binaries:
            c, w = one_start(binary)
            cpu[binary].append(c)
            wall[binary].append(w)
    print("| binary | starts | CPU median ms | wall median ms |")
    print("|---|---:|---:|---:|")
    for binary in args.binaries:
        print(f"| {binary} | {args.runs} | {statistics.median(cpu[binary]):.2f} | "
              f"{statistics.median(wall[binary]):.2f} |")
    print(f"\nLoad average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
