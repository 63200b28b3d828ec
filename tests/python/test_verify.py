import json
import os
import tempfile
import unittest

from tests.python.support import run_main

import torch
from torch import nn

from zavo import cli, verify, zoo


def slices(*triples):
    return [{"node": name, "dim": dim, "index": index} for name, dim, index in triples]


def conv1_channel(c, conv2_index=None):
    """The class of tiny_cnn's hidden channel c (conv2's input slice may be displaced)."""
    return slices(
        ("conv1.weight", 0, c), ("conv1.bias", 0, c), ("bn.running_mean", 0, c), ("bn.running_var", 0, c),
        ("bn.weight", 0, c), ("bn.bias", 0, c), ("conv2.weight", 1, c if conv2_index is None else conv2_index),
    )


def report(groups, model="tiny_cnn"):
    return {"format": "zavo.report", "version": 1, "model": model, "nodes": [], "is_prunable": [],
            "warnings": [], "error": None, "summary": {},
            "groups": [{"label": i, "prunable": p, "channels": c} for i, (p, c) in enumerate(groups)]}


class TinyModelReport(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.path = os.path.join(directory.name, "report.json")

    def verify(self, content, *extra):
        with open(self.path, "w") as stream:
            stream.write(content if isinstance(content, str) else json.dumps(content))
        return run_main(cli.main, ["verify", "tiny_cnn", self.path, *extra])

    def test_sound_and_wrong_classes(self):
        status, out, err = self.verify(report([
            (True, conv1_channel(1)),
            (True, conv1_channel(2, conv2_index=3)),  # runs, but removes the wrong input channel of conv2
            (True, slices(("conv2.weight", 0, 0), ("conv2.bias", 0, 0))),  # a model output channel
            (True, slices(("conv1.weight", 0, 0))),  # the bias is left behind
            (False, slices(("conv1.weight", 1, 0))),  # not prunable: not checked
        ]))
        lines = out.splitlines()
        self.assertEqual((status, err, len(lines)), (1, "", 5))
        self.assertRegex(lines[0], r"^class 0: sound: conv1.weight dim 0 \[1\], conv1.bias dim 0 \[1\], .*"
                                   r"conv2.weight dim 1 \[1\]; equal to the zeroed model, max error \S+$")
        self.assertRegex(lines[1], r"^class 1: unsound: .*conv2.weight dim 1 \[3\]; output 0 differs from the "
                                   r"zeroed model by \S+ \(scale \S+\)$")
        self.assertEqual(lines[2], "class 2: unsound: conv2.weight dim 0 [0], conv2.bias dim 0 [0]; "
                                   "output 0 has shape (1, 1, 8, 8), not (1, 2, 8, 8)")
        self.assertEqual(lines[3], "class 3: unsound: conv1.weight dim 0 [0]; RuntimeError: Given weight of size "
                                   "[3, 3, 3, 3], expected bias to be 1-dimensional with 3 elements, but got bias "
                                   "of size [4] instead")
        self.assertEqual(lines[4], "tiny_cnn: 4 of 4 prunable classes checked: 1 sound, 3 unsound")

    def test_every_hidden_channel_is_sound_and_a_sample_is_seeded(self):
        content = report([(True, conv1_channel(c)) for c in range(4)])
        status, out, _ = self.verify(content)
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith("tiny_cnn: 4 of 4 prunable classes checked: 4 sound, 0 unsound\n"))
        first = self.verify(content, "--sample", "2", "--seed", "3")[1]
        self.assertEqual(first, self.verify(content, "--sample", "2", "--seed", "3")[1])
        self.assertEqual(len(first.splitlines()), 3)

    def test_bad_reports(self):
        cases = [
            ("not json", "error: cannot read report {path}: Expecting value: line 1 column 1 (char 0)\n"),
            (dict(report([]), format="zavo.graph"), "error: {path}: not a zavo.report file of version 1 or 2\n"),
            (dict(report([]), groups=[{"label": 0, "channels": [{"node": 3}]}]),
             "error: {path}: groups[0] is not {{label, prunable, channels: [{{node, dim, index}}]}}\n"),
            (report([], model="resnet18"), "error: the report is for model resnet18, not tiny_cnn\n"),
            (report([(True, slices(("conv9.weight", 0, 0)))]),
             "error: the model has no parameter or buffer conv9.weight\n"),
        ]
        for content, message in cases:
            with self.subTest(message):
                self.assertEqual(self.verify(content), (2, "", message.format(path=self.path)))


class LayerAttributes(unittest.TestCase):
    def test_pruning_keeps_each_layers_channel_counts_in_step_with_its_tensors(self):
        depthwise = nn.Sequential(nn.Conv2d(3, 4, 1), nn.Conv2d(4, 4, 3, groups=4), nn.Conv2d(4, 2, 1))
        transposed = nn.Sequential(nn.ConvTranspose2d(3, 4, 2, stride=2), nn.Conv2d(4, 2, 1))
        for model, x, channels in [
            (depthwise, torch.randn(1, 3, 6, 6),
             slices(("0.weight", 0, 2), ("0.bias", 0, 2), ("1.weight", 0, 2), ("1.bias", 0, 2), ("2.weight", 1, 2))),
            (transposed, torch.randn(1, 3, 4, 4), slices(("0.weight", 1, 0), ("0.bias", 0, 0), ("1.weight", 1, 0))),
        ]:
            sound, detail = verify.check_class(model.eval(), (x,), channels)
            self.assertTrue(sound, detail)
        pruned = nn.Sequential(nn.Conv2d(4, 4, 3, groups=4))
        verify.prune_slices(pruned, slices(("0.weight", 0, 1), ("0.bias", 0, 1)))
        self.assertEqual((pruned[0].in_channels, pruned[0].out_channels, pruned[0].groups), (3, 3, 3))
        model = nn.Sequential(nn.Linear(5, 6), nn.LayerNorm(6), nn.Linear(6, 2))
        channels = slices(*[(name, dim, 4) for name, dim in
                            [("0.weight", 0), ("0.bias", 0), ("1.weight", 0), ("1.bias", 0), ("2.weight", 1)]])
        verify.prune_slices(model, channels)
        self.assertEqual((model[0].out_features, model[1].normalized_shape, model[2].in_features), (5, (5,), 5))

    def test_tied_weights_are_pruned_everywhere(self):
        model = nn.Sequential(nn.Linear(4, 4, bias=False), nn.Linear(4, 4, bias=False))
        model[1].weight = model[0].weight
        verify.prune_slices(model, slices(("0.weight", 0, 1), ("0.weight", 1, 1)))
        self.assertIs(model[1].weight, model[0].weight)
        self.assertEqual((model[1].in_features, tuple(model[1].weight.shape)), (3, (3, 3)))


class ZooModel(unittest.TestCase):
    def test_checking_classes_leaves_the_model_as_it_was(self):
        built = zoo.build("tiny_cnn")
        before = {k: v.clone() for k, v in built.model.state_dict().items()}
        for channels in (conv1_channel(1), conv1_channel(2, conv2_index=3), slices(("conv1.weight", 0, 0))):
            verify.check_class(built.model, built.inputs, channels, train=True)
        after = built.model.state_dict()
        self.assertEqual(list(after), list(before))
        for key, value in before.items():
            self.assertTrue(torch.equal(after[key], value), key)
        self.assertEqual((built.model.conv1.out_channels, built.model.bn.num_features, built.model.conv2.in_channels),
                         (4, 4, 4))
        self.assertFalse(built.model.training)

    def test_same_seed_same_model_and_input(self):
        a, b = zoo.build("tiny_cnn", seed=4), zoo.build("tiny_cnn", seed=4)
        self.assertTrue(torch.equal(a.inputs[0], b.inputs[0]))
        self.assertTrue(torch.equal(a.model.bn.running_mean, b.model.bn.running_mean))
        self.assertFalse(torch.equal(a.model.bn.running_mean, zoo.build("tiny_cnn", seed=5).model.bn.running_mean))


if __name__ == "__main__":
    unittest.main()
