"""Run-time settings of the framework, changed by assigning from Python."""

from velmora.settings.encodings import encodings_settings
from velmora.settings.json import json_settings
from velmora.settings.limits import limits

__all__ = ["encodings_settings", "json_settings", "limits"]
