"""Log handlers managed by the package (minimal stand-in)."""

from . import tasklog

__all__ = ["tasklog"]
