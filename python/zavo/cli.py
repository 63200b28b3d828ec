"""The verbs of `zavo-prune` that need PyTorch, dispatched by `main`; the repository's
./zavo-prune runs them (`python -m zavo VERB ...`), and the native binary the others
(`analyze`, `explain`, `view`).  `VERBS` names each with its one-line help, which the
native binary's `--help` lists under its own.

    zavo-prune prune MODEL [--amount 0.3 | --target-macs 0.5 | --target-params 0.5]
                     [--importance l1|l2|bn_scale|random] [--global] [--normalize mean|element|none]
                     [--steps N] [--set-limit 0.8] [--ignore LAYER ...] [--round-to N]
                     [--rules core|extended]
                     [--input-size 1,3,224,224] [--seed 0] -o PRUNED.pt
    zavo-prune export MODEL [--input-size 1,3,64,64] [--seed 0] [--train] [--device meta] -o GRAPH.json
    zavo-prune verify MODEL REPORT.json [--sample N] [--seed 0] [--input-size ...]
    zavo-prune sweep [MODEL ...] [--family F]... [-o TABLE.md]
    zavo-prune zoo build [NAME ...] [--summaries]
    zavo-prune zoo prove [NAME ...] [--sample 32] [--prune 0.1,0.3,0.5] [--targets 0.5,0.25]

`prune` builds a named model (a zoo model, a torchvision builder or
`package.module:function`, with random weights from the seed as the exporter
builds it), prunes it and saves it with `torch.save`.  A progress line per
stage goes to standard error, the change to standard output.  Exit status:
0 when the pruned model was saved, 1 when the analysis or the pruned model
failed, 2 for a usage error or a model that cannot be built.
"""

import argparse
import sys


def _save_atomic(model, path):
    import torch

    from zavo.atomic_file import replace_atomic

    replace_atomic(path, lambda tmp: torch.save(model, tmp))


def _bounded(accept, message):
    """An argparse type: a number that `accept` takes, or `message`."""
    def parse(text):
        try:
            value = float(text)
        except ValueError:
            value = None
        if value is None or not accept(value):
            raise argparse.ArgumentTypeError(message)
        return value

    return parse


_amount = _bounded(lambda v: 0 <= v < 1, "expected a number at least 0 and below 1, e.g. 0.3")
_share = _bounded(lambda v: 0 < v <= 1, "expected the share kept, above 0 and at most 1, e.g. 0.5")
_limit = _bounded(lambda v: 0 < v <= 1, "expected the largest share removed, above 0 and at most 1, e.g. 0.8")


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("expected a positive integer")
    return value


def prune_main(argv=None, prog="zavo-prune prune"):
    from zavo import export

    parser = argparse.ArgumentParser(prog=prog, description="Prune a model's channels and save the pruned model.")
    parser.add_argument("model", help="a zoo model, a torchvision builder (e.g. resnet18) or package.module:function")
    how_much = parser.add_mutually_exclusive_group()
    how_much.add_argument("--amount", type=_amount, help="share of prunable channels to remove (0.3)")
    how_much.add_argument("--target-macs", type=_share, help="share of the multiply-accumulates to keep")
    how_much.add_argument("--target-params", type=_share, help="share of the parameters to keep")
    # taylor needs data and a loss: from Python (zavo.prune) only
    parser.add_argument("--importance", choices=("l1", "l2", "bn_scale", "random"), default="l1",
                        help="what ranks channels (l1)")
    parser.add_argument("--global", dest="global_ranking", action="store_true", default=None,
                        help="rank all channels together instead of each tied set of dimensions "
                             "(always with a target)")
    parser.add_argument("--normalize", choices=("mean", "element", "none"), default="mean",
                        help="how a global ranking compares tied sets (mean: each score over its set's mean)")
    parser.add_argument("--steps", type=_positive, default=1, help="prune in this many rounds (1)")
    parser.add_argument("--set-limit", type=_limit, default=0.8,
                        help="the largest share of a tied set's channels any ranking or round removes (0.8)")
    parser.add_argument("--ignore", action="append", default=[], metavar="LAYER",
                        help="a layer (qualified module name) whose channels stay; repeatable")
    parser.add_argument("--round-to", type=int, help="keep a multiple of this many channels in each set")
    parser.add_argument("--rules", choices=("core", "extended"), default="extended",
                        help="the analysis's node handlers (extended: also normalisations, heads, embeddings)")
    parser.add_argument("--input-size", type=export.parse_input_size, help="example input shape, e.g. 1,3,224,224")
    parser.add_argument("--seed", type=int, default=0, help="seed of the weights and the input (0)")
    parser.add_argument("-o", "--output", required=True, help="file for the pruned model (torch.save)")
    args = parser.parse_args(argv)
    if args.round_to is not None and args.round_to < 1:
        parser.error("--round-to must be a positive integer")

    import zavo
    from zavo import zoo

    def progress(line):
        print("%s: %s" % (prog.split()[0], line), file=sys.stderr, flush=True)

    progress("building %s" % args.model)
    try:
        built = zoo.build(args.model, seed=args.seed, input_size=args.input_size)
    except zoo.ModelError as error:
        print("error: %s" % error, file=sys.stderr)
        return 2
    try:
        result = zavo.prune(built.model, built.inputs, amount=args.amount, target_macs=args.target_macs,
                            target_params=args.target_params, importance=args.importance,
                            global_ranking=args.global_ranking, normalize=args.normalize, steps=args.steps,
                            set_limit=args.set_limit, seed=args.seed, ignored_layers=args.ignore,
                            round_to=args.round_to, inplace=True, name=args.model, progress=progress,
                            rules=args.rules)
    except ValueError as error:  # an ignored layer or option the model cannot take
        print("error: %s" % error, file=sys.stderr)
        return 2
    except (zavo.ZavoError, export.TraceError) as error:
        print("error: %s" % error, file=sys.stderr)
        return 1
    _save_atomic(result.model, args.output)
    print(result)
    print("\npruned model written to %s" % args.output)
    return 0


def _export(argv, prog):
    from zavo import export

    return export.main(argv, prog=prog)


def _verify(argv, prog):
    from zavo import verify

    return verify.main(argv, prog=prog)


def _sweep(argv, prog):
    from zavo import sweep

    return sweep.main(argv, prog=prog)


def _zoo(argv, prog):
    from zavo import zoo_commands

    return zoo_commands.main(argv, prog=prog)


# Each verb: its one-line help and what runs it, in the order the help lists them.
VERBS = {
    "prune": ("Prune a named model's channels and save the pruned model", prune_main),
    "export": ("Trace a PyTorch model and write its graph file", _export),
    "verify": ("Prove on the model that a report's prunable classes can be pruned", _verify),
    "sweep": ("Run torchvision's builders through the whole road, one row per model", _sweep),
    "zoo": ("Regenerate the shipped zoo's graph files (zoo build) or prove them (zoo prove)", _zoo),
}


def usage():
    lines = ["usage: zavo-prune VERB [options]  (zavo-prune VERB --help tells more)", "",
             "The Python package's verbs (PyTorch):"]
    lines += ["  %-27s %s" % (verb, text) for verb, (text, _) in VERBS.items()]
    lines += ["", "analyze, explain and view are the native binary's (zavo-prune --help)."]
    return "\n".join(lines)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] in VERBS:
        from zavo import export

        if export.torch is None:  # every verb builds or runs a model
            print(export.TORCH_MISSING.format(exe=sys.executable), file=sys.stderr)
            return 2
        return VERBS[argv[0]][1](argv[1:], "zavo-prune " + argv[0])
    asked = bool(argv) and argv[0] in ("-h", "--help")
    print(usage(), file=sys.stdout if asked else sys.stderr)
    if argv and not asked:
        print("zavo-prune: unknown verb %s" % argv[0], file=sys.stderr)
    return 0 if asked else 2
