"""Helpers shared by the argument-conversion tests."""


class Index:
    """An integer through the index protocol only."""

    def __init__(self, v, hook=None):
        self.v = v
        self.hook = hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.v
