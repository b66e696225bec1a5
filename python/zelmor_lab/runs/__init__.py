"""Stored runs: the record store, its index of games, replaying and exporting them, and the atomic
writes every file of a run goes through."""
