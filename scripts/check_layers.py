#!/usr/bin/env python3
"""Fails when a library folder includes a header of a folder above it.

The folders below are the layers, in the order data flows: a file may include headers
of its own folder and of the folders listed before it, never of one listed after it.
An included name is resolved by the folder that holds a header of that name, so two
layers must not hold headers of the same name. Tests, benchmarks and fuzz targets sit
above everything and are not checked.

    python3 scripts/check_layers.py [--root DIR]   # check the tree (default: this repo)
    python3 scripts/check_layers.py --self-test    # show that a wrong include is caught
"""
import argparse
import os
import re
import sys
import tempfile

LAYERS = [
    "foundation",
    "platform",
    "event",
    "udp",
    "dmx",
    "wire",
    "peer",
    "endpoint",
    "host",
    "plugin",
    "bridge",
    "web",
    "apps/common",
    "apps/kelmar-host",
    "apps/kelmar-peer",
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCES = (".h", ".hpp", ".cpp", ".cc")


def files_of(root, layer):
    folder = os.path.join(root, layer)
    if not os.path.isdir(folder):
        return []
    return sorted(
        os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(SOURCES)
    )


def check(root):
    """Returns a list of problems, empty when the tree respects the layer order."""
    problems = []
    owner = {}  # header name -> index of the layer that holds it
    for i, layer in enumerate(LAYERS):
        for path in files_of(root, layer):
            name = os.path.basename(path)
            if not name.endswith((".h", ".hpp")):
                continue
            if name in owner and owner[name] != i:
                problems.append(
                    f"{layer}/{name}: a header of that name is also in {LAYERS[owner[name]]}/"
                )
            owner.setdefault(name, i)
    for i, layer in enumerate(LAYERS):
        for path in files_of(root, layer):
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for m in INCLUDE.finditer(text):
                name = os.path.basename(m.group(1))
                j = owner.get(name)
                if j is not None and j > i:
                    line = text.count("\n", 0, m.start()) + 1
                    rel = os.path.relpath(path, root)
                    problems.append(
                        f"{rel}:{line}: includes {name} from {LAYERS[j]}/, "
                        f"a layer above {layer}/"
                    )
    return problems


def self_test():
    """A wrong-way include in a scratch tree must be reported, and nothing else."""
    with tempfile.TemporaryDirectory() as root:
        for layer, name, body in [
            ("udp", "CUDPPort.h", '#include "LHandler.h"\n'),
            ("event", "LHandler.h", ""),
            ("peer", "CKelmarNetPeer.h", '#include "CUDPPort.h"\n'),
            ("event", "LAsyncWorld.h", '#include "CKelmarNetPeer.h"\n'),
        ]:
            os.makedirs(os.path.join(root, layer), exist_ok=True)
            with open(os.path.join(root, layer, name), "w", encoding="utf-8") as f:
                f.write(body)
        problems = check(root)
    expected = ["event/LAsyncWorld.h:1: includes CKelmarNetPeer.h from peer/, a layer above event/"]
    if problems != expected:
        print("self-test failed: got", problems, file=sys.stderr)
        return 1
    print("self-test passed: the wrong-way include was reported")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    problems = check(os.path.abspath(args.root))
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        print(f"{len(problems)} include(s) against the layer order", file=sys.stderr)
        return 1
    print("layers: every include points down the stack")
    return 0


if __name__ == "__main__":
    sys.exit(main())
