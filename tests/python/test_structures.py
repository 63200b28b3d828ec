"""Inputs and outputs of any structure, constants, indexing that depends on the data, and the
pruned-model check and pruning proof of a model that selects boxes, on small hand-written models."""

import unittest

from tests.python.support import REPO  # noqa: F401  (puts the package on the path)

import torch
from torch import nn
import torch.nn.functional as F
import torchvision

import zavo
from zavo import export, structure, verify
from zavo.pruning import PruningError, check_outputs


class Echo(nn.Module):
    """Returns what `make(*args, **kwargs)` builds from its arguments."""

    def __init__(self, make):
        super().__init__()
        self.make = make

    def forward(self, *args, **kwargs):
        return self.make(*args, **kwargs)


def t(*shape):
    return torch.randn(*shape)


class TinyDetector(nn.Module):
    """A detector in miniature: a stem and a second level, one head shared by both levels,
    anchors kept in a Python list, a score threshold and nms, and per box the stem's features
    pooled by roi_align (the only step after the selection that reads channels)."""

    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 6, 3, padding=1)
        self.down = nn.Conv2d(6, 6, 3, stride=2, padding=1)
        self.head = nn.Conv2d(6, 5, 3, padding=1)
        self.score = nn.Conv2d(5, 1, 1)
        self.sizes = [torch.tensor([2.0, 2.0]), torch.tensor([4.0, 4.0])]
        self.describe = nn.Linear(6 * 4, 3)

    def forward(self, images):
        x = torch.stack(images)
        levels = [F.relu(self.stem(x))]
        levels.append(F.relu(self.down(levels[0])))
        scores, boxes = [], []
        for feature, size in zip(levels, self.sizes):
            scores.append(self.score(F.relu(self.head(feature))).flatten())
            h, w = feature.shape[-2:]
            ys, xs = torch.meshgrid(torch.arange(h), torch.arange(w), indexing="ij")
            centres = torch.stack([xs.flatten(), ys.flatten()], 1).float() * (x.shape[-1] / w)
            boxes.append(torch.cat([centres - size, centres + size], 1))
        scores, boxes = torch.cat(scores), torch.cat(boxes)
        keep = scores > scores.mean()
        scores, boxes = scores[keep], boxes[keep]
        keep = torchvision.ops.nms(boxes, scores, 0.3)[:8]
        boxes, scores = boxes[keep], scores[keep]
        pooled = torchvision.ops.roi_align(levels[0], [boxes], 2)
        return [{"boxes": boxes, "scores": scores, "features": self.describe(pooled.flatten(1))}]


def detector():
    torch.manual_seed(0)
    return TinyDetector().eval(), ([torch.rand(3, 16, 16)],)


class Structures(unittest.TestCase):
    def test_inputs_are_named_after_their_place_and_outputs_follow_the_structure(self):
        a, b, c = t(2, 3), t(3), t(1)
        model = Echo(lambda x0, x1, scale=None, boxes=None: [{"sum": x0 + x1[0], "pair": (x1[1]["b"] * scale, None)},
                                                            boxes["c"] + 0])
        graph = export.trace(model, {"x0": a, "x1": [a, {"b": b, "n": 3, "s": "text"}], "scale": 2.0,
                                     "boxes": {"c": c}})
        inputs = [(n["name"], n["shape"]) for n in graph["nodes"] if n["kind"] == "input"]
        self.assertEqual(inputs, [("x0", [2, 3]), ("x1[1]['b']", [3]), ("boxes['c']", [1])])  # `a` once
        outputs = [graph["nodes"][i]["op"] for i in graph["outputs"]]
        self.assertEqual(outputs, ["torch.Tensor.add", "torch.Tensor.mul", "torch.Tensor.add"])
        self.assertEqual(graph["meta"]["input_sizes"], [[2, 3], [3], [1]])
        # One argument: a tensor, or a list (of images); positional arguments: a tuple.
        for example, names in ((a, ["x"]), ([a, b], ["x[0]", "x[1]"]), ((a, b), ["x0", "x1"])):
            with self.subTest(names):
                graph = export.trace(Echo(lambda *args: args), example)
                self.assertEqual([n["name"] for n in graph["nodes"]], names)

    def test_what_the_exporter_cannot_take_is_refused_naming_the_place(self):
        class Box:
            pass

        loop = [t(1)]
        loop.append(loop)
        deep = t(1)
        for _ in range(70):
            deep = [deep]
        same = Echo(lambda *args, **kwargs: t(1))
        cases = [
            (same, ([t(1), {"k": {1, 2}}],),
             "input x[1]['k']: a value of type set, which a graph cannot hold (expected tensors, numbers, "
             "strings, None, and lists, tuples and dicts of them)"),
            (same, (t(1), Box()), "input x1: a value of type %s.Box" % __name__),
            (same, ({(1, 2): t(1)},), "input x: a dict key of type tuple (expected strings or integers)"),
            (same, (loop,), "input x[1]: a list that holds itself"),
            (same, (deep,), "input x" + "[0]" * 64 + ": containers nested deeper than 64 levels"),
            (Echo(lambda x: {"boxes": x + 1, "meta": Box()}), t(2), "output['meta']: a value of type"),
            (Echo(lambda x: x * 1j), t(2), "torch.Tensor.mul args[1]: unsupported value of type complex"),
            (Echo(lambda x: x[:x.shape[0] // 2.0]), t(4), "torch.Tensor.__getitem__ args[1]: a slice with a "
             "bound of type float"),
            (Echo(lambda x: x.reshape(3)), t(2), "model model failed to run: RuntimeError: shape '[3]' is invalid"),
        ]
        for model, example, message in cases:
            with self.subTest(message):
                with self.assertRaises(zavo.TraceError) as caught:
                    export.trace(model, example)
                self.assertIn(message, str(caught.exception))
        self.assertTrue(issubclass(zavo.TraceError, zavo.ZavoError))


class Constants(unittest.TestCase):
    def test_tensors_no_traced_call_made_are_constants_named_where_they_are_held(self):
        loose = torch.ones(2)

        class Holder(nn.Module):
            def __init__(self):
                super().__init__()
                self.anchors = [torch.zeros(2), (torch.ones(2),)]
                self.table = {"wh": torch.full((2,), 3.0)}
                self.offset = torch.ones(2)  # a plain attribute, not a buffer

            def forward(self, x):
                return x + self.anchors[0] + self.anchors[1][0] + self.table["wh"] + self.offset + loose

        model = nn.Sequential(nn.Identity(), Holder())
        graph = export.trace(model, t(2))
        constants = [(n["name"], n["shape"]) for n in graph["nodes"] if n["kind"] == "constant"]
        self.assertEqual(constants, [("1.anchors[0]", [2]), ("1.anchors[1][0]", [2]), ("1.table['wh']", [2]),
                                     ("1.offset", [2]), ("1.constant", [2])])
        report = zavo.analyze_graph(graph)
        self.assertEqual(report.summary["constants"], 5)
        self.assertIn("nodes: 11 (1 input, 5 constants, 0 parameters, 5 calls)", str(report))


class DataDependentIndexing(unittest.TestCase):
    def test_selections_are_recorded_and_only_what_reads_channels_after_them_is_kept(self):
        model, images = detector()
        graph = export.trace(model, images)
        ops = [n["op"] for n in graph["nodes"] if n["kind"] == "call"]
        for op in ("torch.ops.torchvision.nms", "torch.ops.torchvision.roi_align", "torch.Tensor.gt"):
            self.assertIn(op, ops)
        indices = [n["args"][1] for n in graph["nodes"] if n.get("op") == "torch.Tensor.__getitem__"]
        index_ops = [graph["nodes"][i["node"]]["op"] for i in indices if isinstance(i, dict) and "node" in i]
        masked = [op for op in index_ops if op == "torch.Tensor.gt"]
        self.assertEqual(len(masked), 2)  # scores[keep], boxes[keep]
        self.assertEqual([n["name"] for n in graph["nodes"] if n["kind"] == "constant"], ["sizes[0]", "sizes[1]"])
        report = zavo.analyze_graph(graph)
        prunable = {(c.node, c.dim) for g in report.prunable_groups for c in g.channels}
        # The head's channels are read by the score layer only; the stem's reach roi_align.
        self.assertIn(("head.weight", 0), prunable)
        self.assertIn(("score.weight", 1), prunable)
        self.assertNotIn(("stem.weight", 0), prunable)
        self.assertNotIn(("describe.weight", 1), prunable)

    def test_a_slice_bound_that_is_a_tensor_is_a_call(self):
        graph = export.trace(Echo(lambda x: x[: (x > 0).sum(), 1:]), t(6, 3))
        slice_node, getitem = graph["nodes"][-2:]
        self.assertEqual((slice_node["op"], slice_node["args"], slice_node["shape"]),
                         ("builtins.slice", [None, {"node": slice_node["id"] - 1}, None], None))
        self.assertEqual(getitem["args"], [{"node": 0}, [{"node": slice_node["id"]},
                                                         {"const": "slice(1, None, None)", "type": "slice"}]])
        zavo.analyze_graph(graph)

    def test_the_marks_follow_what_a_selection_makes(self):
        def select(x):
            kept = x[x.sum(1) > 0]  # a boolean mask
            first = x[: (x[:, 0] > 0).sum()]  # a tensor-valued bound
            order = x[:, 0].topk(2).indices  # a fixed number, chosen by value
            return kept * 2, first, x[order], x.nonzero(), x + 1

        result, selections = structure.run_selections(Echo(select), t(5, 3))
        self.assertEqual([selections.is_dependent(r) for r in result], [True, True, False, True, False])
        self.assertEqual([op for op, _ in selections.events],
                         ["torch.Tensor.__getitem__", "torch.Tensor.__getitem__", "torch.Tensor.topk",
                          "torch.Tensor.nonzero"])


class OutputCheck(unittest.TestCase):
    def structure(self, value, dependent=()):
        """The structure of `value` with the listed leaves (by place) marked as data-dependent."""
        outputs = structure.Outputs(value)
        for leaf in outputs.structure.leaves:
            leaf.dependent = leaf.place in dependent
        outputs.structure.data_dependent = bool(dependent)
        return outputs

    def test_only_the_leading_size_of_a_data_dependent_output_may_change(self):
        detections = ["output[0]['boxes']", "output[0]['labels']"]
        before = self.structure([{"boxes": t(5, 4), "labels": t(5), "size": t(2)}], detections)
        cases = [
            ([{"boxes": t(0, 4), "labels": t(0), "size": t(2)}], None),
            ([{"boxes": t(9, 4), "labels": t(9), "size": t(2)}], None),
            ([{"boxes": t(5, 5), "labels": t(5), "size": t(2)}],
             "the pruned model's output[0]['boxes'] has shape (5, 5), not (n, 4)"),
            ([{"boxes": t(5, 4), "labels": t(5, 1), "size": t(2)}],
             "the pruned model's output[0]['labels'] has shape (5, 1), not (n,)"),
            ([{"boxes": t(5, 4), "labels": t(5), "size": t(3)}],
             "the pruned model's output[0]['size'] has shape (3,), not (2,)"),
            ([{"boxes": t(5, 4), "scores": t(5), "size": t(2)}],
             "the pruned model's output has another structure: [{'boxes': a tensor, 'scores': a tensor, "
             "'size': a tensor}], not [{'boxes': a tensor, 'labels': a tensor, 'size': a tensor}]"),
            ([{"boxes": t(5, 4), "labels": t(5), "size": t(2)}, {}], "another structure"),
        ]
        for value, problem in cases:
            with self.subTest(problem):
                after = self.structure(value, detections)
                if problem is None:
                    check_outputs(before, after)
                else:
                    with self.assertRaises(PruningError) as caught:
                        check_outputs(before, after)
                    self.assertIn(problem, str(caught.exception))
        # A loop over the selected boxes marks what it fills only in a run that selected some.
        keypoints = ["output[0]['boxes']", "output[0]['keypoints']"]
        check_outputs(self.structure([{"boxes": t(0, 4), "keypoints": t(0, 17, 3)}], keypoints[:1]),
                      self.structure([{"boxes": t(5, 4), "keypoints": t(5, 17, 3)}], keypoints))
        plain = self.structure(t(1, 10))
        with self.assertRaisesRegex(PruningError,
                                    r"^the pruned model's outputs have shapes \[\(0, 10\)\], not \[\(1, 10\)\]$"):
            check_outputs(plain, self.structure(t(0, 10)))


class PrunedDetector(unittest.TestCase):
    def test_a_detector_prunes_runs_and_its_classes_are_proven_up_to_the_first_selection_that_differs(self):
        model, images = detector()
        result = zavo.prune(model, images, amount=0.5)
        self.assertEqual((result.model.head.out_channels, result.model.score.in_channels), (3, 3))
        self.assertEqual(result.model.stem.out_channels, 6)
        self.assertIn("output shapes output[0]['boxes'] (n, 4), output[0]['scores'] (n,), output[0]['features'] "
                      "(n, 3) as before (n: a number of selected items, which depends on the data)", str(result))
        self.assertIsInstance(result.model(*images)[0]["boxes"], torch.Tensor)
        # Convolutions only: `describe` works on the selected boxes, whose number varies.
        self.assertEqual(result.macs[0], 1536 * 27 + 384 * 54 + 1280 * 54 + 256 * 5 + 320 * 54 + 64 * 5)
        self.assertIn(", not counting calls on the selected items\n", str(result))

        head = [("head.weight", 0, 2), ("head.bias", 0, 2), ("score.weight", 1, 2)]
        reference = verify._outputs(model, images, False)
        self.assertGreater(reference.selections, 0)
        sound, detail = verify.check_class(model, images, head, reference=reference)
        self.assertTrue(sound, detail)
        self.assertRegex(detail, r"module calls compared, (every selection agrees|up to the first selection)")
        wrong = [("head.weight", 0, 1), ("head.bias", 0, 1), ("score.weight", 1, 2)]
        sound, detail = verify.check_class(model, images, wrong, reference=reference)
        self.assertFalse(sound)
        self.assertRegex(detail, r"^module (score|head) output 0 differs from the zeroed model by")


if __name__ == "__main__":
    unittest.main()
