"""Analyses: the preranked one, the checks of its input, running many
rankings at once, and the validation of the engine."""
