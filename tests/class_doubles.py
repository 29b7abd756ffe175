"""Test doubles derived from corvane's classes (importing this module imports corvane)."""

from corvane.do_mod.packets import Request


class SubRequest(Request):
    """A Python subclass of a union."""
