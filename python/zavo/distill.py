"""Fine-tuning a pruned network toward the network it was cut from (knowledge distillation).

    teacher = zavo.Distiller(model)               # a frozen copy, taken before pruning
    result = zavo.prune(model, example, target_macs=0.5)
    for inputs, targets in loader:                # your training loop
        loss = teacher.loss(result.model(inputs), inputs, targets)
        ...

The pruned network learns the unpruned one's softened class probabilities as
well as the labels: they say which wrong classes are close, which the labels
alone do not, and the pruned network starts near the unpruned one.
"""

import copy

import torch
import torch.nn.functional as F


def _check(temperature, alpha):
    if not temperature > 0:
        raise ValueError("temperature must be above 0, not %r" % (temperature,))
    if not 0 <= alpha <= 1:
        raise ValueError("alpha must be between 0 and 1, not %r" % (alpha,))


def distillation_loss(outputs, teacher_outputs, targets=None, temperature=4.0, alpha=0.9, loss_fn=None, dim=1):
    """`alpha` x T^2 x KL(teacher || student) at temperature T, plus (1 - `alpha`) x
    `loss_fn(outputs, targets)` (cross entropy by default; left out when `alpha` is 1).

    Class scores lie along `dim`; the divergence is summed over it and averaged
    over every other position.  The T^2 keeps the gradient's scale as T changes.
    """
    _check(temperature, alpha)
    if outputs.shape != teacher_outputs.shape:
        raise ValueError("the outputs have shape %s and the teacher's %s" % (
            tuple(outputs.shape), tuple(teacher_outputs.shape)))
    teacher_outputs = teacher_outputs.detach()
    log_student = F.log_softmax(outputs / temperature, dim=dim)
    log_teacher = F.log_softmax(teacher_outputs / temperature, dim=dim)
    divergence = (log_teacher.exp() * (log_teacher - log_student)).sum(dim).mean()
    loss = alpha * temperature ** 2 * divergence
    if alpha < 1:
        if targets is None:
            raise ValueError("targets are needed unless alpha is 1")
        loss = loss + (1 - alpha) * (loss_fn or F.cross_entropy)(outputs, targets)
    return loss


class Distiller:
    """A frozen copy of `model` (in evaluation mode, without gradients) and the loss that
    pulls a pruned network's outputs toward its outputs; see `distillation_loss`.

    Take it before pruning (or pass `inplace=False` to `zavo.prune`, the
    default, and keep the original): the copy is what the pruned network learns from.
    """

    def __init__(self, model, temperature=4.0, alpha=0.9, loss_fn=None, dim=1):
        _check(temperature, alpha)  # now, not in the training loop
        self.teacher = copy.deepcopy(model).eval()
        for parameter in self.teacher.parameters():
            parameter.requires_grad_(False)
        self.temperature, self.alpha, self.loss_fn, self.dim = temperature, alpha, loss_fn, dim

    def outputs(self, inputs):
        """The teacher's outputs for `inputs` (a tensor or a tuple of the model's arguments)."""
        with torch.no_grad():
            return self.teacher(*((inputs,) if isinstance(inputs, torch.Tensor) else inputs))

    def loss(self, outputs, inputs, targets=None):
        """The loss of the pruned network's `outputs` on `inputs` with labels `targets`."""
        return distillation_loss(outputs, self.outputs(inputs), targets, self.temperature, self.alpha,
                                 self.loss_fn, self.dim)
