"""Inputs and outputs of any structure, and output sizes that depend on the data.

A model is called as `model(*args, **kwargs)`.  Example inputs stand for that
call: a tuple is the positional arguments, a dict the keyword arguments, and
anything else (a tensor, a list of images for a detector) is the one argument.
Inside them, and inside what the model returns, tensors may sit in lists,
tuples and dicts nested to any depth; numbers, strings, None, dtypes and
devices are constants that the model gets as they are.  Every tensor has a
place, written like the Python expression that reaches it: `x`, `x0`,
`images[0]`, `output[0]['boxes']`.  A value of any other kind is refused with
a `TraceError` that names its place.

Some outputs have sizes that depend on the values computed: a detector keeps
the boxes that pass a score threshold and non-maximum suppression, so the
number of detections changes when the weights change.  `Selections` follows a
run and marks every tensor computed from a selection of that kind (a boolean
mask, `nonzero`, `nms`, `unique`, a slice bound that is a tensor);
`OutputStructure.compare` then lets the leading dimension of such an output
change size, and nothing else: the containers, their keys and lengths, the
number of dimensions and every other size must stay as they were.  An output
counts as data-dependent when either run marks it: a loop over the selected
boxes that fills a tensor made from a plain number (`torch.zeros(len(rois),
...)`) marks it only in a run that selected some.
"""

import re

from zavo.analysis import TraceError
from zavo.op_names import op_name_of

try:
    import torch
    from torch.overrides import TorchFunctionMode
except ImportError:  # the exporter reports it
    torch = None
    TorchFunctionMode = object

# Containers nested deeper than this are refused (as the graph reader bounds its nesting).
MAX_DEPTH = 64

_ACCEPTED = "tensors, numbers, strings, None, and lists, tuples and dicts of them"


def call_arguments(example_inputs):
    """(args, kwargs) of the call that example inputs stand for."""
    if isinstance(example_inputs, tuple):
        return tuple(example_inputs), {}
    if isinstance(example_inputs, dict):
        return (), dict(example_inputs)
    return (example_inputs,), {}


def call(model, example_inputs):
    args, kwargs = call_arguments(example_inputs)
    return model(*args, **kwargs)


def argument_places(args, kwargs):
    """(place, value) of each argument: `x` for a single positional argument, `x0`, `x1`, ...
    for several, and its keyword for a keyword argument."""
    places = [("x" if len(args) == 1 else "x%d" % i, value) for i, value in enumerate(args)]
    for key, value in kwargs.items():
        if not isinstance(key, str) or not key.isidentifier():
            raise TraceError("keyword argument %r: not a Python identifier" % (key,))
        places.append((key, value))
    return places


def _is_constant(value):
    if value is None or value is Ellipsis or isinstance(value, (bool, int, float, complex, str, bytes, slice)):
        return True
    return torch is not None and isinstance(value, (torch.dtype, torch.device, torch.layout, torch.memory_format))


def _key_text(key):
    if isinstance(key, (str, int)) and not isinstance(key, bool):
        return "[%r]" % (key,)
    return None


def leaves(value, place, what="input "):
    """Yield (place, tensor) for every tensor of a structure, in order (dicts in their key order).

    Raises TraceError naming the place of the first value that is neither a
    tensor, a constant, nor a list, tuple or dict; `what` starts the message
    ("input ", or "" for an output, whose place says it).
    """
    open_containers = set()

    def walk(item, where, depth):
        if torch is not None and isinstance(item, torch.Tensor):
            yield where, item
            return
        if _is_constant(item):
            return
        if not isinstance(item, (list, tuple, dict)):
            raise TraceError("%s%s: a value of type %s, which a graph cannot hold (expected %s)" % (
                what, where, _type_name(item), _ACCEPTED))
        if depth >= MAX_DEPTH:
            raise TraceError("%s%s: containers nested deeper than %d levels" % (what, where, MAX_DEPTH))
        if id(item) in open_containers:
            raise TraceError("%s%s: a %s that holds itself" % (what, where, _type_name(item)))
        open_containers.add(id(item))
        if isinstance(item, dict):
            for key, child in item.items():
                text = _key_text(key)
                if text is None:
                    raise TraceError("%s%s: a dict key of type %s (expected strings or integers)" % (
                        what, where, _type_name(key)))
                yield from walk(child, where + text, depth + 1)
        else:
            for i, child in enumerate(item):
                yield from walk(child, "%s[%d]" % (where, i), depth + 1)
        open_containers.discard(id(item))

    yield from walk(value, place, 0)


def _type_name(value):
    t = type(value)
    return t.__name__ if t.__module__ == "builtins" else "%s.%s" % (t.__module__, t.__name__)


# -- sizes that depend on the data -----------------------------------------------------------------

# Calls whose result size depends on the values of their inputs.
SIZE_SELECTIONS = frozenset((
    "torch.nonzero", "torch.Tensor.nonzero", "torch.argwhere", "torch.Tensor.argwhere",
    "torch.masked_select", "torch.Tensor.masked_select", "torch.unique", "torch.Tensor.unique",
    "torch.unique_consecutive", "torch.Tensor.unique_consecutive", "torch.ops.torchvision.nms",
))
# Calls whose result says which elements win by value, at a size fixed by their arguments.
ORDER_SELECTIONS = frozenset((
    "torch.topk", "torch.Tensor.topk", "torch.sort", "torch.Tensor.sort", "torch.argsort", "torch.Tensor.argsort",
    "torch.argmax", "torch.Tensor.argmax", "torch.argmin", "torch.Tensor.argmin", "torch.kthvalue",
    "torch.Tensor.kthvalue",
))
_INDEXING = ("torch.Tensor.__getitem__", "torch.Tensor.__setitem__")


def is_size_selection(op, args, kwargs):
    """Whether a call of `op` selects a number of elements that depends on the values."""
    if op in SIZE_SELECTIONS:
        return True
    if op == "torch.where":
        return len(args) + len(kwargs) == 1
    if op in _INDEXING and len(args) > 1:
        return _selects_by_value(args[1])
    return False


def _selects_by_value(index):
    """A boolean mask, or a slice with a bound that is a tensor, anywhere in an index."""
    if isinstance(index, torch.Tensor):
        return index.dtype in (torch.bool, torch.uint8)
    if isinstance(index, slice):
        return any(isinstance(part, torch.Tensor) for part in (index.start, index.stop, index.step))
    if isinstance(index, (list, tuple)):
        return any(_selects_by_value(item) for item in index)
    return False


def tensors(value, depth=0):
    """The tensors of a value, in order: inside lists, tuples, dicts and slices."""
    if isinstance(value, torch.Tensor):
        yield value
    elif isinstance(value, (list, tuple)) and depth < MAX_DEPTH:
        for item in value:
            yield from tensors(item, depth + 1)
    elif isinstance(value, dict) and depth < MAX_DEPTH:
        for item in value.values():
            yield from tensors(item, depth + 1)
    elif isinstance(value, slice):
        yield from tensors([value.start, value.stop, value.step], depth + 1)


class Selections(TorchFunctionMode):
    """Follows a run: which tensors hold a data-dependent number of elements, and the
    results of every selecting call, in order.

    A tensor is data-dependent when a size selection made it, or when a call
    took a data-dependent tensor among its arguments.  `events` lists
    (op, results) of every size or order selection; `on_event`, when given, is
    called with the event's position as each one happens.  Only the tensors
    marked and the selections' results are held.
    """

    def __init__(self, on_event=None):
        super().__init__()
        self.dependent = {}  # id(tensor) -> tensor
        self.events = []
        self.on_event = on_event
        self.inside = False

    def is_dependent(self, tensor):
        return self.dependent.get(id(tensor)) is tensor

    def depends(self, *values):
        """Whether a data-dependent tensor is among `values` (nested in containers)."""
        return any(self.is_dependent(t) for t in tensors(values))

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        if self.inside:
            return func(*args, **kwargs)
        self.inside = True
        try:
            op = op_name_of(func)
            result = func(*args, **kwargs)
            size = is_size_selection(op, args, kwargs)
            if size or self.depends(args, kwargs):
                for tensor in tensors(result):
                    self.dependent[id(tensor)] = tensor
                if op == "torch.Tensor.__setitem__" and args:
                    self.dependent[id(args[0])] = args[0]
            if size or op in ORDER_SELECTIONS:
                self.events.append((op, [t.detach().clone() for t in tensors(result)]))
                if self.on_event is not None:
                    self.on_event(len(self.events) - 1)
            return result
        finally:
            self.inside = False


def patch_indexing(handler):
    """Route tensor indexing (`x[i]`, `x[i] = v`) through `handler(func, args)` while patched:
    a function mode is not told of every index (plain integers take a fast path).
    Returns the function that undoes the patch."""
    op_name_of(torch.add)  # operations are named by identity: index the names before patching
    saved = {}
    for attr in _INDEXING:
        short = attr.rsplit(".", 1)[1]
        original = getattr(torch.Tensor, short)
        saved[short] = torch.Tensor.__dict__.get(short)

        def wrapper(self, *args, _original=original):
            return handler(_original, (self,) + args)

        setattr(torch.Tensor, short, wrapper)

    def undo():
        for short, old in saved.items():
            if old is None:
                delattr(torch.Tensor, short)
            else:
                setattr(torch.Tensor, short, old)

    return undo


def run_with(selections, model, example_inputs):
    """Run `model` under a `Selections` mode (with indexing patched to reach it); the result."""

    def index(func, args):
        if selections.inside:
            return func(*args)
        return selections.__torch_function__(func, (), args, {})

    undo = patch_indexing(index)
    try:
        with selections:
            return call(model, example_inputs)
    finally:
        undo()


def run_selections(model, example_inputs):
    """Run `model` under a fresh `Selections` mode: (result, the mode)."""
    selections = Selections()
    return run_with(selections, model, example_inputs), selections


# -- the output structure --------------------------------------------------------------------------


class Leaf:
    """One tensor of an output: its place, shape, and whether its leading size depends on the data."""

    __slots__ = ("place", "shape", "dependent")

    def __init__(self, place, shape, dependent):
        self.place, self.shape, self.dependent = place, tuple(shape), dependent

    def shape_text(self):
        """The shape, its data-dependent size written `n`: `(n, 4)`."""
        parts = ["n" if self.dependent and i == 0 else str(s) for i, s in enumerate(self.shape)]
        return "(%s)" % (parts[0] + "," if len(parts) == 1 else ", ".join(parts))


def _skeleton(value, depth=0):
    """The containers, keys and lengths of a structure, tensors written as a mark."""
    if torch is not None and isinstance(value, torch.Tensor):
        return "tensor"
    if isinstance(value, dict) and depth < MAX_DEPTH:
        return ("dict", tuple((k, _skeleton(v, depth + 1)) for k, v in value.items()))
    if isinstance(value, (list, tuple)) and depth < MAX_DEPTH:
        return (type(value).__name__, tuple(_skeleton(v, depth + 1) for v in value))
    return type(value).__name__


class OutputStructure:
    """The structure of one output: `skeleton` (containers, keys and lengths), a `Leaf` per
    tensor in order, and whether a selection by value made any of them (`data_dependent`)."""

    def __init__(self, skeleton, leaf_list):
        self.skeleton, self.leaves = skeleton, leaf_list
        self.data_dependent = any(leaf.dependent for leaf in leaf_list)

    @property
    def shapes(self):
        return [leaf.shape for leaf in self.leaves]

    def describe(self):
        """The output's shapes for a person: `(1, 1000)`, or with places and `n` for sizes that
        depend on the data: `output[0]['boxes'] (n, 4), ...`."""
        if not self.data_dependent and all(re.fullmatch(r"output(\[\d+\])?", leaf.place) for leaf in self.leaves):
            return ", ".join(str(shape) for shape in self.shapes)
        return ", ".join("%s %s" % (leaf.place, leaf.shape_text()) for leaf in self.leaves)

    def note(self):
        """What `n` in `describe` stands for, when it appears."""
        return " (n: a number of selected items, which depends on the data)" if self.data_dependent else ""

    def compare(self, other):
        """None when `other` (the output of a changed model) has this structure; else what differs.

        Containers, keys and lengths must match, and every size of every
        tensor but the leading size of one that either run marks data-dependent.
        """
        if other.skeleton != self.skeleton:
            return "the pruned model's output has another structure: %s, not %s" % (
                _skeleton_text(other.skeleton), _skeleton_text(self.skeleton))
        if not self.data_dependent and not other.data_dependent:
            if other.shapes != self.shapes:
                return "the pruned model's outputs have shapes %s, not %s" % (other.shapes, self.shapes)
            return None
        for want, got in zip(self.joined(other).leaves, other.leaves):
            same = len(got.shape) == len(want.shape) and (
                got.shape[1:] == want.shape[1:] if want.dependent else got.shape == want.shape)
            if not same:
                return "the pruned model's %s has shape %s, not %s" % (want.place, got.shape, want.shape_text())
        return None

    def joined(self, other):
        """This structure, its leaves data-dependent where either this or `other` (of the same
        skeleton) marks them."""
        return OutputStructure(self.skeleton, [Leaf(leaf.place, leaf.shape, leaf.dependent or theirs.dependent)
                                               for leaf, theirs in zip(self.leaves, other.leaves)])


class Outputs(list):
    """The tensors of one output, in order (a list, as a flat output always was), and their
    `structure` (an `OutputStructure`); `selections` marks the data-dependent ones."""

    def __init__(self, result, selections=None):
        found = list(leaves(result, "output", ""))
        super().__init__(t for _, t in found)
        self.structure = OutputStructure(_skeleton(result), [
            Leaf(place, t.shape, selections is not None and selections.is_dependent(t)) for place, t in found])


def _skeleton_text(skeleton):
    if skeleton == "tensor":
        return "a tensor"
    if isinstance(skeleton, tuple):
        kind, items = skeleton
        if kind == "dict":
            return "{%s}" % ", ".join("%r: %s" % (k, _skeleton_text(v)) for k, v in items)
        inner = ", ".join(_skeleton_text(v) for v in items)
        return "[%s]" % inner if kind == "list" else "(%s)" % inner
    return skeleton
