"""velmora: the native core of an asynchronous Python web framework."""

__version__ = "0.1.0"
