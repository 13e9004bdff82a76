"""Quickstart: import quelt and show its version."""

import quelt

print(f"quelt {quelt.__version__}")
