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


def apply_row_overrides(case, y, w):
    """Pops "y_at" and "w_at" = (row, value) from a message-test case and
    writes them into copies of y and w; returns (case, y, w)."""
    case, y, w = dict(case), y.copy(), w.copy()
    if "y_at" in case:
        i, v = case.pop("y_at")
        y[i] = v
    if "w_at" in case:
        i, v = case.pop("w_at")
        w[i] = v
    return case, y, w
