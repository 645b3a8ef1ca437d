"""Signals of the test harness (minimal stand-in)."""

__all__ = ["TerminateStepSignal", "VetrunStepFailedSignal"]


class TerminateStepSignal(BaseException):
    """Raised by a step to stop itself; not an Exception, so broad handlers let it pass."""


class VetrunStepFailedSignal(Exception):
    """A step failed; built from one argument, the cause."""

    def __init__(self, cause):
        super().__init__(cause)
        self.cause = cause
