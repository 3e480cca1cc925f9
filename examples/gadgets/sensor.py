"""Generic sensor code: what every gadget does unless its tokens select
something more specific."""

from orvex.abstract import LookupDecorator


class Board(object):
    """The hardware a sensor sits on; tokens not found on the sensor itself
    are read from here."""

    def __init__(self, platform, custom=None):
        self.platform = platform
        self.custom = custom or {}


class Sensor(object):
    def __init__(self, name, os, board):
        self.name = name
        self.os = os
        self.device = board  # 'platform' is found here, not on the sensor

    @LookupDecorator("os", "platform")
    def read(self):
        return "generic read"

    @LookupDecorator("os")
    def describe(self):
        # Generic only: no token package overrides it.
        return "generic describe"

    @LookupDecorator.from_device("os")
    def blink(self):
        # Tokens come from the board's settings when it lists any,
        # else from 'os' alone.
        return "generic blink"

    class Calibration(object):
        def __init__(self, os):
            self.os = os
            self.platform = None

        @LookupDecorator("os", "platform")
        def apply(self):
            return "generic calibration"
