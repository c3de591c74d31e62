"""The exceptions the package raises for failures of its own and the library's."""

from __future__ import annotations

__all__ = ["SqlrError", "ParamError"]


class SqlrError(Exception):
    """A failure reported by the library (its message is in .message), or a
    use of a closed Database."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ParamError(SqlrError, ValueError):
    """Values that do not fit a statement's parameters, found before the
    library is called. `.kind` is "missing", "unused", "needs_mapping" or
    "range"; `.message` the text, the same as every binding and host writes."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (type(self), (self.kind, self.message))
