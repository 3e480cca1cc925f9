"""Sensor code for the quill operating system."""

from gadgets import sensor as generic


class Sensor(generic.Sensor):
    def read(self):
        return "quill read"
