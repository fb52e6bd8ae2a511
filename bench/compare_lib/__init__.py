"""Helpers for bench/compare: image files, quality metrics, Bjøntegaard deltas,
peer codec drivers and the report writer."""
