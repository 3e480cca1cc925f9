"""Cost of dispatch, as ratios against plain Python in the same run.

    python benchmarks/bench_dispatch.py

- held wrapper call: ``w(1)`` where ``w = obj.run`` was fetched once, against
  calling the implementation directly, ``impl(obj, 1)``;
- fetch and call: ``obj.run(1)`` (the whole lookup on every fetch) against a
  plain method call.
"""

import os
import sys
import tempfile
import textwrap
import timeit

LAYOUT = {
    "benchpkg/__init__.py": "",
    "benchpkg/ops.py": """
        from orvex.abstract import LookupDecorator

        class Ops(object):
            os = "alpha"
            platform = "m2"

            @LookupDecorator("os", "platform")
            def run(self, x):
                return x

            def plain(self, x):
                return x
        """,
    "benchpkg/alpha/__init__.py": "",
    "benchpkg/alpha/ops.py": """
        class Ops(object):
            def run(self, x):
                return x
        """,
}


def build(root):
    for relative, text in LAYOUT.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as handle:
            handle.write(textwrap.dedent(text))
    sys.path.insert(0, root)


def best(stmt, namespace, number):
    return min(timeit.repeat(stmt, globals=namespace, number=number, repeat=7)) / number


def main():
    with tempfile.TemporaryDirectory() as root:
        build(root)
        from benchpkg.ops import Ops

        obj = Ops()
        held = obj.run
        impl = held.__wrapped__
        ns = {"obj": obj, "held": held, "impl": impl}
        rows = [
            ("held wrapper call", best("held(1)", ns, 200000), best("impl(obj, 1)", ns, 200000)),
            ("held wrapper call, keyword", best("held(x=1)", ns, 200000), best("impl(obj, x=1)", ns, 200000)),
            ("fetch and call", best("obj.run(1)", ns, 20000), best("obj.plain(1)", ns, 20000)),
        ]
    print("%-28s %12s %12s %8s" % ("case", "ns", "baseline ns", "ratio"))
    for name, measured, baseline in rows:
        print("%-28s %12.1f %12.1f %8.2f" % (name, measured * 1e9, baseline * 1e9, measured / baseline))


if __name__ == "__main__":
    main()
