"""What a call can fail with; each says why in its text."""


class Error(Exception):
    """Any failure of a call."""


class Timeout(Error):
    """No reply in time (the daemon not running, or slow)."""


class BrokerError(Error):
    """The broker is unreachable, refused the login, a declaration or the request, or the
    connection broke while the call was in flight. `where` is the broker's host:port."""

    def __init__(self, text, where=""):
        super().__init__(text)
        self.where = where


class BadArgument(Error, ValueError):
    """A record or option the request cannot carry; nothing was sent."""
