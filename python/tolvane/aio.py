"""The asyncio client, on aio-pika: many calls in flight over one connection."""
import asyncio

import aio_pika
import aio_pika.exceptions

from .client import where_of
from .errors import BrokerError, Timeout
from .options import Options, read_settings, ssl_context, with_keys
from .wire import build_request, deadline_header, decode_result, new_guid, records_of


class AsyncClient:
    """AsyncClient(queue="...", server=..., ...) takes the keys of mq.conf, as Client does."""

    def __init__(self, options=None, **keys):
        self.options = with_keys(options or Options(), keys)
        self._connection = None
        self._channel = None
        self._opening = asyncio.Lock()
        self._pending = {}  # guid -> future of its Reply

    @classmethod
    def from_settings(cls, path, **keys):
        return cls(read_settings(path), **keys)

    async def call(self, records, timeout=10, queue=None):
        """Sends one request (a dict: one record; a list: a chain) to `queue` (default: the
        options') and returns its Reply."""
        queue = queue or self.options.queue
        guid = new_guid()
        body = build_request(guid, self.options.platform, records_of(records))
        headers = deadline_header(timeout)
        where = where_of(self.options)
        future = asyncio.get_running_loop().create_future()
        try:
            async with asyncio.timeout(timeout):
                channel = await self._open()
                self._pending[guid] = future
                await channel.default_exchange.publish(
                    aio_pika.Message(body, headers=headers), routing_key=queue, mandatory=True)
                return await future
        except (asyncio.TimeoutError, TimeoutError):
            raise Timeout("no reply to request %s within %g s (is the daemon running and "
                          "consuming queue \"%s\"?)" % (guid, timeout, queue)) from None
        except aio_pika.exceptions.DeliveryError as e:
            raise BrokerError("broker %s: the request was returned (%d %s): no queue \"%s\""
                              % (where, e.message.reply_code or 0, e.message.reply_text or "",
                                 queue), where) from None
        except (aio_pika.exceptions.AMQPException, ConnectionError, OSError) as e:
            await self._lost(e)
            raise BrokerError("broker %s: %s" % (where, e or type(e).__name__), where) from None
        finally:
            self._pending.pop(guid, None)

    async def _open(self):
        async with self._opening:
            if self._connection is not None and not self._connection.is_closed and \
                    not self._channel.is_closed:
                return self._channel
            await self._lost(None)
            self._connection = await self._connect()
            self._connection.close_callbacks.add(self._on_close)
            channel = await self._connection.channel(on_return_raises=True)
            platform = self.options.platform
            exchange = await channel.declare_exchange(platform, aio_pika.ExchangeType.DIRECT)
            queue = await channel.declare_queue("", exclusive=True, auto_delete=True)
            await queue.bind(exchange, routing_key=platform)
            await queue.consume(self._on_reply, no_ack=True)
            self._channel = channel
            return channel

    async def _connect(self):
        o, failure = self.options, None
        for host, port in o.hosts():  # in turn, as the daemon walks its list
            try:
                return await aio_pika.connect(
                    host=host, port=port, login=o.userName, password=o.password(),
                    virtualhost=o.vhost, ssl=o.tls, ssl_context=ssl_context(o),
                    timeout=o.connect_timeout, frame_max=o.frame_max, heartbeat=0)
            except (aio_pika.exceptions.AMQPException, ConnectionError, OSError,
                    asyncio.TimeoutError) as e:
                failure = e
        raise ConnectionError(str(failure) or type(failure).__name__)

    def _on_reply(self, message):
        reply = decode_result(message.body)
        future = self._pending.get(reply.guid)
        if future is not None and not future.done():
            future.set_result(reply)

    def _on_close(self, sender, error):
        if sender is self._connection:
            self._connection = None
        self._fail_all(error)

    def _fail_all(self, error):
        where = where_of(self.options)
        for future in self._pending.values():
            if not future.done():
                future.set_exception(BrokerError(
                    "broker %s: connection lost: %s" % (where, error or "closed"), where))

    async def _lost(self, error):
        connection, self._connection = self._connection, None
        self._fail_all(error)
        if connection is not None and not connection.is_closed:
            await connection.close()

    async def close(self):
        connection, self._connection = self._connection, None
        if connection is not None and not connection.is_closed:
            await connection.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *_):
        await self.close()

