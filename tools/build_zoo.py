#!/usr/bin/python3
"""Regenerate models/NAME.json for every model of the zoo (or the names given)."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import export_graph  # noqa: E402  (prints the install hint when torch is missing)

MODELS_DIR = os.path.join(os.path.dirname(HERE), "models")


def main(argv=None):
    if export_graph.torch is None:
        print(export_graph.TORCH_MISSING.format(exe=sys.executable), file=sys.stderr)
        return 2
    import zoo

    names = (argv if argv is not None else sys.argv[1:]) or list(zoo.ZOO)
    os.makedirs(MODELS_DIR, exist_ok=True)
    for name in names:
        path = os.path.join(MODELS_DIR, name + ".json")
        graph = export_graph.export(name)
        export_graph.write_atomic(path, export_graph.dumps_graph(graph))
        print("%s: %d nodes -> %s" % (name, len(graph["nodes"]), os.path.relpath(path)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
