"""Faults a test can inject into the next historical-data request."""

from dataclasses import dataclass

from . import codes


@dataclass(frozen=True)
class Fault:
    """One injected misbehaviour; build it with the constructors below."""

    kind: str  # "empty", "error", "no_data", "delay" or "drop"
    code: int = 0
    message: str = ""
    seconds: float = 0.0

    @classmethod
    def empty(cls) -> "Fault":
        """Answer with a msg 17 that holds zero bars."""
        return cls("empty")

    @classmethod
    def error(cls, code: int, message: str) -> "Fault":
        """Answer with this error for the request's reqId instead of bars."""
        return cls("error", code, message)

    @classmethod
    def pacing_violation(cls) -> "Fault":
        return cls.error(codes.HMDS_ERROR, codes.PACING_VIOLATION_TEXT)

    @classmethod
    def no_data(cls) -> "Fault":
        """162 "HMDS query returned no data: <localSymbol>@<exchange> <type>"."""
        return cls("no_data", codes.HMDS_ERROR)

    @classmethod
    def delay(cls, seconds: float) -> "Fault":
        """Send the normal answer only after `seconds` (a cancel before then stops it)."""
        if seconds < 0:
            raise ValueError("delay must not be negative")
        return cls("delay", seconds=seconds)

    @classmethod
    def drop(cls) -> "Fault":
        """Close the client's connection as soon as the request arrives."""
        return cls("drop")
