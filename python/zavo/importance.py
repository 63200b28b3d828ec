"""How much a channel class matters.

A class's score is built from the parameter slices it removes (running
statistics and other buffers do not rank channels):

- "l1", "l2": the L1 or L2 norm of each slice, summed over the class;
- "bn_scale": the absolute scale (weight) of the normalisation layers the class
  removes channels of, summed; a tied set without any such scale is ranked by L1;
- "taylor": the first-order estimate of the loss change when the class is
  removed, |weight x gradient| summed over every element of the class's slices,
  with gradients accumulated over `data` (batches of (inputs, targets)) and
  `loss_fn(outputs, targets)`, the model in evaluation mode;
- "random": a uniform draw per class from `seed`, the baseline every criterion
  has to beat;
- a function (model, group) -> number.

Scores of one tied set compare directly.  Across sets (a global ranking) they
are normalised first: `normalize_scores` divides by the set's mean ("mean"), by
the parameter elements a class removes ("element"), turns them into the rank
within the set ("rank": every set loses the same share), or leaves them ("none").
"""

import statistics

import torch
import torch.nn.functional as F

from zavo import structure
from zavo.surgery import find_tensor

CRITERIA = ("l1", "l2", "bn_scale", "taylor", "random")
NORMALIZATIONS = ("mean", "element", "rank", "none")

_SCALED = (torch.nn.modules.batchnorm._NormBase, torch.nn.GroupNorm, torch.nn.LayerNorm)


def check_criterion(importance):
    if not callable(importance) and importance not in CRITERIA:
        raise ValueError("importance must be one of %s or a function, not %r" % (", ".join(CRITERIA), importance))


def check_normalization(normalize):
    if normalize not in NORMALIZATIONS:
        raise ValueError("normalize must be one of %s, not %r" % (", ".join(NORMALIZATIONS), normalize))


def gradients(model, data, loss_fn=None):
    """{id(parameter): gradient summed over `data`}; the model's mode and `.grad`s are restored."""
    loss_fn = loss_fn or F.cross_entropy
    params = list(model.parameters())
    saved = [p.grad for p in params]
    mode = model.training
    batches = 0
    try:
        for p in params:
            p.grad = None
        model.eval()
        with torch.enable_grad():
            for batch in data:
                inputs, targets = batch
                loss = loss_fn(structure.call(model, inputs), targets)  # inputs as in prune's example_inputs
                if not isinstance(loss, torch.Tensor) or loss.numel() != 1:
                    raise ValueError("loss_fn must return a scalar tensor, not %r" % (loss,))
                loss.backward()
                batches += 1
        if not batches:
            raise ValueError("data= gave no batch")
        return {id(p): (p.grad.detach().clone() if p.grad is not None else torch.zeros_like(p)) for p in params}
    finally:
        for p, grad in zip(params, saved):
            p.grad = grad
        model.train(mode)


class _SliceScores:
    """Per (parameter, dimension): one number per index, computed once; None where the
    tensor has nothing to say (a buffer; for "bn_scale", anything but a normalisation scale)."""

    def __init__(self, model, criterion, grads=None):
        self.model, self.criterion, self.grads, self.cache = model, criterion, grads, {}
        self.scales = {id(m.weight) for m in model.modules()
                       if isinstance(m, _SCALED) and isinstance(getattr(m, "weight", None), torch.nn.Parameter)}

    def __call__(self, name, dim):
        key = (name, dim)
        if key not in self.cache:
            self.cache[key] = self._compute(find_tensor(self.model, name), dim)
        return self.cache[key]

    def _compute(self, tensor, dim):
        if not isinstance(tensor, torch.nn.Parameter):
            return None
        if self.criterion == "bn_scale" and id(tensor) not in self.scales:
            return None
        t = tensor.detach().float()
        if self.criterion == "taylor":
            t = t * self.grads[id(tensor)].float()
        t = t.movedim(dim, 0).reshape(tensor.shape[dim], -1)
        if self.criterion == "l2":
            return t.pow(2).sum(1).sqrt().tolist()
        return t.abs().sum(1).tolist()


def _summed(slices, groups):
    """Per group: the sum of its slices' numbers, or None when no slice has one."""
    scores = []
    for group in groups:
        total, seen = 0.0, False
        for name, dim, index in group.channels:
            values = slices(name, dim)
            if values is not None:
                total += values[index]
                seen = True
        scores.append(total if seen else None)
    return scores


def class_scores(model, groups, importance="l1", data=None, loss_fn=None, seed=0, sets=None):
    """The score of each group (higher is more important), by criterion `importance`.

    `sets` (lists of indices into `groups`, one per tied set) lets "bn_scale"
    fall back to L1 for a whole set that carries no normalisation scale.
    """
    check_criterion(importance)
    if callable(importance):
        return [float(importance(model, group)) for group in groups]
    if importance == "random":
        generator = torch.Generator().manual_seed(seed)
        return torch.rand(len(groups), generator=generator, dtype=torch.float64).tolist()
    grads = None
    if importance == "taylor":
        if data is None:
            raise ValueError("the taylor criterion needs data=, an iterable of (inputs, targets) batches")
        grads = gradients(model, data, loss_fn)
    scores = _summed(_SliceScores(model, importance, grads), groups)
    if importance == "bn_scale":
        fallback = None
        for members in sets or [range(len(groups))]:
            if all(scores[i] is None for i in members):
                fallback = fallback or _summed(_SliceScores(model, "l1"), groups)
                for i in members:
                    scores[i] = fallback[i]
    return [0.0 if s is None else s for s in scores]


def removed_elements(model, group):
    """Parameter elements that removing the group takes out (buffers not counted)."""
    total = 0
    for name, dim, _ in group.channels:
        tensor = find_tensor(model, name)
        if isinstance(tensor, torch.nn.Parameter):
            total += tensor.numel() // tensor.shape[dim]
    return total


def normalize_scores(model, groups, scores, sets, normalize):
    """Scores made comparable across tied sets (`sets`: lists of indices into `groups`)."""
    check_normalization(normalize)
    if normalize == "none":
        return list(scores)
    result = list(scores)
    if normalize == "element":
        for i, group in enumerate(groups):
            elements = removed_elements(model, group)
            result[i] = scores[i] / elements if elements else scores[i]
        return result
    for members in sets:
        if normalize == "mean":
            mean = statistics.fmean(scores[i] for i in members)
            for i in members:
                result[i] = scores[i] / mean if mean > 0 else 1.0
        else:  # rank: position within the set, 1/n for the least important up to 1
            order = sorted(members, key=lambda i: (scores[i], groups[i].label))
            for position, i in enumerate(order, 1):
                result[i] = position / len(members)
    return result
