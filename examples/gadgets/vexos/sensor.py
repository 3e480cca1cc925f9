"""Sensor code for the vexos operating system.

The class derives from the generic one, so what it does not override (here
``describe``) falls back to the generic code.
"""

from gadgets import sensor as generic


class Sensor(generic.Sensor):
    def read(self):
        return "vexos read"

    def blink(self):
        return "vexos blink"

    class Calibration(generic.Sensor.Calibration):
        def apply(self):
            return "vexos calibration"
