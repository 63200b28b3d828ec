"""The forward pass on a meta twin: a model's graph without its arithmetic.

A tensor on the `meta` device has a shape, a dtype and strides but no storage;
an operation on it computes only its result's shape.  `trace` runs the
exporter's recording pass on meta twins of the inputs, and puts everything
back.  The graph is the one the real pass gives: the same calls, shapes, names
and arguments (a device is written as the model's own, not as `meta`), with no
arithmetic on activations and no memory for them.

A model in evaluation mode keeps its parameters and buffers: a call that reads
them with meta activations reads meta twins of them, made when first needed,
and the calls whose results the pass makes from the arguments' shapes (most of
a convolutional network's) need none.  A call that would write into the
model's own tensors ends the pass.  A model in training mode, whose forward
updates buffers, has its parameters and buffers swapped for meta twins of the
same shapes while traced (in every module's own tables, so that the forward
reads them as it always does).

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

from zavo import structure
from zavo.op_names import last_part
from zavo.tracer import Tracer

# Calls that write into their first argument, besides those whose name ends in one underscore.
_WRITES = frozenset(
    "__setitem__ __iadd__ __isub__ __imul__ __itruediv__ __ifloordiv__ __imod__ __ipow__ __iand__ __ior__ "
    "__ixor__ __ilshift__ __irshift__ __imatmul__".split()
)
_CONTAINERS = frozenset((list, dict, set, OrderedDict))
_TENSOR_TYPES = (torch.Tensor, torch.nn.Parameter)
_machinery = None  # attributes every module has, which the pass leaves as it found them
_TABLES = ("_parameters", "_buffers")


class NeedsRealForward(Exception):
    """The meta pass cannot run a call as the real pass would."""


class _MetaTracer(Tracer):
    """The exporter's tracer on meta tensors: writes the model's device for `meta`, lets a call
    read real tensors together with meta ones through meta twins, and notes the first call that
    raised."""

    def __init__(self, model, modules, named, device, kept):
        """`kept`: whether `named` are the model's own tensors, not twins."""
        super().__init__(model, modules, named)
        self.device_text = str(device)
        self.reads = 0  # tensors read by the call being recorded
        self.real_reads = []  # those of them that are not meta
        self.twins = {}  # id(tensor) -> (real tensor, its meta twin)
        self.failed = None
        self.kept = kept
        self.storages = None  # the data pointers of the model's tensors' storages, found when first needed

    def tensor_ref(self, tensor):
        self.reads += 1
        if not tensor.is_meta:
            self.real_reads.append(tensor)
        node_id = self.node_of.get(id(tensor))
        return node_id if node_id is not None else self._first_ref(tensor)

    def constant_text(self, value):
        if type(value) is torch.device and value.type == "meta":
            return self.device_text
        return str(value)

    def call(self, func, op, args, kwargs):
        reads, real = self.reads, self.real_reads
        self.reads, self.real_reads = 0, []
        try:
            rule = _RESULTS.get(op)
            # A rule makes its result from its input: a meta one, whatever else the call reads.
            if rule is not None and (not real or (args and type(args[0]) is torch.Tensor and args[0].is_meta)):
                result = rule(args, kwargs)
                if result is not None:
                    return result
            if real:
                short = last_part(op)
                writes = short in _WRITES or (short.endswith("_") and not short.endswith("__"))
                if len(real) < reads:
                    if "out" in kwargs or (writes and args and any(args[0] is t for t in real)):
                        raise NeedsRealForward("%s writes into a real tensor with meta ones" % op)
                    args = [self._meta(value) for value in args]
                    kwargs = {key: self._meta(value) for key, value in kwargs.items()}
                elif self.kept and (writes or "out" in kwargs) and self._model_storage(kwargs.get("out", args[:1])):
                    raise NeedsRealForward("%s writes into the model's tensors" % op)
            return func(*args, **kwargs)
        except Exception:
            if self.failed is None:
                self.failed = op
            raise

    def _model_storage(self, written):
        """Whether a tensor of `written` (a tensor, or lists or tuples of them) shares its storage
        with one of the model's parameters or buffers (is one, a view of one, or its `.data`)."""
        if isinstance(written, (list, tuple)):
            return any(self._model_storage(item) for item in written)
        if not isinstance(written, torch.Tensor):
            return False
        if self.storages is None:
            self.storages = {tensor.storage().data_ptr() for _, tensor in self.param_name.values()}
        return written.storage().data_ptr() in self.storages

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


# Results made from the arguments' shapes alone, for the calls that most of a convolutional
# network's meta pass goes to (their meta kernels are written in Python in some torch versions).
# A rule gives None for anything out of the ordinary, and the meta kernel runs instead, with the
# checks the real kernel makes.


def _bound(names, args, kwargs):
    """The arguments of a call by parameter name; None for names the call does not take."""
    if not kwargs:
        return dict(zip(names, args)) if len(args) <= len(names) else None
    if len(args) > len(names) or not kwargs.keys() <= set(names[len(args):]):
        return None
    bound = dict(zip(names, args))
    bound.update(kwargs)
    return bound


_REQUIRED = object()  # the default of an argument a call must give


def _arguments(signature, args, kwargs):
    """The values of a call's arguments in the order of `signature`'s names, its defaults for
    those not given; None when the call gives one twice, names one the function does not take or
    leaves out one without a default (`_REQUIRED`)."""
    names, defaults = signature
    given = len(args)
    if given > len(names):
        return None
    values = (*args, *defaults[given:])
    if kwargs:
        values = list(values)
        for key, value in kwargs.items():
            try:
                values[names.index(key, given)] = value
            except ValueError:
                return None
    for value in values:
        if value is _REQUIRED:
            return None
    return values


def _like(tensor, dtype):
    return isinstance(tensor, torch.Tensor) and tensor.dtype == dtype


_BATCH_NORM = (("input", "running_mean", "running_var", "weight", "bias", "training", "momentum", "eps"),
               (_REQUIRED, _REQUIRED, _REQUIRED, None, None, False, 0.1, 1e-5))


def _batch_norm(args, kwargs):
    a = _arguments(_BATCH_NORM, args, kwargs)
    if a is None:
        return None
    x, mean, var, weight, bias, training = a[:6]
    if type(x) is not torch.Tensor or not x.is_floating_point():
        return None
    shape, dtype = x.shape, x.dtype
    if len(shape) < 2:
        return None
    channels = shape[1]
    for value in (mean, var, weight, bias):
        if value is not None and not (isinstance(value, torch.Tensor) and value.dtype == dtype
                                      and value.shape == (channels,)):
            return None
    if type(training) is not bool or channels == 0 or (training and x.numel() == channels):
        return None  # the kernel refuses one value per channel when training
    if not training and (mean is None or var is None):
        return None  # and evaluation without running statistics
    return torch.empty_like(x)


def _elementwise(*names):
    """A call like `relu(input, inplace=False)` with number arguments: a result of the input's
    shape and dtype, or the input itself in place.  `inplace`, when taken, comes last."""
    defaults = {"inplace": False, "min_val": -1.0, "max_val": 1.0}
    signature = (("input",) + names, (_REQUIRED,) + tuple(defaults[name] for name in names))
    numbers = len(names) - ("inplace" in names)

    def rule(args, kwargs):
        a = _arguments(signature, args, kwargs)
        if a is None:
            return None
        x, inplace = a[0], a[-1] if numbers < len(names) else False
        if type(x) is not torch.Tensor or not x.is_floating_point() or type(inplace) is not bool:
            return None
        for value in a[1:1 + numbers]:
            if type(value) not in (int, float):
                return None
        if numbers == 2 and a[1] > a[2]:
            return None  # refused by hardtanh
        return x if inplace else torch.empty_like(x)

    return rule


def _norm(names):
    """layer_norm and group_norm: a result like the input when the shapes agree."""

    def rule(args, kwargs):
        a = _bound(("input",) + names + ("weight", "bias", "eps"), args, kwargs)
        x = a and a["input"]
        if type(x) is not torch.Tensor or not x.is_floating_point() or type(a.get("eps", 0.0)) not in (int, float):
            return None
        if "num_groups" in names:
            groups = a.get("num_groups")
            if type(groups) is not int or x.dim() < 2 or groups < 1 or x.shape[1] % groups or x.numel() == groups:
                return None  # the last: one value per group, refused
            shape = (x.shape[1],)
        else:
            shape = a.get("normalized_shape")
            if type(shape) not in (list, tuple, torch.Size) or not 0 < len(shape) <= x.dim():
                return None
            if tuple(x.shape[-len(shape):]) != tuple(shape):
                return None
        for key in ("weight", "bias"):
            value = a.get(key)
            if value is not None and not (_like(value, x.dtype) and tuple(value.shape) == tuple(shape)):
                return None
        return torch.empty_like(x)

    return rule


def _per_dim(value, dims):
    if type(value) is int:
        return (value,) * dims
    if type(value) in (list, tuple) and len(value) in (1, dims):
        for v in value:
            if type(v) is not int:
                return None
        return tuple(value) * (dims // len(value))
    return None


_CONV = (("input", "weight", "bias", "stride", "padding", "dilation", "groups"),
         (_REQUIRED, _REQUIRED, None, 1, 0, 1, 1))


def _conv(dims):
    def rule(args, kwargs):
        a = _arguments(_CONV, args, kwargs)
        if a is None:
            return None
        x, w, bias, stride, padding, dilation, groups = a
        if type(x) is not torch.Tensor or not isinstance(w, torch.Tensor):
            return None
        xs, ws, dtype = x.shape, w.shape, x.dtype
        if len(xs) != dims + 2 or len(ws) != dims + 2 or w.dtype != dtype:
            return None
        if bias is not None and not (isinstance(bias, torch.Tensor) and bias.dtype == dtype
                                     and bias.shape == ws[:1]):
            return None
        if (not x.is_floating_point() or not x.is_contiguous() or not w.is_contiguous() or 0 in xs or 0 in ws
                or type(groups) is not int or groups < 1 or xs[1] != ws[1] * groups or ws[0] % groups):
            return None
        stride, padding, dilation = _per_dim(stride, dims), _per_dim(padding, dims), _per_dim(dilation, dims)
        if stride is None or padding is None or dilation is None:
            return None
        shape = [xs[0], ws[0]]
        for size, step, pad, gap, kernel in zip(xs[2:], stride, padding, dilation, ws[2:]):
            span = gap * (kernel - 1) + 1
            if step < 1 or pad < 0 or gap < 1 or size + 2 * pad < span:
                return None
            shape.append((size + 2 * pad - span) // step + 1)
        return x.new_empty(shape)

    return rule


_RESULTS = {
    "torch.nn.functional.batch_norm": _batch_norm,
    "torch.nn.functional.layer_norm": _norm(("normalized_shape",)),
    "torch.nn.functional.group_norm": _norm(("num_groups",)),
    "torch.nn.functional.relu": _elementwise("inplace"),
    "torch.relu": _elementwise(),
    "torch.Tensor.relu": _elementwise(),
    "torch.nn.functional.relu6": _elementwise("inplace"),
    "torch.nn.functional.hardtanh": _elementwise("min_val", "max_val", "inplace"),
    "torch.nn.functional.hardswish": _elementwise("inplace"),
    "torch.nn.functional.silu": _elementwise("inplace"),
    "torch.sigmoid": _elementwise(),
    "torch.nn.functional.conv1d": _conv(1),
    "torch.nn.functional.conv2d": _conv(2),
    "torch.nn.functional.conv3d": _conv(3),
}


def trace(model, modules, args, kwargs, run):
    """(tracer, output) of `run(tracer, args, kwargs)` on `model` (its `named_modules()` pairs
    are `modules`; in training mode on its meta twin) and meta twins of the call's arguments.

    None when the pass cannot stand for the real one: the model's tensors are
    on several devices or on `meta` already, a tensor is of a subclass, or a
    call of the pass raised.  The model is as it was either way.
    """
    twins = {}
    named = ([], [])  # (qualified name, twin) of the parameters, then of the buffers
    devices = set()
    saved = []
    tracer = None
    kept = not any(module.training for _, module in modules)
    tables = tuple(zip(_TABLES, named))
    try:
        for path, module in modules:
            attrs = vars(module)
            saved.append(_saved(attrs))
            for field, found in tables:
                table = attrs[field]
                if not table:
                    continue
                if kept:
                    for key, tensor in table.items():
                        if tensor is not None:
                            devices.add(tensor.device)
                            if type(tensor) not in _TENSOR_TYPES:
                                raise NeedsRealForward("a tensor of type %s" % type(tensor).__name__)
                            found.append((path + "." + key if path else key, tensor))
                    continue
                # A table of twins in its place; the module's own is put back untouched.
                table = attrs[field] = table.copy()
                for key, tensor in table.items():
                    if tensor is not None:
                        devices.add(tensor.device)
                        twin = table[key] = _twin(tensor, twins)
                        found.append((path + "." + key if path else key, twin))
        devices.update(tensor.device for tensor in structure.tensors((args, kwargs)))
        device = devices.pop() if len(devices) == 1 else None
        if device is None or device.type == "meta":
            return None  # several devices, none, or no values to stand for
        meta_args, meta_kwargs = _twin_value(args, twins, 0), _twin_value(kwargs, twins, 0)
        tracer = _MetaTracer(model, modules, named[0] + named[1], device, kept)
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


def _saved(attrs):
    """A module's attributes, and the contents of the lists, dicts and sets they hold (but for
    its own tables, which the pass does not see)."""
    global _machinery
    if _machinery is None:
        _machinery = frozenset(vars(torch.nn.Module()))
    before = attrs.copy()
    return attrs, before, [(value, value.copy()) for key in before.keys() - _machinery
                           if type(value := before[key]) in _CONTAINERS]


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
