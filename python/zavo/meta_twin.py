"""The forward pass on a meta twin: a model's graph without its arithmetic.

A tensor on the `meta` device has a shape, a dtype and strides but no storage;
an operation on it computes only its result's shape.  `trace` swaps the
model's parameters and buffers for meta twins of the same shapes (in every
module's own tables, so that the forward reads them as it always does), runs
the exporter's recording pass on meta twins of the inputs, and puts
everything back.  The graph is the one the real pass gives: the same calls,
shapes, names and arguments (a device is written as the model's own, not as
`meta`), with no arithmetic and no memory for activations.

Some forwards need the values: a detector's box selection (`nonzero`, `nms`),
a count read with `.item()`, a branch on a tensor's value.  Meta tensors
refuse those calls, and any call of the pass that raises ends it, even one
that the model catches (the model would then go another way than the real
pass): `trace` returns None and the exporter runs the real pass, whole.

Tensors that the model makes itself from plain numbers (`torch.arange(n)`)
and constants it keeps outside its parameters stay real and are computed for
real; a call that reads one together with meta tensors reads a meta twin of
it.  The model's Python state is kept: what the pass stores in module
attributes (a cache of meta tensors, say) is undone.
"""

import warnings
from collections import OrderedDict

import torch

from zavo import export, structure

# Calls that write into their first argument, besides those whose name ends in one underscore.
_WRITES = frozenset(
    "__setitem__ __iadd__ __isub__ __imul__ __itruediv__ __ifloordiv__ __imod__ __ipow__ __iand__ __ior__ "
    "__ixor__ __ilshift__ __irshift__ __imatmul__".split()
)
_CONTAINERS = (list, dict, set, OrderedDict)
_TENSOR_TYPES = (torch.Tensor, torch.nn.Parameter)
_machinery = None  # attributes every module has, which the pass leaves as it found them


class NeedsRealForward(Exception):
    """The meta pass cannot run a call as the real pass would."""


class _MetaTracer(export._Tracer):
    """The exporter's tracer on meta tensors: writes the model's device for `meta`, lets a call
    read real tensors together with meta ones through meta twins, and notes the first call that
    raised."""

    def __init__(self, model, modules, named, device):
        super().__init__(model, modules, named)
        self.device_text = str(device)
        self.reads = 0  # tensors read by the call being recorded
        self.real_reads = []  # those of them that are not meta
        self.twins = {}  # id(tensor) -> (real tensor, its meta twin)
        self.failed = None

    def tensor_ref(self, tensor):
        self.reads += 1
        if not tensor.is_meta:
            self.real_reads.append(tensor)
        return super().tensor_ref(tensor)

    def constant_text(self, value):
        if type(value) is torch.device and value.type == "meta":
            return self.device_text
        return str(value)

    def call(self, func, op, args, kwargs):
        reads, real = self.reads, self.real_reads
        self.reads, self.real_reads = 0, []
        try:
            if real and len(real) < reads:
                short = export._last_part(op)
                writes = short in _WRITES or (short.endswith("_") and not short.endswith("__"))
                if "out" in kwargs or (writes and args and any(args[0] is t for t in real)):
                    raise NeedsRealForward("%s writes into a real tensor with meta ones" % op)
                args = [self._meta(value) for value in args]
                kwargs = {key: self._meta(value) for key, value in kwargs.items()}
            return func(*args, **kwargs)
        except Exception:
            if self.failed is None:
                self.failed = op
            raise

    def _meta(self, value):
        if isinstance(value, torch.Tensor):
            if value.is_meta:
                return value
            hit = self.twins.get(id(value))
            if hit is None or hit[0] is not value:
                hit = self.twins[id(value)] = (value, torch.empty_like(value, device="meta"))
            return hit[1]
        if type(value) in (list, tuple):
            return type(value)(self._meta(item) for item in value)
        return value


def trace(model, modules, args, kwargs, run):
    """(tracer, output) of `run(tracer, args, kwargs)` on the meta twins of `model` (its
    `named_modules()` pairs are `modules`) and of the call's arguments.

    None when the pass cannot stand for the real one: the model's tensors are
    on several devices or on `meta` already, a tensor is of a subclass, or a
    call of the pass raised.  The model is as it was either way.
    """
    named = export.named_tensors(modules)
    device = _one_device(named, args, kwargs)
    if device is None:
        return None
    twins = {}
    saved = _save_state(modules)
    tracer = None
    try:
        meta_args, meta_kwargs = _twin_value(args, twins, 0), _twin_value(kwargs, twins, 0)
        for _, module in modules:
            for table in (module._parameters, module._buffers):
                for key, tensor in table.items():
                    if tensor is not None:
                        table[key] = _twin(tensor, twins)
        tracer = _MetaTracer(model, modules, [(name, twins[id(tensor)][1]) for name, tensor in named], device)
        with warnings.catch_warnings(record=True) as caught:
            result = run(tracer, meta_args, meta_kwargs)
    except Exception:
        return None
    finally:
        _restore_state(saved)
    if tracer.failed is not None:
        return None
    for w in caught:  # the real pass would have given them
        warnings.warn_explicit(w.message, w.category, w.filename, w.lineno, source=w.source)
    return tracer, result


def _one_device(named, args, kwargs):
    """The one device of the model's parameters and buffers and of the inputs' tensors; None for
    several, for none, or for `meta`."""
    devices = {tensor.device for _, tensor in named}
    devices.update(tensor.device for tensor in structure.tensors((args, kwargs)))
    if len(devices) != 1:
        return None
    device = devices.pop()
    return None if device.type == "meta" else device


def _twin(tensor, twins):
    hit = twins.get(id(tensor))
    if hit is None:
        if type(tensor) not in _TENSOR_TYPES:  # a subclass may compute what meta cannot
            raise NeedsRealForward("a tensor of type %s" % type(tensor).__name__)
        twin = torch.empty_like(tensor, device="meta")
        if type(tensor) is torch.nn.Parameter:
            twin = torch.nn.Parameter(twin, requires_grad=tensor.requires_grad)
        hit = twins[id(tensor)] = (tensor, twin)
    return hit[1]


def _twin_value(value, twins, depth):
    """An input with meta twins for its tensors, in containers of the same kinds."""
    if isinstance(value, torch.Tensor):
        return _twin(value, twins)
    kind = type(value)
    if kind in (list, tuple, dict) and depth < structure.MAX_DEPTH:
        if kind is dict:
            return {key: _twin_value(item, twins, depth + 1) for key, item in value.items()}
        return kind(_twin_value(item, twins, depth + 1) for item in value)
    if isinstance(value, (list, tuple, dict)):  # a container class of its own; the real pass takes it
        raise NeedsRealForward("an input of type %s" % kind.__name__)
    return value


def _save_state(modules):
    """Each module's attributes, and the contents of the lists, dicts and sets they hold."""
    global _machinery
    if _machinery is None:
        _machinery = frozenset(vars(torch.nn.Module())) - {"_parameters", "_buffers"}
    saved = []
    for _, module in modules:
        attrs = vars(module)
        held = [(value, value.copy()) for key, value in attrs.items()
                if type(value) in _CONTAINERS and key not in _machinery]
        saved.append((attrs, attrs.copy(), held))
    return saved


def _restore_state(saved):
    for attrs, before, held in saved:
        for value, contents in held:
            if type(value) is list:
                value[:] = contents
            else:
                value.clear()
                value.update(contents)
        attrs.clear()  # values are compared by identity only: a tensor's == is elementwise
        attrs.update(before)
