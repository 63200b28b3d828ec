"""The recording pass of the exporter: a torch function mode that records the outermost
torch calls of one forward pass, with the model's parameters, buffers, inputs and
constants, as the nodes of a graph file.  A call made inside a recorded call belongs to
it; parameters and buffers are matched by tensor identity; each call is named after the
module that made it (`layer1.0.conv1`).  `zavo.export.trace` runs it and makes the graph;
`zavo.meta_twin` runs it on meta tensors."""

import math
import os
from sys import _getframe

from zavo import structure
from zavo.analysis import TraceError
from zavo.op_names import last_part, op_name_of, short_op

try:
    import torch
    import torch.nn.functional
    import torch.overrides
    from torch.overrides import TorchFunctionMode
except ImportError:  # the command reports it; importers get the ImportError
    torch = None
    TorchFunctionMode = object

# The exact tensor types, tested by identity on the hot path (a subclass takes the slower test).
_TENSOR = torch.Tensor if torch is not None else None
_PARAMETER = torch.nn.Parameter if torch is not None else None
# The types whose values an argument list holds as they are.
_AS_IS = frozenset((int, bool, str, type(None)))
_finite = math.isfinite

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


class _Unplaced(Exception):
    """A value the graph cannot hold, met while encoding without places."""


def _refuse(where, what):
    if where is None:
        raise _Unplaced()
    raise TraceError("%s: %s" % (where, what))


def named_modules(model):
    """`list(model.named_modules())`, walked without a generator per module (whose items pass up
    through every level above them); by `named_modules()` itself when a module's type has one of
    its own."""
    found, seen, stack = [], set(), [("", model)]
    own = torch.nn.Module.named_modules
    while stack:
        path, module = stack.pop()
        if module in seen:
            continue
        if type(module).named_modules is not own:
            return list(model.named_modules())
        seen.add(module)
        found.append((path, module))
        children = module._modules
        if children:
            prefix = path + "." if path else ""
            stack.extend(reversed([(prefix + name, child) for name, child in children.items() if child is not None]))
    return found


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


class Tracer(TorchFunctionMode):
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
        short = short_op(op)
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
        if self.pending:
            self.pending.pop(id(tensor), None)

    def tensor_ref(self, tensor):
        """The id of the node a tensor is read from, emitting it first when needed:
        the `_operator.getitem` of a tuple element at its first use, a parameter
        node at the first use of a parameter or buffer, or a constant node at the
        first use of any other tensor."""
        node_id = self.node_of.get(id(tensor))  # never both bound and pending
        return node_id if node_id is not None else self._first_ref(tensor)

    def _first_ref(self, tensor):
        """`tensor_ref` of a tensor not read from a node yet."""
        key = id(tensor)
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
        owned = self.param_name.get(key)
        if owned is not None:
            name, param = owned
            node_id = len(self.nodes)
            self.nodes.append({"id": node_id, "kind": "parameter", "name": name, "shape": list(param.shape)})
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
        if kind is _TENSOR or kind is _PARAMETER:
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
        short = last_part(op)
        if short in LAYOUT_QUERIES:
            return func(*args, **kwargs)
        ref = self.tensor_ref
        try:
            # tensors, parameters, numbers and flags, most values, are written without `encode`'s dispatch
            enc_args = [{"node": ref(a)} if (kind := type(a)) is _TENSOR or kind is _PARAMETER
                        else a if kind in _AS_IS or (kind is float and _finite(a)) else self.encode(a) for a in args]
            enc_kwargs = {k: {"node": ref(v)} if (kind := type(v)) is _TENSOR or kind is _PARAMETER
                          else v if kind in _AS_IS or (kind is float and _finite(v)) else self.encode(v)
                          for k, v in kwargs.items()} if kwargs else {}
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
        elif type(result) is _TENSOR or isinstance(result, torch.Tensor):
            node["shape"] = list(result.shape)
            self.keep_alive.append(result)  # `_bind`, written out for the most common case
            self.node_of[id(result)] = node_id
            if self.pending:
                self.pending.pop(id(result), None)
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


class _QuickStackMode:
    """What torch 1.13 runs each call under a function mode through (`_TorchFunctionStackMode`:
    take the innermost mode off the stack, run its `__torch_function__`, put it back), with the
    stack's C calls alone.  Torch's own makes a fresh object and a generator-based context per
    call, some ten microseconds of every recorded call; later torches do this in C++."""

    def __torch_function__(self, func, types, args=(), kwargs=None):
        mode = _C._pop_torch_function_stack()
        _C._set_torch_function_mode(self if _C._len_torch_function_stack() else None)
        try:
            return mode.__torch_function__(func, types, args, kwargs)
        finally:
            _C._push_on_torch_function_stack(mode)
            _C._set_torch_function_mode(self)


class _QuickNoMode:
    """torch 1.13's `_no_torch_function_mode` (no mode inside, the stack's mode again after),
    without a generator."""

    def __call__(self):
        return self

    def __enter__(self):
        _C._set_torch_function_mode(None)

    def __exit__(self, *exc):
        if _C._len_torch_function_stack():
            _C._set_torch_function_mode(_QuickStackMode())


_C = getattr(torch, "_C", None)
_QUICK = {"_TorchFunctionStackMode": _QuickStackMode, "_no_torch_function_mode": _QuickNoMode()}


class _QuickDispatch:
    """While entered, inside the tracer's mode: torch 1.13's mode dispatch through
    `_QuickStackMode` and `_QuickNoMode`, which do what torch's own do.  Nothing on a torch
    without that machinery, or when already in place (a trace inside a trace)."""

    def __enter__(self):
        names = torch.overrides.__dict__
        self.saved = None
        if (all(callable(names.get(name)) for name in _QUICK)
                and names["_TorchFunctionStackMode"] is not _QuickStackMode
                and all(hasattr(_C, name) for name in ("_set_torch_function_mode", "_len_torch_function_stack",
                                                       "_pop_torch_function_stack",
                                                       "_push_on_torch_function_stack"))):
            self.saved = {name: names[name] for name in _QUICK}
            names.update(_QUICK)
            _C._set_torch_function_mode(_QuickStackMode())
        return self

    def __exit__(self, *exc):
        if self.saved is not None:
            torch.overrides.__dict__.update(self.saved)
            _C._set_torch_function_mode(self.saved["_TorchFunctionStackMode"]())


# What the forward of a torch leaf module does with its one input, for the types whose forward is
# nothing but one call of a torch function: (function, arguments, keyword arguments) as torch's
# dispatch hands that call to a function mode, or None where the forward would do anything else
# (raise, pad, update running statistics).  They spell out torch 1.13's forwards and are used with
# that version alone.


# Parameters and buffers are read from the module's tables, where its attribute access finds them
# (a KeyError for one that was deleted runs the module's own forward).


def _batch_norm_call(dims):
    def call(module, x):
        if module.training or x.dim() not in dims:
            return None
        buffers, parameters, momentum = module._buffers, module._parameters, module.momentum
        mean, var = buffers["running_mean"], buffers["running_var"]
        return (torch.nn.functional.batch_norm, (x, mean, var),
                {"weight": parameters["weight"], "bias": parameters["bias"], "training": mean is None and var is None,
                 "momentum": 0.0 if momentum is None else momentum, "eps": module.eps})

    return call


def _conv_call(function):
    def call(module, x):
        if module.padding_mode != "zeros":
            return None
        parameters = module._parameters
        return function, (x, parameters["weight"], parameters["bias"], module.stride, module.padding,
                          module.dilation, module.groups), {}

    return call


def _in_place_call(function):
    return lambda module, x: (function, (x,), {"inplace": module.inplace})


def _leaf_calls():
    """type -> (its forward, the call of its forward); for the types whose forward is torch's own
    (not one put in its place before this module was imported)."""
    if torch is None or not torch.__version__.startswith("1.13."):
        return {}
    nn, F = torch.nn, torch.nn.functional
    calls = {
        nn.Conv1d: _conv_call(F.conv1d),
        nn.Conv2d: _conv_call(F.conv2d),
        nn.Conv3d: _conv_call(F.conv3d),
        nn.BatchNorm1d: _batch_norm_call((2, 3)),
        nn.BatchNorm2d: _batch_norm_call((4,)),
        nn.BatchNorm3d: _batch_norm_call((5,)),
        nn.ReLU: _in_place_call(F.relu),
        nn.SiLU: _in_place_call(F.silu),
        nn.Hardswish: _in_place_call(F.hardswish),
        nn.ReLU6: lambda module, x: (F.hardtanh, (x,), {"min_val": module.min_val, "max_val": module.max_val,
                                                         "inplace": module.inplace}),
        nn.Sigmoid: lambda module, x: (torch.sigmoid, (x,), {}),
        nn.Linear: lambda module, x: (F.linear, (x, module._parameters["weight"], module._parameters["bias"]), {}),
        nn.Dropout: lambda module, x: (F.dropout, (x,), {"p": module.p, "training": module.training,
                                                          "inplace": module.inplace}),
        nn.AdaptiveAvgPool2d: lambda module, x: (F.adaptive_avg_pool2d, (x, module.output_size), {}),
    }
    torch_dir = os.path.dirname(torch.__file__) + os.sep
    return {kind: (kind.forward, call) for kind, call in calls.items()
            if kind.forward.__code__.co_filename.startswith(torch_dir)}


_LEAF_CALLS = _leaf_calls()
_MODULE = torch.nn.modules.module if torch is not None else None
# The frames that run a module's forward when the module is called.
_MODULE_CALLS = (frozenset((torch.nn.Module._call_impl.__code__, torch.nn.Module._slow_forward.__code__))
                 if torch is not None else frozenset())


def _leaf_forward(tracer, module, entry, call_of, push, pop):
    """A forward for a leaf module with a call in `_LEAF_CALLS`: `_pushing_forward`'s, and the
    call recorded straight from its input, as the tracer's mode would record it from the module's
    own forward, without the forward's, the hooks' and the dispatch's Python in between.  Anything
    out of the ordinary (other arguments, a call inside a recorded call, another mode on the
    stack, an input the call does not take) runs the module's own forward."""
    forward = module.forward

    def leaf(*args, **kwargs):
        if (len(args) == 1 and not kwargs and not tracer.depth and type(args[0]) is _TENSOR
                and _C._len_torch_function_stack() == 1):
            mode = _C._pop_torch_function_stack()
            _C._set_torch_function_mode(None)
            try:
                try:
                    call = call_of(module, args[0]) if mode is tracer else None
                except KeyError:
                    call = None
                if call is not None:
                    tracer.depth = 1
                    try:
                        return tracer.record(*call)
                    finally:
                        tracer.depth = 0
            finally:
                _C._push_on_torch_function_stack(mode)
                _C._set_torch_function_mode(_QuickStackMode())
        return forward(*args, **kwargs)

    return _pushing_forward(module, entry, push, pop, leaf)


def _pushing_forward(module, entry, push, pop, run=None):
    """A forward for a module without hooks, in the module's own attributes while traced: when
    the module is called (not its `forward` straight), its (path, is a leaf) on the module stack
    while `run` (its own forward unless given) runs, as hooks would put it, without the slower
    call that hooks take in torch.  It names its own forward as the one it wraps, for callers
    that read its signature."""
    forward = module.forward
    run = run or forward
    caller = _getframe

    def pushing(*args, **kwargs):
        if caller(1).f_code not in _MODULE_CALLS:
            return forward(*args, **kwargs)
        push(entry)
        try:
            return run(*args, **kwargs)
        finally:
            pop()

    pushing.__wrapped__ = forward
    return pushing


def _hooked(module):
    """Whether calling `module` runs hooks (then its forward is left alone, so that what a hook
    calls is named as it would be)."""
    return (module._forward_hooks or module._forward_pre_hooks or module._backward_hooks
            or _MODULE._global_forward_hooks or _MODULE._global_forward_pre_hooks or _MODULE._global_backward_hooks)


def run(tracer, model, args, kwargs, name):
    """The model's output on (args, kwargs), its calls recorded by `tracer`; TraceError when the
    inputs cannot be taken or the model fails."""
    try:
        tracer.add_inputs(args, kwargs)
    except TraceError as error:
        raise TraceError("cannot trace %s: %s" % (name, error)) from None
    push, pop = tracer.module_stack.append, tracer.module_stack.pop

    def leave(module, args, result):
        pop()

    key = object()
    forwards = []  # the attributes of the modules given a forward of the pass
    hooked = []  # the modules given hooks

    def enter(quick):
        # Each module's (path, is a leaf) is on the module stack while its forward runs.  A module
        # without hooks or a forward of its own gets a forward of the pass that pushes and pops it
        # (`_pushing_forward`); a leaf module of a type in `_LEAF_CALLS` one that also records its
        # call straight (`_leaf_forward`), while the quick dispatch (whose mode stack it steps
        # around) is in place.  Any other module gets hooks that push as its forward starts and
        # pop as it ends, straight into its hook tables under a key of this pass alone, without a
        # handle each: the tables run hooks in order of insertion, ours last, as registration
        # would, so that what its own hooks call is named as it would be.
        leaf_calls = _LEAF_CALLS if quick is not None and quick.saved is not None else {}
        for path, module in tracer.modules:
            children = module._modules
            entry = (path, not children or all(child is None for child in children.values()))
            kind = type(module)
            forward, call_of = leaf_calls.get(kind, (None, None))
            attrs = vars(module)
            if "forward" not in attrs and not _hooked(module):
                if forward is not None and kind.forward is forward and entry[1]:
                    attrs["forward"] = _leaf_forward(tracer, module, entry, call_of, push, pop)
                else:
                    attrs["forward"] = _pushing_forward(module, entry, push, pop)
                forwards.append(attrs)
            else:
                module._forward_pre_hooks[key] = lambda module, args, entry=entry: push(entry)
                module._forward_hooks[key] = leave
                hooked.append(module)

    undo = structure.patch_indexing(lambda func, args: tracer.outermost(func, args, {}))
    try:
        with torch.no_grad(), tracer, _QuickDispatch() as quick:
            enter(quick)
            return model(*args, **kwargs)
    except TraceError as error:
        raise TraceError("cannot trace %s: %s" % (name, error)) from None
    except Exception as error:
        raise TraceError("model %s failed to run: %s: %s" % (name, type(error).__name__, error)) from error
    finally:
        undo()
        for attrs in forwards:
            attrs.pop("forward", None)
        for module in hooked:
            module._forward_pre_hooks.pop(key, None)
            module._forward_hooks.pop(key, None)
