"""The shipped model zoo and the one way every tool builds a named model.

`ZOO` maps a name to its entry (builder, input size, train mode, input maker).
`build(name, seed)` returns the same weights and the same input for the same
seed, so a graph exported from a model and a later pruning check run on the
very same model.  `LARGE` holds full-size configurations that are not shipped
(build them on the `meta` device to export their graphs).  Other names are
torchvision builders (random weights, never downloaded; each family gets its
own example input: `torchvision_entry`) or `module:function` for a model of
your own.
"""

import importlib
import inspect
from collections import namedtuple

import torch
from torch import nn
import torch.nn.functional as F

from zavo import decoder

Built = namedtuple("Built", "model inputs train")
# `inputs(size, device)` makes the example input (one argument, or a tuple of them); None draws a
# normal tensor.  A builder that takes `input_size` is given the size.
Entry = namedtuple("Entry", "builder input_size train inputs", defaults=(None,))


class ModelError(Exception):
    """A model name that cannot be built; the message says why."""


def _conv_bn_relu(cin, cout):
    return nn.Sequential(nn.Conv2d(cin, cout, 3, padding=1, bias=False), nn.BatchNorm2d(cout), nn.ReLU(inplace=True))


class TinyCNN(nn.Module):
    """conv-bn-relu-conv: the smallest model with prunable channels."""

    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 4, 3, padding=1)
        self.bn = nn.BatchNorm2d(4)
        self.relu = nn.ReLU()
        self.conv2 = nn.Conv2d(4, 2, 3, padding=1)

    def forward(self, x):
        return self.conv2(self.relu(self.bn(self.conv1(x))))


class TinyUNet(nn.Module):
    """Two-level encoder-decoder: transposed-convolution upsampling, concatenated skips."""

    def __init__(self, cin=3, classes=2, width=8):
        super().__init__()
        self.enc1 = _conv_bn_relu(cin, width)
        self.enc2 = _conv_bn_relu(width, 2 * width)
        self.bottleneck = _conv_bn_relu(2 * width, 4 * width)
        self.up2 = nn.ConvTranspose2d(4 * width, 2 * width, 2, stride=2)
        self.dec2 = _conv_bn_relu(4 * width, 2 * width)
        self.up1 = nn.ConvTranspose2d(2 * width, width, 2, stride=2)
        self.dec1 = _conv_bn_relu(2 * width, width)
        self.head = nn.Conv2d(width, classes, 1)

    def forward(self, x):
        e1 = self.enc1(x)
        e2 = self.enc2(F.max_pool2d(e1, 2))
        b = self.bottleneck(F.max_pool2d(e2, 2))
        d2 = self.dec2(torch.cat([self.up2(b), e2], dim=1))
        d1 = self.dec1(torch.cat([self.up1(d2), e1], dim=1))
        return self.head(d1)


class TinyTransformer(nn.Module):
    """One pre-norm transformer block over (batch, tokens, features) and a mean-pooled head."""

    def __init__(self, features=32, width=48, heads=4, hidden=96, classes=10):
        super().__init__()
        # The attention's sizes come from these attributes, never from an input's shape: a
        # pruner that removes heads updates them, and the residual width is free of them.
        self.heads, self.head_dim = heads, width // heads
        self.embed = nn.Linear(features, width)
        self.norm1 = nn.LayerNorm(width)
        self.qkv = nn.Linear(width, 3 * width)
        self.proj = nn.Linear(width, width)
        self.norm2 = nn.LayerNorm(width)
        self.fc1 = nn.Linear(width, hidden)
        self.fc2 = nn.Linear(hidden, width)
        self.head = nn.Linear(width, classes)

    def attention(self, x):
        b, t, _ = x.shape
        q, k, v = self.qkv(x).chunk(3, dim=-1)
        q, k, v = (z.reshape(b, t, self.heads, self.head_dim).transpose(1, 2) for z in (q, k, v))
        weights = F.softmax(q @ k.transpose(-2, -1) / self.head_dim ** 0.5, dim=-1)
        return self.proj((weights @ v).transpose(1, 2).reshape(b, t, self.heads * self.head_dim))

    def forward(self, x):
        x = self.embed(x)
        x = x + self.attention(self.norm1(x))
        x = x + self.fc2(F.gelu(self.fc1(self.norm2(x))))
        return self.head(x.mean(dim=1))


class DropoutCNN(nn.Module):
    """A small CNN traced in training mode, with dropout after convolutions and before the head."""

    def __init__(self, classes=10):
        super().__init__()
        self.features = nn.Sequential(
            _conv_bn_relu(3, 8),
            nn.Dropout(0.2),
            nn.MaxPool2d(2),
            _conv_bn_relu(8, 16),
            nn.Dropout(0.2),
        )
        self.fc1 = nn.Linear(16, 32)
        self.drop = nn.Dropout(0.5)
        self.fc2 = nn.Linear(32, classes)

    def forward(self, x):
        x = torch.flatten(F.adaptive_avg_pool2d(self.features(x), 1), 1)
        return self.fc2(self.drop(F.relu(self.fc1(x))))


def _torchvision(name, **extra):
    """The builder of torchvision's `name`, with `extra` options for the model."""

    def builder(input_size=None):
        import torchvision

        make = torchvision.models.get_model_builder(name)
        return make(**_torchvision_options(name, make, input_size), **extra)

    return builder


# torchvision's model families beside classification, named after their package.
FAMILIES = ("detection", "segmentation", "video", "optical_flow", "quantization")


def torchvision_family(builder):
    """`classification` or the family package of a torchvision builder (`detection`, ...)."""
    parts = builder.__module__.split(".")
    return parts[2] if len(parts) > 3 and parts[2] in FAMILIES else "classification"


def _image_list(size, device=None):
    """A detector's input: a list of one image of `size` (channels, height, width), values in [0, 1)."""
    return [torch.rand(size[-3:], device=device)]


def _image_pair(size, device=None):
    """An optical-flow model's input: two images."""
    return torch.randn(size, device=device), torch.randn(size, device=device)


# Per family: the default input size and its maker (None: one normal tensor).
_FAMILY_INPUTS = {
    "classification": ((1, 3, 64, 64), None),
    "quantization": ((1, 3, 64, 64), None),
    "segmentation": ((1, 3, 64, 64), None),
    "video": ((1, 3, 8, 64, 64), None),
    # The correlation pyramid's fourth level needs 2x2 features at 1/64 of the image's side.
    "optical_flow": ((1, 3, 128, 128), _image_pair),
    "detection": ((3, 200, 200), _image_list),
}
# Builders whose layers fix the input's size (position embeddings, window partitions, pooling
# kernels that need a least size).
_INPUT_SIZES = {
    "inception_v3": (1, 3, 96, 96),
    "maxvit_t": (1, 3, 224, 224),
    "mvit_v1_b": (1, 3, 16, 224, 224),
    "mvit_v2_s": (1, 3, 16, 224, 224),
    "s3d": (1, 3, 16, 224, 224),
    "vit_b_16": (1, 3, 224, 224),
    "vit_b_32": (1, 3, 224, 224),
    "vit_h_14": (1, 3, 112, 112),
    "vit_l_16": (1, 3, 224, 224),
    "vit_l_32": (1, 3, 224, 224),
}


# Builders given a smaller configuration than their default: a ViT-H/14 of 632M parameters at
# 224x224 takes about an hour of processor time through the sweep; at 112x112, a quarter.
_BUILDER_OPTIONS = {"vit_h_14": {"image_size": 112}}


def _torchvision_options(name, make, input_size):
    """The builder's arguments: no weights (and no pretrained backbone), and for a detector
    that resizes its images, the example image's own size (so that a small image is not scaled
    up to 800 pixels)."""
    parameters = inspect.signature(make).parameters
    options = dict(_BUILDER_OPTIONS.get(name, {}), weights=None)
    if "weights_backbone" in parameters:
        options["weights_backbone"] = None
    module = make.__module__.rsplit(".", 1)[-1]
    if torchvision_family(make) == "detection" and module not in ("ssd", "ssdlite"):
        side = max((input_size or _FAMILY_INPUTS["detection"][0])[-2:])
        options.update(min_size=side, max_size=side)
    return options


def family(name):
    """The torchvision family of a builder's name, else `zoo` for the zoo's own models and
    `custom` for `module:function`."""
    import torchvision

    if name in torchvision.models.list_models():
        return torchvision_family(torchvision.models.get_model_builder(name))
    return "zoo" if name in ZOO or name in LARGE else "custom"


def torchvision_entry(name):
    """The entry of a torchvision builder: its family's input, or the size its layers need."""
    import torchvision

    make = torchvision.models.get_model_builder(name)
    size, inputs = _FAMILY_INPUTS[torchvision_family(make)]
    return Entry(_torchvision(name), _INPUT_SIZES.get(name, size), False, inputs)


def _decoder(config_name):
    config = decoder.CONFIGS[config_name]

    def builder(device=None):
        return decoder.Decoder(config, device=device)

    def tokens(size, device=None):
        return torch.randint(config.vocab_size, size, device=device)

    return builder, tokens


_TINY_DECODER, _TINY_TOKENS = _decoder("tiny")
_DECODER_7B, _TOKENS_7B = _decoder("7b")

ZOO = {
    "tiny_cnn": Entry(TinyCNN, (1, 3, 8, 8), False),
    "resnet18": Entry(_torchvision("resnet18"), (1, 3, 64, 64), False),
    "mobilenet_v2": Entry(_torchvision("mobilenet_v2"), (1, 3, 64, 64), False),
    "densenet121": Entry(_torchvision("densenet121"), (1, 3, 64, 64), False),
    "shufflenet_v2_x0_5": Entry(_torchvision("shufflenet_v2_x0_5"), (1, 3, 64, 64), False),
    "tiny_unet": Entry(TinyUNet, (1, 3, 32, 32), False),
    "tiny_transformer": Entry(TinyTransformer, (1, 16, 32), False),
    "dropout_cnn": Entry(DropoutCNN, (1, 3, 32, 32), True),
    "tiny_decoder": Entry(_TINY_DECODER, (1, 16), False, _TINY_TOKENS),
    "lraspp_mobilenet_v3_large": Entry(_torchvision("lraspp_mobilenet_v3_large"), (1, 3, 64, 64), False),
    # A detector that keeps 20 region proposals, so that its box head stays small.
    "fasterrcnn_mobilenet_v3_large_320_fpn": Entry(
        _torchvision("fasterrcnn_mobilenet_v3_large_320_fpn", rpn_pre_nms_top_n_test=100, rpn_post_nms_top_n_test=20),
        (3, 128, 128), False, _image_list),
}

# Full-size configurations, not shipped: build them with device="meta".
LARGE = {
    "decoder_7b": Entry(_DECODER_7B, (1, 128), False, _TOKENS_7B),
}

DEFAULT_INPUT_SIZE = (1, 3, 64, 64)


def _entry(name):
    if name in ZOO:
        return ZOO[name]
    if name in LARGE:
        return LARGE[name]
    if ":" in name:
        module_name, _, attr = name.partition(":")
        try:
            builder = getattr(importlib.import_module(module_name), attr)
        except (ImportError, AttributeError) as error:
            raise ModelError("cannot load model %s: %s" % (name, error)) from None
        return Entry(builder, None, False)
    import torchvision

    if name not in torchvision.models.list_models():
        raise ModelError("unknown model %s: not in the zoo (%s) nor a torchvision model builder" % (
            name, ", ".join(ZOO)))
    return torchvision_entry(name)


def _takes(builder, parameter):
    try:
        return parameter in inspect.signature(builder).parameters
    except (TypeError, ValueError):
        return False


def _randomise_norms(model):
    """Give normalisation layers non-trivial statistics and affine terms.

    Fresh layers compute the identity on zeroed channels; random values make a
    pruning check notice a channel that is removed on one side only.
    """
    for module in model.modules():
        if isinstance(module, nn.modules.batchnorm._BatchNorm) and module.track_running_stats:
            module.running_mean.uniform_(-0.5, 0.5)
            module.running_var.uniform_(0.5, 1.5)
        if isinstance(module, (nn.modules.batchnorm._BatchNorm, nn.LayerNorm, nn.GroupNorm)):
            if getattr(module, "weight", None) is not None:
                module.weight.data.uniform_(0.5, 1.5)
            if getattr(module, "bias", None) is not None:
                module.bias.data.uniform_(-0.5, 0.5)


def build(name, seed=0, input_size=None, train=None, device=None, entry=None):
    """Build model `name` with `seed`: returns Built(model, inputs, train).

    With `device`, the model and its input live there; a builder that takes a
    `device` argument creates its weights there directly (on `meta`, none is
    allocated), any other is built on the CPU and moved.  `entry` builds from
    that `Entry` instead of the one the name finds (`torchvision_entry(name)`:
    a torchvision builder as torchvision makes it, where the zoo keeps a
    smaller configuration under the same name).
    """
    builder, default_size, default_train, make_input = entry or _entry(name)
    size = tuple(input_size or default_size or DEFAULT_INPUT_SIZE)
    train = default_train if train is None else train
    torch.manual_seed(seed)
    options = {"input_size": size} if _takes(builder, "input_size") else {}
    if device is not None and _takes(builder, "device"):
        options["device"] = device
    try:
        model = builder(**options)
    except Exception as error:
        raise ModelError("cannot build model %s: %s: %s" % (name, type(error).__name__, error)) from None
    if not isinstance(model, nn.Module):
        raise ModelError("model %s: the builder returned %s, not an nn.Module" % (name, type(model).__name__))
    if device is not None:
        model = model.to(device)
    with torch.no_grad():
        _randomise_norms(model)
    model.train(train)
    example = make_input(size, device) if make_input else torch.randn(size, device=device)
    return Built(model, example if isinstance(example, tuple) else (example,), train)


def versions():
    import torchvision

    return {"torchvision": torchvision.__version__}
