"""`zavo-prune sweep`: every torchvision builder through the whole road, one row per model.

    zavo-prune sweep [MODEL ...] [--family F]... [--amount 0.3] [--sample 8] [--seed 0]
                     [--timeout 3600] [--threads 1] [-o TABLE.md]

For each model (default: every torchvision builder but the quantized ones;
also zoo names and `package.module:function`): build it with random weights
and its family's example input (`zoo.torchvision_entry`), trace it, analyse
the graph, prune it by `--amount` with `zavo.prune` (which runs the pruned
model and checks its outputs' structure), and prove a seeded sample of its
prunable classes (`zavo.verify`).  Each model runs in a process of its own
with `--timeout` seconds of processor time (on a shared machine, wall time
says little) and, for a hang that waits, ten times as many seconds of wall
time, so that one failure, hang or exhausted memory costs one row.  The table goes to standard output (and, with `-o`, to a
file), a progress line per model to standard error.  Exit status 0 when
every model passes, 1 when one does not, 2 for a usage error.
"""

import argparse
import io
import json
import resource
import signal
import subprocess
import sys
import time

# How many times its processor time a model may take in wall time, before it counts as hung.
WALL_FACTOR = 10
FAMILY_ORDER = ("classification", "segmentation", "detection", "video", "optical_flow", "quantization")
COLUMNS = ("model", "family", "input", "nodes", "prunable classes", "parameters", "MACs", "proof", "seconds",
           "result")


def default_models(families=None):
    """Every torchvision builder but the quantized ones (or those of `families`), by family then name."""
    import torchvision

    from zavo import zoo

    chosen = []
    for name in torchvision.models.list_models():
        family = zoo.torchvision_family(torchvision.models.get_model_builder(name))
        if (family in families) if families else family != "quantization":
            chosen.append((FAMILY_ORDER.index(family), name))
    return [name for _, name in sorted(chosen)]


def _input_text(inputs):
    """The example input for a person: `1x3x64x64`, `[3x200x200]`, `1x3x64x64, 1x3x64x64`."""
    import torch

    def one(value):
        if isinstance(value, torch.Tensor):
            return "x".join(str(s) for s in value.shape)
        if isinstance(value, (list, tuple)):
            return "[%s]" % ", ".join(one(v) for v in value)
        return type(value).__name__

    return ", ".join(one(v) for v in inputs)


def sweep_one(name, amount=0.3, sample=8, seed=0, progress=None, rules="extended"):
    """Run one model through the road; a dict of what each stage gave.

    `stage` is where it stopped ("done" when it did not) and `error` why.
    """
    import torch

    import zavo
    from zavo import export, pruning, verify, zoo  # noqa: F401  (every module up front, as one version)

    row = {"model": name, "stage": "build", "error": None}
    started = time.process_time()

    def stage(text):
        row["stage"] = text
        if progress:
            progress(text)

    try:
        row["family"] = zoo.family(name)
        # A torchvision builder as a user gets it, even where the zoo keeps a lighter configuration.
        entry = zoo.torchvision_entry(name) if row["family"] not in ("zoo", "custom") else None
        built = zoo.build(name, seed=seed, entry=entry)
        row["input"] = _input_text(built.inputs)
        stage("trace")
        model = built.model.eval()
        graph = export.trace(model, built.inputs, name=name)
        row["nodes"] = len(graph["nodes"])
        stage("analyse")
        report = zavo.analyze_graph(graph, safe=True, rules=rules)  # as zavo.prune analyses
        del graph
        row["classes"] = (report.summary["prunable_classes"], report.summary["channel_classes"])
        stage("prune")
        result = zavo.prune(model, built.inputs, amount=amount, report=report, name=name)
        row["parameters"], row["macs"] = result.parameters, result.macs
        row["data_dependent"] = result.outputs.data_dependent
        del result
        stage("proof")
        groups = verify.select_groups(report, sample, seed)
        lines = io.StringIO()
        with torch.no_grad():
            unsound = verify.verify(model, built.inputs, groups, out=lines)
        row["proof"] = (len(groups) - unsound, len(groups))
        if unsound:
            first = next(line for line in lines.getvalue().splitlines() if ": unsound: " in line)
            raise zavo.ZavoError("%d of %d sampled classes unsound; %s: %s" % (
                unsound, len(groups), first.split(": ", 1)[0], first.rsplit("; ", 1)[-1]))
        stage("done")
    except Exception as error:  # every failure is this model's row
        row["error"] = "%s: %s" % (type(error).__name__, _first_line(error))
    row["seconds"] = time.process_time() - started
    return row


def _first_line(error):
    text = str(error).strip()
    return text.splitlines()[0] if text else ""


def _count(value):
    for limit, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= limit:
            return "%.3g%s" % (value / limit, suffix)
    return str(value)


def _change(pair):
    if not pair:
        return ""
    before, after = pair
    share = " (%+.0f%%)" % (100.0 * (after - before) / before) if before else ""
    return "%s -> %s%s" % (_count(before), _count(after), share)


def passed(row):
    return row.get("stage") == "done"


def row_cells(row):
    """The row's cells, in the order of COLUMNS."""
    if passed(row):
        result = "pass" + (" (data-dependent outputs)" if row.get("data_dependent") else "")
    elif row.get("stage") == "timeout":
        result = "timeout: %s" % row["error"]
    else:
        result = "fails at %s: %s" % (row.get("stage"), row.get("error"))
    classes = row.get("classes")
    proof = row.get("proof")
    return (
        row["model"], row.get("family", ""), row.get("input", ""), str(row.get("nodes", "")),
        "%d of %d" % tuple(classes) if classes else "", _change(row.get("parameters")), _change(row.get("macs")),
        "%d of %d sound" % tuple(proof) if proof else "", "%.0f" % row["seconds"] if "seconds" in row else "",
        result.replace("|", "\\|"),
    )


def table_line(cells):
    return "| " + " | ".join(cells) + " |"


def totals(rows):
    """The closing lines: how many models passed, and the proof's count."""
    counts = {"pass": sum(map(passed, rows)), "timeout": sum(r.get("stage") == "timeout" for r in rows)}
    failed = len(rows) - counts["pass"] - counts["timeout"]
    sound = sum(r["proof"][0] for r in rows if r.get("proof"))
    checked = sum(r["proof"][1] for r in rows if r.get("proof"))
    return ("%d model%s: %d pass, %d fail, %d time out; proof: %d of %d sampled classes sound" % (
        len(rows), "" if len(rows) == 1 else "s", counts["pass"], failed, counts["timeout"], sound, checked))


def _run_child(name, args):
    """One model in a process of its own; its row, or a timeout row."""
    command = [sys.executable, "-m", "zavo.sweep", "--one", name, "--amount", str(args.amount), "--sample",
               str(args.sample), "--seed", str(args.seed), "--threads", str(args.threads), "--rules", args.rules]
    limit = int(args.timeout)

    def limit_processor_time():
        resource.setrlimit(resource.RLIMIT_CPU, (limit, limit + 10))

    try:
        run = subprocess.run(command, capture_output=True, text=True, timeout=WALL_FACTOR * limit,
                             preexec_fn=limit_processor_time)
        stderr, status = run.stderr, run.returncode
    except subprocess.TimeoutExpired as expired:
        stderr, status = _text(expired.stderr), None
    stages = [line[len("stage: "):] for line in stderr.splitlines() if line.startswith("stage: ")]
    if status is None or status == -signal.SIGXCPU:
        return {"model": name, "stage": "timeout", "seconds": float(limit), "error": "after %d %sseconds, in the %s"
                % (limit if status else WALL_FACTOR * limit, "processor " if status else "",
                   stages[-1] if stages else "build")}
    lines = run.stdout.strip().splitlines()
    try:
        return json.loads(lines[-1])
    except (IndexError, ValueError):
        tail = stderr.strip().splitlines()
        return {"model": name, "stage": stages[-1] if stages else "build",
                "error": "the process ended with status %d: %s" % (status, tail[-1] if tail else "")}


def _text(data):
    if data is None:
        return ""
    return data.decode("utf-8", "replace") if isinstance(data, bytes) else data


def main(argv=None, prog="zavo-prune sweep"):
    parser = argparse.ArgumentParser(prog=prog, description="Trace, analyse, prune and prove many models, one "
                                     "row per model.")
    parser.add_argument("models", nargs="*", help="models (default: every torchvision builder but the quantized)")
    parser.add_argument("--family", action="append", choices=FAMILY_ORDER,
                        help="only torchvision builders of this family; repeatable")
    parser.add_argument("--amount", type=float, default=0.3, help="share of prunable channels to remove (0.3)")
    parser.add_argument("--sample", type=int, default=8, help="classes proven per model (8)")
    parser.add_argument("--seed", type=int, default=0, help="seed of weights, inputs and sample (0)")
    parser.add_argument("--timeout", type=int, default=3600, help="processor seconds per model (3600)")
    parser.add_argument("--threads", type=int, default=1, help="PyTorch threads per model (1)")
    parser.add_argument("--rules", choices=("core", "extended"), default="extended",
                        help="the analysis's rules (extended)")
    parser.add_argument("-o", "--output", help="also write the table to this file")
    parser.add_argument("--one", help=argparse.SUPPRESS)  # the per-model process: a JSON row on stdout
    args = parser.parse_args(argv)
    if not 0 <= args.amount < 1 or args.sample < 0 or args.timeout <= 0 or args.threads < 1:
        parser.error("--amount must be in [0, 1), --sample at least 0, --timeout and --threads positive")
    if args.one:
        import torch

        torch.set_num_threads(args.threads)
        row = sweep_one(args.one, args.amount, args.sample, args.seed,
                        progress=lambda text: print("stage: %s" % text, file=sys.stderr, flush=True), rules=args.rules)
        print(json.dumps(row))
        return 0
    models = args.models or default_models(args.family)
    lines = [table_line(COLUMNS), table_line(["---"] * len(COLUMNS))]
    print("\n".join(lines), flush=True)
    rows = []
    for i, name in enumerate(models):
        print("%s: [%d/%d] %s" % (prog.split()[0], i + 1, len(models), name), file=sys.stderr, flush=True)
        row = _run_child(name, args)
        rows.append(row)
        lines.append(table_line(row_cells(row)))
        print(lines[-1], flush=True)
    lines += ["", totals(rows)]
    print("\n" + lines[-1])
    if args.output:
        from zavo.atomic_file import write_atomic

        write_atomic(args.output, "\n".join(lines) + "\n")
    return 0 if all(map(passed, rows)) else 1


if __name__ == "__main__":
    sys.exit(main())
