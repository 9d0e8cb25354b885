"""Prints a small model canonically and as JSON through the _quarvel module."""
import _quarvel

print(_quarvel.__all__)
