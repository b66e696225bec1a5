"""The training loop: generation after generation of self-play, training and strength matches, with the
plan it keeps for life, its records and network 0's warm start."""
