#!/usr/bin/env python3
"""The include graph of server/ between its layer folders.

Prints every edge "from -> to (count)" of a folder including headers of
another folder, as text or, with --dot, as a Graphviz graph. With --check
it exits 1 when a folder includes one above it in the layer order:

    platform -> catalog -> journal -> tracking -> protocol -> app

Usage: tools/include_graph.py [--dot] [--check] [SERVER_DIR]
"""
import collections
import pathlib
import re
import sys

LAYERS = ["platform", "catalog", "journal", "tracking", "protocol", "app"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.MULTILINE)


def edges(server_dir):
    counts = collections.Counter()
    for layer in LAYERS:
        for path in sorted((server_dir / layer).glob("*.[ch]*")):
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                if target in LAYERS and target != layer:
                    counts[(layer, target)] += 1
    return counts


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    server_dir = pathlib.Path(args[0] if args else
                              pathlib.Path(__file__).resolve().parent.parent /
                              "server")
    counts = edges(server_dir)
    upward = [(a, b) for (a, b) in counts if LAYERS.index(b) > LAYERS.index(a)]
    if "--dot" in argv:
        print("digraph server {")
        for (a, b), n in sorted(counts.items()):
            style = ' color="red"' if (a, b) in upward else ""
            print(f'  "{a}" -> "{b}" [label="{n}"{style}];')
        print("}")
    else:
        for (a, b), n in sorted(counts.items(),
                                key=lambda e: (LAYERS.index(e[0][0]),
                                               LAYERS.index(e[0][1]))):
            mark = "  UPWARD" if (a, b) in upward else ""
            print(f"{a} -> {b} ({n}){mark}")
    if "--check" in argv and upward:
        for a, b in upward:
            print(f"error: {a} includes {b}, a layer above it", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
