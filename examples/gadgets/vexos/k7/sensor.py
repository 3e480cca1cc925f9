"""Sensor code for vexos on the k7 platform."""

from gadgets.vexos import sensor as vexos


class Sensor(vexos.Sensor):
    def read(self):
        return "vexos/k7 read"

    def blink(self):
        return "vexos/k7 blink"
