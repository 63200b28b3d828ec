"""zavo: which channels of a PyTorch model can be pruned together, and a pruned model from it.

    import zavo
    report = zavo.analyze(model, example_inputs)          # trace and analyse in process
    result = zavo.prune(model, example_inputs, amount=0.3)  # a smaller model that still runs
    result = zavo.prune(model, example_inputs, target_macs=0.5, importance="taylor", data=batches)
    print(result)
    teacher = zavo.Distiller(model)   # fine-tune result.model with teacher.loss(outputs, inputs, targets)
    plan = zavo.plan(model, example_inputs, target_macs=0.25)  # what a cut removes, nothing removed yet
    penalty = zavo.GroupPenalty(model, plan)                   # add penalty(progress) to the loss, then
    result = zavo.prune(model, example_inputs, plan=plan)      # remove exactly those classes

`analyze_graph` analyses a graph file or the in-memory graph of `trace`; the
analysis is the native engine of the `zavo-prune` command, loaded as the
extension `zavo._native` (built by the project's CMake; see the README).
PyTorch is imported only by the functions that need it.
"""

import os as _os

from zavo.analysis import (  # noqa: F401
    AnalysisError,
    Channel,
    GraphError,
    Group,
    NodeError,
    NodeWarning,
    Report,
    TraceError,
    ZavoError,
    analyze_graph,
    load_report,
    native_dirs as _native_dirs,
)

# The extension is built outside the source tree; let `zavo._native` be found there too.
__path__ += [d for d in _native_dirs(_os.path.dirname(_os.path.abspath(__file__))) if d not in __path__]


def trace(model, example_inputs, name="model", real_forward=True):
    """Run `model` once on `example_inputs` and return its graph (a dict; see zavo.export);
    `real_forward=False` runs it on the model's meta twin (`zavo.meta_twin`)."""
    from zavo import export

    return export.trace(model, example_inputs, name=name, real_forward=real_forward)


def analyze(model, example_inputs, name="model", lenient=False, check=True, safe=False, real_forward=False,
            rules="extended"):
    """Trace `model` on `example_inputs` and analyse the graph in process: a `Report`.

    The model is traced in evaluation mode (its mode is restored afterwards),
    on its meta twin: the real forward's graph without the arithmetic; a
    forward that needs the values (a detector's box selection, `.item()`) runs
    for real, as does every forward with `real_forward=True`.
    `rules` is "extended" (the default) or "core"; see `analyze_graph`.
    """
    from zavo import pruning

    return pruning.analyze_model(model, example_inputs, name=name, lenient=lenient, check=check, safe=safe,
                                 real_forward=real_forward, rules=rules)


def prune(model, example_inputs, amount=None, importance="l1", **options):
    """Prune the channels of `model` (`amount=0.3`, `target_macs=0.5`, ...); see `zavo.pruning.prune`."""
    from zavo import pruning

    return pruning.prune(model, example_inputs, amount=amount, importance=importance, **options)


def plan(model, example_inputs, amount=None, importance="l1", **options):
    """The classes `prune` with these options would remove, without removing them: a
    `zavo.pruning.Plan` for `GroupPenalty` and `prune(..., plan=)`; see `zavo.pruning.plan`."""
    from zavo import pruning

    return pruning.plan(model, example_inputs, amount=amount, importance=importance, **options)


def GroupPenalty(model, classes, strength=1.0):
    """A growing penalty on the slices of the classes a plan removes, to add to the training
    loss before the cut; see `zavo.regularize`."""
    from zavo import regularize

    return regularize.GroupPenalty(model, classes, strength=strength)


def measure_latency(model, example_inputs, threads=1, batch_sizes=(1, 64), **options):
    """Median seconds per forward pass at each batch size; see `zavo.latency.measure_latency`."""
    from zavo import latency

    return latency.measure_latency(model, example_inputs, threads=threads, batch_sizes=batch_sizes, **options)


def Distiller(model, temperature=4.0, alpha=0.9, **options):
    """A frozen copy of `model` whose `loss(outputs, inputs, targets)` fine-tunes a pruned copy
    toward it (knowledge distillation); see `zavo.distill`."""
    from zavo import distill

    return distill.Distiller(model, temperature=temperature, alpha=alpha, **options)


def dumps_graph(graph):
    from zavo import export

    return export.dumps_graph(graph)


def write_atomic(path, text):
    from zavo import atomic_file

    return atomic_file.write_atomic(path, text)
