#!/usr/bin/python3
"""Regenerate the shipped zoo: models/NAME.json for every model (or the names given).

With --summaries, also analyse each graph with `zavo-prune` under each rule set
and record its report summaries in models/summaries.json ({"core": {NAME:
summary}, "extended": {...}}), the golden that the tests compare with.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import export_graph  # noqa: E402  (prints the install hint when torch is missing)

MODELS_DIR = os.path.join(os.path.dirname(HERE), "models")
SUMMARIES = os.path.join(MODELS_DIR, "summaries.json")
RULES = ("core", "extended")


def analyse_summary(binary, graph_path, rules="extended"):
    """The `summary` of the report that `zavo-prune analyze --rules RULES` writes for a graph file."""
    with tempfile.TemporaryDirectory() as scratch:
        report = os.path.join(scratch, "report.json")
        run = subprocess.run([binary, "analyze", graph_path, "--rules", rules, "-o", report],
                             capture_output=True, text=True)
        if run.returncode != 0:
            raise RuntimeError("zavo-prune analyze %s failed (exit %d): %s" % (graph_path, run.returncode, run.stderr))
        with open(report, encoding="utf-8") as stream:
            return json.load(stream)["summary"]


def dumps_summaries(summaries):
    """{rules: {name: summary}} as text, one model per line."""
    parts = []
    for rules in RULES:
        models = summaries.get(rules, {})
        lines = ",\n".join("    %s: %s" % (json.dumps(name), json.dumps(models[name])) for name in sorted(models))
        parts.append("  %s: {\n%s\n  }" % (json.dumps(rules), lines))
    return "{\n" + ",\n".join(parts) + "\n}\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Regenerate the shipped model zoo.")
    parser.add_argument("names", nargs="*", help="zoo models (default: all)")
    parser.add_argument("--summaries", action="store_true", help="also record each report summary")
    parser.add_argument("--zavo-prune", help="path of the zavo-prune binary (for --summaries)")
    args = parser.parse_args(argv)
    if export_graph.torch is None:
        print(export_graph.TORCH_MISSING.format(exe=sys.executable), file=sys.stderr)
        return 2
    import prove_zoo
    from zavo import zoo

    names = args.names or list(zoo.ZOO)
    binary = prove_zoo.find_zavo_prune(args.zavo_prune) if args.summaries else None
    if args.summaries and not binary:
        print("error: zavo-prune not found; pass --zavo-prune PATH", file=sys.stderr)
        return 2
    summaries = {rules: {} for rules in RULES}
    if os.path.exists(SUMMARIES):
        with open(SUMMARIES, encoding="utf-8") as stream:
            summaries.update(json.load(stream))
    os.makedirs(MODELS_DIR, exist_ok=True)
    for name in names:
        path = os.path.join(MODELS_DIR, name + ".json")
        graph = export_graph.export(name)
        export_graph.write_atomic(path, export_graph.dumps_graph(graph))
        print("%s: %d nodes -> %s" % (name, len(graph["nodes"]), os.path.relpath(path)))
        if binary:
            for rules in RULES:
                summaries[rules][name] = analyse_summary(binary, path, rules)
    if binary:
        export_graph.write_atomic(SUMMARIES, dumps_summaries(summaries))
    return 0


if __name__ == "__main__":
    sys.exit(main())
