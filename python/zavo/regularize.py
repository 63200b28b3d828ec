"""Shrinking the classes a cut will remove before removing them.

    plan = zavo.plan(model, example, target_macs=0.25)    # what the cut will remove; nothing yet
    penalty = zavo.GroupPenalty(model, plan)
    for step, (inputs, targets) in enumerate(first_part):  # your training loop, part of the budget
        loss = F.cross_entropy(model(inputs), targets) + penalty(step / len(first_part))
        ...
    result = zavo.prune(model, example, plan=plan)         # exactly those classes; fine-tune the rest

A one-shot cut of most of a network's channels leaves it near chance, and
fine-tuning spends its first steps recovering.  Here the network learns to do
without the chosen classes while it still has them: the penalty grows from
nothing, their slices fade out, the other weights take over their work, and
the cut itself then loses almost nothing.
"""

import math

import torch

from zavo.surgery import find_tensor


class GroupPenalty:
    """`strength` x `progress` / 2 x the squared norm of every parameter slice the classes
    remove: their weights' rows and columns in every layer they touch, normalisation scales and
    shifts, biases (a tied set's whole footprint).

    `classes` is a `zavo.Plan` or an iterable of `Group`s of `model`.  Call the
    penalty with the share of the regularisation done (0 to 1, clamped) and add
    it to the loss: its gradient is a weight decay on those slices alone,
    growing linearly, so that plain SGD shrinks them by about learning rate x
    strength x progress per step.  With a learning rate of 0.05 and the
    default strength of 1, a few hundred steps take them to a small fraction
    of their size (`remaining()`).  Buffers (running statistics) are left to
    follow.
    """

    def __init__(self, model, classes, strength=1.0):
        if not strength >= 0:
            raise ValueError("strength must be at least 0, not %r" % (strength,))
        groups = getattr(classes, "groups", classes)
        self.strength = strength
        self.masks = {}  # id(parameter) -> (parameter, mask of the slices to shrink)
        for group in groups:
            for name, dim, index in group.channels:
                tensor = find_tensor(model, name)
                if not isinstance(tensor, torch.nn.Parameter):
                    continue
                if id(tensor) not in self.masks:
                    self.masks[id(tensor)] = (tensor, torch.zeros_like(tensor, dtype=torch.bool))
                self.masks[id(tensor)][1].select(dim, index).fill_(True)
        self.start = self.norm()

    def __call__(self, progress=1.0):
        """The penalty at `progress` of the regularisation (0 to 1): a scalar tensor with gradients."""
        weight = 0.5 * self.strength * min(1.0, max(0.0, float(progress)))
        terms = [parameter.square().masked_select(mask).sum() for parameter, mask in self.masks.values()]
        if not terms or weight == 0:
            return torch.zeros(())
        return weight * torch.stack(terms).sum()

    def norm(self):
        """The L2 norm of all the slices the classes remove, as it is now."""
        with torch.no_grad():
            return math.sqrt(sum(p.float().square().masked_select(m).sum().item() for p, m in self.masks.values()))

    def remaining(self):
        """The slices' norm now over their norm when the penalty was made (1 at the start)."""
        return self.norm() / self.start if self.start else 0.0
