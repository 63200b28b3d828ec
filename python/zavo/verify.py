"""Prove on a real model that the channel classes a report calls prunable can be pruned.

    zavo-prune verify resnet18 resnet18.report.json [--sample 10 --seed 0]

For each prunable class of the report's `groups` (or a seeded sample of them)
the model is rebuilt with the export's seed, every (parameter, dimension,
index) slice of the class is removed at once, the layer attributes that count
channels and heads are updated, and the forward pass runs.  The class is sound
when the pruned model runs, keeps every output's shape, and (in evaluation
mode) gives the outputs of the unpruned model with the same slices set to
zero.  Where a statistic over a dimension spans the class's channels (a layer
or RMS normalisation, a mean, a softmax), removing a channel changes the
statistic and zeroing it does not, so the outputs differ by design: such a
class is sound when the pruned model runs and keeps every output's shape, and
its line says which node made the difference.  Exit status: 0 when every
checked class is sound, 1 when one is not, 2 on bad input.

A model that selects by value (a detector's score threshold, `nms`, `topk`)
may select other items once a channel is gone, and everything after such a
selection then looks at other boxes.  For these models the pruned and the
zeroed model are run side by side and compared at every module call, in call
order, up to the first selection whose results differ (to the end when none
does, the outputs included); module outputs whose shape pruning changed are
skipped, and the outputs keep their structure by `zavo.structure`'s rule.

A float32 model whose zeroed and pruned outputs differ beyond the tolerance is
checked again in float64, and that verdict counts: removing a channel changes
the order in which kernels sum, and a long chain of random-weight layers can
amplify the rounding (one Mask R-CNN box-head class differs by 4e-4 in float32
and not at all in float64).
"""

import argparse
import contextlib
import copy
import json
import random
import sys

from zavo import export
from zavo import structure
from zavo.surgery import (  # noqa: F401  (prune_slices is part of this module's interface)
    Edits,
    SurgeryError,
    check_indices,
    describe_slices,
    find_tensor,
    prune_slices,
    slices_by_tensor,
)

torch = export.torch

RTOL = 1e-4
ATOL = 1e-5


class ReportError(SurgeryError):
    """A report that cannot be checked against the model; the message says why."""


def load_report(path):
    """The report file at `path`, version 1 or 2, in the layout of version 1 (see
    `zavo.report_file`): `groups` with every class's `channels`."""
    from zavo import report_file

    try:
        report = report_file.load(path)
    except report_file.ReportFileError as error:
        raise ReportError(str(error)) from None
    groups = report.get("groups")
    if not isinstance(groups, list):
        raise ReportError("%s: `groups` is missing or not a list" % path)
    for i, group in enumerate(groups):
        channels = group.get("channels") if isinstance(group, dict) else None
        if not isinstance(channels, list) or not all(
            isinstance(c, dict) and isinstance(c.get("node"), str) and isinstance(c.get("dim"), int)
            and isinstance(c.get("index"), int) for c in channels
        ):
            raise ReportError("%s: groups[%d] is not {label, prunable, channels: [{node, dim, index}]}" % (path, i))
    return report


@contextlib.contextmanager
def zeroed(model, channels):
    """Within the block every slice of the class is zero; afterwards the model is as before."""
    saved = []
    try:
        with torch.no_grad():
            for name, dims in slices_by_tensor(channels).items():
                tensor = find_tensor(model, name)
                for dim, indices in dims.items():
                    check_indices(name, tensor, dim, indices)
                saved.append((tensor, tensor.clone()))
                for dim, indices in dims.items():
                    tensor.index_fill_(dim, torch.tensor(indices), 0)
        yield model
    finally:
        with torch.no_grad():
            for tensor, original in saved:
                tensor.copy_(original)


@contextlib.contextmanager
def pruned(model, channels):
    """Within the block every slice of the class is removed and the layers' channel and
    head counts follow; afterwards the model is as before (tensors, counts and classes)."""
    edits = Edits()
    try:
        prune_slices(model, channels, edits)
        yield model
    finally:
        edits.undo()


# Operations whose result at one place depends on every channel of the dimensions they take
# statistics over: removing a channel there changes the result, zeroing it does not (a sum, where
# a zero adds nothing, and a group normalisation, whose groups go whole, are not among them).
_REDUCTIONS = {"%s.%s" % (space, name) for space in ("torch", "torch.Tensor")
               for name in ("mean", "var", "std", "norm", "amax", "amin", "logsumexp", "prod", "softmax",
                            "log_softmax")}
_REDUCTIONS |= {"torch.nn.functional.softmax", "torch.nn.functional.log_softmax"}


def _argument(node, position, key, default=None):
    args, kwargs = node.get("args", []), node.get("kwargs", {})
    return args[position] if len(args) > position else kwargs.get(key, default)


def _statistic_dims(node, rank):
    """The dimensions of its first input that a call takes a statistic over (empty for others)."""
    op = node.get("op")
    if op == "torch.nn.functional.layer_norm":
        shape = _argument(node, 1, "normalized_shape")
        return set(range(rank - len(shape), rank)) if isinstance(shape, list) else set()
    if op == "torch.nn.functional.normalize":
        dims = _argument(node, 2, "dim", 1)
    elif op in _REDUCTIONS:
        dims = _argument(node, 1, "dim")
        if dims is None and not op.endswith("softmax"):
            return set(range(rank))
    else:
        return set()
    dims = dims if isinstance(dims, list) else [dims]
    return {d % rank for d in dims if isinstance(d, int) and not isinstance(d, bool) and rank}


def spanned_labels(graph, nodes):
    """{label: (node name, operation)} for each channel label that some call takes a statistic over.

    `graph` is the traced graph (`zavo.trace`), `nodes` the report's final labels per node
    (`Report.nodes` or a report file's `nodes`), matched by node name.
    """
    labels_of = {}
    for node in nodes:
        name, labels = (node["name"], node["labels"]) if isinstance(node, dict) else (node.name, node.labels)
        labels_of[name] = labels
    by_id = {node["id"]: node for node in graph["nodes"]}
    spanned = {}
    for node in graph["nodes"]:
        if node["kind"] != "call":
            continue
        source = _argument(node, 0, "input")
        if not isinstance(source, dict) or "node" not in source:
            continue
        labels = labels_of.get(by_id[source["node"]]["name"]) or []
        for dim in sorted(_statistic_dims(node, len(labels))):
            for label in labels[dim] or ():
                spanned.setdefault(label, (node["name"], node["op"]))
    return spanned


def _outputs(model, inputs, train):
    """The model's outputs (`structure.Outputs`), the number of selections it made in `selections`."""
    model.train(train)
    with torch.no_grad():
        result, selections = structure.run_selections(model, inputs)
    outputs = structure.Outputs(result, selections)
    outputs.selections = len(selections.events)
    return outputs


def _trail(model, inputs):
    """Run in evaluation mode: (outputs, trail), the trail being, in call order, every module
    call as ("module", name, output tensors) and every selection as ("selection", op, results)."""
    trail = []

    def record(name):
        def hook(module, args, output):
            trail.append(("module", name, [t.detach().clone() for t in structure.tensors(output)]))

        return hook

    handles = [module.register_forward_hook(record(name or "(model)")) for name, module in model.named_modules()]
    model.eval()
    selections = structure.Selections(lambda i: trail.append(("selection",) + selections.events[i]))
    try:
        with torch.no_grad():
            result = structure.run_with(selections, model, inputs)
    finally:
        for handle in handles:
            handle.remove()
    return structure.Outputs(result, selections), trail


def _difference(got, want):
    """(error, scale) of one tensor against the expected one: the largest absolute difference
    and the largest absolute expected value; an integer tensor is exact or infinitely off."""
    if not got.numel():
        return 0.0, 0.0
    if not want.is_floating_point():
        return (0.0 if torch.equal(got, want) else float("inf")), 0.0
    return (got - want).abs().max().item(), want.abs().max().item()


def _close(got, want):
    """Whether two lists of tensors agree: the same shapes and values within the tolerance."""
    if len(got) != len(want) or any(g.shape != w.shape for g, w in zip(got, want)):
        return False
    return all(error <= ATOL + RTOL * scale for error, scale in (_difference(g, w) for g, w in zip(got, want)))


def _compare_trails(got, want):
    """Walk the pruned run's trail beside the zeroed run's, up to the first selection whose
    results differ.  Returns (problem or None, worst error, modules compared, where it stopped)."""
    worst, compared = 0.0, 0
    for (kind, name, tensors), (want_kind, want_name, want_tensors) in zip(got, want):
        if (kind, name) != (want_kind, want_name):
            return None, worst, compared, "the runs part at %s %s" % (kind, name)
        if kind == "selection":
            if not _close(tensors, want_tensors):
                return None, worst, compared, "the first selection that differs (%s)" % name
            continue
        if len(tensors) != len(want_tensors) or any(g.shape != w.shape for g, w in zip(tensors, want_tensors)):
            continue  # an activation whose channels pruning removed
        for i, (g, w) in enumerate(zip(tensors, want_tensors)):
            error, scale = _difference(g, w)
            if not error <= ATOL + RTOL * scale:  # also catches nan
                return "module %s output %d differs from the zeroed model by %.3g (scale %.3g)" % (
                    name, i, error, scale), worst, compared, None
            worst = max(worst, error)
        compared += 1
    return None, worst, compared, None


def _first_line(error):
    text = str(error).strip()
    return "%s: %s" % (type(error).__name__, text.splitlines()[0] if text else "")


def check_class(model, inputs, channels, train=False, reference=None, spanned_by=None):
    """Check one class; the model is left as it was. Returns (sound, detail).

    `reference`: the unpruned model's evaluation-mode outputs, if already known.
    With `train`, the pruned model must also keep its output shapes in training
    mode (run on a copy, since training mode updates running statistics).
    `spanned_by`: the (node name, operation) whose statistic spans the class's
    channels, if any; then the outputs are not compared with the zeroed model.
    """
    mode = model.training
    try:
        if reference is None:
            reference = _outputs(model, inputs, False)
        if getattr(reference, "selections", 0):
            with zeroed(model, channels):
                expected = _trail(model, inputs)
            with pruned(model, channels):
                got = _trail(model, inputs)
            return _check_trails(reference, got, expected)
        if spanned_by is None:
            with zeroed(model, channels):
                expected = _outputs(model, inputs, False)
        with pruned(model, channels):
            got = _outputs(model, inputs, False)
            if train:
                got_train = _outputs(copy.deepcopy(model), inputs, True)
                if [t.shape for t in got_train] != [t.shape for t in reference]:
                    return False, "in training mode the outputs have shapes %s, not %s" % (
                        [tuple(t.shape) for t in got_train], [tuple(t.shape) for t in reference])
    except SurgeryError:
        raise
    except Exception as error:
        return False, _first_line(error)
    finally:
        model.train(mode)
    if len(got) != len(reference):
        return False, "%d outputs instead of %d" % (len(got), len(reference))
    for i, (out, ref) in enumerate(zip(got, reference)):
        if out.shape != ref.shape:
            return False, "output %d has shape %s, not %s" % (i, tuple(out.shape), tuple(ref.shape))
    if spanned_by is not None:
        return True, "runs, output shapes kept (not compared with the zeroed model: node %s (%s) takes a " \
                     "statistic over these channels)" % spanned_by
    worst = 0.0
    for i, (out, want) in enumerate(zip(got, expected)):
        error = (out - want).abs().max().item() if out.numel() else 0.0
        scale = want.abs().max().item() if want.numel() else 0.0
        if not error <= ATOL + RTOL * scale:  # also catches nan
            return False, "output %d differs from the zeroed model by %.3g (scale %.3g)" % (i, error, scale)
        worst = max(worst, error)
    return True, "equal to the zeroed model, max error %.2g" % worst


def _check_trails(reference, got, expected):
    """The verdict for a model that selects by value: (sound, detail)."""
    (outputs, trail), (want_outputs, want_trail) = got, expected
    problem = reference.structure.compare(outputs.structure)
    if problem:
        return False, problem.replace("the pruned model's ", "")
    problem, worst, compared, stopped = _compare_trails(trail, want_trail)
    if problem:
        return False, problem
    if stopped is None:
        if not _close(list(outputs), list(want_outputs)):
            return False, "the outputs differ from the zeroed model's, though every selection agrees"
        return True, "max error %.2g; %d module calls compared, every selection agrees" % (worst, compared)
    return True, "max error %.2g; %d module calls compared, up to %s" % (worst, compared, stopped)


def _double(value):
    """`value` with every floating tensor in it (nested in lists, tuples and dicts) made float64."""
    if isinstance(value, torch.Tensor):
        return value.double() if value.is_floating_point() else value
    if isinstance(value, (list, tuple)):
        items = [_double(item) for item in value]
        return type(value)(*items) if hasattr(value, "_fields") else type(value)(items)
    if isinstance(value, dict):
        return type(value)((key, _double(item)) for key, item in value.items())
    return value


def _recheck_in_double(model, inputs, channels, train, detail):
    """A class whose outputs differ from the zeroed model's in float32 may differ by rounding alone:
    removing a channel changes how the kernels block their sums, and a long chain of layers with
    random weights can amplify that past the tolerance.  In float64 rounding is some 2^29 times
    smaller, so the float64 verdict is the one that counts; a model that cannot run in float64
    keeps the float32 verdict."""
    if not any(p.dtype == torch.float32 for p in model.parameters()):
        return False, detail
    try:
        with torch.no_grad():
            twin = copy.deepcopy(model).double()
        sound, double_detail = check_class(twin, _double(inputs), channels, train)
    except Exception:
        return False, detail
    if not sound:
        return False, detail
    return True, "%s in float64; in float32 %s" % (double_detail, detail.replace("differs", "differed"))


def verify(model, inputs, groups, train=False, out=None, spanned=None):
    """Check each group (a report file's dict or a `zavo.Group`); print one line per class.
    `spanned` is `spanned_labels` of the model's graph and report.  Returns the number of
    unsound classes."""
    unsound = 0
    reference = _outputs(model, inputs, False)
    for i, tensor in enumerate(reference):
        if tensor.is_floating_point() and not torch.isfinite(tensor).all():
            raise ReportError("the model's own output %d is not finite (nan or inf): no class can be compared "
                              "with it" % i)
    for group in groups:
        if isinstance(group, dict):
            label, channels = group["label"], group["channels"]
        else:
            label, channels = group.label, group.channels
        sound, detail = check_class(model, inputs, channels, train, reference, (spanned or {}).get(label))
        if not sound and "differs from the zeroed model" in detail:
            sound, detail = _recheck_in_double(model, inputs, channels, train, detail)
        unsound += not sound
        print("class %s: %s: %s; %s" % (label, "sound" if sound else "unsound", describe_slices(channels), detail),
              file=out or sys.stdout)
    return unsound


def select_groups(report, sample=None, seed=0):
    """The prunable groups of a report file's dict or a `zavo.Report`, sorted by label, or a
    seeded sample of them."""
    if isinstance(report, dict):
        groups = sorted((g for g in report["groups"] if g.get("prunable") is True), key=lambda g: g["label"])
    else:
        groups = report.prunable_groups  # sorted by label
    if sample is not None and sample < len(groups):
        picked = sorted(random.Random(seed).sample(range(len(groups)), sample))
        groups = [groups[i] for i in picked]
    return groups


def main(argv=None, prog="zavo-prune verify"):
    parser = argparse.ArgumentParser(prog=prog, description="Prove on the model that a report's prunable classes "
                                     "can be pruned: remove each class (or a seeded sample) and check the model.")
    parser.add_argument("model", help="a zoo model, a torchvision builder or module:function (as exported)")
    parser.add_argument("report", help="report written by `zavo-prune analyze`")
    parser.add_argument("--sample", type=int, help="check a seeded sample of this many classes")
    parser.add_argument("--seed", type=int, default=0, help="seed of the export (weights, input) and of the sample")
    parser.add_argument("--input-size", type=export.parse_input_size, help="input shape, as exported")
    args = parser.parse_args(argv)
    from zavo import zoo

    try:
        report = load_report(args.report)
        if report.get("model") not in (None, args.model):
            raise ReportError("the report is for model %s, not %s" % (report.get("model"), args.model))
        built = zoo.build(args.model, seed=args.seed, input_size=args.input_size)
        if report.get("error"):
            print("note: the analysis stopped with an error: %s" % json.dumps(report["error"]))
        groups = select_groups(report, args.sample, args.seed)
        total = sum(1 for g in report["groups"] if g.get("prunable") is True)
        built.model.eval()  # as the analysis traces it: running statistics stay as they are
        graph = export.trace(built.model, built.inputs)
        built.model.train(built.train)
        spanned = spanned_labels(graph, report.get("nodes", []))
        unsound = verify(built.model, built.inputs, groups, built.train, spanned=spanned)
    except (SurgeryError, zoo.ModelError) as error:
        print("error: %s" % error, file=sys.stderr)
        return 2
    print("%s: %d of %d prunable classes checked: %d sound, %d unsound" % (
        args.model, len(groups), total, len(groups) - unsound, unsound))
    return 1 if unsound else 0

