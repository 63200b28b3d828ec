#!/usr/bin/python3
"""Prove on a real model that the channel classes a report calls prunable can be pruned.

    /usr/bin/python3 tools/verify_pruning.py resnet18 resnet18.report.json [--sample 10 --seed 0]

For each prunable class of the report's `groups` (or a seeded sample of them)
the model is rebuilt with the export's seed, every (parameter, dimension,
index) slice of the class is removed at once, the layer attributes that count
channels are updated, and the forward pass runs.  The class is sound when the
pruned model runs, keeps every output's shape, and (in evaluation mode) gives
the outputs of the unpruned model with the same slices set to zero.  Exit
status: 0 when every checked class is sound, 1 when one is not, 2 on bad input.
"""

import argparse
import contextlib
import copy
import json
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import export_graph  # noqa: E402

torch = export_graph.torch

RTOL = 1e-4
ATOL = 1e-5


class ReportError(Exception):
    """A report that cannot be checked against the model; the message says why."""


def load_report(path):
    try:
        with open(path, encoding="utf-8") as stream:
            report = json.load(stream)
    except (OSError, ValueError) as error:
        raise ReportError("cannot read report %s: %s" % (path, error)) from None
    if not isinstance(report, dict) or report.get("format") != "zavo.report" or report.get("version") != 1:
        raise ReportError("%s is not a zavo.report version 1 file" % path)
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


def _slices_by_tensor(channels):
    """{parameter name: {dim: sorted indices}} in first-seen order."""
    table = {}
    for channel in channels:
        table.setdefault(channel["node"], {}).setdefault(channel["dim"], set()).add(channel["index"])
    return {name: {dim: sorted(idx) for dim, idx in dims.items()} for name, dims in table.items()}


def describe_slices(channels):
    parts = []
    for name, dims in _slices_by_tensor(channels).items():
        for dim, indices in dims.items():
            parts.append("%s dim %d %s" % (name, dim, indices))
    return ", ".join(parts)


def _holders(model):
    """id(tensor) -> every (module, attribute, is_parameter) that holds it (tied weights included)."""
    holders = {}
    for module in model.modules():
        for attr, tensor in module._parameters.items():
            if tensor is not None:
                holders.setdefault(id(tensor), []).append((module, attr, True))
        for attr, tensor in module._buffers.items():
            if tensor is not None:
                holders.setdefault(id(tensor), []).append((module, attr, False))
    return holders


def _tensor(model, name):
    module_path, _, attr = name.rpartition(".")
    try:
        module = model.get_submodule(module_path) if module_path else model
    except AttributeError:
        module = None
    tensor = None
    if module is not None:
        tensor = module._parameters.get(attr)
        if tensor is None:
            tensor = module._buffers.get(attr)
    if tensor is None:
        raise ReportError("the model has no parameter or buffer %s" % name)
    return tensor


def _check_indices(name, tensor, dim, indices):
    if not 0 <= dim < tensor.dim():
        raise IndexError("%s has no dimension %d (shape %s)" % (name, dim, tuple(tensor.shape)))
    bad = [i for i in indices if not 0 <= i < tensor.shape[dim]]
    if bad:
        raise IndexError("%s dim %d has %d entries, no index %s" % (name, dim, tensor.shape[dim], bad))


@contextlib.contextmanager
def zeroed(model, channels):
    """Within the block every slice of the class is zero; afterwards the model is as before."""
    saved = []
    try:
        with torch.no_grad():
            for name, dims in _slices_by_tensor(channels).items():
                tensor = _tensor(model, name)
                for dim, indices in dims.items():
                    _check_indices(name, tensor, dim, indices)
                saved.append((tensor, tensor.clone()))
                for dim, indices in dims.items():
                    tensor.index_fill_(dim, torch.tensor(indices), 0)
        yield model
    finally:
        with torch.no_grad():
            for tensor, original in saved:
                tensor.copy_(original)


_CHANNEL_COUNTS = ("in_channels", "out_channels", "groups", "num_features", "in_features", "out_features",
                   "normalized_shape", "num_channels", "num_embeddings", "embedding_dim")


@contextlib.contextmanager
def pruned(model, channels):
    """Within the block every slice of the class is removed and the layers' channel
    counts follow; afterwards the model is as before (the original tensors are put back)."""
    counts = [(m, {a: getattr(m, a) for a in _CHANNEL_COUNTS if hasattr(m, a)}) for m in model.modules()]
    replaced = []
    try:
        prune_slices(model, channels, replaced)
        yield model
    finally:
        for table, attr, original in reversed(replaced):
            table[attr] = original
        for module, values in counts:
            for attr, value in values.items():
                setattr(module, attr, value)


def prune_slices(model, channels, replaced=None):
    """Remove every slice of the class and update the layers' channel counts.

    `replaced` collects (table, attribute, original tensor) for each tensor swapped out.
    """
    holders = _holders(model)
    with torch.no_grad():
        for name, dims in _slices_by_tensor(channels).items():
            tensor = _tensor(model, name)
            new = tensor.detach()
            for dim, indices in dims.items():
                _check_indices(name, new, dim, indices)
                drop = set(indices)
                keep = [i for i in range(new.shape[dim]) if i not in drop]
                new = new.index_select(dim, torch.tensor(keep, dtype=torch.long))
            if isinstance(tensor, torch.nn.Parameter):
                new = torch.nn.Parameter(new, requires_grad=tensor.requires_grad)
            for module, attr, is_parameter in holders[id(tensor)]:
                table = module._parameters if is_parameter else module._buffers
                if replaced is not None:
                    replaced.append((table, attr, tensor))
                table[attr] = new
    for module in model.modules():
        _update_channel_counts(module)


def _update_channel_counts(module):
    """Make the attributes that count channels agree with the (pruned) tensors."""
    nn = torch.nn
    if isinstance(module, nn.modules.conv._ConvNd):
        weight = module.weight
        depthwise = module.groups > 1 and module.groups == module.in_channels == module.out_channels
        full = weight.shape[0]  # input channels when transposed, output channels otherwise
        if depthwise:
            module.groups = module.in_channels = module.out_channels = full
        elif module.transposed:
            module.in_channels = full
            module.out_channels = weight.shape[1] * module.groups
        else:
            module.out_channels = full
            module.in_channels = weight.shape[1] * module.groups
    elif isinstance(module, nn.modules.batchnorm._NormBase):
        source = module.weight if module.weight is not None else module.running_mean
        if source is not None:
            module.num_features = source.shape[0]
    elif isinstance(module, nn.Linear):
        module.out_features, module.in_features = module.weight.shape
    elif isinstance(module, nn.LayerNorm) and module.weight is not None:
        module.normalized_shape = tuple(module.weight.shape)
    elif isinstance(module, nn.GroupNorm) and module.weight is not None:
        module.num_channels = module.weight.shape[0]
    elif isinstance(module, nn.Embedding):
        module.num_embeddings, module.embedding_dim = module.weight.shape


def _outputs(model, inputs, train):
    model.train(train)
    with torch.no_grad():
        return export_graph.flatten_outputs(model(*inputs))


def _first_line(error):
    text = str(error).strip()
    return "%s: %s" % (type(error).__name__, text.splitlines()[0] if text else "")


def check_class(model, inputs, channels, train=False, reference=None):
    """Check one class; the model is left as it was. Returns (sound, detail).

    `reference`: the unpruned model's evaluation-mode outputs, if already known.
    With `train`, the pruned model must also keep its output shapes in training
    mode (run on a copy, since training mode updates running statistics).
    """
    mode = model.training
    try:
        if reference is None:
            reference = _outputs(model, inputs, False)
        with zeroed(model, channels):
            expected = _outputs(model, inputs, False)
        with pruned(model, channels):
            got = _outputs(model, inputs, False)
            if train:
                got_train = _outputs(copy.deepcopy(model), inputs, True)
                if [t.shape for t in got_train] != [t.shape for t in reference]:
                    return False, "in training mode the outputs have shapes %s, not %s" % (
                        [tuple(t.shape) for t in got_train], [tuple(t.shape) for t in reference])
    except ReportError:
        raise
    except Exception as error:
        return False, _first_line(error)
    finally:
        model.train(mode)
    if len(got) != len(reference):
        return False, "%d outputs instead of %d" % (len(got), len(reference))
    worst = 0.0
    for i, (out, ref, want) in enumerate(zip(got, reference, expected)):
        if out.shape != ref.shape:
            return False, "output %d has shape %s, not %s" % (i, tuple(out.shape), tuple(ref.shape))
        error = (out - want).abs().max().item() if out.numel() else 0.0
        scale = want.abs().max().item() if want.numel() else 0.0
        if not error <= ATOL + RTOL * scale:  # also catches nan
            return False, "output %d differs from the zeroed model by %.3g (scale %.3g)" % (i, error, scale)
        worst = max(worst, error)
    return True, "max error %.2g" % worst


def verify(model, inputs, groups, train=False, out=None):
    """Check each group; print one line per class. Returns the number of unsound classes."""
    unsound = 0
    reference = _outputs(model, inputs, False)
    for group in groups:
        sound, detail = check_class(model, inputs, group["channels"], train, reference)
        unsound += not sound
        print("class %s: %s: %s; %s" % (group["label"], "sound" if sound else "unsound",
                                        describe_slices(group["channels"]), detail), file=out or sys.stdout)
    return unsound


def select_groups(report, sample=None, seed=0):
    groups = sorted((g for g in report["groups"] if g.get("prunable") is True), key=lambda g: g["label"])
    if sample is not None and sample < len(groups):
        picked = sorted(random.Random(seed).sample(range(len(groups)), sample))
        groups = [groups[i] for i in picked]
    return groups


def main(argv=None):
    parser = argparse.ArgumentParser(description="Prune each prunable class of a zavo report and check the model.")
    parser.add_argument("model", help="a zoo model, a torchvision builder or module:function (as exported)")
    parser.add_argument("report", help="report written by `zavo-prune analyze`")
    parser.add_argument("--sample", type=int, help="check a seeded sample of this many classes")
    parser.add_argument("--seed", type=int, default=0, help="seed of the export (weights, input) and of the sample")
    parser.add_argument("--input-size", type=export_graph.parse_input_size, help="input shape, as exported")
    args = parser.parse_args(argv)
    if torch is None:
        print(export_graph.TORCH_MISSING.format(exe=sys.executable), file=sys.stderr)
        return 2
    import zoo

    try:
        report = load_report(args.report)
        if report.get("model") not in (None, args.model):
            raise ReportError("the report is for model %s, not %s" % (report.get("model"), args.model))
        built = zoo.build(args.model, seed=args.seed, input_size=args.input_size)
        if report.get("error"):
            print("note: the analysis stopped with an error: %s" % json.dumps(report["error"]))
        groups = select_groups(report, args.sample, args.seed)
        total = sum(1 for g in report["groups"] if g.get("prunable") is True)
        unsound = verify(built.model, built.inputs, groups, built.train)
    except (ReportError, zoo.ModelError) as error:
        print("error: %s" % error, file=sys.stderr)
        return 2
    print("%s: %d of %d prunable classes checked: %d sound, %d unsound" % (
        args.model, len(groups), total, len(groups) - unsound, unsound))
    return 1 if unsound else 0


if __name__ == "__main__":
    sys.exit(main())
