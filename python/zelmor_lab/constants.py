"""The numbers every layer of the toolkit agrees on with the rules and the engine."""

PLANES = 5  # input planes of a position: the four players' squares from the player to act, then its legal tiles
PLAYERS = 4
HAND_SQUARES = 89  # squares of the 21 pieces of one player
STANDARD_DIM = 20  # the standard board side; the engine plays every match between two networks on it
