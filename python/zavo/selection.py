"""Which prunable channel classes to remove.

Classes are grouped into tied sets: the classes that cover the same (parameter,
dimension) pairs, the channels of one layer and of everything tied to it.
Within a set the least important classes go first.  Three ways to decide how
many:

- `amount` per set: each set loses `floor(amount * size)` classes;
- `amount` globally: the lowest `amount` of all classes, ranked by normalised
  score, wherever they are;
- a target (`("macs", 0.5)` or `("params", 0.5)`: the share kept): one walk
  down the global ranking that prices each class exactly in parameters and
  multiply-accumulates, stopping where the kept share is closest to the target.

Every dimension keeps at least one channel, and loses at most `set_limit` of
the channels it had before the first round (so that neither a global cut nor
repeated ones empty a layer); with `round_to` each set keeps a multiple of it
(a target walk then takes a set's classes in blocks).
"""

import heapq
import math
import statistics
from collections import namedtuple

import torch

from zavo.importance import check_normalization, class_scores, normalize_scores
from zavo.surgery import find_tensor

# The scores of one ranking: lowest, median and highest over the candidates, and the highest removed
# (None when nothing was); normalised scores when the ranking was global.
ScoreSummary = namedtuple("ScoreSummary", "low median high cut")
# What a selection removes and what it predicts: `kept` is the share of the target's measure kept
# (None without a target).
Selection = namedtuple("Selection", "groups scores kept")

TARGETS = ("macs", "params")


class TargetError(ValueError):
    """A target the model cannot reach; the message gives the lowest share it can keep."""


def ignored_prefixes(model, ignored_layers):
    """The parameter-name prefixes of the ignored layers (modules or qualified names)."""
    names = {id(m): n for n, m in model.named_modules()}
    known = set(names.values())
    prefixes = []
    for layer in ignored_layers or ():
        if isinstance(layer, torch.nn.Module):
            if id(layer) not in names:
                raise ValueError("ignored layer %s is not a module of the model" % type(layer).__name__)
            layer = names[id(layer)]
        elif layer not in known:
            raise ValueError("ignored layer %r is not a module of the model" % (layer,))
        prefixes.append(layer + "." if layer else "")
    return prefixes


class _Candidate:
    __slots__ = ("group", "score", "tied", "counts")

    def __init__(self, group, score):
        self.group, self.score = group, score
        self.counts = {}  # (parameter, dim) -> indices this class removes there
        for name, dim, _ in group.channels:
            self.counts[(name, dim)] = self.counts.get((name, dim), 0) + 1
        self.tied = tuple(sorted(self.counts))


class Costs:
    """Parameters and multiply-accumulates of the model as its tensors shrink.

    `macs_per_element` maps id(parameter) to the multiply-accumulates each of its
    elements costs (a convolution's or linear layer's output positions);
    `label_macs` maps a class's label to what removing it takes from the
    products of two activations (attention scores and weighted values lose a
    head's share); the rest of `macs` is taken as fixed.  Removing channels
    leaves output positions unchanged, so the price of a class is exact
    whenever every product has a weight operand or one dimension of classes.
    """

    def __init__(self, model, params, macs, macs_per_element, label_macs=None):
        self.model, self.params, self.macs = model, params, macs
        self.per_element, self.label_macs = macs_per_element, label_macs or {}
        self.counted = {id(p) for p in model.parameters()}
        self.tensors = {}  # name -> tensor

    def tensor(self, name):
        if name not in self.tensors:
            self.tensors[name] = find_tensor(self.model, name)
        return self.tensors[name]

    def walker(self, measure):
        """A `Walker` that prices removals in `measure` ("macs" or "params") from the whole model."""
        return Walker(self, measure)


class Walker:
    """The kept share of one measure as classes are removed, one block at a time."""

    def __init__(self, costs, measure):
        self.costs, self.measure = costs, measure
        self.whole = costs.params if measure == "params" else costs.macs
        self.shapes = {}  # id(tensor) -> its shape once the blocks removed so far are gone
        self.params, self.macs = costs.params, costs.macs

    def _shape(self, tensor):
        return self.shapes.get(id(tensor), tensor.shape)

    def _change(self, counts):
        """{tensor id: (shape now, shape without the block too)} for every tensor the block shrinks."""
        new = {}
        for (name, dim), n in counts.items():
            tensor = self.costs.tensor(name)
            if id(tensor) not in new:
                new[id(tensor)] = (self._shape(tensor), list(self._shape(tensor)))
            new[id(tensor)][1][dim] -= n
        return new

    def _after(self, new, labels):
        params, macs = self.params, self.macs
        for key, (now, shape) in new.items():
            gone = math.prod(now) - math.prod(shape)
            if key in self.costs.counted:
                params -= gone
            macs -= self.costs.per_element.get(key, 0.0) * gone
        return params, macs - sum(self.costs.label_macs.get(label, 0.0) for label in labels)

    def share(self, params_macs=None):
        params, macs = params_macs or (self.params, self.macs)
        value = params if self.measure == "params" else macs
        return value / self.whole if self.whole else 1.0

    def price(self, counts, labels=()):
        """The kept share after removing the block (its slices per (parameter, dim) and its
        classes' labels), without removing it."""
        return self.share(self._after(self._change(counts), labels))

    def remove(self, counts, labels=()):
        new = self._change(counts)
        self.params, self.macs = self._after(new, labels)
        self.shapes.update((key, shape) for key, (_, shape) in new.items())
        return self.share()


def tied_sets(model, report, ignored_layers=()):
    """(prunable groups not touching an ignored layer, their tied sets as lists of indices)."""
    prefixes = ignored_prefixes(model, ignored_layers)
    groups = [g for g in report.prunable_groups
              if not any(c.node.startswith(p) for c in g.channels for p in prefixes)]
    by_tied = {}
    for i, group in enumerate(groups):
        by_tied.setdefault(_Candidate(group, 0.0).tied, []).append(i)
    return groups, list(by_tied.values())


def _summary(scores, removed):
    if not scores:
        return ScoreSummary(None, None, None, None)
    return ScoreSummary(min(scores), statistics.median(scores), max(scores), max(removed) if removed else None)


def check_limits(amount, global_ranking, set_limit):
    """Refuses a `set_limit` out of range, and an amount per set that the limit forbids."""
    if not 0 < set_limit <= 1:
        raise ValueError("set_limit must be above 0 and at most 1, not %r" % (set_limit,))
    if amount is not None and not global_ranking and amount > set_limit:
        raise ValueError("amount=%g would remove more of each tied set than set_limit=%g allows; raise set_limit"
                         % (amount, set_limit))


def select(model, report, amount=None, target=None, importance="l1", global_ranking=False, normalize="mean",
           ignored_layers=(), round_to=None, costs=None, data=None, loss_fn=None, seed=0, set_limit=1.0,
           original_shapes=None):
    """The classes to remove: a `Selection`.

    Give `amount` (a share of classes) or `target` (("macs" or "params",
    share kept), which needs `costs`); a target always ranks globally, by
    scores normalised with `normalize`, or by rank within the set ("rank")
    when `global_ranking` is False, so that every set loses the same share.
    No dimension loses more than `set_limit` of its size in `original_shapes`
    ({name: shape}, the shapes before any round; the current ones by
    default).
    """
    if (amount is None) == (target is None):
        raise ValueError("give either amount or a target")
    if amount is not None and not 0 <= amount < 1:
        raise ValueError("amount must be at least 0 and below 1, not %r" % (amount,))
    if round_to is not None and (not isinstance(round_to, int) or round_to < 1):
        raise ValueError("round_to must be a positive integer, not %r" % (round_to,))
    check_limits(amount, global_ranking, set_limit)
    check_normalization(normalize)
    groups, sets = tied_sets(model, report, ignored_layers)
    raw = class_scores(model, groups, importance, data=data, loss_fn=loss_fn, seed=seed, sets=sets)
    ranked_globally = global_ranking or target is not None
    how = normalize if global_ranking else "rank"
    scores = normalize_scores(model, groups, raw, sets, how) if ranked_globally else raw
    candidates = [_Candidate(g, s) for g, s in zip(groups, scores)]
    members = {}
    for indices in sets:
        members[candidates[indices[0]].tied] = [candidates[i] for i in indices]
    sizes, floors = {}, {}
    for tied in members:
        for name, dim in tied:
            sizes[(name, dim)] = find_tensor(model, name).shape[dim]
            whole = (original_shapes or {}).get(name, find_tensor(model, name).shape)[dim]
            floors[(name, dim)] = max(1, whole - math.floor(set_limit * whole + 1e-9))
    left = dict(sizes)  # channels each (parameter, dim) keeps so far

    def fits(counts):
        return all(left[pair] - n >= floors[pair] for pair, n in counts.items())

    def take(counts):
        for pair, n in counts.items():
            left[pair] -= n

    def ranked(items):
        return sorted(items, key=lambda c: (c.score, c.group.label))

    def base(tied):
        """The set's own channel count, its smallest dimension, and the channels one of its
        classes removes there (a head's class removes all of the head's channels)."""
        pair = min(tied, key=lambda p: sizes[p])
        return sizes[pair], members[tied][0].counts[pair]

    kept = None
    if target is not None:
        chosen, kept = _walk(members, ranked, base, fits, take, target, costs, round_to, set_limit)
    else:
        chosen = _by_amount(members, ranked, fits, take, amount, global_ranking)
        if round_to:
            for tied, picked in chosen.items():
                channels, per_class = base(tied)
                while picked and (channels - per_class * len(picked)) % round_to:
                    picked.pop()  # the most important of those chosen stays
    removed = [c for picked in chosen.values() for c in picked]
    return Selection([c.group for c in removed], _summary(scores, [c.score for c in removed]), kept)


def _by_amount(members, ranked, fits, take, amount, global_ranking):
    """{tied: [candidates]}: the lowest `amount` of each set, or of all classes ranked together."""
    chosen = {tied: [] for tied in members}
    if global_ranking:
        pools = [(int(amount * sum(map(len, members.values()))), ranked(c for m in members.values() for c in m))]
    else:
        pools = [(int(amount * len(items)), ranked(items)) for items in members.values()]
    for quota, pool in pools:
        taken = 0
        for candidate in pool:
            if taken >= quota:
                break
            if fits(candidate.counts):
                take(candidate.counts)
                chosen[candidate.tied].append(candidate)
                taken += 1
    return chosen


def _blocks(ordered, unit, round_to):
    """A set's classes, least important first, in the blocks a walk takes them: one by one, or
    with `round_to` each block ending where the set keeps a multiple of it.  `unit` is the
    set's channel count and the channels one class removes there (`base` in `select`)."""
    if not round_to:
        return [[c] for c in ordered]
    channels, per_class = unit
    cuts = [k for k in range(1, len(ordered) + 1) if (channels - per_class * k) % round_to == 0]
    return [ordered[start:end] for start, end in zip([0] + cuts, cuts)]


def _walk(members, ranked, base, fits, take, target, costs, round_to, set_limit):
    """Take blocks down the global ranking, pricing each, until the kept share of the target's
    measure reaches the target: ({tied: [candidates]}, share kept).

    Each set offers its next block, keyed by its mean score; the lowest goes
    first, and the set's entry then gets its next block's key.
    A block that would cross the target is set aside with the rest of its set,
    and the walk goes on with other sets' blocks; at the end, the set-aside
    block that lands closest is taken if it lands closer than stopping short:
    a small model with coarse channels (heads, key-value groups) lands close too.
    """
    measure, share = target
    if measure not in TARGETS:
        raise ValueError("a target is one of %s, not %r" % (", ".join(TARGETS), measure))
    if not 0 < share <= 1:
        raise ValueError("a target is the share kept, above 0 and at most 1, not %r" % (share,))
    if costs is None:
        raise ValueError("a target needs the model's costs")
    per_set = {}
    for tied, items in members.items():
        per_set[tied] = []
        for block in _blocks(ranked(items), base(tied), round_to):
            merged = {}
            for c in block:
                for pair, n in c.counts.items():
                    merged[pair] = merged.get(pair, 0) + n
            per_set[tied].append((block, (merged, [c.group.label for c in block]),
                                  statistics.fmean(c.score for c in block)))
    walker = costs.walker(measure)
    chosen = {tied: [] for tied in members}
    done = dict.fromkeys(members, 0)  # blocks taken per set, always its least important ones
    kept, closed, crossing = 1.0, set(), []  # crossing: sets set aside, in the order met

    def head(tied):  # the set's next block when it can be taken; once it cannot, no later one can
        if tied in closed or done[tied] == len(per_set[tied]):
            return None
        removal = per_set[tied][done[tied]][1]  # (slices, labels)
        return removal if fits(removal[0]) else None

    def key(tied):
        block, _, score = per_set[tied][done[tied]]
        return score, block[0].group.label, done[tied]

    def commit(tied):
        nonlocal kept
        block, removal, _ = per_set[tied][done[tied]]
        take(removal[0])
        kept = walker.remove(*removal)
        chosen[tied].extend(block)
        done[tied] += 1

    heap = [(key(tied), tied) for tied in members if head(tied) is not None]
    heapq.heapify(heap)
    while heap and kept > share:
        (score, label, version), tied = heap[0]
        if head(tied) is None:
            heapq.heappop(heap)
            continue
        if version != done[tied]:  # the set has moved on to its next block
            heapq.heapreplace(heap, (key(tied), tied))
            continue
        if walker.price(*head(tied)) >= share:
            commit(tied)
            continue  # its entry is stale now and gets its next block's key at the top
        # It crosses the target: set aside with the rest of its set while smaller steps remain.
        closed.add(tied)
        crossing.append(tied)
        heapq.heappop(heap)
    if kept > share and crossing:
        landing = [(abs(walker.price(*per_set[t][done[t]][1]) - share), n, t) for n, t in enumerate(crossing)]
        distance, _, best = min(landing)
        if distance < kept - share:
            commit(best)
    if kept > share + 0.01 and not crossing:
        most = ("keeping one channel per dimension of the prunable classes" if set_limit == 1 else
                "removing at most %g%% of each tied set's channels (set_limit)" % (100 * set_limit))
        raise TargetError("target_%s=%g cannot be reached: %s keeps %.1f%% of the %s" % (
            measure, share, most, 100 * kept, "MACs" if measure == "macs" else "parameters"))
    return chosen, kept
