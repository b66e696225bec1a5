"""The network and its training: the model and its checkpoints, the training window of stored games, the
trainer."""
