#!/usr/bin/python3
"""Analyse every shipped graph with `zavo-prune` and prove a seeded sample of its classes.

    /usr/bin/python3 tools/prove_zoo.py [--zavo-prune PATH] [--sample 32] [--seed 0]
                                        [--prune 0.1,0.3,0.5] [NAME ...]

For each zoo model: `zavo-prune analyze models/NAME.json -o REPORT`, then
verify_pruning on the report; with --prune, `zavo.prune` then prunes the model
by each amount, and each pruned model must run with its output shapes.  Exit
status 0 when every model analyses, every checked class is sound and every
pruning succeeds.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import export_graph  # noqa: E402


def find_zavo_prune(given=None):
    """The `zavo-prune` binary: given path, $ZAVO_PRUNE, PATH, or the newest one built under the checkout."""
    for candidate in (given, os.environ.get("ZAVO_PRUNE"), shutil.which("zavo-prune")):
        if candidate:
            return candidate
    built = [p for p in glob.glob(os.path.join(REPO, "build*", "**", "zavo-prune"), recursive=True)
             if os.path.isfile(p) and os.access(p, os.X_OK)]
    return max(built, key=os.path.getmtime) if built else None


def parse_amounts(text):
    try:
        amounts = [float(part) for part in text.split(",") if part]
    except ValueError:
        amounts = None
    if amounts is None or not all(0 <= a < 1 for a in amounts):
        raise argparse.ArgumentTypeError("expected amounts in [0, 1) separated by commas, e.g. 0.1,0.3,0.5")
    return amounts


def prune_model(name, amounts):
    """Prune zoo model `name` by each amount with `zavo.prune`; True when every pruned model runs."""
    import zavo
    from zavo import zoo

    built = zoo.build(name)
    report = zavo.analyze(built.model, built.inputs, name=name)
    for amount in amounts:
        try:
            result = zavo.prune(built.model, built.inputs, amount=amount, report=report, name=name)
        except zavo.ZavoError as error:
            print("%s: pruning by %g failed: %s" % (name, amount, error))
            return False
        print("%s: pruned by %g: %d classes, parameters %s -> %s, MACs %s -> %s, outputs %s" % (
            name, amount, result.removed_classes, *result.parameters, *result.macs,
            result.outputs.describe()))
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description="Analyse and prove the shipped model zoo.")
    parser.add_argument("names", nargs="*", help="zoo models (default: all)")
    parser.add_argument("--zavo-prune", help="path of the zavo-prune binary")
    parser.add_argument("--sample", type=int, default=32, help="classes checked per model (default 32)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the sample (default 0)")
    parser.add_argument("--keep", help="directory to keep the reports in")
    parser.add_argument("--prune", type=parse_amounts, default=[], metavar="AMOUNTS",
                        help="also prune each model by these amounts, e.g. 0.1,0.3,0.5")
    args = parser.parse_args(argv)
    if export_graph.torch is None:
        print(export_graph.TORCH_MISSING.format(exe=sys.executable), file=sys.stderr)
        return 2
    import verify_pruning
    from zavo import zoo

    binary = find_zavo_prune(args.zavo_prune)
    if not binary:
        print("error: zavo-prune not found: build it (cmake --build BUILD --target zavo-prune) "
              "or pass --zavo-prune PATH", file=sys.stderr)
        return 2
    names = args.names or list(zoo.ZOO)
    failed = []
    with tempfile.TemporaryDirectory() as scratch:
        out_dir = args.keep or scratch
        os.makedirs(out_dir, exist_ok=True)
        for name in names:
            graph = os.path.join(REPO, "models", name + ".json")
            report = os.path.join(out_dir, name + ".report.json")
            start = time.monotonic()
            run = subprocess.run([binary, "analyze", graph, "-o", report], capture_output=True, text=True)
            analysed = time.monotonic()
            if run.returncode != 0 or not os.path.exists(report):
                print("%s: zavo-prune analyze failed (exit %d): %s" % (name, run.returncode, run.stderr.strip()))
                failed.append(name)
                continue
            status = verify_pruning.main([name, report, "--sample", str(args.sample), "--seed", str(args.seed)])
            verified = time.monotonic()
            pruned = prune_model(name, args.prune) if args.prune else True
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


if __name__ == "__main__":
    sys.exit(main())
