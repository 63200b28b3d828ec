"""`zavo-prune prune`: prune a named model and save it with `torch.save`.

    zavo-prune prune MODEL [--amount 0.3] [--importance l1|l2] [--global] [--ignore LAYER ...]
                     [--round-to N] [--input-size 1,3,224,224] [--seed 0] -o PRUNED.pt

MODEL is a zoo model, a torchvision builder or `package.module:function`, built
with random weights from the seed as the exporter builds it.  A progress line
per stage goes to standard error, the change to standard output.  Exit status:
0 when the pruned model was saved, 1 when the analysis or the pruned model
failed, 2 for a usage error or a model that cannot be built.

`zavo-prune sweep` runs many models through the whole road (`zavo.sweep`).
"""

import argparse
import sys


def _save_atomic(model, path):
    import torch

    from zavo.export import replace_atomic

    replace_atomic(path, lambda tmp: torch.save(model, tmp))


def _amount(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError("expected a number at least 0 and below 1, e.g. 0.3")
    return value


def prune_main(argv=None, prog="zavo-prune prune"):
    from zavo import export

    parser = argparse.ArgumentParser(prog=prog, description="Prune a model's channels and save the pruned model.")
    parser.add_argument("model", help="a zoo model, a torchvision builder (e.g. resnet18) or package.module:function")
    parser.add_argument("--amount", type=_amount, default=0.3, help="share of prunable channels to remove (0.3)")
    parser.add_argument("--importance", choices=("l1", "l2"), default="l1", help="norm that ranks channels (l1)")
    parser.add_argument("--global", dest="global_ranking", action="store_true",
                        help="rank all channels together instead of each tied set of dimensions")
    parser.add_argument("--ignore", action="append", default=[], metavar="LAYER",
                        help="a layer (qualified module name) whose channels stay; repeatable")
    parser.add_argument("--round-to", type=int, help="keep a multiple of this many channels in each set")
    parser.add_argument("--input-size", type=export.parse_input_size, help="example input shape, e.g. 1,3,224,224")
    parser.add_argument("--seed", type=int, default=0, help="seed of the weights and the input (0)")
    parser.add_argument("-o", "--output", required=True, help="file for the pruned model (torch.save)")
    args = parser.parse_args(argv)
    if args.round_to is not None and args.round_to < 1:
        parser.error("--round-to must be a positive integer")
    if export.torch is None:
        print(export.TORCH_MISSING.format(exe=sys.executable), file=sys.stderr)
        return 2

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
        result = zavo.prune(built.model, built.inputs, amount=args.amount, importance=args.importance,
                            global_ranking=args.global_ranking, ignored_layers=args.ignore, round_to=args.round_to,
                            inplace=True, name=args.model, progress=progress)
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


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "prune":
        return prune_main(argv[1:])
    if argv and argv[0] == "sweep":
        from zavo import sweep

        return sweep.main(argv[1:])
    print("usage: python -m zavo prune MODEL [options] -o PRUNED.pt\n"
          "       python -m zavo sweep [MODEL ...] [options]  (zavo-prune analyze is the native command)",
          file=sys.stderr)
    return 2
