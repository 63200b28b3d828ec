"""The trace on a model's meta twin: the real forward's graph, the real forward when the values are
needed, and the model left as it was."""

import unittest
import warnings

from tests.tools.support import REPO  # noqa: F401  (puts the package and tools/ on the path)

import torch
from torch import nn
import torch.nn.functional as F

import zavo
from zavo import export, zoo

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
                         [(n, id(t)) for n, t in export.named_tensors(list(model.named_modules()))])
        held = [t for _, t in tensors] + list(getattr(model, "cache", {}).values()) + [getattr(model, "last", None)]
        self.assertFalse(any(t.is_meta for t in held if t is not None))

    def test_the_twin_gives_the_real_forwards_graph_and_leaves_the_model_as_it_was(self):
        torch.manual_seed(0)
        e = torch.randn(1, 2, 5, 5)
        cases = [(Mixed().eval(), (torch.randn(1, 3, 5, 5), [e, e]))]
        cases += [(b.model.eval(), b.inputs) for b in map(zoo.build, ("tiny_decoder", "mobilenet_v2"))]
        for model, inputs in cases:
            with self.subTest(type(model).__name__):
                tensors = export.named_tensors(list(model.named_modules()))
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
        tensors = export.named_tensors(list(model.named_modules()))
        model.register_forward_pre_hook(lambda module, args: devices.append(args[0].device.type))
        real = traced(model, inputs, True)
        devices.clear()
        self.assertEqual(traced(model, inputs, False), real)
        self.assertEqual(devices, ["meta", "cpu"])
        self.assert_as_it_was(model, tensors)
        # A model that fails, fails as its real forward does.
        with self.assertRaisesRegex(zavo.TraceError, r"model model failed to run: RuntimeError: shape '\[3\]'"):
            export.trace(Reshape(), torch.randn(2), real_forward=False)


class Reshape(nn.Module):
    def forward(self, x):
        return x.reshape(3)


if __name__ == "__main__":
    unittest.main()
