#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it must not depend on.

The folders of src/ form layers: util <- platform <- store <- {mail, rules, ai, safety} <- app.
A folder may include its own headers and those of the layers below it; mail, rules, ai
and safety never include each other (app wires them together); app may include anything
below it. Inside app, cli and mcp use core and never each other (cli -> core <- mcp).

Usage: check_layering.py [SOURCE_ROOT]   (default: the repository this script lives in)
Prints one line per offending include ("src/mail/x.cpp:12: includes ai/y.h") and exits 1
when there is any, 0 otherwise.
"""

import pathlib
import re
import sys

BELOW = {
    "util": set(),
    "platform": {"util"},
    "store": {"util", "platform"},
    "mail": {"util", "platform", "store"},
    "rules": {"util", "platform", "store"},
    "ai": {"util", "platform", "store"},
    "safety": {"util", "platform", "store"},
}
LAYERS = set(BELOW) | {"app"}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([A-Za-z_]+)/([^>"]+)[>"]')


# The rooms of app: the command line, the tool server and the desktop window all use core,
# never each other.
APP_ROOMS = {"core": {"core"}, "cli": {"cli", "core"}, "mcp": {"mcp", "core"},
             "desktop": {"desktop", "core"}}


def allowed(folder, target, room=None, target_room=None):
    if folder == "app" and target == "app":
        # main.cpp (no room) decides the mode and may use every room.
        return room is None or target_room in APP_ROOMS.get(room, set())
    if folder == "app" or target == folder:
        return True
    return target in BELOW.get(folder, set())


def violations(root):
    src = root / "src"
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".hpp", ".cpp", ".cc"} or not path.is_file():
            continue
        parts = path.relative_to(src).parts
        if len(parts) < 2:
            continue
        folder = parts[0]
        room = parts[1] if folder == "app" and len(parts) > 2 else None
        if folder not in LAYERS or (room is not None and room not in APP_ROOMS):
            yield f"{path.relative_to(root)}: folder src/{folder} has no place in the layer order"
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), start=1):
            match = INCLUDE.match(line)
            target_room = match.group(2).split("/")[0] if match else None
            if match and match.group(1) in LAYERS and not allowed(folder, match.group(1), room, target_room):
                yield f"{path.relative_to(root)}:{number}: includes {match.group(1)}/{match.group(2)}"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    found = list(violations(root))
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) against the layer order "
              "util <- platform <- store <- {mail, rules, ai, safety} <- app")
        return 1
    print(f"layering: every include in {root / 'src'} follows the layer order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
