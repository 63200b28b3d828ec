"""A plan removes what a cut would, and the penalty on its classes makes that cut lossless."""

import copy
import unittest

import torch
from torch import nn

import zavo


class Residual(nn.Module):
    """A stem and a block whose output is added to the stem's: the stream is one tied set over
    three convolutions, two batch norms and the head; the block's inner channels another."""

    def __init__(self):
        super().__init__()
        self.stem, self.bn0 = nn.Conv2d(3, 6, 3, padding=1), nn.BatchNorm2d(6)
        self.conv1, self.bn1 = nn.Conv2d(6, 8, 3, padding=1), nn.BatchNorm2d(8)
        self.conv2 = nn.Conv2d(8, 6, 3, padding=1)
        self.head = nn.Linear(6, 3)

    def forward(self, x):
        x = torch.relu(self.bn0(self.stem(x)))
        x = x + self.conv2(torch.relu(self.bn1(self.conv1(x))))
        return self.head(x.mean((2, 3)))


def trained_statistics(model, x):
    """The model with running statistics that are not the identity, in evaluation mode."""
    model.train()
    with torch.no_grad():
        model(x)
    return model.eval()


class PlanAndPenalty(unittest.TestCase):
    def setUp(self):
        torch.manual_seed(0)
        self.x = torch.randn(4, 3, 10, 10)
        self.model = trained_statistics(Residual(), self.x)

    def test_the_plan_is_the_cut_that_prune_makes(self):
        before = copy.deepcopy(self.model.state_dict())
        plan = zavo.plan(self.model, self.x, target_macs=0.4, importance="random", seed=3)
        self.assertTrue(all(torch.equal(before[k], v) for k, v in self.model.state_dict().items()))
        planned = zavo.prune(self.model, self.x, plan=plan)
        direct = zavo.prune(self.model, self.x, target_macs=0.4, importance="random", seed=3)
        self.assertEqual((planned.parameters, planned.macs), (direct.parameters, direct.macs))
        self.assertAlmostEqual(planned.macs[1] / planned.macs[0], plan.kept, places=9)
        for (name, a), (_, b) in zip(planned.model.state_dict().items(), direct.model.state_dict().items()):
            self.assertTrue(torch.equal(a, b), name)
        self.assertIn("pruned to 40% of its MACs", planned.summary())
        # Both tied sets lose classes, so the penalty covers the stream and the inner channels.
        self.assertLessEqual({"stem.weight", "conv2.bias", "head.weight", "conv1.weight", "bn1.bias"},
                             {c.node for c in plan.channels})

    def test_penalty_is_half_the_squared_norm_of_the_slices_growing_with_progress(self):
        plan = zavo.plan(self.model, self.x, target_macs=0.4)
        penalty = zavo.GroupPenalty(self.model, plan, strength=3.0)
        params = dict(self.model.named_parameters())
        # A slice met twice (a weight's row and column both removed) counts once.
        masks = {n: torch.zeros_like(p, dtype=torch.bool) for n, p in params.items()}
        for c in plan.channels:
            if c.node in masks:
                masks[c.node].select(c.dim, c.index).fill_(True)
        once = sum(params[n].square()[m].sum() for n, m in masks.items())
        self.assertAlmostEqual(penalty(0.5).item(), 0.5 * 3.0 * 0.5 * once.item(), places=4)
        self.assertEqual(penalty(0).item(), 0.0)
        self.assertAlmostEqual(penalty(7).item(), penalty(1).item())  # clamped
        penalty(1).backward()
        for name, p in params.items():  # no gradient outside the slices (None: not touched at all)
            self.assertTrue(p.grad is None or not p.grad[~masks[name]].any(), name)

    def test_shrunk_classes_are_cut_without_changing_the_outputs(self):
        plan = zavo.plan(self.model, self.x, target_macs=0.4)
        penalty = zavo.GroupPenalty(self.model, plan)
        optimizer = torch.optim.SGD(self.model.parameters(), lr=0.5)
        for _ in range(60):
            optimizer.zero_grad()
            penalty(1.0).backward()
            optimizer.step()
        self.assertLess(penalty.remaining(), 1e-6)
        # Running statistics of the removed channels are whatever they were: a zero scale and
        # shift silence them, so the cut leaves the outputs as they are.
        expected = self.model(self.x)
        result = zavo.prune(self.model, self.x, plan=plan)
        torch.testing.assert_close(result.model(self.x), expected, rtol=0, atol=1e-5)

    def test_refusals(self):
        plan = zavo.plan(self.model, self.x, amount=0.5)
        with self.assertRaisesRegex(ValueError, "give no amount, target or steps"):
            zavo.prune(self.model, self.x, plan=plan, target_macs=0.5)
        with self.assertRaisesRegex(ValueError, "strength must be at least 0"):
            zavo.GroupPenalty(self.model, plan, strength=-1)
        smaller = zavo.prune(self.model, self.x, amount=0.5).model
        with self.assertRaisesRegex(ValueError, r"the plan was made for \S+ of shape"):
            zavo.prune(smaller, self.x, plan=plan)


if __name__ == "__main__":
    unittest.main()
