"""Removing channel slices from a real model.

A channel is a (parameter or buffer name, dimension, index) slice, given as a
dict `{"node", "dim", "index"}` (a report file's form) or a `Channel` tuple.
`prune_slices` removes slices from the tensors, everywhere a tensor is held
(tied weights included), and then makes every layer attribute that counts
channels or heads agree with the new tensors: a head keeps its size, so a
layer's head count follows the rows of its projections that remain.  An
attention layer whose forward would take a head's size from its input width
becomes one of the `zavo.attention` classes.  Every change is recorded in an
`Edits`, which can undo them.
"""

import torch

# Layer attributes that count channels or heads (`PruneResult.layers` shows them before and after).
CHANNEL_COUNTS = ("in_channels", "out_channels", "groups", "num_features", "in_features", "out_features",
                  "normalized_shape", "num_channels", "num_groups", "num_embeddings", "embedding_dim",
                  "num_heads", "heads", "kv_heads", "head_dim", "embed_dim", "kdim", "vdim", "output_dim",
                  "hidden_dim")


class SurgeryError(Exception):
    """Slices that name something the model does not have; the message says what."""


def _triple(channel):
    if isinstance(channel, dict):
        return channel["node"], channel["dim"], channel["index"]
    return tuple(channel)


def slices_by_tensor(channels):
    """{parameter name: {dim: sorted indices}} in first-seen order."""
    table = {}
    for channel in channels:
        name, dim, index = _triple(channel)
        table.setdefault(name, {}).setdefault(dim, set()).add(index)
    return {name: {dim: sorted(idx) for dim, idx in dims.items()} for name, dims in table.items()}


def _runs(indices):
    """Sorted indices as text, three or more consecutive ones as a range: [0-11, 48-59, 96]."""
    parts, start = [], 0
    for i in range(1, len(indices) + 1):
        if i == len(indices) or indices[i] != indices[i - 1] + 1:
            run = indices[start:i]
            parts += ["%d-%d" % (run[0], run[-1])] if len(run) > 2 else [str(n) for n in run]
            start = i
    return "[%s]" % ", ".join(parts)


def describe_slices(channels):
    parts = []
    for name, dims in slices_by_tensor(channels).items():
        for dim, indices in dims.items():
            parts.append("%s dim %d %s" % (name, dim, _runs(indices)))
    return ", ".join(parts)


def _holders(model):
    """id(tensor) -> every (module, attribute, is_parameter) that holds it (tied weights included)."""
    holders = {}
    for module in model.modules():
        for attr, tensor in module._parameters.items():
            if tensor is not None:
                holders.setdefault(id(tensor), []).append((module, attr, True))
        for attr, tensor in module._buffers.items():
            if tensor is not None:
                holders.setdefault(id(tensor), []).append((module, attr, False))
    return holders


def find_tensor(model, name):
    """The parameter or buffer of that qualified name."""
    module_path, _, attr = name.rpartition(".")
    try:
        module = model.get_submodule(module_path) if module_path else model
    except AttributeError:
        module = None
    tensor = None
    if module is not None:
        tensor = module._parameters.get(attr)
        if tensor is None:
            tensor = module._buffers.get(attr)
    if tensor is None:
        raise SurgeryError("the model has no parameter or buffer %s" % name)
    return tensor


def check_indices(name, tensor, dim, indices):
    if not 0 <= dim < tensor.dim():
        raise IndexError("%s has no dimension %d (shape %s)" % (name, dim, tuple(tensor.shape)))
    bad = [i for i in indices if not 0 <= i < tensor.shape[dim]]
    if bad:
        raise IndexError("%s dim %d has %d entries, no index %s" % (name, dim, tensor.shape[dim], bad))


class Edits:
    """Every change `prune_slices` makes to a model, in order; `undo()` reverts them all."""

    _MISSING = object()

    def __init__(self):
        self._steps = []

    def put(self, table, key, value):
        """table[key] = value (a module's parameter or buffer table)."""
        self._steps.append((table, key, table[key]))
        table[key] = value

    def set(self, obj, attr, value):
        """setattr(obj, attr, value), remembered only when it changes something."""
        old = getattr(obj, attr, self._MISSING)
        if old is value or (old is not self._MISSING and type(old) is type(value) and old == value):
            return
        self._steps.append((obj, attr, old))
        setattr(obj, attr, value)

    def undo(self):
        for target, key, old in reversed(self._steps):
            if isinstance(target, dict):
                target[key] = old
            elif old is self._MISSING:
                delattr(target, key)
            else:
                setattr(target, key, old)
        self._steps.clear()


def prune_slices(model, channels, edits=None):
    """Remove every slice and update the attributes that count channels and heads.

    `edits` (an `Edits`) records the changes, so that they can be undone.
    """
    edits = Edits() if edits is None else edits
    holders = _holders(model)
    before = _snapshot(model)
    with torch.no_grad():
        for name, dims in slices_by_tensor(channels).items():
            tensor = find_tensor(model, name)
            new = tensor.detach()
            for dim, indices in dims.items():
                check_indices(name, new, dim, indices)
                drop = set(indices)
                keep = [i for i in range(new.shape[dim]) if i not in drop]
                new = new.index_select(dim, torch.tensor(keep, dtype=torch.long, device=new.device))
            if isinstance(tensor, torch.nn.Parameter):
                new = torch.nn.Parameter(new, requires_grad=tensor.requires_grad)
            for module, attr, is_parameter in holders[id(tensor)]:
                edits.put(module._parameters if is_parameter else module._buffers, attr, new)
    # Children first: a block reads its head count from its attention layer.
    for module in reversed(list(model.modules())):
        update_counts(module, before.get(id(module)), edits)
    return edits


# -- what the counts follow -------------------------------------------------------------------------

# Attributes that count a layer's query heads, and its key-value heads under grouped-query attention.
HEAD_COUNTS = ("num_heads", "heads", "n_heads", "num_attention_heads")
KV_HEAD_COUNTS = ("kv_heads", "num_kv_heads", "n_kv_heads", "num_key_value_heads")
# The names models give the projection that makes the queries (alone or fused with keys and values),
# and the one that makes the keys.
QUERY_PROJECTIONS = ("q_proj", "query", "q", "wq", "to_q", "qkv", "Wqkv", "c_attn", "query_key_value")
KEY_PROJECTIONS = ("k_proj", "key", "k", "wk", "to_k")


def count_heads(model):
    """(query heads, key-value heads) of the model's attention layers, summed; a layer without
    grouped-query attention counts its heads as both.  A layer is a module with a head count
    none of whose descendants has one (a block that echoes its attention's count is not one)."""
    def count(module, attrs):
        return next((v for v in (getattr(module, a, None) for a in attrs) if type(v) is int), None)

    heads = kv_heads = 0
    for module in model.modules():
        n = count(module, HEAD_COUNTS)
        if n is None or any(count(m, HEAD_COUNTS) is not None for m in module.modules() if m is not module):
            continue
        kv = count(module, KV_HEAD_COUNTS)
        heads, kv_heads = heads + n, kv_heads + (n if kv is None else kv)
    return heads, kv_heads


def _is(module, where, *names):
    """Whether the module is (a subclass of) one of the classes `names` of module `where`,
    without importing it: a model holds such a layer only when its library is loaded."""
    return any(c.__module__ == where and c.__name__ in names for c in type(module).__mro__)


_SWIN = "torchvision.models.swin_transformer"
_MVIT = "torchvision.models.video.mvit"
_VIT = "torchvision.models.vision_transformer"


def _projection(module, names):
    for name in names:
        child = module._modules.get(name)
        if isinstance(child, torch.nn.Linear):
            return child
    return None


def _snapshot(model):
    """What the counts follow, taken before any tensor changes, per layer: `group`, the channels
    of one group of a group normalisation; `heads`, each head count with the projection it is read
    from and that projection's rows (a head keeps its size, so the count follows the rows);
    `head_dim`, the size of a head where the layer derives it from its width."""
    before = {}
    for module in model.modules():
        entry = {}
        if isinstance(module, torch.nn.GroupNorm):
            entry["group"] = module.num_channels // module.num_groups
        elif not isinstance(module, torch.nn.MultiheadAttention):
            query, key = _projection(module, QUERY_PROJECTIONS), _projection(module, KEY_PROJECTIONS)
            heads = [(attr, count, projection, projection.out_features)
                     for attrs, projection in ((HEAD_COUNTS, query), (KV_HEAD_COUNTS, key or query))
                     if projection is not None
                     for attr, count in ((a, getattr(module, a, None)) for a in attrs)
                     if type(count) is int and count > 0]
            if heads:
                entry["heads"] = heads
        if _is(module, _SWIN, "ShiftedWindowAttention") and not hasattr(module, "head_dim"):
            entry["head_dim"] = module.qkv.out_features // 3 // module.num_heads
        if entry:
            before[id(module)] = entry
    return before


# -- recounting ------------------------------------------------------------------------------------


def update_counts(module, before, edits):
    """Make the attributes that count channels and heads agree with the (pruned) tensors.

    `before` is the module's entry of `_snapshot`, taken before the tensors changed.
    """
    before = before or {}
    nn = torch.nn
    if isinstance(module, nn.modules.conv._ConvNd):
        weight = module.weight
        depthwise = module.groups > 1 and module.groups == module.in_channels == module.out_channels
        full = weight.shape[0]  # input channels when transposed, output channels otherwise
        if depthwise:
            for attr in ("groups", "in_channels", "out_channels"):
                edits.set(module, attr, full)
        elif module.transposed:
            edits.set(module, "in_channels", full)
            edits.set(module, "out_channels", weight.shape[1] * module.groups)
        else:
            edits.set(module, "out_channels", full)
            edits.set(module, "in_channels", weight.shape[1] * module.groups)
    elif isinstance(module, nn.modules.batchnorm._NormBase):
        source = module.weight if module.weight is not None else module.running_mean
        if source is not None:
            edits.set(module, "num_features", source.shape[0])
    elif isinstance(module, nn.Linear):
        edits.set(module, "out_features", module.weight.shape[0])
        edits.set(module, "in_features", module.weight.shape[1])
    elif isinstance(module, nn.LayerNorm) and module.weight is not None:
        edits.set(module, "normalized_shape", tuple(module.weight.shape))
    elif isinstance(module, nn.GroupNorm) and module.weight is not None:
        # Channels go in whole groups: the groups keep their size.
        channels = module.weight.shape[0]
        group = before["group"]
        if channels % group:
            raise SurgeryError("%d channels left in a group normalisation of groups of %d" % (channels, group))
        edits.set(module, "num_channels", channels)
        edits.set(module, "num_groups", channels // group)
    elif isinstance(module, nn.Embedding):
        edits.set(module, "num_embeddings", module.weight.shape[0])
        edits.set(module, "embedding_dim", module.weight.shape[1])
    elif isinstance(module, nn.MultiheadAttention):
        _recount_multihead_attention(module, edits)
        return
    for attr, count, projection, rows in before.get("heads", ()):
        edits.set(module, attr, _scaled(module, count, projection.out_features, rows))
    _recount_known_layers(module, before, edits)


def _scaled(module, count, rows, rows_before):
    """The head count that `rows` of a projection hold, when `rows_before` held `count` heads."""
    if rows * count % rows_before:
        raise SurgeryError("%s: %d rows of its projection are not whole heads (%d heads had %d rows)" % (
            type(module).__name__, rows, count, rows_before))
    return rows * count // rows_before


def _recount_multihead_attention(module, edits):
    # head_dim never changes: heads are removed whole, so the heads follow the query rows.
    if module._qkv_same_embed_dim:
        q_rows, embed_dim = module.in_proj_weight.shape[0] // 3, module.in_proj_weight.shape[1]
        kdim = vdim = embed_dim
    else:
        q_rows, embed_dim = module.q_proj_weight.shape
        kdim, vdim = module.k_proj_weight.shape[1], module.v_proj_weight.shape[1]
    edits.set(module, "num_heads", _scaled(module, module.num_heads, q_rows,
                                           module.num_heads * module.head_dim))
    edits.set(module, "embed_dim", embed_dim)
    edits.set(module, "kdim", kdim)
    edits.set(module, "vdim", vdim)
    if module.num_heads * module.head_dim != embed_dim and type(module) is torch.nn.MultiheadAttention:
        from zavo.attention import PrunedMultiheadAttention

        edits.set(module, "__class__", PrunedMultiheadAttention)


def _recount_known_layers(module, before, edits):
    """Counts that the rules above cannot see: layers whose forward reads them."""
    if _is(module, _VIT, "VisionTransformer"):
        edits.set(module, "hidden_dim", module.class_token.shape[-1])
    elif _is(module, _VIT, "EncoderBlock"):
        edits.set(module, "num_heads", module.self_attention.num_heads)
    elif _is(module, _MVIT, "MultiscaleAttention"):
        edits.set(module, "embed_dim", module.qkv.in_features)
        edits.set(module, "output_dim", module.num_heads * module.head_dim)
    elif _is(module, _SWIN, "PatchMerging", "PatchMergingV2"):
        edits.set(module, "dim", module.reduction.in_features // 4)
    elif _is(module, _SWIN, "ShiftedWindowAttention"):
        # torchvision takes a head's size from the input's width: once they differ, a forward
        # that reads `head_dim` takes over.
        head_dim = before.get("head_dim") or module.head_dim
        if module.num_heads * head_dim != module.qkv.in_features and type(module).__module__ == _SWIN:
            from zavo import attention

            edits.set(module, "head_dim", head_dim)
            v2 = _is(module, _SWIN, "ShiftedWindowAttentionV2")
            edits.set(module, "__class__", attention.PrunedShiftedWindowAttentionV2 if v2
                      else attention.PrunedShiftedWindowAttention)
    elif isinstance(module, torch.nn.TransformerEncoderLayer):
        # Its fused fast path takes a head's size from the width too; without it, the layer calls
        # its attention's forward.
        from zavo.attention import PrunedMultiheadAttention

        if isinstance(module.self_attn, PrunedMultiheadAttention):
            edits.set(module, "activation_relu_or_gelu", 0)
    elif _is(module, "zavo.decoder", "Decoder"):
        from zavo import decoder

        edits.set(module, "config", decoder.config_of(module))
