"""Measured forward-pass latency: what pruning buys on this machine, as opposed to what the
multiply-accumulates promise."""

import statistics
import time

import torch


def _batched(inputs, batch_size):
    """The inputs with their first sample repeated `batch_size` times along the first dimension."""
    def one(value):
        if isinstance(value, torch.Tensor) and value.dim() > 0:
            return value[:1].expand(batch_size, *value.shape[1:]).contiguous()
        return value

    return tuple(one(v) for v in inputs)


def measure_latency(model, example_inputs, threads=1, batch_sizes=(1, 64), warmup=5, repeat=30):
    """{batch size: median wall seconds of one forward pass} in evaluation mode, without gradients.

    Each batch is the first sample of every input tensor repeated along the
    first dimension.  `warmup` passes are run first and dropped, then the
    median of `repeat` is kept.  PyTorch runs on `threads` threads meanwhile;
    the model's mode and the thread count are restored afterwards.
    """
    if not isinstance(threads, int) or threads < 1:
        raise ValueError("threads must be a positive integer, not %r" % (threads,))
    if not batch_sizes or any(not isinstance(b, int) or b < 1 for b in batch_sizes):
        raise ValueError("batch_sizes must be positive integers, not %r" % (batch_sizes,))
    if warmup < 0 or repeat < 1:
        raise ValueError("warmup must be at least 0 and repeat at least 1")
    inputs = (example_inputs,) if isinstance(example_inputs, torch.Tensor) else tuple(example_inputs)
    mode, before = model.training, torch.get_num_threads()
    model.eval()
    torch.set_num_threads(threads)
    result = {}
    try:
        with torch.no_grad():
            for batch_size in batch_sizes:
                batch = _batched(inputs, batch_size)
                for _ in range(warmup):
                    model(*batch)
                times = []
                for _ in range(repeat):
                    start = time.perf_counter()
                    model(*batch)
                    times.append(time.perf_counter() - start)
                result[batch_size] = statistics.median(times)
    finally:
        torch.set_num_threads(before)
        model.train(mode)
    return result
