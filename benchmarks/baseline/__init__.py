# The benchmarks' pure-Python baseline: a LookupDecorator written in Python
# (pydecorator) over copies of the pure-Python siblings as they were at 8c831dd.
"""Pure-Python baseline of orvex.abstract, for the benchmarks only."""
