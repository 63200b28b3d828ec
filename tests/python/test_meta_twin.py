"""The trace on a model's meta twin: the real forward's graph, the real forward when the values are
needed, and the model left as it was."""

import copy
import random
import unittest
import warnings

from tests.python.support import REPO  # noqa: F401  (puts the package on the path)

import torch
from torch import nn
import torch.nn.functional as F

import zavo
from zavo import export, meta_twin, tracer, zoo

devices = []  # the device of each forward's input, kept outside the models' own state


class Mixed(nn.Module):
    """Constants read with parameters, a tensor made from plain numbers, a device passed on, writes
    in place, a call returning a tuple, an input given twice, a warning, and a cache in an
    attribute."""

    def __init__(self, needs_values=False):
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 3, padding=1)
        self.bn = nn.BatchNorm2d(4)
        self.scale = torch.full((4, 1, 1), 2.0)  # a plain attribute, not a buffer
        self.cache = {}
        self.needs_values = needs_values

    def forward(self, x, extra):
        warnings.warn("Mixed ran")
        y = F.relu(self.bn(self.conv(x)), inplace=True) * self.scale
        y = y + torch.arange(y.shape[-1]).to(y.device, torch.float32)
        y[:, 0] += 1
        a, b = y.split(2, dim=1)
        if self.needs_values and a.sum() > 0:
            a = a * 2
        self.cache["a"] = self.last = a
        return {"a": a, "b": b + extra[0] + extra[1]}, a.shape[1]


def traced(model, inputs, real_forward):
    """The graph's text and the warnings the trace gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        text = export.dumps_graph(export.trace(model, inputs, real_forward=real_forward))
    return text, [str(w.message) for w in caught]


class MetaTwin(unittest.TestCase):
    def assert_as_it_was(self, model, tensors):
        self.assertEqual([(n, id(t)) for n, t in tensors],
                         [(n, id(t)) for n, t in tracer.named_tensors(list(model.named_modules()))])
        held = [t for _, t in tensors] + list(getattr(model, "cache", {}).values()) + [getattr(model, "last", None)]
        self.assertFalse(any(t.is_meta for t in held if t is not None))

    def test_the_twin_gives_the_real_forwards_graph_and_leaves_the_model_as_it_was(self):
        torch.manual_seed(0)
        e = torch.randn(1, 2, 5, 5)
        cases = [(Mixed().eval(), (torch.randn(1, 3, 5, 5), [e, e]))]
        cases += [(b.model.eval(), b.inputs) for b in map(zoo.build, ("tiny_decoder", "mobilenet_v2"))]
        for model, inputs in cases:
            with self.subTest(type(model).__name__):
                tensors = tracer.named_tensors(list(model.named_modules()))
                hook = model.register_forward_pre_hook(lambda module, args: devices.append(args[0].device.type))
                real = traced(model, inputs, True)
                devices.clear()
                self.assertEqual(traced(model, inputs, False), real)
                hook.remove()
                self.assertEqual(devices, ["meta"])
                self.assert_as_it_was(model, tensors)
        model, inputs = cases[0]
        self.assertEqual(zavo.analyze(model, inputs).to_json(),
                         zavo.analyze(model, inputs, real_forward=True).to_json())

    def test_a_forward_that_needs_the_values_runs_for_real_whole(self):
        torch.manual_seed(0)
        model, e = Mixed(needs_values=True).eval(), torch.randn(1, 2, 5, 5)
        inputs = (torch.randn(1, 3, 5, 5), [e, e])
        tensors = tracer.named_tensors(list(model.named_modules()))
        model.register_forward_pre_hook(lambda module, args: devices.append(args[0].device.type))
        real = traced(model, inputs, True)
        devices.clear()
        self.assertEqual(traced(model, inputs, False), real)
        self.assertEqual(devices, ["meta", "cpu"])
        self.assert_as_it_was(model, tensors)
        # A model that fails, fails as its real forward does.
        with self.assertRaisesRegex(zavo.TraceError, r"model model failed to run: RuntimeError: shape '\[3\]'"):
            export.trace(Reshape(), torch.randn(2), real_forward=False)


FUNCTIONS = {"torch.nn.functional.conv1d": F.conv1d, "torch.nn.functional.conv2d": F.conv2d,
             "torch.nn.functional.conv3d": F.conv3d, "torch.nn.functional.batch_norm": F.batch_norm,
             "torch.nn.functional.layer_norm": F.layer_norm, "torch.nn.functional.group_norm": F.group_norm,
             "torch.nn.functional.hardtanh": F.hardtanh, "torch.nn.functional.relu": F.relu, "torch.relu": torch.relu,
             "torch.nn.functional.silu": F.silu, "torch.sigmoid": torch.sigmoid}


class ShapeRules(unittest.TestCase):
    def test_a_result_made_from_shapes_is_the_kernels_or_none(self):
        """Seeded random calls, sensible and not: a rule either declines or gives the real kernel's
        shape and dtype (the input itself in place), and never takes a call the kernel refuses."""
        rng = random.Random(0)

        def pick(*choices):
            return rng.choice(choices)

        def positional(op, args, kwargs):
            """The call with some of its first keyword arguments given in their places instead."""
            keys = list(kwargs)
            return op, args + [kwargs.pop(key) for key in keys[:rng.randint(0, len(keys))]], kwargs

        def calls():
            for _ in range(60):
                dims, channels, n = rng.randint(1, 3), pick(2, 4, 6), pick(1, 2)
                x = (n, channels) + tuple(rng.randint(1, 7) for _ in range(dims))
                groups = pick(1, 2, channels, 3)
                w = (pick(2, 4, 6), channels // groups if channels % groups == 0 else pick(1, 2)) + tuple(
                    rng.randint(1, 4) for _ in range(dims))
                step = lambda low: pick(low, [low + 1] * dims, [low + 1], [1] * (dims + 1), 2)  # noqa: E731
                conv = dict(stride=step(1), padding=step(0), dilation=step(1), groups=groups)
                yield positional("torch.nn.functional.conv%dd" % dims, [x, w, pick(None, (w[0],), (3,))], conv)
                norm = pick((channels,), (channels + 1,), None)
                yield positional("torch.nn.functional.batch_norm", [x, norm, norm, norm, pick(None, norm)],
                                 dict(training=pick(False, True), momentum=0.1, eps=pick(1e-5, 0.5)))
                yield "torch.nn.functional.batch_norm", [x, norm], pick({}, dict(training=True), dict(weight=norm))
                yield "torch.nn.functional.batch_norm", [(1, channels)], dict(running_mean=None, running_var=None,
                                                                             training=True)
                yield "torch.nn.functional.layer_norm", [x, list(x[-pick(1, 2):]) if pick(0, 1) else [5],
                                                         pick(None, x[-1:])], {}
                yield "torch.nn.functional.group_norm", [x, groups, pick(None, (channels,), (1,))], {}
                yield "torch.nn.functional.hardtanh", [x], dict(min_val=pick(-1.0, 2.0), max_val=1.0,
                                                             inplace=pick(False, True))
                yield pick("torch.nn.functional.relu", "torch.nn.functional.silu"), [x], pick({}, dict(
                    inplace=pick(False, True)), dict(inplace=1))
                yield pick("torch.relu", "torch.sigmoid"), [x], pick({}, dict(out=torch.empty(x)))

        def tensors(args, device):
            return [torch.randn(a, device=device) if type(a) is tuple else a for a in args]

        for op, args, kwargs in calls():
            with self.subTest(op=op, args=args, kwargs=kwargs):
                meta = tensors(args[:1], "meta") + tensors(args[1:], rng.choice(("meta", "cpu")))
                made = meta_twin._RESULTS[op](meta, kwargs)
                try:
                    real = FUNCTIONS[op](*tensors(args, "cpu"), **kwargs)
                except Exception:
                    self.assertIsNone(made)
                    continue
                if made is not None:
                    self.assertEqual((made.shape, made.dtype, made.is_meta), (real.shape, real.dtype, True))
                    self.assertEqual(made is meta[0], kwargs.get("inplace", False))


class Writes(nn.Module):
    """A forward that writes into the model's own tensors in one of the ways a forward can, or
    into a tensor of its own."""

    def __init__(self, how):
        super().__init__()
        self.lin = nn.Linear(3, 3)
        self.register_buffer("count", torch.zeros(()))
        self.how = how

    def forward(self, x):
        if self.how == "in place":
            self.count.add_(1)
        elif self.how == "through .data":
            self.lin.weight.data.mul_(2)
        elif self.how == "into a view":
            self.lin.bias[1:].mul_(2)
        elif self.how == "by index":
            self.lin.bias[0] = 5.0
        elif self.how == "out=":
            torch.add(self.count, 1, out=self.count)
        elif self.how == "in a list":
            torch._foreach_mul_([self.lin.bias], 2)
        own = torch.zeros(3)
        own.add_(1)
        return self.lin(x) + own


class ModelWrites(unittest.TestCase):
    def test_a_forward_that_writes_into_the_models_tensors_runs_for_real_in_evaluation_mode(self):
        """In evaluation mode the pass reads the model's own tensors: one that would write into
        them runs the real forward instead; in training mode the twins take the writes.  Either
        way the graph is the real forward's, and the model's values change only when that one
        runs; a write into a tensor the forward made itself is no reason to leave the pass."""
        for how in ("in place", "through .data", "into a view", "by index", "out=", "in a list", "none"):
            for train in (False, True) if how != "in a list" else (False,):  # meta has no kernel for it
                with self.subTest(how=how, train=train):
                    torch.manual_seed(0)
                    model, x = Writes(how).train(train), torch.randn(2, 3)
                    model.register_forward_pre_hook(lambda module, args: devices.append(args[0].device.type))
                    real = traced(copy.deepcopy(model), x, True)
                    values = copy.deepcopy(model.state_dict())
                    devices.clear()
                    self.assertEqual(traced(model, x, False), real)
                    meta_only = train or how == "none"
                    self.assertEqual(devices, ["meta"] if meta_only else ["meta", "cpu"])
                    unchanged = all(torch.equal(v, model.state_dict()[k]) for k, v in values.items())
                    self.assertEqual(unchanged, meta_only)


class Changing(nn.Module):
    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(nn.Conv2d(3, 4, 3, padding=1), nn.BatchNorm2d(4), nn.ReLU())
        self.scale = nn.Parameter(torch.ones(4, 1, 1))

    def forward(self, x):
        return self.body(x) * self.scale


def changes(model, rng):
    """Changes a user may make to a model between two traces, each leaving it runnable."""
    like = lambda made: made.to(model.body[1].weight.dtype)  # noqa: E731  (the model's dtype at the time)
    return [
        lambda: setattr(model.body[0], "weight", nn.Parameter(torch.randn_like(model.body[0].weight))),
        lambda: model.body.__setitem__(0, like(nn.Conv2d(3, 4, 1))),
        lambda: model.body.__setitem__(2, nn.Hardswish()),
        lambda: model.body.append(like(nn.Conv2d(4, 4, 1))),
        lambda: setattr(model.scale, "data", like(torch.ones(rng.choice((1, 4)), 1, 1))),
        lambda: model.body[1].register_buffer("extra", like(torch.zeros(2))),
        lambda: model.to(rng.choice((torch.float32, torch.float64))),
        lambda: model.train(rng.random() < 0.5),
        lambda: model.requires_grad_(False),
    ]


class Repeats(unittest.TestCase):
    def test_a_model_changed_between_traces_traces_as_a_fresh_copy_does(self):
        """Seeded runs of changes, each followed by a trace of the model and one of a fresh copy:
        nothing a trace does or keeps carries over to the next."""
        for seed in range(4):
            rng = random.Random(seed)
            torch.manual_seed(seed)
            model = Changing()
            made = changes(model, rng)
            for step in range(8):
                rng.choice(made)()
                x = torch.randn(1, 3, 5, 5, dtype=model.body[1].weight.dtype)
                with self.subTest(seed=seed, step=step):
                    self.assertEqual(traced(model, x, False), traced(copy.deepcopy(model), x, False))
                    self.assertEqual(traced(model, x, False), traced(model, x, True))


class Reshape(nn.Module):
    def forward(self, x):
        return x.reshape(3)


if __name__ == "__main__":
    unittest.main()
