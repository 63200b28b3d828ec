"""`zavo-prune sweep` on a small subset: one row per model, and a failure or a hang costs its row only."""

import os
import subprocess
import sys
import tempfile
import unittest

from tests.python.support import PYTHON, REPO

from torch import nn

from zavo import sweep


def spinning():
    """A builder that never returns, busy all the while."""
    while True:
        pass


class LooseOutput(nn.Module):
    def forward(self, x):
        return {"x": x, "note": object()}


class Sweep(unittest.TestCase):
    def sweep(self, *argv):
        here = "tests.python.test_sweep:"
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([PYTHON, REPO]))
        run = subprocess.run([sys.executable, "-m", "zavo", "sweep", "--sample", "2"] +
                             [arg.replace("here:", here) for arg in argv], capture_output=True, text=True, cwd=REPO,
                             env=env)
        lines = run.stdout.splitlines()
        self.assertEqual(lines[:2], [sweep.table_line(sweep.COLUMNS), sweep.table_line(["---"] * len(sweep.COLUMNS))])
        return run.returncode, [line.split(" | ") for line in lines[2:-2]], lines

    def test_rows_totals_and_exit_status(self):
        with tempfile.TemporaryDirectory() as scratch:
            table = os.path.join(scratch, "sweep.md")
            status, rows, lines = self.sweep("squeezenet1_1", "here:LooseOutput", "-o", table)
            with open(table, encoding="utf-8") as stream:
                self.assertEqual(stream.read(), "\n".join(lines) + "\n")
        self.assertEqual(status, 1)
        self.assertEqual([row[0] for row in rows], ["| squeezenet1_1", "| tests.python.test_sweep:LooseOutput"])
        self.assertEqual(rows[0][1:5], ["classification", "1x3x64x64", "119", "2944 of 4001"])
        self.assertEqual((rows[0][7], rows[0][9]), ("2 of 2 sound", "pass |"))
        self.assertEqual(rows[1][9], "fails at trace: TraceError: cannot trace tests.python.test_sweep:LooseOutput: "
                         "output['note']: a value of type object, which a graph cannot hold (expected tensors, "
                         "numbers, strings, None, and lists, tuples and dicts of them) |")
        self.assertEqual(lines[-1], "2 models: 1 pass, 1 fail, 0 time out; proof: 2 of 2 sampled classes sound")

    def test_a_model_that_never_ends_costs_its_row(self):
        status, rows, lines = self.sweep("here:spinning", "--timeout", "3")
        self.assertEqual(status, 1)
        # On a loaded machine the wall-time limit may come first.
        self.assertRegex(rows[0][9], r"^timeout: after (3 processor|30) seconds, in the build \|$")
        self.assertEqual(lines[-1], "1 model: 0 pass, 0 fail, 1 time out; proof: 0 of 0 sampled classes sound")

    def test_the_default_models_are_every_builder_but_the_quantized_by_family(self):
        import torchvision

        models = sweep.default_models()
        every = torchvision.models.list_models()
        self.assertEqual(sorted(models), sorted(n for n in every if not n.startswith("quantized_")))
        self.assertEqual(models.index("alexnet"), 0)
        self.assertLess(models.index("wide_resnet50_2"), models.index("deeplabv3_mobilenet_v3_large"))
        self.assertEqual(sweep.default_models(["optical_flow"]), ["raft_large", "raft_small"])


if __name__ == "__main__":
    unittest.main()
