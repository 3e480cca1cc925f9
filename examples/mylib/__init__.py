"""mylib: the abstracted package of the README's first example."""
