#!/usr/bin/python3
"""Pruning that keeps accuracy, measured on Fashion-MNIST.

    benchmarks/accuracy/setup                 # Debian's dataset-fashion-mnist and matplotlib
    nice /usr/bin/python3 benchmarks/accuracy/run.py [--out build/accuracy-bench] [--threads 2]

Trains a small residual network and a VGG-style network (seeded; cached in
--out), then prunes each to every --targets share of its MACs with every
criterion, one-shot and in --steps rounds, fine-tunes each for the same number
of SGD steps (an iterative run spends half of them between its rounds and half
after the last) and prints, per
run, test accuracy before and after fine-tuning, parameters, MACs and measured
latency at batch 1 and 64 (one thread), as a table (table.md) and a plot
(accuracy.png).  Two smaller tables follow: accuracy right after a one-shot
cut for each normalisation of scores across tied sets, and latency with and
without round_to.  Everything is seeded: two runs give the same accuracies.

Runs over different --networks or --targets may go side by side with one --out
(each with --threads 1): the tables gather every results-*.json there.  --remeasure measures every latency again
from the saved models (latency needs a quiet machine; accuracy does not).
"""

import argparse
import copy
import json
import os
import sys
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "python"))

import fmnist  # noqa: E402
import zavo  # noqa: E402
from zavo import pruning  # noqa: E402
from zavo.selection import TargetError  # noqa: E402

CRITERIA = ("l1", "l2", "bn_scale", "taylor", "random")
BATCH = 128
EPOCH = -(-60000 // BATCH)  # batches of one epoch, the last one cut short


def load_baseline(name, train, cache, epochs):
    """The trained network `name`: from the cache, or trained for `epochs` (seed 0) and cached."""
    path = os.path.join(cache, "%s-e%d.pt" % (name, epochs))
    torch.manual_seed(0)
    model = fmnist.NETWORKS[name]()
    if os.path.exists(path):
        model.load_state_dict(torch.load(path))
        return model.eval(), 0.0
    start = time.process_time()
    stream = list(fmnist.batches(*train, BATCH, epochs * EPOCH, seed=0))
    fmnist.train(model, stream, lr=0.1, warmup=50)
    torch.save(model.state_dict(), path + ".tmp")
    os.replace(path + ".tmp", path)
    return model.eval(), time.process_time() - start


def split(stream, parts):
    """`stream` cut into `parts` consecutive pieces of (nearly) equal length."""
    bounds = [round(i * len(stream) / parts) for i in range(parts + 1)]
    return [stream[bounds[i]:bounds[i + 1]] for i in range(parts)]


def measure(model, example, threads):
    latency = zavo.measure_latency(model, example, threads=threads, batch_sizes=(1, 64), warmup=5, repeat=30)
    return {"latency_1_ms": 1e3 * latency[1], "latency_64_ms": 1e3 * latency[64]}


def prune_run(base, example, test, stream, probe, criterion, target, steps, lr, threads, **options):
    """Prune a copy of `base` to `target` of its MACs, fine-tune it on `stream`: (row, model)."""
    model = copy.deepcopy(base)
    # Iterative: half the budget spread between the rounds, half after the last one.
    pieces = [stream] if steps == 1 else split(stream[:len(stream) // 2], steps - 1) + [stream[len(stream) // 2:]]

    def between(pruned, step):
        fmnist.train(pruned, pieces[step - 1], lr=lr)

    start = time.process_time()
    result = zavo.prune(model, example, target_macs=target, importance=criterion, data=probe, seed=0,
                        steps=steps, between_steps=between, inplace=True, **options)
    row = {"criterion": criterion, "steps": steps, "target": target,
           "before_ft": fmnist.accuracy(result.model, test)}
    fmnist.train(result.model, pieces[-1], lr=lr)
    row.update(after_ft=fmnist.accuracy(result.model, test), params=result.parameters[1], macs=result.macs[1],
               cpu_s=time.process_time() - start, **measure(result.model, example, threads))
    return row, result.model


def table(rows, base_rows):
    """The main table, in Markdown."""
    lines = ["| network | MACs kept | criterion | schedule | acc. before FT | acc. after FT | parameters | MACs "
             "| latency b1 (ms) | latency b64 (ms) |",
             "|---|---:|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in base_rows + rows:
        schedule = r.get("schedule") or ("one-shot" if r["steps"] == 1 else "%d steps" % r["steps"])
        lines.append("| %s | %s | %s | %s | %.2f | %.2f | %s | %s | %.3f | %.2f |" % (
            r["network"], "%.0f%%" % (100 * r["macs_share"]), r["criterion"], schedule,
            r["before_ft"], r["after_ft"], "{:,}".format(r["params"]), "{:,}".format(r["macs"]),
            r["latency_1_ms"], r["latency_64_ms"]))
    return "\n".join(lines)


def plot(rows, base_rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    networks = sorted({r["network"] for r in base_rows})
    fig, axes = plt.subplots(1, len(networks), figsize=(6 * len(networks), 4.5), squeeze=False)
    colours = dict(zip(CRITERIA, ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:gray")))
    for ax, network in zip(axes[0], networks):
        base = next(r for r in base_rows if r["network"] == network and r["criterion"] == "unpruned")
        ax.axhline(base["after_ft"], color="black", linewidth=0.8, linestyle="--", label="unpruned")
        for r in rows:
            if r["network"] != network:
                continue
            one_shot = r["steps"] == 1
            shift = 0.012 * (CRITERIA.index(r["criterion"]) - 2) + (0.004 if one_shot else -0.004)
            ax.scatter(100 * (r["macs_share"] + shift), r["after_ft"], s=40,
                       marker="o" if one_shot else "^", facecolors="none" if one_shot else colours[r["criterion"]],
                       edgecolors=colours[r["criterion"]])
        for criterion in CRITERIA:
            ax.scatter([], [], color=colours[criterion], label=criterion)
        ax.scatter([], [], marker="o", facecolors="none", edgecolors="black", label="one-shot")
        ax.scatter([], [], marker="^", color="black", label="iterative")
        ax.set_title("%s on Fashion-MNIST: 50%% and 25%% of the MACs" % network)
        ax.set_xlabel("MACs kept (%), criteria side by side")
        ax.set_ylabel("test accuracy after fine-tuning (%)")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def round_to_rows(network, base, example, probe, targets):
    """Latency of one-shot taylor cuts to each target, without and with round_to."""
    rows = []
    for target in targets:
        for round_to in (None, 4, 8):
            try:
                result = zavo.prune(base, example, target_macs=target, importance="taylor", data=probe,
                                    round_to=round_to)
            except TargetError:  # sets of 8 channels cannot keep a multiple of 8 and lose any
                continue
            rows.append(dict(network=network, target=target, round_to=round_to, macs=result.macs[1],
                             **measure(result.model, example, 1)))
    return rows


def save_results(results, out, part):
    with open(os.path.join(out, "results-%s.json" % part), "w", encoding="utf-8") as stream_out:
        json.dump(results, stream_out, indent=1)


def load_results(out):
    """The results of every run kept in `out` (one file per set of networks), together."""
    results = {"rows": [], "base": [], "normalize": [], "round_to": [], "load": []}
    for name in sorted(os.listdir(out)):
        if name.startswith("results-") and name.endswith(".json"):
            with open(os.path.join(out, name), encoding="utf-8") as stream_in:
                part = json.load(stream_in)
            results["load"].append(part["load"])
            for key in ("rows", "base", "normalize", "round_to"):
                results[key].extend(part[key])
    # Runs of one network to different targets each measure the unpruned network: keep the first.
    results["base"] = list({(r["network"], r["schedule"]): r for r in reversed(results["base"])}.values())[::-1]
    return results


def write_results(results, out):
    """Shares and speed-ups from the raw rows, then the tables (stdout, table.md) and the plot."""
    rows, base_rows, norm_rows, round_rows = (results[k] for k in ("rows", "base", "normalize", "round_to"))
    rows.sort(key=lambda r: (r["network"], -r["target"], CRITERIA.index(r["criterion"]), r["steps"]))
    base_rows.sort(key=lambda r: r["network"])
    networks = list(dict.fromkeys(r["network"] for r in base_rows))
    targets = sorted({r["target"] for r in rows}, reverse=True)
    unpruned = {r["network"]: r for r in base_rows if r["schedule"] == "-"}
    for r in rows + base_rows + round_rows:
        u = unpruned[r["network"]]
        r.update(macs_share=r["macs"] / u["macs"], speedup_1=u["latency_1_ms"] / r["latency_1_ms"],
                 speedup_64=u["latency_64_ms"] / r["latency_64_ms"])
    text = [table(rows, base_rows), "",
            "Accuracy right after a one-shot cut (no fine-tuning), by normalisation across tied sets:", "",
            "| network | MACs kept | criterion | mean | element | rank | none |", "|---|---:|---|---:|---:|---:|---:|"]
    for network in networks:
        for target in targets:
            for criterion in ("l1", "taylor"):
                got = {r["normalize"]: r["accuracy"] for r in norm_rows
                       if (r["network"], r["target"], r["criterion"]) == (network, target, criterion)}
                if got:
                    text.append("| %s | %.0f%% | %s | %s |" % (network, 100 * target, criterion, " | ".join(
                        "%.2f" % got[n] for n in ("mean", "element", "rank", "none"))))
    text += ["", "Latency (one thread) of one-shot taylor cuts by round_to:", "",
             "| network | MACs kept | round_to | MACs | b1 (ms) | b64 (ms) | speed-up b1 | speed-up b64 |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in round_rows:
        text.append("| %s | %.1f%% | %s | %s | %.3f | %.2f | %.2fx | %.2fx |" % (
            r["network"], 100 * r["macs_share"], r["round_to"] or "-", "{:,}".format(r["macs"]),
            r["latency_1_ms"], r["latency_64_ms"], r["speedup_1"], r["speedup_64"]))
    text += ["", "latency measured at load average %s (1 minute, 5 minutes; per run)" % ", ".join(
        "%.2f/%.2f" % tuple(load[:2]) for load in results["load"])]
    print("\n".join(text))
    with open(os.path.join(out, "table.md"), "w", encoding="utf-8") as stream_out:
        stream_out.write("\n".join(text) + "\n")
    plot(rows, base_rows, os.path.join(out, "accuracy.png"))


def remeasure(args, example, probe):
    """Measure every latency of the runs kept in --out again (at a quieter time) from their saved models."""
    results = load_results(args.out)
    bases = {}
    for r in results["base"]:
        if r["network"] not in bases:
            bases[r["network"]] = load_baseline(r["network"], None, args.out, args.epochs)[0]
        r.update(measure(bases[r["network"]], example, 1))
    for r in results["rows"]:
        r.update(measure(torch.load(os.path.join(args.out, r["model"])), example, 1))
    targets = sorted({r["target"] for r in results["rows"]}, reverse=True)
    results["round_to"] = [row for network, base in bases.items()
                           for row in round_to_rows(network, base, example, probe, targets)]
    results["load"] = [os.getloadavg()]
    for name in os.listdir(args.out):
        if name.startswith("results-") and name.endswith(".json"):
            os.remove(os.path.join(args.out, name))
    save_results(results, args.out, "remeasured")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(REPO, "build", "accuracy-bench"),
                        help="directory of the cached baselines and the results")
    parser.add_argument("--networks", default="resnet,vgg")
    parser.add_argument("--targets", default="0.5,0.25", help="shares of the MACs kept")
    parser.add_argument("--criteria", default=",".join(CRITERIA))
    parser.add_argument("--steps", type=int, default=4, help="rounds of the iterative schedule")
    parser.add_argument("--epochs", type=int, default=2, help="training of the baselines")
    parser.add_argument("--finetune", type=int, default=235, help="SGD steps of fine-tuning, batch %d" % BATCH)
    parser.add_argument("--lr", type=float, default=0.02, help="fine-tuning learning rate (cosine decay)")
    parser.add_argument("--threads", type=int, default=2, help="threads for training (latency: one thread)")
    parser.add_argument("--test-size", type=int, default=10000, help="test images evaluated (a quick check: 500)")
    parser.add_argument("--main-only", action="store_true",
                        help="leave out the normalisation and round_to tables")
    parser.add_argument("--remeasure", action="store_true",
                        help="only measure the latencies of the runs kept in --out again, from their saved models")
    parser.add_argument("--tables", action="store_true", help="only print the tables of the runs kept in --out")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    os.makedirs(args.out, exist_ok=True)
    train, test = fmnist.load("train"), fmnist.load("t10k")
    test = (test[0][:args.test_size], test[1][:args.test_size])
    example = (test[0][:1],)
    probe = list(fmnist.batches(*train, BATCH, 4, seed=2))  # the gradients of "taylor"
    if args.remeasure or args.tables:
        write_results(remeasure(args, example, probe) if args.remeasure else load_results(args.out), args.out)
        return
    stream = list(fmnist.batches(*train, BATCH, args.finetune, seed=1))
    targets = [float(t) for t in args.targets.split(",")]
    results = {"rows": [], "base": [], "normalize": [], "round_to": [], "load": os.getloadavg()}
    part = "-".join(x.replace(",", "-") for x in (args.networks, args.targets, args.criteria))
    started = time.monotonic()

    def log(text):
        print("[%5.0fs] %s" % (time.monotonic() - started, text), file=sys.stderr, flush=True)

    for network in args.networks.split(","):
        base, trained = load_baseline(network, train, args.out, args.epochs)
        if trained:
            log("%s: trained for %d epochs in %.0f s of CPU" % (network, args.epochs, trained))
        _, macs = pruning.run_counted(base, example)
        accuracy = fmnist.accuracy(base, test)
        unpruned = dict(network=network, criterion="unpruned", schedule="-", before_ft=accuracy, after_ft=accuracy,
                        params=pruning.count_parameters(base), macs=macs, **measure(base, example, 1))
        tuned = fmnist.train(copy.deepcopy(base), stream, lr=args.lr)
        results["base"] += [unpruned, dict(unpruned, schedule="fine-tuned as the others",
                                           after_ft=fmnist.accuracy(tuned, test))]
        log("%s: %.2f%% unpruned, %.2f%% fine-tuned as the pruned ones" % (
            network, accuracy, results["base"][-1]["after_ft"]))
        for target in targets:
            for criterion in args.criteria.split(","):
                for steps in (1, args.steps):
                    row, model = prune_run(base, example, test, stream, probe, criterion, target, steps, args.lr, 1)
                    row.update(network=network, model="%s-%g-%s-%d.pt" % (network, target, criterion, steps))
                    torch.save(model, os.path.join(args.out, row["model"]))
                    results["rows"].append(row)
                    save_results(results, args.out, part)  # a run cut short keeps what it measured
                    log("%s %g %s %d: %.2f -> %.2f (%.0f s)" % (network, target, criterion, steps, row["before_ft"],
                                                                 row["after_ft"], row["cpu_s"]))
            if args.main_only:
                continue
            for criterion in ("l1", "taylor"):
                for normalize in ("mean", "element", "rank", "none"):
                    ranking = {"global_ranking": False} if normalize == "rank" else {"normalize": normalize}
                    result = zavo.prune(base, example, target_macs=target, importance=criterion, data=probe, **ranking)
                    results["normalize"].append({"network": network, "target": target, "criterion": criterion,
                                                 "normalize": normalize,
                                                 "accuracy": fmnist.accuracy(result.model, test)})
            results["round_to"] += round_to_rows(network, base, example, probe, [target])
    results["load"] = os.getloadavg()
    save_results(results, args.out, part)
    write_results(load_results(args.out), args.out)
    log("results in %s; %.0f s in all" % (args.out, time.monotonic() - started))


if __name__ == "__main__":
    main()
