# mylib/alpha/ops.py: the code for objects whose os is 'alpha'
from mylib.ops import Ops as GenericOps


def banner(ops):
    # A helper for the methods below: a function of the module, not a method.
    return 'alpha run (os %s)' % ops.os


class Ops(GenericOps):
    def run(self):
        # self is the object fetched through, a mylib.ops.Ops: the generic
        # code is reached through the generic class.
        return banner(self) + ', then ' + GenericOps.run(self)
