"""Players and matches without the self-play pipeline: the heuristic and random players, the tree
search player, seat-balanced matches and their payoffs."""
