#!/usr/bin/python3
"""Pruning that keeps accuracy, measured on Fashion-MNIST.

    benchmarks/accuracy/setup                 # Debian's dataset-fashion-mnist and matplotlib
    nice /usr/bin/python3 benchmarks/accuracy/run.py [--out build/accuracy-bench] [--jobs 2]

Trains a small residual network and a VGG-style network (seeded; cached in
--out), then prunes each to every --targets share of its MACs: the recipes of
REGULARISED and RECIPES first (what the README recommends and what it is
compared with), then every criterion one-shot and in --steps rounds.  Every
pruned network is fine-tuned for the same number of SGD steps (an iterative run
spends half of them between its rounds and half after the last; a regularised
one trains the whole network with a penalty on the classes to go for part of
them, then cuts), on the labels or distilled from the unpruned network
(`zavo.Distiller`).  It prints, per run, test
accuracy before and after fine-tuning, parameters, MACs and measured latency
at batch 1 and 64 (one thread), as a table (table.md) and a plot
(accuracy.png).  Two smaller tables follow: accuracy right after a one-shot
cut for each normalisation of scores across tied sets, and latency with and
without round_to.  Everything is seeded: two runs give the same accuracies.

Each run is one job; --jobs of them go at once, each on one thread, and each
keeps its row in --out (results-*.json) as it ends.  A run whose row is there
is not run again, so a benchmark cut short goes on where it stopped.
Latencies of the saved models not measured yet follow, one model at a time;
--remeasure measures all of them again (latency needs a quiet machine; accuracy
does not), --tables only prints the tables of what is in --out.
"""

import argparse
import copy
import json
import multiprocessing
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

# The runs that decide the recipe, run first: (variant, criterion, rounds or None for --steps,
# options of zavo.prune, distillation).  One-shot L1 on the labels is the reference; "distilled"
# fine-tunes toward the unpruned network instead of the labels alone: the distillation is None
# (labels) or the options of zavo.Distiller.
RECIPES = (
    ("", "l1", 1, {}, None),
    ("distilled", "l1", 1, {}, {}),
    ("", "l1", None, {}, None),
    ("", "taylor", 1, {}, None),
    ("set_limit=1", "l1", None, {"set_limit": 1.0}, None),
    ("distilled, T=2, alpha=0.5", "l1", 1, {}, {"temperature": 2.0, "alpha": 0.5}),
)
# Regularise, then cut: (variant, criterion, share of the budget before the cut, strength).  The classes
# of a one-shot cut are chosen first (`zavo.plan`); the whole network trains for that share of the
# budget with `zavo.GroupPenalty` on them, growing from 0 to the strength; then the cut, and the rest
# of the budget.  One cosine schedule runs over both parts, as over the reference's one.
REGULARISED = (
    ("regularised, cut halfway", "l1", 0.5, 1.0),
)


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


def measure(model, example):
    latency = zavo.measure_latency(model, example, threads=1, batch_sizes=(1, 64), warmup=5, repeat=30)
    return {"latency_1_ms": 1e3 * latency[1], "latency_64_ms": 1e3 * latency[64]}


class Task:
    """What one worker needs: the data, the baseline, the fine-tuning stream and settings."""

    def __init__(self, args, network):
        torch.set_num_threads(1)
        self.args, self.network = args, network
        train, test = fmnist.load("train"), fmnist.load("t10k")
        self.test = (test[0][:args.test_size], test[1][:args.test_size])
        self.example = (test[0][:1],)
        self.probe = list(fmnist.batches(*train, BATCH, 4, seed=2))  # the gradients of "taylor"
        self.stream = list(fmnist.batches(*train, BATCH, args.finetune, seed=1))
        self.base, self.trained = load_baseline(network, train, args.out, args.epochs)

    def finetune(self, model, stream, distillation):
        teacher = None if distillation is None else zavo.Distiller(self.base, **distillation)
        fmnist.train(model, stream, lr=self.args.lr, teacher=teacher)

    def prune_run(self, criterion, target, steps, options, distillation):
        """Prune a copy of the baseline to `target` of its MACs and fine-tune it: (row, model)."""
        model = copy.deepcopy(self.base)
        stream = self.stream
        # Iterative: half the budget spread between the rounds, half after the last one.
        pieces = [stream] if steps == 1 else split(stream[:len(stream) // 2], steps - 1) + [stream[len(stream) // 2:]]
        start = time.process_time()
        result = zavo.prune(model, self.example, target_macs=target, importance=criterion, data=self.probe, seed=0,
                            steps=steps, inplace=True, **options,
                            between_steps=lambda pruned, step: self.finetune(pruned, pieces[step - 1], distillation))
        row = {"criterion": criterion, "steps": steps, "target": target,
               "before_ft": fmnist.accuracy(result.model, self.test)}
        self.finetune(result.model, pieces[-1], distillation)
        row.update(after_ft=fmnist.accuracy(result.model, self.test), params=result.parameters[1],
                   macs=result.macs[1], cpu_s=time.process_time() - start)
        return row, result.model

    def regularised_run(self, criterion, target, cut, strength):
        """Regularise, then cut (`REGULARISED`): (row, model); "before FT" is right after the cut."""
        model = copy.deepcopy(self.base)
        start = time.process_time()
        plan = zavo.plan(model, self.example, target_macs=target, importance=criterion, data=self.probe, seed=0)
        steps, first = len(self.stream), round(cut * len(self.stream))
        fmnist.train(model, self.stream[:first], lr=self.args.lr, schedule=(0, steps),
                     penalty=zavo.GroupPenalty(model, plan, strength))
        result = zavo.prune(model, self.example, plan=plan, inplace=True)
        row = {"criterion": criterion, "steps": 1, "target": target,
               "before_ft": fmnist.accuracy(result.model, self.test)}
        fmnist.train(result.model, self.stream[first:], lr=self.args.lr, schedule=(first, steps))
        row.update(after_ft=fmnist.accuracy(result.model, self.test), params=result.parameters[1],
                   macs=result.macs[1], cpu_s=time.process_time() - start)
        return row, result.model


_TASKS = {}


def task_for(args, network):
    """The worker's `Task` for `network`, made once."""
    if network not in _TASKS:
        _TASKS[network] = Task(args, network)
    return _TASKS[network]


def run_base(args, network):
    """The unpruned network's rows: as trained, and fine-tuned as the pruned ones are."""
    task = task_for(args, network)
    _, macs = pruning.run_counted(task.base, task.example)
    accuracy = fmnist.accuracy(task.base, task.test)
    unpruned = dict(network=network, criterion="unpruned", schedule="-", variant="", before_ft=accuracy,
                    after_ft=accuracy, params=pruning.count_parameters(task.base), macs=macs, trained_cpu_s=task.trained,
                    model=None)
    rows = [unpruned]
    for distillation in (None, {}):
        start = time.process_time()
        tuned = copy.deepcopy(task.base)
        task.finetune(tuned, task.stream, distillation)
        rows.append(dict(unpruned, schedule="fine-tuned as the others",
                         variant="" if distillation is None else "distilled", after_ft=fmnist.accuracy(tuned, task.test), cpu_s=time.process_time() - start))
    log("%s: %.2f%% unpruned, %.2f%% fine-tuned as the pruned ones, %.2f%% distilled so" % (
        network, *(r["after_ft"] for r in rows)))
    return {"base": rows}


def run_one(args, network, target, variant, criterion, steps, options, distillation):
    """One pruned and fine-tuned network: its row, its model saved in --out.  `distillation` is
    "regularised" for a run of `REGULARISED`, whose `options` are (cut, strength)."""
    task = task_for(args, network)
    if distillation == "regularised":
        row, model = task.regularised_run(criterion, target, *options)
    else:
        row, model = task.prune_run(criterion, target, steps, options, distillation)
    row.update(network=network, variant=variant, model=run_name(network, target, variant, criterion, steps) + ".pt")
    torch.save(model, os.path.join(args.out, row["model"]))
    log("%s %g %s %d %s: %.2f -> %.2f (%.0f s)" % (network, target, criterion, steps, variant, row["before_ft"],
                                                   row["after_ft"], row["cpu_s"]))
    return {"rows": [row]}


def run_normalize(args, network, target):
    """Accuracy right after a one-shot cut, for each way of comparing tied sets."""
    task = task_for(args, network)
    rows = []
    for criterion in ("l1", "taylor"):
        for normalize in ("mean", "element", "rank", "none"):
            ranking = {"global_ranking": False} if normalize == "rank" else {"normalize": normalize}
            result = zavo.prune(task.base, task.example, target_macs=target, importance=criterion,
                                data=task.probe, **ranking)
            rows.append({"network": network, "target": target, "criterion": criterion, "normalize": normalize,
                         "accuracy": fmnist.accuracy(result.model, task.test)})
    return {"normalize": rows}


def run_name(network, target, variant, criterion, steps):
    name = "%s-%g-%s-%d%s" % (network, target, criterion, steps, variant and "-" + variant)
    return name.replace(", ", "-").replace(" ", "-").replace("=", "")


def run(job):
    """A job: (part name, function name, args, its arguments); its results kept as results-<part>.json."""
    part, kind, args, *rest = job
    got = {"base": run_base, "run": run_one, "normalize": run_normalize}[kind](args, *rest)
    save_results(got, args.out, part)


def jobs(args):
    """Every job not yet run, most telling first: the baselines, the recipes, the normalisation
    table, every criterion."""
    networks = args.networks.split(",")
    targets = [float(t) for t in args.targets.split(",")]
    todo, seen = [(n, "base", args, n) for n in networks], set()

    def add(runs):
        for run_ in runs:
            for target in targets:
                for network in networks:
                    part = run_name(network, target, *run_[:3])
                    if part not in seen:
                        seen.add(part)
                        todo.append((part, "run", args, network, target, *run_))

    if not args.criteria_only:
        add((v, c, 1, (cut, strength), "regularised") for v, c, cut, strength in REGULARISED)
    if not (args.criteria_only or args.regularised_only):
        add((v, c, s or args.steps, o, d) for v, c, s, o, d in RECIPES)
    if not (args.recipes_only or args.regularised_only):
        todo += [("%s-%g-normalize" % (n, t), "normalize", args, n, t) for t in targets for n in networks]
        add(("", c, s, {}, None) for c in args.criteria.split(",") for s in (1, args.steps))
    return [job for job in todo if not os.path.exists(os.path.join(args.out, "results-%s.json" % job[0]))]


STARTED = time.monotonic()


def log(text):
    print("[%5.0fs] %s" % (time.monotonic() - STARTED, text), file=sys.stderr, flush=True)


def save_results(results, out, part):
    path = os.path.join(out, "results-%s.json" % part)
    with open(path + ".tmp", "w", encoding="utf-8") as stream_out:
        json.dump(results, stream_out, indent=1)
    os.replace(path + ".tmp", path)


def load_results(out):
    """The rows of every task kept in `out`, together, with the latencies measured afterwards."""
    results = {"rows": [], "base": [], "normalize": []}
    for name in sorted(os.listdir(out)):
        if name.startswith("results-") and name.endswith(".json"):
            with open(os.path.join(out, name), encoding="utf-8") as stream_in:
                part = json.load(stream_in)
            for key in results:
                results[key].extend(part.get(key, []))
    path = os.path.join(out, "latency.json")
    latency = {"models": {}, "round_to": [], "load": []}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as stream_in:
            latency = json.load(stream_in)
    for r in results["rows"] + results["base"]:
        r.update(latency["models"].get(r["model"] or r["network"], {}))
    results.update(round_to=latency["round_to"], load=latency["load"])
    return results


def measure_all(args):
    """Latency of the saved models and of the round_to cuts, one at a time, into latency.json:
    those not measured yet, or with --remeasure all of them again.  Each sitting's load is kept."""
    torch.set_num_threads(1)
    results = load_results(args.out)
    path = os.path.join(args.out, "latency.json")
    latency = {"models": {}, "round_to": [], "load": []}
    if os.path.exists(path) and not args.remeasure:
        with open(path, encoding="utf-8") as stream_in:
            latency = json.load(stream_in)
    models, round_rows = latency["models"], latency["round_to"]
    test = fmnist.load("t10k")
    example = (test[0][:1],)
    probe = list(fmnist.batches(*fmnist.load("train"), BATCH, 4, seed=2))
    load = os.getloadavg()
    for network in sorted({r["network"] for r in results["base"]}):
        base = load_baseline(network, None, args.out, args.epochs)[0]
        if network not in models:
            models[network] = measure(base, example)
        for target in sorted({r["target"] for r in results["rows"] if r["network"] == network}, reverse=True):
            for round_to in (None, 4, 8):
                if any((r["network"], r["target"], r["round_to"]) == (network, target, round_to) for r in round_rows):
                    continue
                try:
                    result = zavo.prune(base, example, target_macs=target, importance="taylor", data=probe,
                                        round_to=round_to)
                except TargetError:  # sets of 8 channels cannot keep a multiple of 8 and lose any
                    continue
                round_rows.append(dict(network=network, target=target, round_to=round_to, macs=result.macs[1],
                                       **measure(result.model, example)))
    measured = [r["model"] for r in results["rows"] if r["model"] not in models]
    for name in measured:
        models[name] = measure(torch.load(os.path.join(args.out, name)), example)
    latency["load"].append([load, os.getloadavg(), len(measured)])
    with open(path + ".tmp", "w", encoding="utf-8") as stream_out:
        json.dump(latency, stream_out, indent=1)
    os.replace(path + ".tmp", path)


def schedule_name(r):
    if r["criterion"] == "unpruned":
        return r["schedule"]
    return "one-shot" if r["steps"] == 1 else "%d steps" % r["steps"]


def table(rows, base_rows):
    """The main table, in Markdown."""
    lines = ["| network | MACs kept | criterion | schedule | variant | acc. before FT | acc. after FT | parameters "
             "| MACs | latency b1 (ms) | latency b64 (ms) |",
             "|---|---:|---|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in base_rows + rows:
        lines.append("| %s | %.0f%% | %s | %s | %s | %.2f | %.2f | %s | %s | %s | %s |" % (
            r["network"], 100 * r["macs_share"], r["criterion"], schedule_name(r), r["variant"] or "-",
            r["before_ft"], r["after_ft"], "{:,}".format(r["params"]), "{:,}".format(r["macs"]),
            "%.3f" % r["latency_1_ms"] if "latency_1_ms" in r else "-",
            "%.2f" % r["latency_64_ms"] if "latency_64_ms" in r else "-"))
    return "\n".join(lines)


def plot(rows, base_rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    networks = sorted({r["network"] for r in base_rows})
    fig, axes = plt.subplots(1, len(networks), figsize=(6.5 * len(networks), 4.8), squeeze=False)
    colours = dict(zip(CRITERIA, ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:gray")))
    for ax, network in zip(axes[0], networks):
        base = next(r for r in base_rows if r["network"] == network and r["schedule"] == "-")
        ax.axhline(base["after_ft"], color="black", linewidth=0.8, linestyle="--", label="unpruned")
        for r in rows:
            if r["network"] != network:
                continue
            one_shot, distilled = r["steps"] == 1, r["variant"] == "distilled"
            regularised = r["variant"].startswith("regularised")
            if r["variant"] and not (distilled or regularised):
                continue
            shift = 0.012 * (CRITERIA.index(r["criterion"]) - 2) + (0.004 if one_shot else -0.004)
            shift += 0.006 if regularised else 0.0  # beside the one-shot cut it starts from
            marker = "D" if regularised else ("*" if distilled else "o") if one_shot else ("P" if distilled else "^")
            ax.scatter(100 * (r["macs_share"] + shift), r["after_ft"], s=70 if distilled else 40, marker=marker,
                       facecolors="none" if one_shot and not (distilled or regularised) else colours[r["criterion"]],
                       edgecolors=colours[r["criterion"]])
        for criterion in CRITERIA:
            ax.scatter([], [], color=colours[criterion], label=criterion)
        for marker, label, face in (("o", "one-shot", "none"), ("^", "iterative", "black"),
                                    ("*", "one-shot, distilled", "black"), ("P", "iterative, distilled", "black"),
                                    ("D", "regularised, then cut", "black")):
            ax.scatter([], [], marker=marker, facecolors=face, edgecolors="black", label=label)
        ax.set_title("%s on Fashion-MNIST: 50%% and 25%% of the MACs" % network)
        ax.set_xlabel("MACs kept (%), criteria side by side")
        ax.set_ylabel("test accuracy after fine-tuning (%)")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=7, loc="lower right", ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def write_results(results, out):
    """Shares and speed-ups from the raw rows, then the tables (stdout, table.md) and the plot."""
    rows, base_rows, norm_rows, round_rows = (results[k] for k in ("rows", "base", "normalize", "round_to"))
    order = {"": 0, "regularised, cut halfway": 1, "distilled": 2}
    rows.sort(key=lambda r: (r["network"], -r["target"], order.get(r["variant"], 3), r["variant"],
                             CRITERIA.index(r["criterion"]), r["steps"]))
    base_rows.sort(key=lambda r: (r["network"], r["schedule"] != "-", r["variant"]))
    networks = list(dict.fromkeys(r["network"] for r in base_rows))
    targets = sorted({r["target"] for r in rows}, reverse=True)
    unpruned = {r["network"]: r for r in base_rows if r["schedule"] == "-"}
    for r in rows + base_rows + round_rows:
        u = unpruned[r["network"]]
        r["macs_share"] = r["macs"] / u["macs"]
        if "latency_1_ms" in r and "latency_1_ms" in u:
            r.update(speedup_1=u["latency_1_ms"] / r["latency_1_ms"], speedup_64=u["latency_64_ms"] / r["latency_64_ms"])
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
    for before, after, count in results["load"]:
        text += ["latencies of %d runs measured at load average %.2f/%.2f/%.2f (1, 5, 15 minutes) before, "
                 "%.2f/%.2f/%.2f after" % (count, *before, *after)]
    cpu = sum(r.get("cpu_s", 0) + r.get("trained_cpu_s", 0) for r in rows + base_rows)
    text += ["processor time of pruning and fine-tuning: %.0f s (baselines trained: %.0f s of it)" % (
        cpu, sum(r.get("trained_cpu_s", 0) for r in base_rows))]
    print("\n".join(text))
    with open(os.path.join(out, "table.md"), "w", encoding="utf-8") as stream_out:
        stream_out.write("\n".join(text) + "\n")
    plot(rows, base_rows, os.path.join(out, "accuracy.png"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(REPO, "build", "accuracy-bench"),
                        help="directory of the cached baselines and the results")
    parser.add_argument("--networks", default="resnet,vgg")
    parser.add_argument("--targets", default="0.5,0.25", help="shares of the MACs kept")
    parser.add_argument("--criteria", default=",".join(CRITERIA))
    parser.add_argument("--steps", type=int, default=4, help="rounds of the iterative schedule")
    parser.add_argument("--epochs", type=int, default=2, help="training of the baselines")
    parser.add_argument("--finetune", type=int, default=EPOCH, help="SGD steps of fine-tuning, batch %d" % BATCH)
    parser.add_argument("--lr", type=float, default=0.05, help="fine-tuning learning rate (cosine decay)")
    parser.add_argument("--jobs", type=int, default=2, help="tasks (a network at a target) run at once")
    parser.add_argument("--test-size", type=int, default=10000, help="test images evaluated (a quick check: 500)")
    parser.add_argument("--recipes-only", action="store_true",
                        help="only the runs of RECIPES: no other criterion, no normalisation table")
    parser.add_argument("--criteria-only", action="store_true", help="leave out the runs of RECIPES and REGULARISED")
    parser.add_argument("--regularised-only", action="store_true",
                        help="only the runs of REGULARISED (regularise, then cut)")
    parser.add_argument("--remeasure", action="store_true",
                        help="only measure the latencies of the runs kept in --out again, from their saved models")
    parser.add_argument("--tables", action="store_true", help="only print the tables of the runs kept in --out")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    if not (args.remeasure or args.tables):
        todo = jobs(args)
        log("%d runs to go" % len(todo))
        # The baselines first, one per worker, so that no two workers train the same one.
        with multiprocessing.get_context("spawn").Pool(args.jobs) as pool:
            base = [job for job in todo if job[1] == "base"]
            pool.map(run, base, chunksize=1)
            for _ in pool.imap_unordered(run, [job for job in todo if job[1] != "base"], chunksize=1):
                pass
    if not args.tables:
        log("measuring latencies, one model at a time")
        measure_all(args)
    write_results(load_results(args.out), args.out)
    log("results in %s" % args.out)


if __name__ == "__main__":
    main()
