"""`zavo-prune sweep` on a small subset: one row per model, and a failure or a hang costs its row only."""

import os
import subprocess
import sys
import tempfile
import unittest

from tests.tools.support import PYTHON, REPO

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
    def test_rows_totals_and_exit_status(self):
        here = "tests.python.test_sweep:"
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([PYTHON, REPO]))
        with tempfile.TemporaryDirectory() as scratch:
            table = os.path.join(scratch, "sweep.md")
            run = subprocess.run([sys.executable, "-m", "zavo", "sweep", "squeezenet1_1", here + "LooseOutput",
                                  here + "spinning", "--sample", "2", "--timeout", "4", "-o", table],
                                 capture_output=True, text=True, cwd=REPO, env=env)
            with open(table, encoding="utf-8") as stream:
                written = stream.read()
        self.assertEqual(run.returncode, 1, run.stderr)
        lines = run.stdout.splitlines()
        self.assertEqual(lines[0], sweep.table_line(sweep.COLUMNS))
        rows = [line.split(" | ") for line in lines[2:5]]
        self.assertEqual([row[0] for row in rows], ["| squeezenet1_1", "| " + here + "LooseOutput",
                                                    "| " + here + "spinning"])
        self.assertEqual(rows[0][1:5], ["classification", "1x3x64x64", "119", "2944 of 4001"])
        self.assertEqual((rows[0][7], rows[0][9]), ("2 of 2 sound", "pass |"))
        self.assertEqual(rows[1][9], "fails at trace: TraceError: cannot trace %sLooseOutput: output['note']: a "
                         "value of type object, which a graph cannot hold (expected tensors, numbers, strings, None, "
                         "and lists, tuples and dicts of them) |" % here)
        self.assertEqual(rows[2][9], "timeout: after 4 processor seconds, in the build |")
        self.assertEqual(lines[-1], "3 models: 1 pass, 1 fail, 1 time out; proof: 2 of 2 sampled classes sound")
        self.assertEqual(written, "\n".join(lines[:5] + ["", lines[-1]]) + "\n")

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
