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
import json
import math
import os
import sys
import tempfile

from zavo import structure
from zavo.analysis import TraceError  # noqa: F401  (raised here; `export.TraceError` is public)

TORCH_MISSING = (
    "error: PyTorch is not available to this interpreter ({exe}).\n"
    "Install it with apt: apt-get install python3-torch python3-torchvision\n"
    "and run this tool with /usr/bin/python3."
)

try:
    import torch
    import torch.nn.functional
    from torch.overrides import TorchFunctionMode
except ImportError:  # the CLI reports it; importers get the ImportError
    torch = None
    TorchFunctionMode = object

FORMAT = "zavo.graph"
VERSION = 1

# Names the engine's operation catalogue knows.  When one function object is
# reachable under several names of one namespace, the catalogue's name wins
# (`__rtruediv__` over its alias `__rdiv__`).
_CATALOGUE_F = (
    "relu relu_ relu6 elu elu_ selu celu gelu silu mish hardswish hardsigmoid hardtanh "
    "hardtanh_ leaky_relu leaky_relu_ sigmoid tanh softplus softsign tanhshrink logsigmoid "
    "hardshrink softshrink threshold threshold_ max_pool1d max_pool2d max_pool3d avg_pool1d "
    "avg_pool2d avg_pool3d adaptive_max_pool1d adaptive_max_pool2d adaptive_max_pool3d "
    "adaptive_avg_pool1d adaptive_avg_pool2d adaptive_avg_pool3d lp_pool1d lp_pool2d "
    "interpolate upsample pad batch_norm dropout dropout1d dropout2d dropout3d alpha_dropout "
    "feature_alpha_dropout conv1d conv2d conv3d conv_transpose1d conv_transpose2d "
    "conv_transpose3d linear"
)
_CATALOGUE_TORCH = (
    "relu relu_ sigmoid tanh abs neg exp log sqrt rsqrt square sin cos erf floor ceil round "
    "sign reciprocal clamp clip add sub subtract mul multiply div divide true_divide maximum "
    "minimum pow fmod remainder batch_norm dropout alpha_dropout feature_dropout "
    "feature_alpha_dropout mean sum amax amin logsumexp prod norm std var flatten cat"
)
_CATALOGUE_TENSOR = (
    "relu relu_ sigmoid sigmoid_ tanh tanh_ abs neg exp log sqrt rsqrt square sin cos erf "
    "floor ceil round sign reciprocal clamp clamp_ clip __neg__ __abs__ contiguous clone "
    "detach float half double to add add_ sub sub_ mul mul_ div div_ pow maximum minimum "
    "__add__ __radd__ __iadd__ __sub__ __rsub__ __isub__ __mul__ __rmul__ __imul__ "
    "__truediv__ __rtruediv__ __itruediv__ __pow__ __rpow__ mean sum amax amin logsumexp "
    "prod norm std var flatten size"
)
_NAMESPACES = (  # in the order in which they are preferred
    ("torch.nn.functional", frozenset(_CATALOGUE_F.split())),
    ("torch", frozenset(_CATALOGUE_TORCH.split())),
    ("torch.Tensor", frozenset(_CATALOGUE_TENSOR.split())),
)

# Calls that only ask about a tensor's layout and return no tensor; recorded as
# unknown operations they would take every channel of their input out of
# pruning, so they are left out of the graph.
LAYOUT_QUERIES = frozenset(
    "dim ndimension __len__ numel nelement element_size is_floating_point is_complex "
    "is_contiguous is_signed get_device data_ptr stride storage_offset".split()
)

GETITEM_OP = "_operator.getitem"
SLICE_OP = "builtins.slice"

# Attribute containers walked for the names of constants, and how deep.
_CONSTANT_NAME_DEPTH = 3


_name_index = None


def _namespace_objects():
    import torch.nn.functional as F

    return {"torch.nn.functional": F, "torch": torch, "torch.Tensor": torch.Tensor}


def _build_name_index():
    """Map each callable reachable from the three namespaces to its written name."""
    import warnings

    objects = _namespace_objects()
    index = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for prefix, catalogue in _NAMESPACES:
            space = objects[prefix]
            names_by_object = {}
            for attr in sorted(dir(space)):
                try:
                    obj = getattr(space, attr)
                except Exception:
                    continue
                if callable(obj):
                    names_by_object.setdefault(id(obj), (obj, []))[1].append(attr)
            for obj_id, (obj, names) in names_by_object.items():
                if obj_id in index:  # an earlier namespace already names it
                    continue
                own = getattr(obj, "__name__", None)
                preferred = [n for n in names if n in catalogue] or [n for n in names if n == own] or names
                index[obj_id] = (obj, prefix + "." + preferred[0])
    return index


def op_name_of(func):
    """The qualified name written for `func`, e.g. `torch.nn.functional.conv2d`.

    An attribute read arrives as the `__get__` of a descriptor, a fresh object on
    every access, so it is named from its descriptor: `torch.Tensor.shape.__get__`.
    """
    global _name_index
    if _name_index is None:
        _name_index = _build_name_index()
    hit = _name_index.get(id(func))
    if hit is not None and hit[0] is func:
        return hit[1]
    if isinstance(func, (torch._ops.OpOverloadPacket, torch._ops.OpOverload)):
        return "torch.ops.%s" % func  # a registered operator: torch.ops.torchvision.nms
    owner = getattr(func, "__self__", None)
    if getattr(func, "__name__", None) == "__get__" and owner is not None:
        attr = getattr(owner, "__name__", None) or getattr(getattr(owner, "fget", None), "__name__", None)
        if attr:
            return "torch.Tensor.%s.__get__" % attr
    module = getattr(func, "__module__", None) or "unknown"
    return "%s.%s" % (module, getattr(func, "__qualname__", None) or getattr(func, "__name__", repr(func)))


_short_ops = {}


def _short_op(op):
    """The part of an operation's name that names its calls: `conv2d`, `shape` for an attribute."""
    short = _short_ops.get(op)
    if short is None:
        parts = op.split(".")
        short = parts[-2] if parts[-1] == "__get__" and len(parts) > 1 else parts[-1]
        short = _short_ops[op] = short.strip("_") or short
    return short


_last_parts = {}


def _last_part(op):
    last = _last_parts.get(op)
    if last is None:
        last = _last_parts[op] = op.rsplit(".", 1)[-1]
    return last


class _Unplaced(Exception):
    """A value the graph cannot hold, met while encoding without places."""


def _refuse(where, what):
    if where is None:
        raise _Unplaced()
    raise TraceError("%s: %s" % (where, what))


def named_tensors(modules):
    """(qualified name, tensor) of the parameters, then the buffers, of `modules` (the pairs of
    `named_modules()`), in the order of `named_parameters()` and `named_buffers()`."""
    found = []
    for field in ("_parameters", "_buffers"):
        for path, module in modules:
            for name, tensor in getattr(module, field).items():
                if tensor is not None:
                    found.append((path + "." + name if path else name, tensor))
    return found


_CONST_TYPES = None


def _const_types():
    global _CONST_TYPES
    if _CONST_TYPES is None:
        _CONST_TYPES = (torch.dtype, torch.device, torch.layout, torch.memory_format)
    return _CONST_TYPES


def _type_text(value):
    t = type(value)
    return t.__name__ if t.__module__ == "builtins" else "%s.%s" % (t.__module__, t.__name__)


class _Tracer(TorchFunctionMode):
    """Records outermost torch calls of one forward pass into a node list."""

    def __init__(self, model, modules, named):
        """`modules` are the pairs of `model.named_modules()`, `named` the (name, tensor) pairs of
        its parameters and buffers (`named_tensors`)."""
        super().__init__()
        self.model = model
        self.modules = modules
        self.constant_names = None  # id(tensor) -> (name, tensor), found when first needed
        self.nodes = []
        self.depth = 0
        self.used_names = set()
        self.name_count = {}
        self.module_stack = []
        self.keep_alive = []  # holds every seen tensor so that ids stay unique
        self.node_of = {}  # id(tensor) -> node id of the newest node that returned it
        self.pending = {}  # id(tensor) -> (tuple node id, index path) for tuple elements
        self.param_name = {}  # id(tensor) -> (qualified name, tensor) of parameters and buffers
        for name, tensor in named:
            if id(tensor) not in self.param_name:
                self.param_name[id(tensor)] = (name, tensor)
                self.used_names.add(name)

    # -- naming ---------------------------------------------------------------
    def _unique(self, base):
        name = base
        n = self.name_count.get(base, 0)
        while name in self.used_names:
            n += 1
            name = "%s_%d" % (base, n)
        self.name_count[base] = n
        self.used_names.add(name)
        return name

    def _call_name(self, op):
        short = _short_op(op)
        if not self.module_stack:
            return self._unique(short)
        path, is_leaf = self.module_stack[-1]
        if not path:
            return self._unique(short)
        return self._unique(path if is_leaf else path + "." + short)

    # -- nodes ------------------------------------------------------------------
    def _append(self, node):
        node_id = len(self.nodes)
        self.nodes.append({"id": node_id, **node})  # id first, then the fields in the order given
        return node_id

    def add_inputs(self, args, kwargs):
        """An `input` node per tensor of the call's arguments, named after its place; a tensor
        given twice is one input."""
        for root, value in structure.argument_places(args, kwargs):
            for place, tensor in structure.leaves(value, root):
                if id(tensor) not in self.node_of:
                    node = {"kind": "input", "name": self._unique(place), "shape": list(tensor.shape)}
                    self._bind(tensor, self._append(node))

    def _constant_name(self, tensor):
        """Where a tensor that no traced call made comes from: the attribute of a module that holds
        it (in a list, tuple or dict, too), else the module being run."""
        if self.constant_names is None:
            self.constant_names = {}
            for path, module in self.modules:
                for attr, value in vars(module).items():
                    if attr not in ("_parameters", "_buffers", "_modules"):
                        self._index_constants((path + "." if path else "") + attr, value, 0)
        hit = self.constant_names.get(id(tensor))
        if hit is not None and hit[1] is tensor:
            return hit[0]
        path = self.module_stack[-1][0] if self.module_stack else ""
        return (path + "." if path else "") + "constant"

    def _index_constants(self, name, value, depth):
        if isinstance(value, torch.Tensor):
            self.constant_names.setdefault(id(value), (name, value))
        elif depth < _CONSTANT_NAME_DEPTH and isinstance(value, (list, tuple)):
            for i, item in enumerate(value):
                self._index_constants("%s[%d]" % (name, i), item, depth + 1)
        elif depth < _CONSTANT_NAME_DEPTH and isinstance(value, dict):
            for key, item in value.items():
                if isinstance(key, (str, int)):
                    self._index_constants("%s[%r]" % (name, key), item, depth + 1)

    def _bind(self, tensor, node_id):
        self.keep_alive.append(tensor)
        self.node_of[id(tensor)] = node_id
        self.pending.pop(id(tensor), None)

    def tensor_ref(self, tensor):
        """The id of the node a tensor is read from, emitting it first when needed:
        the `_operator.getitem` of a tuple element at its first use, a parameter
        node at the first use of a parameter or buffer, or a constant node at the
        first use of any other tensor."""
        key = id(tensor)
        node_id = self.node_of.get(key)  # never both bound and pending
        if node_id is not None:
            return node_id
        if key in self.pending:
            parent, path = self.pending.pop(key)
            for depth, index in enumerate(path):
                last = depth == len(path) - 1
                parent_name = self.nodes[parent]["name"]
                parent = self._append(
                    {
                        "kind": "call",
                        "name": self._unique("%s[%d]" % (parent_name, index)),
                        "op": GETITEM_OP,
                        "args": [{"node": parent}, index],
                        "kwargs": {},
                        "shape": list(tensor.shape) if last else None,
                    }
                )
            self.node_of[key] = parent
            return parent
        if key in self.param_name:
            name, param = self.param_name[key]
            node_id = self._append({"kind": "parameter", "name": name, "shape": list(param.shape)})
            self._bind(param, node_id)
            return node_id
        # Neither made by a traced call nor owned by the model: read as a constant.
        name = self._unique(self._constant_name(tensor))
        node_id = self._append({"kind": "constant", "name": name, "shape": list(tensor.shape)})
        self._bind(tensor, node_id)
        return node_id

    def encode(self, value, where=None):
        """The graph-file form of one argument value.

        `where` names the value's place for the message of a value the graph cannot hold; without
        it such a value raises `_Unplaced`, and the caller encodes again with places.  Places are
        text made for every value, so the common call goes without them.
        """
        kind = type(value)
        if kind is torch.Tensor or kind is torch.nn.Parameter:
            return {"node": self.tensor_ref(value)}
        if kind is int or value is None or kind is bool or kind is str:
            return value
        if isinstance(value, torch.Tensor):
            return {"node": self.tensor_ref(value)}
        if isinstance(value, (bool, str)):
            return value
        if isinstance(value, int):
            return int(value)
        if isinstance(value, float):
            if math.isfinite(value):
                return float(value)
            return {"const": repr(value), "type": "float"}
        if isinstance(value, (list, tuple)):
            if where is None:
                return [item if type(item) is int else self.encode(item) for item in value]
            return [self.encode(item, "%s[%d]" % (where, i)) for i, item in enumerate(value)]
        if isinstance(value, slice):
            parts = (value.start, value.stop, value.step)
            if any(isinstance(part, torch.Tensor) for part in parts):
                return {"node": self._slice_node(parts, where)}
            for part in parts:
                if not (part is None or (isinstance(part, int) and not isinstance(part, bool))):
                    _refuse(where, "a slice with a bound of type %s" % _type_text(part))
            return {"const": str(value), "type": "slice"}
        if value is Ellipsis:
            return {"const": "Ellipsis", "type": "ellipsis"}
        if isinstance(value, _const_types()):
            return {"const": self.constant_text(value), "type": _type_text(value)}
        _refuse(where, "unsupported value of type %s" % _type_text(value))

    def constant_text(self, value):
        """How a dtype, device, layout or memory format is written."""
        return str(value)

    def _slice_node(self, parts, where):
        """A slice with a tensor bound, as the call that builds it: its size depends on the data,
        and the call keeps the bounds' dependence in the graph."""
        args = [self.encode(part, None if where is None else "%s.%s" % (where, field))
                for part, field in zip(parts, ("start", "stop", "step"))]
        return self._append({"kind": "call", "name": self._call_name(SLICE_OP), "op": SLICE_OP, "args": args,
                             "kwargs": {}, "shape": None})

    def _result_tuple(self, result, node_id, path=()):
        for i, item in enumerate(result):
            if isinstance(item, torch.Tensor):
                self.keep_alive.append(item)
                self.node_of.pop(id(item), None)
                self.pending[id(item)] = (node_id, path + (i,))
            elif isinstance(item, (list, tuple)):
                self._result_tuple(item, node_id, path + (i,))

    # -- recording ------------------------------------------------------------
    def record(self, func, args, kwargs):
        op = op_name_of(func)
        short = _last_part(op)
        if short in LAYOUT_QUERIES:
            return func(*args, **kwargs)
        try:
            enc_args = [self.encode(a) for a in args]
            enc_kwargs = {k: self.encode(v) for k, v in kwargs.items()}
        except _Unplaced:  # again, naming places, for the message
            enc_args = [self.encode(a, "%s args[%d]" % (op, i)) for i, a in enumerate(args)]
            enc_kwargs = {k: self.encode(v, "%s kwargs[%r]" % (op, k)) for k, v in kwargs.items()}
        name = self._call_name(op)
        result = self.call(func, op, args, kwargs)
        node_id = len(self.nodes)
        node = {"id": node_id, "kind": "call", "name": name, "op": op, "args": enc_args, "kwargs": enc_kwargs,
                "shape": None}
        self.nodes.append(node)
        if short == "__setitem__" and args and isinstance(args[0], torch.Tensor):
            # the written tensor is read through this node from now on
            node["shape"] = list(args[0].shape)
            self._bind(args[0], node_id)
        elif isinstance(result, torch.Tensor):
            node["shape"] = list(result.shape)
            self._bind(result, node_id)
        elif isinstance(result, (list, tuple)):
            self._result_tuple(result, node_id)
        return result

    def call(self, func, op, args, kwargs):
        """Run one recorded call."""
        return func(*args, **kwargs)

    def outermost(self, func, args, kwargs):
        """Run `func`, recording it when no recorded call is running.

        Everything between entry and exit, the tracer's own tensor accesses
        included, runs one level deep and is not recorded.
        """
        if self.depth:
            return func(*args, **kwargs)
        self.depth += 1
        try:
            return self.record(func, args, kwargs)
        finally:
            self.depth -= 1

    def __torch_function__(self, func, types, args=(), kwargs=None):
        return self.outermost(func, args, kwargs or {})


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
    args, kwargs = structure.call_arguments(inputs)
    modules = list(model.named_modules())
    traced = None
    if not real_forward:
        from zavo import meta_twin

        traced = meta_twin.trace(model, modules, args, kwargs, lambda tracer, a, k: run(tracer, model, a, k, name))
    if traced is None:
        tracer = _Tracer(model, modules, named_tensors(modules))
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


def run(tracer, model, args, kwargs, name):
    """The model's output on (args, kwargs), its calls recorded by `tracer`; TraceError when the
    inputs cannot be taken or the model fails."""
    try:
        tracer.add_inputs(args, kwargs)
    except TraceError as error:
        raise TraceError("cannot trace %s: %s" % (name, error)) from None

    def enter(entry):
        def hook(module, args):
            tracer.module_stack.append(entry)

        return hook

    def leave(module, args, result):
        tracer.module_stack.pop()

    handles = []
    for path, module in tracer.modules:
        entry = (path, all(child is None for child in module._modules.values()))
        handles.append(module.register_forward_pre_hook(enter(entry)))
        handles.append(module.register_forward_hook(leave))
    undo = structure.patch_indexing(lambda func, args: tracer.outermost(func, args, {}))
    try:
        with torch.no_grad(), tracer:
            return model(*args, **kwargs)
    except TraceError as error:
        raise TraceError("cannot trace %s: %s" % (name, error)) from None
    except Exception as error:
        raise TraceError("model %s failed to run: %s: %s" % (name, type(error).__name__, error)) from error
    finally:
        undo()
        for handle in handles:
            handle.remove()


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


def replace_atomic(path, write):
    """Call `write(tmp)` on a new file beside `path`, then rename it to `path`: `path` is either
    untouched or complete."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), suffix=".tmp", dir=directory)
    os.close(fd)
    try:
        write(tmp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def write_atomic(path, text):
    """Write `text` to `path` so that `path` is either untouched or complete."""

    def write(tmp):
        with open(tmp, "w", encoding="utf-8") as out:
            out.write(text)

    replace_atomic(path, write)


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

