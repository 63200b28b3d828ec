"""Removing channel slices from a real model.

A channel is a (parameter or buffer name, dimension, index) slice, given as a
dict `{"node", "dim", "index"}` (a report file's form) or a `Channel` tuple.
`prune_slices` removes slices from the tensors, everywhere a tensor is held
(tied weights included), and then makes every layer attribute that counts
channels agree with the new tensors.
"""

import torch

# Layer attributes that count channels; `pruned_counts` and the pruning proof restore them.
CHANNEL_COUNTS = ("in_channels", "out_channels", "groups", "num_features", "in_features", "out_features",
                  "normalized_shape", "num_channels", "num_embeddings", "embedding_dim")


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


def describe_slices(channels):
    parts = []
    for name, dims in slices_by_tensor(channels).items():
        for dim, indices in dims.items():
            parts.append("%s dim %d %s" % (name, dim, indices))
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


def prune_slices(model, channels, replaced=None):
    """Remove every slice and update the layers' channel counts.

    `replaced` collects (table, attribute, original tensor) for each tensor swapped out.
    """
    holders = _holders(model)
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
                table = module._parameters if is_parameter else module._buffers
                if replaced is not None:
                    replaced.append((table, attr, tensor))
                table[attr] = new
    for module in model.modules():
        update_channel_counts(module)


def update_channel_counts(module):
    """Make the attributes that count channels agree with the (pruned) tensors."""
    nn = torch.nn
    if isinstance(module, nn.modules.conv._ConvNd):
        weight = module.weight
        depthwise = module.groups > 1 and module.groups == module.in_channels == module.out_channels
        full = weight.shape[0]  # input channels when transposed, output channels otherwise
        if depthwise:
            module.groups = module.in_channels = module.out_channels = full
        elif module.transposed:
            module.in_channels = full
            module.out_channels = weight.shape[1] * module.groups
        else:
            module.out_channels = full
            module.in_channels = weight.shape[1] * module.groups
    elif isinstance(module, nn.modules.batchnorm._NormBase):
        source = module.weight if module.weight is not None else module.running_mean
        if source is not None:
            module.num_features = source.shape[0]
    elif isinstance(module, nn.Linear):
        module.out_features, module.in_features = module.weight.shape
    elif isinstance(module, nn.LayerNorm) and module.weight is not None:
        module.normalized_shape = tuple(module.weight.shape)
    elif isinstance(module, nn.GroupNorm) and module.weight is not None:
        module.num_channels = module.weight.shape[0]
    elif isinstance(module, nn.Embedding):
        module.num_embeddings, module.embedding_dim = module.weight.shape
