"""Test steps of the harness (minimal stand-in)."""

__all__ = ["Steps"]


class Steps:
    """A test step: its sub-steps and the offset of its step numbering."""

    def __init__(self, steps=None, offset=0):
        self.steps = [] if steps is None else steps
        self.offset = offset

    def __repr__(self):
        return f"Steps(steps={self.steps!r}, offset={self.offset!r})"
