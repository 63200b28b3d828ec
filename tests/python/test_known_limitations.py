"""The two patterns the README lists as known limitations, analysed for real.

Both follow from the catalogue's rules (`--rules core`) as documented; if one
of these tests fails, the engine's behaviour changed and the README's list
must follow. The dropped-label guard finds both, and with --safe every class
left prunable is sound. The extended rules follow the channels through both.
"""

import os
import subprocess
import tempfile
import unittest

from tests.python.support import REPO  # noqa: F401  (puts the package on the path)

import torch
from torch import nn
import torch.nn.functional as F

import zavo
from zavo import export, verify, zoo_commands


# With `stem`, a layer in front whose channels are prunable and sound, so that
# the safe analysis still has classes to prove.
class LinearOverWidth(nn.Module):
    def __init__(self, stem=False):
        super().__init__()
        self.stem = nn.Conv2d(3, 3, 1) if stem else nn.Identity()
        self.conv = nn.Conv2d(3, 4, 3, padding=1)
        self.fc = nn.Linear(8, 5)

    def forward(self, x):
        return self.fc(self.conv(self.stem(x)))


class PoolOverFeatures(nn.Module):
    def __init__(self, stem=False):
        super().__init__()
        self.stem = nn.Linear(6, 6) if stem else nn.Identity()
        self.fc = nn.Linear(6, 8)

    def forward(self, x):
        return F.adaptive_avg_pool1d(self.fc(self.stem(x)), 1) + x[..., :1]


class KnownLimitations(unittest.TestCase):
    def analyse(self, model, x, *options, rules="core"):
        binary = zoo_commands.find_zavo_prune()
        if not binary:
            self.skipTest("no zavo-prune binary built")
        with tempfile.TemporaryDirectory() as scratch:
            graph, report = os.path.join(scratch, "g.json"), os.path.join(scratch, "r.json")
            zavo.write_atomic(graph, export.dumps_graph(export.trace(model, x)))
            subprocess.run([binary, "analyze", graph, "-o", report, "--rules", rules, *options], check=True,
                           capture_output=True)
            return verify.load_report(report)

    def test_each_prunable_class_is_unsound(self):
        cases = [
            (LinearOverWidth, (1, 3, 8, 8), "conv", "output 0 has shape (1, 3, 8, 5), not (1, 4, 8, 5)"),
            (PoolOverFeatures, (1, 4, 6), "fc", "output 0 differs from the zeroed model by "),
        ]
        for builder, size, layer, detail in cases:
            with self.subTest(builder.__name__):
                torch.manual_seed(0)
                model, x = builder().eval(), torch.randn(size)
                groups = verify.select_groups(self.analyse(model, x))
                self.assertEqual({c["node"] for g in groups for c in g["channels"]}, {layer + ".weight", layer + ".bias"})
                for group in groups:
                    sound, text = verify.check_class(model, (x,), group["channels"])
                    self.assertFalse(sound)
                    self.assertTrue(text.startswith(detail), text)

    def test_the_guard_finds_both_and_the_safe_option_leaves_only_sound_classes(self):
        for builder, size, layer in [(LinearOverWidth, (1, 3, 8, 8), "conv"), (PoolOverFeatures, (1, 4, 6), "fc")]:
            with self.subTest(builder.__name__):
                torch.manual_seed(0)
                model, x = builder(stem=True).eval(), torch.randn(size)
                plain, safe = self.analyse(model, x), self.analyse(model, x, "--safe")
                parameters = [layer + ".weight", layer + ".bias"]
                self.assertEqual([d["parameters"] for d in plain["dropped"]], [parameters])
                self.assertEqual(safe["dropped"], plain["dropped"])
                groups = verify.select_groups(safe)
                # The stem's channels, with the layer's input channels: never the dropped ones.
                self.assertEqual({(c["node"], c["dim"]) for g in groups for c in g["channels"]},
                                 {("stem.weight", 0), ("stem.bias", 0), (layer + ".weight", 1)})
                for group in groups:
                    sound, text = verify.check_class(model, (x,), group["channels"])
                    self.assertTrue(sound, text)

    def test_the_extended_rules_drop_nothing_and_leave_only_sound_classes(self):
        for builder, size in [(LinearOverWidth, (1, 3, 8, 8)), (PoolOverFeatures, (1, 4, 6))]:
            with self.subTest(builder.__name__):
                torch.manual_seed(0)
                model, x = builder(stem=True).eval(), torch.randn(size)
                report = self.analyse(model, x, rules="extended")
                self.assertEqual(report["dropped"], [])
                groups = verify.select_groups(report)
                self.assertTrue(groups)
                for group in groups:
                    sound, text = verify.check_class(model, (x,), group["channels"])
                    self.assertTrue(sound, text)


if __name__ == "__main__":
    unittest.main()
