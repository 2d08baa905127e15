"""Small helpers of the framework."""

from __future__ import annotations

__all__ = ["get_class_instance_hierarchy"]


def get_class_instance_hierarchy(instance: object) -> tuple[type, ...]:
    """The class of `instance` followed by its bases in method resolution order."""
    return type(instance).__mro__
