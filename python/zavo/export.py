"""Export a PyTorch model as a zavo graph file.

The model runs one real forward pass while a torch function mode records the
outermost calls of torch functions and tensor methods; calls made inside a
recorded call belong to it and are not recorded.  Parameters and buffers
become `parameter` nodes (matched by tensor identity), model inputs become
`input` nodes, and every other tensor is the call that made it.

    zavo-prune export resnet18 --input-size 1,3,64,64 -o resnet18.json

Example inputs and outputs may be nested lists, tuples and dicts of tensors
(`zavo.structure`); each input tensor is an `input` node named after its place
(`x`, `images[0]`).  A tensor that the trace did not see made (anchors kept in
a Python list, a tensor built before the forward pass) becomes a `constant`
node at its first use, named after the attribute that holds it when the model
has one (`rpn.anchor_generator.cell_anchors[0]`).  A slice whose bound is a
tensor is a `builtins.slice` call, so indexing that depends on the data is
recorded like any other call.

`trace(model, inputs)` does the same for any `nn.Module` and returns the graph
as a dict; `dumps_graph` writes it as text, one node per line.  A model built
on the `meta` device traces without any weight being allocated.
"""

import argparse
import gc
import json
import sys

from zavo import structure
from zavo.analysis import TraceError  # noqa: F401  (raised here; `export.TraceError` is public)
from zavo.atomic_file import write_atomic
from zavo.tracer import Tracer, named_modules, named_tensors, run, torch

TORCH_MISSING = (
    "error: PyTorch is not available to this interpreter ({exe}).\n"
    "Install it with apt: apt-get install python3-torch python3-torchvision\n"
    "and run this tool with /usr/bin/python3."
)

FORMAT = "zavo.graph"
VERSION = 1


class collector_paused:
    """The garbage collector paused while entered (when it was running).

    A trace makes a node, a dict or two and a list per call, and an analysis of the graph drops
    them all at its end, where their counts free them: a collection that their allocations set
    off in between walks every object of the process (a model's, torch's) and frees nothing."""

    def __enter__(self):
        self.collecting = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self.collecting:
            gc.enable()


def flatten_outputs(value):
    """The tensors of a model's output (nested lists, tuples and dicts), in order."""
    return [tensor for _, tensor in structure.leaves(value, "output", "")]


def trace(model, inputs, name="model", meta=None, real_forward=True):
    """Run `model` once on `inputs` and return the graph dict.

    `inputs` stands for the call `model(*args, **kwargs)`: a tuple is the
    positional arguments, a dict the keyword arguments, anything else (a
    tensor, a list of images) the one argument; tensors may be nested in lists,
    tuples and dicts (`zavo.structure`).  Raises TraceError, naming the place,
    when an input or output has a structure the exporter cannot take, when the
    model passes a value that the graph file cannot hold, or when it fails to
    run.

    `real_forward=False` runs the pass on the model's meta twin (`zavo.meta_twin`):
    the same graph without the arithmetic, and the real pass, whole, for a
    model whose forward needs the tensors' values.
    """
    if torch is None:
        raise ImportError(TORCH_MISSING.format(exe=sys.executable))
    return trace_modules(model, named_modules(model), inputs, name, meta, real_forward)


def trace_modules(model, modules, inputs, name="model", meta=None, real_forward=True):
    """`trace` for a caller that has the pairs of `model.named_modules()`, `modules`, at hand."""
    args, kwargs = structure.call_arguments(inputs)
    traced = None
    if not real_forward:
        from zavo import meta_twin

        traced = meta_twin.trace(model, modules, args, kwargs, lambda tracer, a, k: run(tracer, model, a, k, name))
    if traced is None:
        tracer = Tracer(model, modules, named_tensors(modules))
        traced = tracer, run(tracer, model, args, kwargs, name)
    tracer, result = traced

    try:
        outputs = [tracer.tensor_ref(tensor) for _, tensor in structure.leaves(result, "output", "")]
    except TraceError as error:
        raise TraceError("cannot trace %s: %s" % (name, error)) from None
    if not outputs:
        raise TraceError("model %s returned no tensor" % name)
    graph = {"format": FORMAT, "version": VERSION, "model": name}
    info = {
        "input_sizes": [list(node["shape"]) for node in tracer.nodes if node["kind"] == "input"],
        "mode": "train" if model.training else "eval",
        "torch": torch.__version__,
    }
    info.update(meta or {})
    graph["meta"] = info
    graph["nodes"] = tracer.nodes
    graph["outputs"] = outputs
    return graph


def dumps_graph(graph):
    """The graph as JSON text: fixed key order, one node per line."""

    def one(value):
        return json.dumps(value, ensure_ascii=False, allow_nan=False)

    lines = ["{"]
    for key, value in graph.items():
        if key == "nodes":
            continue
        if key == "outputs":
            lines.append('  "nodes": [')
            nodes = graph["nodes"]
            for i, node in enumerate(nodes):
                lines.append("    " + one(node) + ("," if i + 1 < len(nodes) else ""))
            lines.append("  ],")
            lines.append('  "outputs": ' + one(value))
            continue
        lines.append("  %s: %s," % (one(key), one(value)))
    return "\n".join(lines) + "\n}\n"


def parse_input_size(text):
    try:
        sizes = [int(part) for part in text.split(",")]
    except ValueError:
        sizes = []
    if not sizes or any(s <= 0 for s in sizes):
        raise argparse.ArgumentTypeError("expected positive integers separated by commas, e.g. 1,3,64,64")
    return tuple(sizes)


def main(argv=None, prog="zavo-prune export"):
    parser = argparse.ArgumentParser(prog=prog, description="Trace a PyTorch model and write its graph file.")
    parser.add_argument("model", help="a zoo model, a torchvision builder (e.g. resnet18) or module:function")
    parser.add_argument("--input-size", type=parse_input_size, help="input shape, e.g. 1,3,64,64")
    parser.add_argument("--seed", type=int, default=0, help="seed for weights and input (default 0)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--train", dest="train", action="store_true", default=None, help="trace in training mode")
    mode.add_argument("--eval", dest="train", action="store_false", help="trace in evaluation mode")
    parser.add_argument("--device", help="build and trace on this device; meta allocates no weights")
    parser.add_argument("-o", "--output", required=True, help="graph file to write")
    args = parser.parse_args(argv)

    from zavo import zoo

    try:
        text = dumps_graph(export(args.model, args.input_size, args.seed, args.train, args.device))
    except (TraceError, zoo.ModelError) as error:
        print("error: %s" % error, file=sys.stderr)
        return 1
    write_atomic(args.output, text)
    return 0


def export(model_name, input_size=None, seed=0, train=None, device=None):
    """Build a named model with `seed` and trace it; returns the graph dict.

    `device="meta"` builds and traces without allocating weights (zoo builders
    that take a device create them there directly).
    """
    from zavo import zoo

    built = zoo.build(model_name, seed=seed, input_size=input_size, train=train, device=device)
    meta = {"seed": seed}
    meta.update(zoo.versions())
    return trace(built.model, built.inputs, name=model_name, meta=meta)

