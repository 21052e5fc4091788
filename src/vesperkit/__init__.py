"""vesperkit: a memory layer for conversational assistants (native core)."""

__version__ = "0.1.0"
