"""Calls to a tolvane daemon through its RabbitMQ broker.

    client = tolvane.Client.from_settings("/opt/tolvane/cfg/mq.conf")
    reply = client.call({"comtype": "echo", "nfunc": "say", "text": "hi"}, timeout=10)

Client is blocking (pika), one per thread; AsyncClient (aio-pika) carries many calls at once.
"""
from .errors import BadArgument, BrokerError, Error, Timeout
from .options import Options, read_settings
from .wire import Reply
from .client import Client

__version__ = "0.1.0"


def __getattr__(name):
    # aio-pika is needed only by those who use the asyncio client.
    if name == "AsyncClient":
        from .aio import AsyncClient
        return AsyncClient
    raise AttributeError(name)


__all__ = ["AsyncClient", "BadArgument", "BrokerError", "Client", "Error", "Options", "Reply",
           "Timeout", "read_settings"]
