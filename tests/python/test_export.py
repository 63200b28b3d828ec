import contextlib
import gc
import inspect
import json
import os
import tempfile
import unittest
from unittest import mock

from tests.python.support import run_main

import torch
import torch.nn.functional as F

import zavo
from zavo import cli, export, tracer, zoo


class Lambda(torch.nn.Module):
    def __init__(self, fn):
        super().__init__()
        self.fn = fn

    def forward(self, x):
        return self.fn(x)


def calls(fn):
    """Trace fn(x); returns the graph with its call nodes as a list."""
    graph = export.trace(Lambda(fn), torch.randn(2, 4, 6, 6))
    return graph, [n for n in graph["nodes"] if n["kind"] == "call"]


def ops(fn):
    return [n["op"] for n in calls(fn)[1]]


class OperationNames(unittest.TestCase):
    def test_written_names(self):
        cases = [
            ("torch.conv2d is F.conv2d", lambda x: torch.conv2d(x, torch.ones(2, 4, 1, 1)),
             ["torch.ones", "torch.nn.functional.conv2d"]),
            ("F.relu", lambda x: F.relu(x), ["torch.nn.functional.relu"]),
            ("torch.relu", lambda x: torch.relu(x), ["torch.relu"]),
            ("method relu", lambda x: x.relu(), ["torch.Tensor.relu"]),
            ("rdiv alias", lambda x: 2 / x, ["torch.Tensor.__rtruediv__"]),
            ("operator + records the method", lambda x: x + x, ["torch.Tensor.add"]),
            ("in-place operator", lambda x: x.clone().__iadd__(1), ["torch.Tensor.clone", "torch.Tensor.add_"]),
            ("attribute read", lambda x: x.view(x.shape[0], -1), ["torch.Tensor.shape.__get__", "torch.Tensor.view"]),
            ("size stays", lambda x: x.view(x.size(0), -1), ["torch.Tensor.size", "torch.Tensor.view"]),
            ("max_pool2d", lambda x: F.max_pool2d(x, 2), ["torch.nn.functional.max_pool2d"]),
            ("integer index", lambda x: x[0], ["torch.Tensor.__getitem__"]),
            ("inner calls of a recorded call", lambda x: F.layer_norm(x, [6]), ["torch.nn.functional.layer_norm"]),
        ]
        for label, fn, expected in cases:
            with self.subTest(label):
                self.assertEqual(ops(fn), expected)

    def test_layout_queries_are_left_out(self):
        def fn(x):
            n = x.dim() + x.ndimension() + len(x) + x.numel() + x.nelement() + x.element_size()
            x.is_floating_point(), x.is_complex(), x.is_contiguous(), x.is_signed(), x.get_device()
            x.data_ptr(), x.stride(), x.storage_offset()
            return x * n

        self.assertEqual(ops(fn), ["torch.Tensor.mul"])

    def test_nodes_are_named_after_their_module_and_parameters_matched_at_first_use(self):
        model = torch.nn.Sequential(torch.nn.Linear(6, 3), torch.nn.ReLU(), Lambda(lambda x: x.relu().relu()))
        graph = export.trace(model, torch.randn(2, 6))
        self.assertEqual(
            [(n["kind"], n["name"], n["shape"]) for n in graph["nodes"]],
            [("input", "x", [2, 6]), ("parameter", "0.weight", [3, 6]), ("parameter", "0.bias", [3]),
             ("call", "0", [2, 3]), ("call", "1", [2, 3]), ("call", "2", [2, 3]), ("call", "2_1", [2, 3])],
        )
        self.assertEqual(graph["nodes"][3]["args"], [{"node": 0}, {"node": 1}, {"node": 2}])


class Values(unittest.TestCase):
    def test_encoding(self):
        cases = [
            ("bool is not int", lambda x: F.dropout(x, 0.5, False), "kwargs", {"p": 0.5, "training": False, "inplace": False}),
            ("dtype", lambda x: x.to(torch.float64), "args", [{"node": 0}, {"const": "torch.float64", "type": "torch.dtype"}]),
            ("inf", lambda x: torch.clamp(x, min=float("-inf")), "kwargs", {"min": {"const": "-inf", "type": "float"}}),
            ("nan", lambda x: torch.nan_to_num(x, nan=float("nan")), "kwargs", {"nan": {"const": "nan", "type": "float"}}),
            ("slices and ellipsis", lambda x: x[..., 1:, None], "args",
             [{"node": 0}, [{"const": "Ellipsis", "type": "ellipsis"},
                            {"const": "slice(1, None, None)", "type": "slice"}, None]]),
            ("size as list", lambda x: x.reshape(torch.Size([2, 144])), "args", [{"node": 0}, [2, 144]]),
        ]
        for label, fn, field, expected in cases:
            with self.subTest(label):
                (node,) = calls(fn)[1]
                # The JSON text tells true from 1, which == cannot.
                self.assertEqual(json.dumps(node[field]), json.dumps(expected))


class RealTraceCases(unittest.TestCase):
    def test_tuple_elements_become_getitem_before_first_use(self):
        def fn(x):
            a, b = x.chunk(2, 1)
            return b * 2

        graph, nodes = calls(fn)
        self.assertEqual([(n["op"], n["shape"]) for n in nodes],
                         [("torch.Tensor.chunk", None), ("_operator.getitem", [2, 2, 6, 6]), ("torch.Tensor.mul", [2, 2, 6, 6])])
        chunk, item, mul = nodes
        self.assertEqual(item["args"], [{"node": chunk["id"]}, 1])
        self.assertEqual(mul["args"][0], {"node": item["id"]})

    def test_later_uses_refer_to_the_newest_node_that_returned_a_tensor(self):
        def fn(x):
            y = x.clone()
            y[0] = 0
            z = y + 1  # reads the written tensor
            y.mul_(2)
            w = y.contiguous()  # returns y itself
            return z, w - y

        graph, nodes = calls(fn)
        by_op = {n["op"]: n for n in nodes}
        setitem = by_op["torch.Tensor.__setitem__"]
        self.assertEqual(setitem["shape"], [2, 4, 6, 6])
        self.assertEqual(by_op["torch.Tensor.add"]["args"][0], {"node": setitem["id"]})
        self.assertEqual(by_op["torch.Tensor.mul_"]["args"][0], {"node": setitem["id"]})
        contiguous = by_op["torch.Tensor.contiguous"]
        self.assertEqual(contiguous["args"][0], {"node": by_op["torch.Tensor.mul_"]["id"]})
        self.assertEqual(by_op["torch.Tensor.sub"]["args"], [{"node": contiguous["id"]}, {"node": contiguous["id"]}])
        self.assertEqual(graph["outputs"], [by_op["torch.Tensor.add"]["id"], by_op["torch.Tensor.sub"]["id"]])


class Seen(torch.overrides.TorchFunctionMode):
    """A caller's own mode around the pass: the names of the calls it is told of."""

    def __init__(self):
        super().__init__()
        self.ops = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        self.ops.append(getattr(func, "__name__", "?"))
        return func(*args, **(kwargs or {}))


class Dispatch(unittest.TestCase):
    def test_the_pass_dispatches_calls_as_torch_does_and_leaves_torch_as_it_was(self):
        """The pass's own mode dispatch against torch's: the same graphs, real and meta, the same
        calls told to a caller's mode around the pass, and torch's dispatch and the garbage
        collector as before, after a pass that fails too."""
        names = dict(vars(torch.overrides))
        models = [zoo.build(name) for name in ("tiny_decoder", "tiny_cnn")]

        def passes():
            results = []
            for built in models:
                for real in (True, False):
                    with Seen() as seen:
                        graph = export.dumps_graph(export.trace(built.model.eval(), built.inputs, real_forward=real))
                    results.append((graph, seen.ops))
            return results

        quick = passes()
        with mock.patch.object(tracer, "_QuickDispatch", contextlib.nullcontext):
            self.assertEqual(quick, passes())
        with self.assertRaises(export.TraceError):
            zavo.analyze(Lambda(lambda x: x.view(3)), torch.randn(2))
        self.assertEqual(dict(vars(torch.overrides)), names)
        self.assertFalse(torch._C._is_torch_function_mode_enabled())
        self.assertTrue(gc.isenabled())
        gc.disable()
        try:
            zavo.analyze(Lambda(torch.relu), torch.randn(2))
            self.assertFalse(gc.isenabled())
        finally:
            gc.enable()


class Leaves(torch.nn.Module):
    """Leaf modules of the types whose calls the pass records straight from their input, with the
    cases where it must run their own forward instead, and forwards called straight."""

    def __init__(self):
        super().__init__()
        nn = torch.nn
        self.conv = nn.Conv2d(4, 6, 3, padding=1, bias=False)
        self.again = nn.Conv2d(6, 6, 1)
        self.reflect = nn.Conv2d(6, 6, 3, padding=1, padding_mode="reflect")
        self.norms = nn.Sequential(nn.BatchNorm2d(6), nn.BatchNorm2d(6, affine=False, track_running_stats=False),
                                   nn.BatchNorm2d(6, momentum=None))
        self.acts = nn.Sequential(nn.ReLU(inplace=True), nn.ReLU6(), nn.Hardtanh(-2.0, 3.0), nn.SiLU(),
                                  nn.Hardswish(), nn.Sigmoid())
        self.hooked = nn.ReLU()
        self.hooked.register_forward_hook(lambda module, args, out: out * 2)
        self.pool = nn.AdaptiveAvgPool2d((1, 1))
        self.drop = nn.Dropout(0.25)
        self.fc = nn.Linear(6, 3)
        self.bn = nn.BatchNorm1d(3)
        self.conv1d = nn.Conv1d(3, 2, 1)

    def forward(self, x):
        x = self.again.forward(self.again(self.conv(x)))
        x = self.hooked(self.acts(self.norms.forward(self.reflect(x))))
        x = self.drop(self.pool(x).flatten(1))
        y = self.bn(self.fc(input=x)) + self.fc(x)
        return self.conv1d(y.unsqueeze(2)), self.bn(y.unsqueeze(2))


class LeafCalls(unittest.TestCase):
    def test_leaf_calls_give_the_graph_of_hooks_on_every_module(self):
        """The same graph, names and arguments, real and meta, in evaluation and in training, as
        hooks on every module and the modules' own forwards give (a decoder's modules too); the
        same failures (a shape the call refuses, a parameter deleted); the modules left as they
        were."""
        if not tracer._LEAF_CALLS:
            self.skipTest("leaf calls are spelled out for torch 1.13 alone")
        x = torch.randn(2, 4, 6, 6)
        model = Leaves()
        decoder = zoo.build("tiny_decoder")

        def graphs():
            found = []
            for train in (False, True):
                for real in (True, False):  # a fresh model: a training pass counts its batches
                    found.append(export.dumps_graph(export.trace(Leaves().train(train), x, real_forward=real)))
                    found.append(export.dumps_graph(export.trace(decoder.model.train(train), decoder.inputs,
                                                                 real_forward=real)))
            with self.assertRaises(export.TraceError) as caught:
                export.trace(model.eval(), torch.randn(2, 4, 6), real_forward=False)
            lost = Leaves().eval()
            del lost.norms[0].weight
            with self.assertRaises(export.TraceError) as lost_weight:
                export.trace(lost, x, real_forward=False)
            return found, str(caught.exception), str(lost_weight.exception)

        fired = set()
        counted = {kind: (forward, lambda module, x, kind=kind, call=call: fired.add(kind) or call(module, x))
                   for kind, (forward, call) in tracer._LEAF_CALLS.items()}
        with mock.patch.object(tracer, "_LEAF_CALLS", counted):
            quick = graphs()
            # A forward put in the place of torch's own runs as it is.
            with mock.patch.object(torch.nn.Sigmoid, "forward", lambda module, x: torch.tanh(x)):
                self.assertIn('"op": "torch.tanh"', export.dumps_graph(export.trace(torch.nn.Sigmoid(), x)))
        nn = torch.nn
        self.assertEqual(fired, set(tracer._LEAF_CALLS) - {nn.Conv3d, nn.BatchNorm3d})
        with mock.patch.object(tracer, "_hooked", lambda module: True):
            self.assertEqual(quick, graphs())
        self.assertIn("Given groups=1", quick[1])
        self.assertIn("AttributeError: 'BatchNorm2d' object has no attribute 'weight'", quick[2])
        for module in model.modules():
            self.assertNotIn("forward", vars(module))
            self.assertEqual(len(module._forward_hooks), module is model.hooked)
            self.assertFalse(module._forward_pre_hooks)


class Scaled(torch.nn.Module):
    def forward(self, x, scale=2.0):
        return x * scale


class Wary(torch.nn.Module):
    """A forward that catches a child's failure and reads a child's signature."""

    def __init__(self):
        super().__init__()
        self.failing, self.scaled = Lambda(lambda x: x.no_such_method()), Scaled()

    def forward(self, x):
        try:
            self.failing(x)
        except AttributeError:
            pass
        scale = inspect.signature(self.scaled.forward).parameters["scale"].default
        return torch.relu(self.scaled(x, scale=scale + 1))


class ModuleStack(unittest.TestCase):
    def test_a_child_that_failed_is_off_the_stack_and_forwards_keep_their_signatures(self):
        for real in (True, False):
            with self.subTest(real=real):
                nodes = [n for n in export.trace(Wary(), torch.randn(2, 3), real_forward=real)["nodes"]
                         if n["kind"] == "call"]
                self.assertEqual([(n["name"], n["op"], n["args"][1:]) for n in nodes],
                                 [("scaled", "torch.Tensor.mul", [3.0]), ("relu", "torch.relu", [])])


class Shared(torch.nn.Module):
    """A module held at two places, a child registered as missing."""

    def __init__(self):
        super().__init__()
        inner = torch.nn.Sequential(torch.nn.ReLU(), torch.nn.Sequential(torch.nn.Tanh()))
        self.first, self.again = inner, torch.nn.ModuleList([inner[1], torch.nn.Identity()])
        self.register_module("gone", None)


class Pruned(Shared):
    def named_modules(self, memo=None, prefix="", remove_duplicate=True):
        yield prefix, self


class ModuleWalk(unittest.TestCase):
    def test_the_walk_gives_named_modules(self):
        for model in (Shared(), Leaves(), Wary(), zoo.build("tiny_decoder").model, Pruned()):
            with self.subTest(model=type(model).__name__):
                self.assertEqual(tracer.named_modules(model), list(model.named_modules()))
        self.assertEqual(len(tracer.named_modules(Pruned())), 1)


def export_cli(*argv):
    return run_main(cli.main, ["export", *argv])


class Command(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.out = os.path.join(self.dir.name, "g.json")

    def test_same_model_and_seed_give_the_same_bytes(self):
        texts = []
        for _ in range(2):
            self.assertEqual(export_cli("tiny_transformer", "-o", self.out)[0], 0)
            with open(self.out, "rb") as stream:
                texts.append(stream.read())
        self.assertEqual(texts[0], texts[1])
        self.assertEqual(json.loads(texts[0])["meta"]["input_sizes"], [[1, 16, 32]])

    def test_failures_write_no_file(self):
        cases = [
            (["tiny_cnn", "--input-size", "1,5,8,8"], 1,
             "error: model tiny_cnn failed to run: RuntimeError: Given groups=1, weight of size [4, 3, 3, 3], "
             "expected input[1, 5, 8, 8] to have 3 channels, but got 5 channels instead\n"),
            (["no_such_model"], 1, "error: unknown model no_such_model: not in the zoo (tiny_cnn, resnet18, "
             "mobilenet_v2, densenet121, shufflenet_v2_x0_5, tiny_unet, tiny_transformer, dropout_cnn, tiny_decoder, "
             "lraspp_mobilenet_v3_large, fasterrcnn_mobilenet_v3_large_320_fpn) nor a torchvision model builder\n"),
            (["no_such_module:build"], 1, "error: cannot load model no_such_module:build: "
             "No module named 'no_such_module'\n"),
        ]
        with open(self.out, "w") as stream:
            stream.write("old")
        for argv, status, message in cases:
            with self.subTest(argv[0]):
                self.assertEqual(export_cli(*argv, "-o", self.out), (status, "", message))
                self.assertEqual(os.listdir(self.dir.name), ["g.json"])
                with open(self.out) as stream:
                    self.assertEqual(stream.read(), "old")

    def test_a_builder_of_your_own(self):
        self.assertEqual(export_cli("zavo.zoo:TinyCNN", "--input-size", "1,3,4,4", "-o", self.out), (0, "", ""))
        with open(self.out) as stream:
            graph = json.load(stream)
        self.assertEqual((graph["model"], graph["nodes"][-1]["shape"]), ("zavo.zoo:TinyCNN", [1, 2, 4, 4]))


if __name__ == "__main__":
    unittest.main()
