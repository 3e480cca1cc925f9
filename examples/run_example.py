"""Show which implementation each call reaches.

Run from anywhere once the package is installed:

    python examples/run_example.py
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gadgets.sensor import Board, Sensor  # noqa: E402

# The board's settings choose the token order for from_device methods.
BY_PLATFORM = {"abstraction": {"order": ["os", "platform"]}}

SENSORS = [
    Sensor("thermo-1", "vexos", Board("k7")),
    Sensor("thermo-2", "vexos", Board("m2")),
    Sensor("thermo-3", "quill", Board("k7")),
    Sensor("thermo-4", "plainos", Board("k7")),
    Sensor("thermo-5", "vexos", Board("k7", custom=BY_PLATFORM)),
]


def main():
    for sensor in SENSORS:
        print("%-9s os=%-8s platform=%-3s settings=%s" % (
            sensor.name, sensor.os, sensor.device.platform,
            "yes" if sensor.device.custom else "no"))
        print("    read      -> %s" % sensor.read())
        print("    describe  -> %s" % sensor.describe())
        print("    blink     -> %s" % sensor.blink())
    for os_name in ("vexos", "quill"):
        calibration = Sensor.Calibration(os_name)
        print("Calibration os=%-6s apply -> %s" % (os_name, calibration.apply()))


if __name__ == "__main__":
    main()
