# mylib/ops.py: the generic code
from orvex.abstract import LookupDecorator


class Ops:
    def __init__(self, os):
        self.os = os

    @LookupDecorator('os')
    def run(self):
        return 'generic run'

    @LookupDecorator('os')
    def stop(self):
        return 'generic stop'
