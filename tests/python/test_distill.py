"""The distillation loss against its textbook form, and the frozen teacher."""

import unittest

import torch
from torch import nn
import torch.nn.functional as F

import zavo
from zavo.distill import distillation_loss


class Distillation(unittest.TestCase):
    def test_loss_is_the_scaled_divergence_plus_the_label_loss(self):
        torch.manual_seed(0)
        student, teacher, labels, t = torch.randn(5, 4), torch.randn(5, 4), torch.randint(0, 4, (5,)), 3.0
        divergence = F.kl_div(F.log_softmax(student / t, 1), F.softmax(teacher / t, 1), reduction="batchmean")
        expected = 0.7 * t * t * divergence + 0.3 * F.cross_entropy(student, labels)
        self.assertAlmostEqual(distillation_loss(student, teacher, labels, temperature=t, alpha=0.7).item(),
                               expected.item(), places=5)
        self.assertAlmostEqual(distillation_loss(teacher, teacher, alpha=1.0).item(), 0.0, places=6)
        # Dense outputs: classes along dim 1, every position weighs as a sample of its own.
        dense, dense_teacher = torch.randn(2, 4, 3, 3), torch.randn(2, 4, 3, 3)
        flat = [x.movedim(1, -1).reshape(-1, 4) for x in (dense, dense_teacher)]
        self.assertAlmostEqual(distillation_loss(dense, dense_teacher, alpha=1.0).item(),
                               distillation_loss(*flat, alpha=1.0).item(), places=5)
        for options, message in ((dict(temperature=0), "temperature"), (dict(alpha=1.5), "alpha"),
                                 (dict(), "targets are needed")):
            with self.subTest(message), self.assertRaisesRegex(ValueError, message):
                distillation_loss(student, teacher, **options)

    def test_the_teacher_is_a_frozen_copy_and_only_the_student_learns(self):
        torch.manual_seed(0)
        model, x, labels = nn.Linear(3, 2), torch.randn(4, 3), torch.tensor([0, 1, 1, 0])
        distiller = zavo.Distiller(model, alpha=0.5)
        expected = model(x).detach()
        with torch.no_grad():
            model.weight.add_(1.0)  # pruning or training the original later leaves the teacher as it was
        self.assertTrue(torch.equal(distiller.outputs(x), expected))
        distiller.loss(model(x), x, labels).backward()
        self.assertIsNotNone(model.weight.grad)
        self.assertTrue(all(p.grad is None and not p.requires_grad for p in distiller.teacher.parameters()))
        with self.assertRaisesRegex(ValueError, "alpha"):
            zavo.Distiller(model, alpha=-0.1)


if __name__ == "__main__":
    unittest.main()
