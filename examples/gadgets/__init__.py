"""gadgets: an abstracted package of (invented) sensor gadgets.

The root package holds the generic code. Each token package below it holds
the code for one operating system (``vexos``, ``quill``), and token packages
below those hold the code for one platform of that system (``vexos/k7``).
"""
