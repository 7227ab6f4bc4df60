"""The package's version: the project's (CMake checks that they agree)."""

__version__ = "1.0.0"
