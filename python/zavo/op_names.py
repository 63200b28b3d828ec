"""The names a graph file gives torch's functions: `torch.nn.functional.conv2d`,
`torch.Tensor.add_`, `torch.Tensor.shape.__get__` for an attribute read,
`torch.ops.torchvision.nms` for a registered operator.  A function reachable under
several names of one namespace is written under the name the engine's operation
catalogue knows.  Functions are matched by identity, so the names are indexed
before anything patches torch."""

try:
    import torch
except ImportError:  # the command reports it
    torch = None

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


def short_op(op):
    """The part of an operation's name that names its calls: `conv2d`, `shape` for an attribute."""
    short = _short_ops.get(op)
    if short is None:
        parts = op.split(".")
        short = parts[-2] if parts[-1] == "__get__" and len(parts) > 1 else parts[-1]
        short = _short_ops[op] = short.strip("_") or short
    return short


_last_parts = {}


def last_part(op):
    last = _last_parts.get(op)
    if last is None:
        last = _last_parts[op] = op.rsplit(".", 1)[-1]
    return last
