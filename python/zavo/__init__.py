"""zavo: which channels of a PyTorch model can be pruned together."""
