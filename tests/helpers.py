"""Argument objects shared by the argument, fuzz and leak tests (leak_driver.py, which runs as a
script of its own, finds this module beside it)."""


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Floaty:
    """A number only through __float__: 2.5 unless told otherwise."""

    def __init__(self, value=2.5):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class Text(str):
    """A str subclass whose str() says something else: what is stored must be its characters."""

    def __str__(self):
        return "not what is stored"
