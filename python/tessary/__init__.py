"""tessary: verifiable work receipts."""

__version__ = "0.1.0"
