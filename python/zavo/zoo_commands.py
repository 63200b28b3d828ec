"""`zavo-prune zoo build|prove`: the shipped zoo's graph files (models/), regenerated and proven.

    zavo-prune zoo build [NAME ...] [--summaries] [--zavo-prune PATH]
    zavo-prune zoo prove [NAME ...] [--zavo-prune PATH] [--sample 32] [--seed 0] [--keep DIR]
                         [--prune 0.1,0.3,0.5] [--targets 0.5,0.25] [--rules core|extended]

`build` exports each zoo model (default: all) to models/NAME.json; with
--summaries it also analyses each graph with the `zavo-prune` binary under
each rule set and records its report summaries in models/summaries.json
({"core": {NAME: summary}, "extended": {...}}), which the tests compare with.

`prove` analyses each shipped graph with the binary (`zavo-prune analyze
models/NAME.json --rules RULES -o REPORT`) and proves a seeded sample of the
report's prunable classes on the real model (`zavo-prune verify`); with
--prune, `zavo.prune` then prunes the model by each amount under the same
rules, and each pruned model must run with its output shapes; with --targets,
it prunes the model to each share of its MACs and of its parameters, and each
must land within one point of the target (or the target be out of the model's
reach).  Exit status 0 when every model analyses, every checked class is sound
and every pruning succeeds, 1 when one does not, 2 for a usage error.

The binary is the one given, $ZAVO_PRUNE, the one on PATH, or the newest one
built under the checkout.
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from zavo import export
from zavo.atomic_file import write_atomic

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODELS_DIR = os.path.join(REPO, "models")
SUMMARIES = os.path.join(MODELS_DIR, "summaries.json")
RULES = ("core", "extended")


def find_zavo_prune(given=None):
    """The `zavo-prune` binary: given path, $ZAVO_PRUNE, PATH, or the newest one built under the checkout."""
    for candidate in (given, os.environ.get("ZAVO_PRUNE"), shutil.which("zavo-prune")):
        if candidate:
            return candidate
    built = [p for p in glob.glob(os.path.join(REPO, "build*", "**", "zavo-prune"), recursive=True)
             if os.path.isfile(p) and os.access(p, os.X_OK)]
    return max(built, key=os.path.getmtime) if built else None


def analyse(binary, graph_path, report_path, rules="extended"):
    """Run `zavo-prune analyze GRAPH --rules RULES -o REPORT`; None, or why it failed."""
    run = subprocess.run([binary, "analyze", graph_path, "--rules", rules, "-o", report_path],
                         capture_output=True, text=True)
    if run.returncode != 0 or not os.path.exists(report_path):
        return "zavo-prune analyze %s failed (exit %d): %s" % (graph_path, run.returncode, run.stderr.strip())
    return None


def analyse_summary(binary, graph_path, rules="extended"):
    """The `summary` of the report that `zavo-prune analyze --rules RULES` writes for a graph file."""
    with tempfile.TemporaryDirectory() as scratch:
        report = os.path.join(scratch, "report.json")
        failure = analyse(binary, graph_path, report, rules)
        if failure:
            raise RuntimeError(failure)
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


def _binary_or_none(given):
    binary = find_zavo_prune(given)
    if not binary:
        print("error: zavo-prune not found: build it (cmake --build BUILD --target zavo-prune) "
              "or pass --zavo-prune PATH", file=sys.stderr)
    return binary


def build_main(argv=None, prog="zavo-prune zoo build"):
    parser = argparse.ArgumentParser(prog=prog, description="Regenerate the shipped zoo's graph files (models/).")
    parser.add_argument("names", nargs="*", help="zoo models (default: all)")
    parser.add_argument("--summaries", action="store_true",
                        help="also record each graph's report summaries in models/summaries.json")
    parser.add_argument("--zavo-prune", help="path of the zavo-prune binary (for --summaries)")
    args = parser.parse_args(argv)
    from zavo import zoo

    unknown = [name for name in args.names if name not in zoo.ZOO]
    if unknown:
        parser.error("not in the zoo: %s (the zoo: %s)" % (", ".join(unknown), ", ".join(zoo.ZOO)))
    binary = _binary_or_none(args.zavo_prune) if args.summaries else None
    if args.summaries and not binary:
        return 2
    summaries = {rules: {} for rules in RULES}
    if os.path.exists(SUMMARIES):
        with open(SUMMARIES, encoding="utf-8") as stream:
            summaries.update(json.load(stream))
    os.makedirs(MODELS_DIR, exist_ok=True)
    for name in args.names or list(zoo.ZOO):
        path = os.path.join(MODELS_DIR, name + ".json")
        graph = export.export(name)
        write_atomic(path, export.dumps_graph(graph))
        print("%s: %d nodes -> %s" % (name, len(graph["nodes"]), os.path.relpath(path)))
        if binary:
            for rules in RULES:
                summaries[rules][name] = analyse_summary(binary, path, rules)
    if binary:
        write_atomic(SUMMARIES, dumps_summaries(summaries))
    return 0


def parse_amounts(text):
    try:
        amounts = [float(part) for part in text.split(",") if part]
    except ValueError:
        amounts = None
    if amounts is None or not all(0 <= a < 1 for a in amounts):
        raise argparse.ArgumentTypeError("expected amounts in [0, 1) separated by commas, e.g. 0.1,0.3,0.5")
    return amounts


def prune_model(name, amounts, targets=(), rules="extended"):
    """Prune zoo model `name` by each amount, and to each target share of its MACs and of its
    parameters, with `zavo.prune`; True when every pruned model runs and every target is met."""
    import zavo
    from zavo import zoo
    from zavo.selection import TargetError

    built = zoo.build(name)
    report = zavo.analyze(built.model, built.inputs, name=name, rules=rules)
    runs = [("by %g" % a, dict(amount=a)) for a in amounts]
    runs += [("to %g of its %s" % (t, m), {"target_" + m: t}) for t in targets for m in ("macs", "params")]
    for what, options in runs:
        try:
            result = zavo.prune(built.model, built.inputs, report=report, name=name, **options)
        except TargetError as error:
            print("%s: pruning %s: out of reach: %s" % (name, what, error))
            continue
        except zavo.ZavoError as error:
            print("%s: pruning %s failed: %s" % (name, what, error))
            return False
        print("%s: pruned %s: %d classes, parameters %s -> %s, MACs %s -> %s, outputs %s" % (
            name, what, result.removed_classes, *result.parameters, *result.macs,
            result.outputs.describe()))
        if result.target is not None:
            before, after = result.macs if result.target[0] == "macs" else result.parameters
            if abs(after / before - result.target[1]) > 0.01:
                print("%s: pruning %s kept %.2f%%, more than a point away" % (name, what, 100 * after / before))
                return False
    return True


def prove_main(argv=None, prog="zavo-prune zoo prove"):
    parser = argparse.ArgumentParser(prog=prog, description="Analyse the shipped zoo's graph files and prove a "
                                     "seeded sample of each report's prunable classes on the real model.")
    parser.add_argument("names", nargs="*", help="zoo models (default: all)")
    parser.add_argument("--zavo-prune", help="path of the zavo-prune binary")
    parser.add_argument("--sample", type=int, default=32, help="classes checked per model (default 32)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the sample (default 0)")
    parser.add_argument("--keep", help="directory to keep the reports in")
    parser.add_argument("--prune", type=parse_amounts, default=[], metavar="AMOUNTS",
                        help="also prune each model by these amounts, e.g. 0.1,0.3,0.5")
    parser.add_argument("--targets", type=parse_amounts, default=[], metavar="SHARES",
                        help="also prune each model to these shares of its MACs and parameters, e.g. 0.5,0.25")
    parser.add_argument("--rules", choices=RULES, default="extended",
                        help="the analysis's node handlers (default extended)")
    args = parser.parse_args(argv)
    from zavo import verify, zoo

    binary = _binary_or_none(args.zavo_prune)
    if not binary:
        return 2
    names = args.names or list(zoo.ZOO)
    failed = []
    with tempfile.TemporaryDirectory() as scratch:
        out_dir = args.keep or scratch
        os.makedirs(out_dir, exist_ok=True)
        for name in names:
            report = os.path.join(out_dir, name + ".report.json")
            start = time.monotonic()
            failure = analyse(binary, os.path.join(MODELS_DIR, name + ".json"), report, args.rules)
            analysed = time.monotonic()
            if failure:
                print("%s: %s" % (name, failure))
                failed.append(name)
                continue
            status = verify.main([name, report, "--sample", str(args.sample), "--seed", str(args.seed)])
            verified = time.monotonic()
            pruned = prune_model(name, args.prune, args.targets, args.rules) if args.prune or args.targets else True
            print("%s: analyse %.1fs, verify %.1fs, prune %.1fs" % (
                name, analysed - start, verified - analysed, time.monotonic() - verified))
            sys.stdout.flush()
            if status != 0 or not pruned:
                failed.append(name)
    if failed:
        print("not proven: %s" % ", ".join(failed))
        return 1
    print("proven: %s" % ", ".join(names))
    return 0


def main(argv, prog="zavo-prune zoo"):
    parser = argparse.ArgumentParser(prog=prog, description="The shipped zoo's graph files (models/): "
                                     "regenerate them (build) or prove them (prove).")
    parser.add_argument("action", choices=("build", "prove"), help="build: export models/NAME.json; prove: "
                        "analyse each graph and prove its classes on the model")
    parser.add_argument("options", nargs=argparse.REMAINDER, help="the action's (zoo ACTION --help)")
    args = parser.parse_args(argv[:1])
    run = build_main if args.action == "build" else prove_main
    return run(argv[1:], prog="%s %s" % (prog, args.action))
