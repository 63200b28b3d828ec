"""From the analysis to a pruned model.

`prune(model, example_inputs, amount=0.3)` traces the model, analyses the
graph in process, ranks the prunable channel classes by the importance of the
weights they remove, removes the lowest `amount` of each tied set of
dimensions, updates every layer attribute that counts channels, and checks
that the pruned model runs on the example inputs with the same outputs: the
same structure and shapes, except sizes that depend on the data
(`zavo.structure`: the number of detections may change).  `plan` ranks the
same way and returns the classes without removing them; `prune(..., plan=)`
removes exactly those later (`zavo.regularize` shrinks them in between).
"""

import copy
import math
import time
from collections import namedtuple

import torch
from torch.overrides import TorchFunctionMode

from zavo import export, structure
from zavo.op_names import op_name_of
from zavo.analysis import ZavoError, analyze_graph, check_rules
from zavo.importance import check_criterion
from zavo.selection import Costs, check_limits, ignored_prefixes, select
from zavo.surgery import CHANNEL_COUNTS, count_heads, prune_slices
from zavo.tracer import named_modules

# Layer attributes that count channels, before and after, for the layers that changed.
LayerChange = namedtuple("LayerChange", "name type before after")
# One round of pruning: parameters and MACs after it, the classes it removed and its ranking's
# scores (a `zavo.selection.ScoreSummary`).
Round = namedtuple("Round", "step parameters macs removed_classes scores")


class PruningError(ZavoError):
    """The pruned model does not run on the example inputs or changed its outputs' structure."""


def trace_model(model, example_inputs, name="model", real_forward=False):
    """The graph of one forward pass of `model` in evaluation mode (its mode is restored).

    The trace runs on the model's meta twin unless `real_forward` (`export.trace`).
    """
    modules = named_modules(model)
    mode = model.training
    if any(module.training for _, module in modules):  # a walk of `eval()` would change nothing else
        model.eval()
    try:
        return export.trace_modules(model, modules, example_inputs, name=name, real_forward=real_forward)
    finally:
        if mode:  # a model in evaluation mode is left as `eval()` made it: a second walk changes nothing
            model.train(mode)


def analyze_model(model, example_inputs, name="model", lenient=False, check=True, safe=False, real_forward=False,
                  rules="extended"):
    """Trace `model` (`trace_model`) and analyse the graph in process under `rules` ("extended" or
    "core")."""
    check_rules(rules)
    with export.collector_paused():
        graph = trace_model(model, example_inputs, name=name, real_forward=real_forward)
        return analyze_graph(graph, lenient=lenient, check=check, safe=safe, rules=rules)


# -- counting ------------------------------------------------------------------------------------

_CONV = {"torch.nn.functional.conv%dd" % n for n in (1, 2, 3)}
_CONV_TRANSPOSE = {"torch.nn.functional.conv_transpose%dd" % n for n in (1, 2, 3)}
_MATMUL = {"torch.matmul", "torch.mm", "torch.bmm", "torch.Tensor.matmul", "torch.Tensor.mm", "torch.Tensor.bmm",
           "torch.Tensor.__matmul__"}
_BADDBMM = {"torch.baddbmm", "torch.Tensor.baddbmm"}
_MULTI_HEAD_ATTENTION = "torch.nn.functional.multi_head_attention_forward"


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
    if op in _BADDBMM:
        return out.numel() * arg(1, "batch1").shape[-1]
    if op == _MULTI_HEAD_ATTENTION:
        projections = _attention_projections(arg)
        (w_q, rows_q) = projections[0]
        scores = rows_q * arg(1, "key").shape[0] * w_q.shape[0]  # and as many for the weighted values
        return sum(w.numel() * rows for w, rows in projections) + 2 * scores
    return 0


def _attention_projections(arg):
    """One call of multi_head_attention_forward: [(weight, rows it multiplies)] of its four
    projections (rows: tokens times batch entries)."""
    query, key = arg(0, "query"), arg(1, "key")
    if arg(17, "use_separate_proj_weight"):
        w_q, w_k, w_v = arg(18, "q_proj_weight"), arg(19, "k_proj_weight"), arg(20, "v_proj_weight")
    else:
        w_q, w_k, w_v = arg(5, "in_proj_weight").chunk(3)
    rows_q, rows_k = query.numel() // query.shape[-1], key.numel() // key.shape[-1]
    return [(w_q, rows_q), (w_k, rows_k), (w_v, rows_k), (arg(11, "out_proj_weight"), rows_q)]


def _weight_macs(op, args, kwargs, macs):
    """[(parameter, the product's multiply-accumulates that scale with its size)]."""
    if op == _MULTI_HEAD_ATTENTION:
        def arg(i, key):
            return args[i] if len(args) > i else kwargs.get(key)

        # A fused projection's parts are views: their cost goes to the parameter they are part of.
        return [(w if w._base is None else w._base, rows * w.numel()) for w, rows in _attention_projections(arg)]
    weight = _weight_operand(args, kwargs)
    return [] if weight is None else [(weight, macs)]


def _weight_operand(args, kwargs):
    """The one parameter among a product's two operands, or None."""
    operands = [a for a in (*args[:2], *kwargs.values()) if isinstance(a, torch.nn.Parameter)]
    return operands[0] if len(operands) == 1 else None


class _MacCounter(TorchFunctionMode):
    """Multiply-accumulates of convolutions, linear layers, matrix products and multi-head
    attention; a product inside another (a method that calls its function) counts once.  A call
    for which `skip(args, kwargs)` holds is not counted.

    `per_element` maps id(parameter) to the multiply-accumulates per element of a
    weight operand: a product's count is its weight's size times its output
    positions, which channel pruning leaves unchanged.
    """

    def __init__(self, skip=None):
        super().__init__()
        self.macs = 0
        self.per_element = {}
        self.inside = False
        self.skip = skip

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        if self.inside:
            return func(*args, **kwargs)
        op = op_name_of(func)
        counted = op in _CONV or op in _CONV_TRANSPOSE or op in _MATMUL or op in _BADDBMM or op in (
            "torch.nn.functional.linear", "torch.Tensor.__rmatmul__", _MULTI_HEAD_ATTENTION)
        if not counted or (self.skip is not None and self.skip(args, kwargs)):
            return func(*args, **kwargs)
        self.inside = True
        try:
            out = func(*args, **kwargs)
        finally:
            self.inside = False
        macs = _macs(op, args, kwargs, out)
        self.macs += macs
        for weight, weight_macs in _weight_macs(op, args, kwargs, macs):
            if weight.numel():
                self.per_element[id(weight)] = self.per_element.get(id(weight), 0.0) + weight_macs / weight.numel()
        return out


def product_costs(graph, nodes):
    """{label: multiply-accumulates that removing its class takes from the products of two
    activations}, from the graph's products and the analysis's final labels (`Report.nodes`).

    Such a product (attention scores, weighted values) costs its output's size times its
    contracted size; a class that holds some positions of one of those dimensions takes that
    share of it (a head's share of the scores).  A convolution or linear layer is priced by its
    weight, except where classes hold positions of its output beyond its own channels (heads
    folded into the batch, as in per-head pooling); one call of multi_head_attention_forward is
    priced by its in-projection's rows.
    """
    labels_of = {node.name: node.labels for node in nodes}
    by_id = {node["id"]: node for node in graph["nodes"]}
    costs = {}

    def share(labels, size, total):
        for label in labels or ():
            costs[label] = costs.get(label, 0.0) + total / size

    def operand(value):
        node = by_id[value["node"]] if isinstance(value, dict) and "node" in value else None
        return None if node is None or node["kind"] == "parameter" else node

    for node in graph["nodes"]:
        op, args, kwargs = node.get("op"), node.get("args", []), node.get("kwargs", {})
        if op in _MATMUL or op in _BADDBMM or op == "torch.Tensor.__rmatmul__":
            first = 1 if op in _BADDBMM else 0  # baddbmm's first argument is the added term
            pair = [operand(a) for a in args[first:first + 2]]
            if op == "torch.Tensor.__rmatmul__":
                pair.reverse()  # the tensor itself is the right operand
            if len(pair) < 2 or None in pair or not node["shape"] or not pair[0]["shape"]:
                continue
            left = pair[0]
            total = math.prod(node["shape"]) * left["shape"][-1]
            for dim, labels in enumerate(labels_of.get(node["name"]) or []):
                share(labels, node["shape"][dim], total)
            share((labels_of.get(left["name"]) or [None])[-1], left["shape"][-1], total)
        elif (op in _CONV or op == "torch.nn.functional.linear") and node["shape"] and len(args) > 1:
            weight = by_id[args[1]["node"]] if isinstance(args[1], dict) and "node" in args[1] else None
            if weight is None or not weight["shape"]:
                continue
            channels = 1 if op in _CONV else len(node["shape"]) - 1  # the weight's own output dimension
            total = math.prod(node["shape"]) * math.prod(weight["shape"][1:])
            for dim, labels in enumerate(labels_of.get(node["name"]) or []):
                if dim != channels:
                    share(labels, node["shape"][dim], total)
        elif op == _MULTI_HEAD_ATTENTION:
            separate = kwargs.get("use_separate_proj_weight", False)
            weight = kwargs.get("q_proj_weight") if separate else (args[5] if len(args) > 5 else None)
            if not isinstance(weight, dict) or "node" not in weight:
                continue
            query, key, rows = by_id[args[0]["node"]], by_id[args[1]["node"]], by_id[weight["node"]]
            inner = rows["shape"][0] // (1 if separate else 3)
            total = 2 * math.prod(query["shape"][:-1]) * key["shape"][0] * inner
            share((labels_of.get(rows["name"]) or [None])[0], rows["shape"][0], total)
    return costs


def run_counted(model, inputs, counter=None):
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
    counter = counter or _MacCounter()
    counter.skip = selections.depends
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


# -- the result ----------------------------------------------------------------------------------


def _change(before, after):
    ratio = "" if not before else " (%+.1f%%)" % (100.0 * (after - before) / before)
    return "{:,} -> {:,}{}".format(before, after, ratio)


_MEASURES = {"macs": "MACs", "params": "parameters"}
_NORMALISED_BY = {"mean": "set mean", "element": "parameter elements", "rank": "rank in the set"}


class PruneResult:
    """What `prune` did: the pruned `model` and what changed.

    `parameters`, `macs` and `heads` are (before, after), heads as (query heads,
    key-value heads) of all attention layers; `layers` lists a `LayerChange`
    per layer whose channel counts changed; `removed_classes` of
    `prunable_classes`; `output_shapes` of the check, and `outputs` their
    places and which sizes depend on the data; `report` the analysis (of the
    last round); `amount` or `target` (("macs" or "params", share kept)),
    `set_limit` as given; `rounds` a `Round` per step (parameters and MACs
    after it, classes removed, the ranking's scores).
    """

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def summary(self, layers=None):
        """The change as text; `layers` limits the per-layer table to that many lines."""
        how = "global ranking" if self.global_ranking else "each tied set of dimensions"
        if self.global_ranking and self.normalize != "none":
            how += ", scores normalised by %s" % _NORMALISED_BY[self.normalize]
        if self.steps > 1:
            how += ", %d steps" % self.steps
        if self.target is None:
            what = "pruned %g%% of the prunable channels" % (100 * self.amount)
        else:
            what = "pruned to %g%% of its %s" % (100 * self.target[1], _MEASURES[self.target[0]])
        lines = [
            "%s: %s (%s, %s importance)" % (self.name, what, how, self.importance),
            "removed channel classes: %d of %d prunable" % (self.removed_classes, self.prunable_classes),
            "parameters: %s" % _change(*self.parameters),
            "MACs:       %s%s" % (_change(*self.macs), ", not counting calls on the selected items"
                                    if self.outputs.data_dependent else ""),
        ]
        (heads, kv_heads), (heads_after, kv_heads_after) = self.heads
        if heads:
            grouped = " (key-value heads %d -> %d)" % (kv_heads, kv_heads_after) if kv_heads != heads else ""
            lines.append("heads:      %s%s" % (_change(heads, heads_after), grouped))
        lines += [
            "output check: the pruned model runs on the example inputs; output shapes %s as before%s" % (
                self.outputs.describe(), self.outputs.note()),
        ]
        if self.steps > 1:
            lines += ["", "round  parameters     MACs           classes  highest removed score"]
            for r in self.rounds:
                cut = "-" if r.scores.cut is None else "%.4g" % r.scores.cut
                lines.append("%5d  %-12s  %-13s  %7d  %s" % (r.step, "{:,}".format(r.parameters),
                                                             "{:,}".format(r.macs), r.removed_classes, cut))
        if self.layers:
            names = {change.name: change.name or "(model)" for change in self.layers}  # the root has no name
            width = max(len(n) for n in names.values())
            lines += ["", "%-*s  channels before -> after" % (width, "layer")]
            shown = self.layers if layers is None else self.layers[:layers]
            for change in shown:
                parts = ["%s %s -> %s" % (a, change.before[a], change.after[a])
                         for a in change.before if change.before[a] != change.after[a]]
                lines.append("%-*s  %s" % (width, names[change.name], ", ".join(parts)))
            if len(shown) < len(self.layers):
                lines.append("... %d more layers" % (len(self.layers) - len(shown)))
        return "\n".join(lines)

    def __str__(self):
        return self.summary()

    def __repr__(self):
        return "<zavo.PruneResult %s: parameters %s, MACs %s>" % (
            self.name, _change(*self.parameters), _change(*self.macs))


def _schedule(amount, target, steps):
    """Per round, what the round asks of the model as it is then: (amount, target) with the
    target's share relative to the measure before the round.  A linear schedule: after round k
    of N, each set has lost k/N of `amount`, or the model keeps 1 - k/N of what the target removes."""
    plan = []
    for k in range(1, steps + 1):
        if target is None:
            done, due = amount * (k - 1) / steps, amount * k / steps
            plan.append(((due - done) / (1 - done), None))
        else:
            plan.append((None, (target[0], 1 - k * (1 - target[1]) / steps)))
    return plan


def _target(amount, target_macs, target_params):
    given = [(m, v) for m, v in (("macs", target_macs), ("params", target_params)) if v is not None]
    if len(given) > 1 or (given and amount is not None):
        raise ValueError("give one of amount, target_macs and target_params")
    return given[0] if given else None


def _checked(model, amount, target_macs, target_params, importance, global_ranking, set_limit, ignored_layers):
    """The options of a ranking, refused before any work when wrong: (amount, target,
    global_ranking, ignored layer names)."""
    target = _target(amount, target_macs, target_params)
    if target is None and amount is None:
        amount = 0.3
    check_criterion(importance)
    if global_ranking is None:
        global_ranking = target is not None
    check_limits(amount, global_ranking, set_limit)  # every round's amount is below the whole
    ignored_prefixes(model, ignored_layers)
    names = {id(m): n for n, m in model.named_modules()}
    ignored = [names[id(layer)] if isinstance(layer, torch.nn.Module) else layer for layer in ignored_layers]
    return amount, target, global_ranking, ignored


def _tensor_shapes(model):
    return {name: tuple(t.shape) for named in (model.named_parameters(), model.named_buffers()) for name, t in named}


def _rank(model, trace, report, graph, amount, target, costs, ranking):
    """One ranking of the model as it is (`select`): the `Selection` of classes to remove.
    `trace()` gives the graph when `graph` is None and a MACs target needs it."""
    if target is not None and target[0] == "macs":
        costs.label_macs = product_costs(graph or trace(), report.nodes)
    return select(model, report, amount=amount, target=target, costs=costs, **ranking)


class Plan:
    """The classes that one cut of `prune` with the same options removes, chosen as it chooses
    them, with nothing removed (`plan`).

    `groups` are the classes (each a `Group` of channel slices), `kept` the
    share of the target's measure the cut would keep (None with an amount),
    `scores` the ranking's `ScoreSummary`; `amount`, `target`, `importance`,
    `global_ranking` and `normalize` as given; `report` the analysis the
    classes come from; `shapes` the tensor shapes their slices index.
    """

    def __init__(self, selection, report, shapes, **options):
        self.selection, self.report, self.shapes = selection, report, shapes
        self.groups, self.scores, self.kept = selection
        self.__dict__.update(options)

    @property
    def channels(self):
        """Every (tensor name, dimension, index) slice the classes remove."""
        return [c for group in self.groups for c in group.channels]

    def check(self, model):
        """Raise ValueError unless `model` still has the tensors the plan's slices index."""
        now = _tensor_shapes(model)
        for name, shape in self.shapes.items():
            if now.get(name) != shape:
                raise ValueError("the plan was made for %s of shape %s; the model's is %s" % (
                    name, shape, "missing" if name not in now else now[name]))

    def __repr__(self):
        kept = "" if self.kept is None else ", keeping %.1f%% of the %s" % (100 * self.kept, _MEASURES[self.target[0]])
        return "<zavo.Plan: %d channel classes%s>" % (len(self.groups), kept)


def plan(model, example_inputs, amount=None, importance="l1", global_ranking=None, ignored_layers=(), round_to=None,
         report=None, name=None, lenient=False, target_macs=None, target_params=None, normalize="mean", data=None,
         loss_fn=None, seed=0, set_limit=0.8, safe=True, real_forward=False, rules="extended"):
    """The classes that `prune` with these options would remove in one cut, without removing
    them: a `Plan`.  The model is left as it is.

    Train with `zavo.GroupPenalty(model, plan)` added to the loss to pull
    their slices toward zero, then `prune(model, example_inputs, plan=plan)`
    removes exactly these classes, and the cut loses little.  The options are
    `prune`'s.
    """
    amount, target, global_ranking, ignored = _checked(model, amount, target_macs, target_params, importance,
                                                       global_ranking, set_limit, ignored_layers)
    name = name or type(model).__name__
    counter = _MacCounter()
    _, macs = run_counted(model, example_inputs, counter)
    params = count_parameters(model)
    graph = None
    if report is None:
        graph = trace_model(model, example_inputs, name=name, real_forward=real_forward)
        report = analyze_graph(graph, lenient=lenient, safe=safe, rules=check_rules(rules))
    shapes = _tensor_shapes(model)
    ranking = dict(importance=importance, global_ranking=global_ranking, normalize=normalize,
                   ignored_layers=ignored, round_to=round_to, data=data, loss_fn=loss_fn, seed=seed,
                   set_limit=set_limit, original_shapes=shapes)
    chosen = _rank(model, lambda: trace_model(model, example_inputs, name=name, real_forward=real_forward), report,
                   graph, amount, target, Costs(model, params, macs, counter.per_element), ranking)
    return Plan(chosen, report, shapes, amount=amount, target=target, normalize=normalize,
                importance=importance if isinstance(importance, str) else "custom", global_ranking=global_ranking)


def prune(model, example_inputs, amount=None, importance="l1", global_ranking=None, ignored_layers=(),
          round_to=None, inplace=False, report=None, name=None, lenient=False, progress=None,
          target_macs=None, target_params=None, normalize="mean", data=None, loss_fn=None, seed=0,
          steps=1, between_steps=None, set_limit=0.8, safe=True, real_forward=False, rules="extended", plan=None):
    """Prune the channels of `model`; returns a `PruneResult`.

    How much (one of):
    - `amount` (0.3 when no target is given): the share of each tied set of
      prunable channel classes to remove (rounded down); with `global_ranking`,
      of all of them, lowest normalised importance first.
    - `target_macs` or `target_params`: the share of the multiply-accumulates or
      parameters to keep; one walk down the global ranking prices every class
      exactly and stops at the target (`global_ranking=False`: every set loses
      the same share instead).
    Ranking:
    - `importance`: "l1", "l2", "bn_scale", "taylor" (with `data`, an iterable
      of (inputs, targets) batches, and `loss_fn(outputs, targets)`, cross
      entropy by default), "random" (from `seed`) or a function
      (model, group) -> number; see `zavo.importance`.
    - `normalize`: how a global ranking compares sets: "mean" (each score over
      its set's mean), "element" (over the parameter elements it removes),
      "none".
    - `set_limit`: no tied set loses more than this share of the channels it
      had before the first round, whatever the ranking (0.8).
    Schedule:
    - `steps`: remove it in this many rounds (linear schedule), each ranking the
      model as the previous rounds left it; `between_steps(model, step)` is
      called after every round but the last (fine-tune there).
    Other:
    - `ignored_layers`: modules, or their qualified names, whose channels stay.
    - `round_to`: each tied set keeps a multiple of this many channels (say 8).
    - `inplace`: prune `model` itself instead of a copy (`result.model`).
    - `report`: the analysis of this model (`zavo.analyze`), to skip tracing again.
    - `rules`: the analysis's rules, "extended" (the default) or "core"; with
      `report`, that report's own rules are used.
    - `progress`: called with a line of text at each stage.
    - `safe`: the analysis also takes the labels that nodes drop out of pruning
      (`--safe`): removing those channels may change a shape that the model
      relies on.  `safe=False` prunes them as the rules allow.
    - `real_forward`: trace with the model's real forward pass, not on its meta
      twin (`zavo.analyze`).
    - `plan`: remove exactly the classes of this `Plan` (`zavo.plan`), made on
      this model as it is now (after training, its tensors' shapes are the
      same); it takes the place of the amount or target and of the ranking.

    `example_inputs` stand for the call `model(*args, **kwargs)`: a tuple is
    the positional arguments, a dict the keyword arguments, anything else (a
    tensor, a list of images) the one argument; tensors may be nested in lists,
    tuples and dicts.  Every dimension keeps at least one channel.  The pruned
    model must run on `example_inputs` with the original outputs (`check_outputs`),
    or `PruningError` is raised.
    """
    if not isinstance(steps, int) or steps < 1:
        raise ValueError("steps must be a positive integer, not %r" % (steps,))
    if plan is not None:
        if (amount, target_macs, target_params, steps) != (None, None, None, 1):
            raise ValueError("plan= decides what goes: give no amount, target or steps with it")
        plan.check(model)
        amount, target, report = plan.amount, plan.target, plan.report
        importance, global_ranking, normalize = plan.importance, plan.global_ranking, plan.normalize
    else:
        amount, target, global_ranking, ignored_layers = _checked(
            model, amount, target_macs, target_params, importance, global_ranking, set_limit, ignored_layers)
    rules = check_rules(rules) if report is None else report.rules
    inputs = example_inputs
    name = name or type(model).__name__
    started = time.monotonic()

    def stage(text):
        if progress:
            progress("[%6.1fs] %s" % (time.monotonic() - started, text))

    stage("running %s on the example inputs" % name)
    counter = _MacCounter()
    original, macs_before = run_counted(model, inputs, counter)
    seen = original.structure  # data-dependent where any run marks it
    params_before, heads_before = count_parameters(model), count_heads(model)
    channels_before = layer_channels(model)
    if not inplace:
        stage("copying the model")
        model = copy.deepcopy(model)
        counter = _MacCounter()
        run_counted(model, inputs, counter)
    params, macs = params_before, macs_before
    # Each round's limit counts from the sets as they were before the first one.
    shapes_before = _tensor_shapes(model)
    ranking = dict(importance=importance, global_ranking=global_ranking, normalize=normalize,
                   ignored_layers=ignored_layers, round_to=round_to, data=data, loss_fn=loss_fn,
                   set_limit=set_limit, original_shapes=shapes_before)
    rounds, removed = [], 0
    for step, (round_amount, round_target) in enumerate(_schedule(amount, target, steps), 1):
        prefix = "round %d of %d: " % (step, steps) if steps > 1 else ""
        graph = None
        if report is None or step > 1:
            stage(prefix + "tracing and analysing")
            graph = trace_model(model, inputs, name=name, real_forward=real_forward)
            report = analyze_graph(graph, lenient=lenient, safe=safe, rules=rules)
        if step == 1:
            prunable = report.summary["prunable_classes"]
        if round_target is not None:
            whole = {"macs": macs_before, "params": params_before}[target[0]]
            now = {"macs": macs, "params": params}[target[0]]
            round_target = (target[0], round_target[1] * whole / now if now else 1.0)
        if plan is not None:
            chosen = plan.selection
        else:
            stage(prefix + "ranking %d prunable channel classes by %s" % (
                report.summary["prunable_classes"], importance if isinstance(importance, str) else "importance"))
            chosen = _rank(model, lambda: trace_model(model, inputs, name=name, real_forward=real_forward), report,
                           graph, round_amount, round_target, Costs(model, params, macs, counter.per_element),
                           dict(ranking, seed=seed + step - 1))
        stage(prefix + "removing %d channel classes" % len(chosen.groups))
        prune_slices(model, [c for group in chosen.groups for c in group.channels])
        stage(prefix + "checking the pruned model")
        counter = _MacCounter()
        try:
            outputs, macs = run_counted(model, inputs, counter)
        except Exception as error:
            raise PruningError("the pruned model does not run: %s: %s" % (type(error).__name__, error)) from error
        check_outputs(original, outputs)
        seen = seen.joined(outputs.structure)
        params = count_parameters(model)
        removed += len(chosen.groups)
        rounds.append(Round(step, params, macs, len(chosen.groups), chosen.scores))
        if between_steps is not None and step < steps:
            stage(prefix + "between steps")
            between_steps(model, step)
    channels_after = layer_channels(model)
    layers = [LayerChange(layer, kind, counts, channels_after[layer][1])
              for layer, (kind, counts) in channels_before.items() if channels_after[layer][1] != counts]
    stage("done")
    return PruneResult(
        model=model, name=name, amount=amount, target=target, steps=steps, rounds=rounds, normalize=normalize,
        set_limit=set_limit,
        importance=importance if isinstance(importance, str) else "custom",
        global_ranking=global_ranking, parameters=(params_before, params),
        macs=(macs_before, macs), heads=(heads_before, count_heads(model)), layers=layers, removed_classes=removed,
        prunable_classes=prunable, output_shapes=seen.shapes, outputs=seen, report=report)
