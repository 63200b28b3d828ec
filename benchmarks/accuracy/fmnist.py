"""Fashion-MNIST from Debian's dataset-fashion-mnist, the two networks the benchmark prunes,
and seeded training and evaluation loops."""

import gzip
import os

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

DATA_DIR = "/usr/share/datasets/fashion-mnist"
MEAN, STD = 0.2860, 0.3530


def _read_idx(path):
    with gzip.open(path, "rb") as stream:
        raw = stream.read()
    dims = raw[3]
    shape = [int.from_bytes(raw[4 + 4 * i:8 + 4 * i], "big") for i in range(dims)]
    return np.frombuffer(raw, dtype=np.uint8, offset=4 + 4 * dims).reshape(shape)


def load(split, data_dir=DATA_DIR):
    """(images as float (N, 1, 28, 28) normalised, labels as long (N,)) of "train" or "t10k"."""
    images = _read_idx(os.path.join(data_dir, "%s-images-idx3-ubyte.gz" % split))
    labels = _read_idx(os.path.join(data_dir, "%s-labels-idx1-ubyte.gz" % split))
    x = (torch.from_numpy(images.copy()).float().div_(255.0).sub_(MEAN).div_(STD)).unsqueeze(1)
    return x, torch.from_numpy(labels.astype(np.int64))


class Block(nn.Module):
    """A basic residual block: two 3x3 convolutions; a 1x1 projection when the shape changes."""

    def __init__(self, cin, cout, stride):
        super().__init__()
        self.conv1 = nn.Conv2d(cin, cout, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(cout)
        self.conv2 = nn.Conv2d(cout, cout, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(cout)
        self.shortcut = None
        if stride != 1 or cin != cout:
            self.shortcut = nn.Sequential(nn.Conv2d(cin, cout, 1, stride, bias=False), nn.BatchNorm2d(cout))

    def forward(self, x):
        y = self.bn2(self.conv2(F.relu(self.bn1(self.conv1(x)))))
        return F.relu(y + (x if self.shortcut is None else self.shortcut(x)))


class ResNet(nn.Module):
    """Stem, three stages of one residual block (28, 14, 7 pixels), pooled linear head."""

    def __init__(self, widths=(8, 16, 32), classes=10):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(1, widths[0], 3, 1, 1, bias=False), nn.BatchNorm2d(widths[0]), nn.ReLU())
        self.layer1 = Block(widths[0], widths[0], 1)
        self.layer2 = Block(widths[0], widths[1], 2)
        self.layer3 = Block(widths[1], widths[2], 2)
        self.fc = nn.Linear(widths[2], classes)

    def forward(self, x):
        x = self.layer3(self.layer2(self.layer1(self.stem(x))))
        return self.fc(torch.flatten(F.adaptive_avg_pool2d(x, 1), 1))


def _conv_bn_relu(cin, cout):
    return [nn.Conv2d(cin, cout, 3, padding=1, bias=False), nn.BatchNorm2d(cout), nn.ReLU()]


class VGG(nn.Module):
    """Three stages of two conv-bn-relu and a max pool, a two-layer classifier."""

    def __init__(self, widths=(8, 16, 32), hidden=64, classes=10):
        super().__init__()
        a, b, c = widths
        self.features = nn.Sequential(
            *_conv_bn_relu(1, a), *_conv_bn_relu(a, a), nn.MaxPool2d(2),
            *_conv_bn_relu(a, b), *_conv_bn_relu(b, b), nn.MaxPool2d(2),
            *_conv_bn_relu(b, c), *_conv_bn_relu(c, c), nn.MaxPool2d(2))
        self.classifier = nn.Sequential(nn.Flatten(), nn.Linear(c * 9, hidden), nn.ReLU(), nn.Linear(hidden, classes))

    def forward(self, x):
        return self.classifier(self.features(x))


NETWORKS = {"resnet": ResNet, "vgg": VGG}


def batches(x, y, batch_size, steps, seed):
    """`steps` shuffled batches, epoch after epoch, the same for the same seed."""
    generator = torch.Generator().manual_seed(seed)
    order = torch.empty(0, dtype=torch.long)
    for _ in range(steps):
        if len(order) < batch_size:
            order = torch.cat([order, torch.randperm(len(x), generator=generator)])
        index, order = order[:batch_size], order[batch_size:]
        yield x[index], y[index]


def train(model, stream, lr, weight_decay=5e-4, warmup=0, teacher=None, schedule=None, penalty=None):
    """SGD with Nesterov momentum over the batches of `stream` (a list), a linear warm-up of
    `warmup` steps and a cosine decay to 0 at its end; the model is left in evaluation mode.
    With `teacher` (a `zavo.Distiller`) the loss is its distillation loss, not cross entropy.
    `schedule` = (first step, steps) makes `stream` that part of a longer schedule, which a
    later call goes on with; `penalty(share of stream done)` is added to the loss."""
    model.train()
    optimizer = torch.optim.SGD(model.parameters(), lr=lr, momentum=0.9, nesterov=True, weight_decay=weight_decay)
    first, steps = schedule or (0, len(stream))

    def rate(step):
        if step < warmup:
            return (step + 1) / warmup
        return 0.5 * (1 + np.cos(np.pi * (step - warmup) / max(1, steps - warmup)))

    rates = torch.optim.lr_scheduler.LambdaLR(optimizer, lambda step: rate(first + step))
    for i, (xb, yb) in enumerate(stream):
        optimizer.zero_grad(set_to_none=True)
        outputs = model(xb)
        loss = F.cross_entropy(outputs, yb) if teacher is None else teacher.loss(outputs, xb, yb)
        (loss if penalty is None else loss + penalty((i + 1) / len(stream))).backward()
        optimizer.step()
        rates.step()
    model.eval()
    return model


def accuracy(model, data, batch_size=1000):
    """Test accuracy in percent, in evaluation mode."""
    x, y = data
    model.eval()
    correct = 0
    with torch.no_grad():
        for i in range(0, len(x), batch_size):
            correct += (model(x[i:i + batch_size]).argmax(1) == y[i:i + batch_size]).sum().item()
    return 100.0 * correct / len(x)
