#!/usr/bin/python3
"""Analyse every shipped graph with `zavo-prune` and prove a seeded sample of its classes.

    /usr/bin/python3 tools/prove_zoo.py [--zavo-prune PATH] [--sample 32] [--seed 0]
                                        [--prune 0.1,0.3,0.5] [--targets 0.5,0.25]
                                        [--rules core|extended] [NAME ...]

For each zoo model: `zavo-prune analyze models/NAME.json --rules RULES -o REPORT`,
then verify_pruning on the report; with --prune, `zavo.prune` then prunes the
model by each amount (under the same rules), and each pruned model must run
with its output shapes; with --targets, it prunes the model to each share of
its MACs and of its parameters, and each must land within one point of the
target (or the target be out of the model's reach).  Exit status 0 when every
model analyses, every checked class is sound and every pruning succeeds.
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


def main(argv=None):
    parser = argparse.ArgumentParser(description="Analyse and prove the shipped model zoo.")
    parser.add_argument("names", nargs="*", help="zoo models (default: all)")
    parser.add_argument("--zavo-prune", help="path of the zavo-prune binary")
    parser.add_argument("--sample", type=int, default=32, help="classes checked per model (default 32)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the sample (default 0)")
    parser.add_argument("--keep", help="directory to keep the reports in")
    parser.add_argument("--prune", type=parse_amounts, default=[], metavar="AMOUNTS",
                        help="also prune each model by these amounts, e.g. 0.1,0.3,0.5")
    parser.add_argument("--targets", type=parse_amounts, default=[], metavar="SHARES",
                        help="also prune each model to these shares of its MACs and parameters, e.g. 0.5,0.25")
    parser.add_argument("--rules", choices=("core", "extended"), default="extended",
                        help="the analysis's node handlers (default extended)")
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
            run = subprocess.run([binary, "analyze", graph, "--rules", args.rules, "-o", report],
                                 capture_output=True, text=True)
            analysed = time.monotonic()
            if run.returncode != 0 or not os.path.exists(report):
                print("%s: zavo-prune analyze failed (exit %d): %s" % (name, run.returncode, run.stderr.strip()))
                failed.append(name)
                continue
            status = verify_pruning.main([name, report, "--sample", str(args.sample), "--seed", str(args.seed)])
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


if __name__ == "__main__":
    sys.exit(main())
