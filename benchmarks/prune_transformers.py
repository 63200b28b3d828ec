#!/usr/bin/env python3
"""Prunes transformers with `zavo.prune` and prints their parameters and heads before and after,
under each rule set, and the pruning proof on a seeded sample of each model's classes.

    /usr/bin/python3 benchmarks/prune_transformers.py [--amount 0.3] [--rules core,extended]
                                                      [--prove 4] [NAME ...]

Models (random weights, each builder's own input size): vit_b_16, swin_t and mvit_v2_s from
torchvision, the zoo's tiny_decoder, and decoder_small, a decoder of 7B proportions (32 heads
sharing 8 key-value heads) at width 512. Times are processor seconds of this process.
"""

import argparse
import os
import random
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "python"))

import torch  # noqa: E402

import zavo  # noqa: E402
from zavo import decoder, export, verify, zoo  # noqa: E402

SMALL_DECODER = decoder.DecoderConfig(vocab_size=2000, dim=512, layers=4, heads=32, kv_heads=8, hidden=1376,
                                      max_seq=64, tie_embeddings=False)


def build(name):
    """(model, example inputs) with the zoo's randomised normalisations."""
    if name == "decoder_small":
        torch.manual_seed(0)
        return decoder.Decoder(SMALL_DECODER).eval(), (torch.randint(SMALL_DECODER.vocab_size, (1, 64)),)
    if name == "mvit_v2_s":
        from torchvision.models import video

        torch.manual_seed(0)
        model = video.mvit_v2_s().eval()
        with torch.no_grad():
            zoo._randomise_norms(model)
        return model, (torch.randn(1, 3, 16, 224, 224),)
    size = {"vit_b_16": (1, 3, 224, 224), "swin_t": (1, 3, 224, 224)}.get(name)
    built = zoo.build(name, input_size=size)
    return built.model, built.inputs


def prove(model, inputs, report, sample, seed=0):
    """Check one class of each of a seeded sample of the tied sets (the classes that cover the
    same parameter dimensions: a layer's heads, an MLP's width, the residual stream); returns
    the lines."""
    sets = {}
    for group in report.prunable_groups:
        sets.setdefault(frozenset((c.node, c.dim) for c in group.channels), []).append(group)
    rng = random.Random(seed)
    picked = [rng.choice(members) for members in rng.sample(sorted(sets.values(), key=lambda m: m[0].label),
                                                            min(sample, len(sets)))]
    model.eval()
    spanned = verify.spanned_labels(export.trace(model, inputs), report.nodes)
    reference = verify._outputs(model, inputs, False)
    lines = []
    for group in picked:
        sound, detail = verify.check_class(model, inputs, group.channels, reference=reference,
                                           spanned_by=spanned.get(group.label))
        lines.append("  class %d (%d slices, first %s): %s; %s" % (
            group.label, len(group.channels), "%s dim %d [%d]" % group.channels[0],
            "sound" if sound else "UNSOUND", detail))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", default=["vit_b_16", "swin_t", "mvit_v2_s", "tiny_decoder",
                                                     "decoder_small"])
    parser.add_argument("--amount", type=float, default=0.3)
    parser.add_argument("--prove", type=int, default=0, metavar="N",
                        help="under the extended rules, prove a class of each of N sampled tied sets per model")
    parser.add_argument("--rules", default="core,extended", help="the rule sets to compare, in order")
    args = parser.parse_args()
    rows = []
    for name in args.names:
        model, inputs = build(name)
        for rules in args.rules.split(","):
            start = time.process_time()
            report = zavo.analyze(model, inputs, name=name, rules=rules)
            analysed = time.process_time()
            result = zavo.prune(model, inputs, amount=args.amount, report=report, name=name)
            pruned = time.process_time()
            (heads, kv), (heads_after, kv_after) = result.heads
            share = 100.0 * result.parameters[1] / result.parameters[0]
            rows.append("| %s | %s | %s / %s | %s | %s (%.1f%%) | %d -> %d | %d -> %d | %s | %.0f + %.0f |" % (
                name, rules, "{:,}".format(report.summary["prunable_classes"]),
                "{:,}".format(report.summary["channel_classes"]), "{:,}".format(result.parameters[0]),
                "{:,}".format(result.parameters[1]), share, heads, heads_after, kv, kv_after,
                ", ".join(str(s) for s in result.output_shapes), analysed - start, pruned - analysed))
            print("%s, %s rules: analysed in %.1f s, pruned in %.1f s" % (name, rules, analysed - start,
                                                                         pruned - analysed))
            print(result.summary(layers=6))
            if args.prove and rules == "extended":
                print("\n".join(prove(model, inputs, report, args.prove)))
            sys.stdout.flush()
            del result
    print("\n| model | rules | prunable classes / classes | parameters | after pruning | heads | key-value heads "
          "| output shapes | analyse + prune, s |")
    print("|---|---|---|---:|---:|---|---|---|---|")
    print("\n".join(rows))

if __name__ == "__main__":
    main()
