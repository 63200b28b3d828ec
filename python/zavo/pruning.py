"""From the analysis to a pruned model.

`prune(model, example_inputs, amount=0.3)` traces the model, analyses the
graph in process, ranks the prunable channel classes by the importance of the
weights they remove, removes the lowest `amount` of each tied set of
dimensions, updates every layer attribute that counts channels, and checks
that the pruned model runs on the example inputs with the same outputs: the
same structure and shapes, except sizes that depend on the data
(`zavo.structure`: the number of detections may change).
"""

import copy
import time
from collections import namedtuple

import torch
from torch.overrides import TorchFunctionMode

from zavo import export, structure
from zavo.analysis import ZavoError, analyze_graph
from zavo.surgery import CHANNEL_COUNTS, find_tensor, prune_slices

# Layer attributes that count channels, before and after, for the layers that changed.
LayerChange = namedtuple("LayerChange", "name type before after")


class PruningError(ZavoError):
    """The pruned model does not run on the example inputs or changed its outputs' structure."""


def analyze_model(model, example_inputs, name="model", lenient=False, check=True, safe=False, real_forward=False):
    """Trace `model` in evaluation mode (its mode is restored) and analyse the graph in process.

    The trace runs on the model's meta twin unless `real_forward` (`export.trace`).
    """
    mode = model.training
    model.eval()
    try:
        graph = export.trace(model, example_inputs, name=name, real_forward=real_forward)
    finally:
        model.train(mode)
    return analyze_graph(graph, lenient=lenient, check=check, safe=safe)


# -- counting ------------------------------------------------------------------------------------

_CONV = {"torch.nn.functional.conv%dd" % n for n in (1, 2, 3)}
_CONV_TRANSPOSE = {"torch.nn.functional.conv_transpose%dd" % n for n in (1, 2, 3)}
_MATMUL = {"torch.matmul", "torch.mm", "torch.bmm", "torch.Tensor.matmul", "torch.Tensor.mm", "torch.Tensor.bmm",
           "torch.Tensor.__matmul__"}


def _macs(op, args, kwargs, out):
    def arg(i, key):
        return args[i] if len(args) > i else kwargs.get(key)

    if op in _CONV:
        weight = arg(1, "weight")
        return out.numel() * weight[0].numel()  # per output element: input channels of a group x kernel
    if op in _CONV_TRANSPOSE:
        x, weight = arg(0, "input"), arg(1, "weight")
        return x.numel() * weight[0].numel()  # per input element: output channels of a group x kernel
    if op == "torch.nn.functional.linear":
        return out.numel() * arg(1, "weight").shape[-1]
    if op in _MATMUL:
        return out.numel() * arg(0, "input").shape[-1]
    if op == "torch.Tensor.__rmatmul__":
        return out.numel() * args[1].shape[-1]
    return 0


class _MacCounter(TorchFunctionMode):
    """Multiply-accumulates of convolutions, linear layers and matrix products; a product
    inside another (a method that calls its function) counts once.  A call for which
    `skip(args, kwargs)` holds is not counted."""

    def __init__(self, skip=None):
        super().__init__()
        self.macs = 0
        self.inside = False
        self.skip = skip

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        if self.inside:
            return func(*args, **kwargs)
        op = export.op_name_of(func)
        counted = op in _CONV or op in _CONV_TRANSPOSE or op in _MATMUL or op in (
            "torch.nn.functional.linear", "torch.Tensor.__rmatmul__")
        if not counted or (self.skip is not None and self.skip(args, kwargs)):
            return func(*args, **kwargs)
        self.inside = True
        try:
            out = func(*args, **kwargs)
        finally:
            self.inside = False
        self.macs += _macs(op, args, kwargs, out)
        return out


def run_counted(model, inputs):
    """Run `model` once in evaluation mode: (its outputs, multiply-accumulates).

    `inputs` are example inputs (`zavo.structure.call_arguments`); the outputs
    are a `structure.Outputs`: the list of output tensors, whose `structure`
    knows their places and which sizes depend on the data.  Calls on tensors
    whose size depends on the data (a detector's heads on the boxes it kept)
    are not counted, so that the counts before and after pruning compare.
    """
    mode = model.training
    model.eval()
    selections = structure.Selections()
    counter = _MacCounter(skip=selections.depends)
    try:
        with torch.no_grad(), counter:
            result = structure.run_with(selections, model, inputs)
            outputs = structure.Outputs(result, selections)
    finally:
        model.train(mode)
    return outputs, counter.macs


def check_outputs(before, after):
    """Raise PruningError unless the pruned model's outputs `after` keep the structure of `before`:
    the same containers, keys and shapes, except the leading size of outputs computed from a
    selection by value (the number of detections)."""
    problem = before.structure.compare(after.structure)
    if problem:
        raise PruningError(problem)


def count_parameters(model):
    return sum(p.numel() for p in model.parameters())


def layer_channels(model):
    """{module name: (type, {attribute: value})} for every layer with a channel count."""
    table = {}
    for name, module in model.named_modules():
        counts = {a: getattr(module, a) for a in CHANNEL_COUNTS if isinstance(getattr(module, a, None), (int, tuple))}
        if counts:
            table[name] = (type(module).__name__, counts)
    return table


# -- ranking and selection -----------------------------------------------------------------------


class _SliceNorms:
    """Per (parameter, dimension): the norm of every index's slice and the slice's size,
    computed once; None for buffers (running statistics do not rank channels)."""

    def __init__(self, model, p):
        self.model, self.p, self.cache = model, p, {}

    def __call__(self, name, dim):
        key = (name, dim)
        if key not in self.cache:
            tensor = find_tensor(self.model, name)
            if not isinstance(tensor, torch.nn.Parameter):
                self.cache[key] = None
            else:
                t = tensor.detach().float().movedim(dim, 0).reshape(tensor.shape[dim], -1)
                norms = t.abs().sum(1) if self.p == 1 else t.pow(2).sum(1).sqrt()
                self.cache[key] = (norms.tolist(), t.shape[1])
        return self.cache[key]


def class_importance(model, groups, importance="l1", per_element=False):
    """Importance of each group: the L1 or L2 norms of the parameter slices it removes, summed.

    `importance` is "l1", "l2", or a function (model, group) -> number.  With
    `per_element`, a norm is divided by the number of parameter elements the
    class removes, so that classes of layers of different sizes compare.
    """
    if callable(importance):
        return [float(importance(model, group)) for group in groups]
    if importance not in ("l1", "l2"):
        raise ValueError("importance must be 'l1', 'l2' or a function, not %r" % (importance,))
    norms = _SliceNorms(model, 1 if importance == "l1" else 2)
    scores = []
    for group in groups:
        total, elements = 0.0, 0
        for name, dim, index in group.channels:
            entry = norms(name, dim)
            if entry is not None:
                total += entry[0][index]
                elements += entry[1]
        scores.append(total / elements if per_element and elements else total)
    return scores


def _ignored_prefixes(model, ignored_layers):
    """The parameter-name prefixes of the ignored layers (modules or qualified names)."""
    names = {id(m): n for n, m in model.named_modules()}
    known = set(names.values())
    prefixes = []
    for layer in ignored_layers or ():
        if isinstance(layer, torch.nn.Module):
            if id(layer) not in names:
                raise ValueError("ignored layer %s is not a module of the model" % type(layer).__name__)
            layer = names[id(layer)]
        elif layer not in known:
            raise ValueError("ignored layer %r is not a module of the model" % (layer,))
        prefixes.append(layer + "." if layer else "")
    return prefixes


class _Candidate:
    __slots__ = ("group", "score", "tied", "counts")

    def __init__(self, group, score):
        self.group, self.score = group, score
        self.counts = {}  # (parameter, dim) -> indices this class removes there
        for name, dim, _ in group.channels:
            self.counts[(name, dim)] = self.counts.get((name, dim), 0) + 1
        self.tied = tuple(sorted(self.counts))


def select_classes(model, report, amount, importance="l1", global_ranking=False, ignored_layers=(), round_to=None):
    """The prunable classes to remove, lowest importance first within each tied set.

    A tied set is the classes that cover the same (parameter, dimension) pairs:
    the channels of one layer and of everything tied to it.  Each set loses
    `floor(amount * size)` classes, or with `global_ranking` the lowest
    `amount` of all candidates go wherever they are (ranked by importance per
    parameter element); every dimension keeps at least one channel, and with
    `round_to` each set keeps a multiple of it.
    """
    if not 0 <= amount < 1:
        raise ValueError("amount must be at least 0 and below 1, not %r" % (amount,))
    if round_to is not None and round_to < 1:
        raise ValueError("round_to must be a positive integer, not %r" % (round_to,))
    prefixes = _ignored_prefixes(model, ignored_layers)
    groups = [g for g in report.prunable_groups
              if not any(c.node.startswith(p) for c in g.channels for p in prefixes)]
    scores = class_importance(model, groups, importance, per_element=global_ranking)
    sets = {}
    for group, score in zip(groups, scores):
        candidate = _Candidate(group, score)
        sets.setdefault(candidate.tied, []).append(candidate)
    sizes = {}
    for tied in sets:
        for name, dim in tied:
            sizes[(name, dim)] = find_tensor(model, name).shape[dim]
    left = dict(sizes)  # channels each (parameter, dim) keeps so far

    def take(candidate):
        if any(left[pair] - n < 1 for pair, n in candidate.counts.items()):
            return False
        for pair, n in candidate.counts.items():
            left[pair] -= n
        return True

    def ranked(candidates):
        return sorted(candidates, key=lambda c: (c.score, c.group.label))

    chosen = {tied: [] for tied in sets}
    if global_ranking:
        target = int(amount * len(groups))
        taken = 0
        for candidate in ranked(c for members in sets.values() for c in members):
            if taken >= target:
                break
            if take(candidate):
                chosen[candidate.tied].append(candidate)
                taken += 1
    else:
        for tied, members in sets.items():
            target = int(amount * len(members))
            for candidate in ranked(members):
                if len(chosen[tied]) >= target:
                    break
                if take(candidate):
                    chosen[tied].append(candidate)
    if round_to:
        for tied, picked in chosen.items():
            # The set's own channel count: its smallest dimension, less what the set removes.
            base = min(sizes[pair] for pair in tied)
            while picked and (base - len(picked)) % round_to:
                picked.pop()  # the most important of those chosen stays
    return [c.group for picked in chosen.values() for c in picked]


# -- the result ----------------------------------------------------------------------------------


def _change(before, after):
    ratio = "" if not before else " (%+.1f%%)" % (100.0 * (after - before) / before)
    return "{:,} -> {:,}{}".format(before, after, ratio)


class PruneResult:
    """What `prune` did: the pruned `model` and what changed.

    `parameters` and `macs` are (before, after); `layers` lists a `LayerChange`
    per layer whose channel counts changed; `removed_classes` of
    `prunable_classes`; `output_shapes` of the check, and `outputs` their
    places and which sizes depend on the data; `report` the analysis.
    """

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def summary(self, layers=None):
        """The change as text; `layers` limits the per-layer table to that many lines."""
        how = "global ranking" if self.global_ranking else "each tied set of dimensions"
        lines = [
            "%s: pruned %g%% of the prunable channels (%s, %s importance)" % (
                self.name, 100 * self.amount, how, self.importance),
            "removed channel classes: %d of %d prunable" % (self.removed_classes, self.prunable_classes),
            "parameters: %s" % _change(*self.parameters),
            "MACs:       %s%s" % (_change(*self.macs), ", not counting calls on the selected items"
                                    if self.outputs.data_dependent else ""),
            "output check: the pruned model runs on the example inputs; output shapes %s as before%s" % (
                self.outputs.describe(), self.outputs.note()),
        ]
        if self.layers:
            width = max(len(change.name) for change in self.layers)
            lines += ["", "%-*s  channels before -> after" % (width, "layer")]
            shown = self.layers if layers is None else self.layers[:layers]
            for change in shown:
                parts = ["%s %s -> %s" % (a, change.before[a], change.after[a])
                         for a in change.before if change.before[a] != change.after[a]]
                lines.append("%-*s  %s" % (width, change.name, ", ".join(parts)))
            if len(shown) < len(self.layers):
                lines.append("... %d more layers" % (len(self.layers) - len(shown)))
        return "\n".join(lines)

    def __str__(self):
        return self.summary()

    def __repr__(self):
        return "<zavo.PruneResult %s: parameters %s, MACs %s>" % (
            self.name, _change(*self.parameters), _change(*self.macs))


def prune(model, example_inputs, amount=0.3, importance="l1", global_ranking=False, ignored_layers=(),
          round_to=None, inplace=False, report=None, name=None, lenient=False, progress=None, safe=True,
          real_forward=False):
    """Prune `amount` of the prunable channels of `model`; returns a `PruneResult`.

    - `amount`: the share of each tied set of prunable channel classes to remove
      (rounded down); with `global_ranking`, of all of them, lowest importance first.
    - `importance`: "l1" or "l2" (the norms of every parameter slice a class
      removes, summed over the class) or a function (model, group) -> number.
    - `ignored_layers`: modules, or their qualified names, whose channels stay.
    - `round_to`: each tied set keeps a multiple of this many channels (say 8).
    - `inplace`: prune `model` itself instead of a copy (`result.model`).
    - `report`: the analysis of this model (`zavo.analyze`), to skip tracing again.
    - `progress`: called with a line of text at each stage.
    - `safe`: the analysis also takes the labels that nodes drop out of pruning
      (`--safe`): removing those channels may change a shape that the model
      relies on.  `safe=False` prunes them as the rules allow.
    - `real_forward`: trace with the model's real forward pass, not on its meta
      twin (`zavo.analyze`).

    `example_inputs` stand for the call `model(*args, **kwargs)`: a tuple is
    the positional arguments, a dict the keyword arguments, anything else (a
    tensor, a list of images) the one argument; tensors may be nested in lists,
    tuples and dicts.  Every dimension keeps at least one channel.  The pruned
    model must run on `example_inputs` with the original outputs (`check_outputs`),
    or `PruningError` is raised.
    """
    inputs = example_inputs
    name = name or type(model).__name__
    started = time.monotonic()

    def stage(text):
        if progress:
            progress("[%6.1fs] %s" % (time.monotonic() - started, text))

    stage("running %s on the example inputs" % name)
    outputs, macs_before = run_counted(model, inputs)
    params_before = count_parameters(model)
    if report is None:
        stage("tracing and analysing")
        report = analyze_model(model, inputs, name=name, lenient=lenient, safe=safe, real_forward=real_forward)
    stage("ranking %d prunable channel classes by %s" % (report.summary["prunable_classes"],
                                                        importance if isinstance(importance, str) else "importance"))
    chosen = select_classes(model, report, amount, importance, global_ranking, ignored_layers, round_to)
    channels_before = layer_channels(model)
    if not inplace:
        stage("copying the model")
        model = copy.deepcopy(model)
    stage("removing %d channel classes" % len(chosen))
    prune_slices(model, [c for group in chosen for c in group.channels])
    stage("checking the pruned model")
    try:
        pruned_outputs, macs_after = run_counted(model, inputs)
    except Exception as error:
        raise PruningError("the pruned model does not run: %s: %s" % (type(error).__name__, error)) from error
    check_outputs(outputs, pruned_outputs)
    channels_after = layer_channels(model)
    layers = [LayerChange(layer, kind, counts, channels_after[layer][1])
              for layer, (kind, counts) in channels_before.items() if channels_after[layer][1] != counts]
    stage("done")
    return PruneResult(
        model=model, name=name, amount=amount, importance=importance if isinstance(importance, str) else "custom",
        global_ranking=global_ranking, parameters=(params_before, count_parameters(model)),
        macs=(macs_before, macs_after), layers=layers, removed_classes=len(chosen),
        prunable_classes=report.summary["prunable_classes"], output_shapes=outputs.structure.shapes,
        outputs=outputs.structure.joined(pruned_outputs.structure), report=report)
