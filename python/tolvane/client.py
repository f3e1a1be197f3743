"""The blocking client, on pika: one connection, used by one thread at a time."""
import time

import pika
import pika.exceptions

from .errors import BrokerError, Timeout
from .options import Options, read_settings, ssl_context, with_keys
from .wire import build_request, deadline_header, decode_result, new_guid, records_of, \
    request_guid


def connection_parameters(options):
    credentials = pika.PlainCredentials(options.userName, options.password())
    context = ssl_context(options)
    return [pika.ConnectionParameters(
        host=host, port=port, virtual_host=options.vhost, credentials=credentials,
        frame_max=options.frame_max, heartbeat=0, socket_timeout=options.connect_timeout,
        blocked_connection_timeout=options.connect_timeout,
        ssl_options=pika.SSLOptions(context, host) if context else None,
        connection_attempts=1) for host, port in options.hosts()]


def where_of(options):
    return ",".join("%s:%d" % hp for hp in options.hosts())


class Client:
    """Client(queue="...", server=..., port=..., ...) takes the keys of mq.conf."""

    def __init__(self, options=None, **keys):
        self.options = with_keys(options or Options(), keys)
        self._connection = None
        self._channel = None
        self._replies = {}  # guid -> Reply, for calls waiting
        self._returned = {}  # guid -> why the broker returned the request

    @classmethod
    def from_settings(cls, path, **keys):
        return cls(read_settings(path), **keys)

    def call(self, records, timeout=10, queue=None):
        """Sends one request (a dict: one record; a list: a chain) to `queue` (default: the
        options') and returns its Reply."""
        queue = queue or self.options.queue
        guid = new_guid()
        body = build_request(guid, self.options.platform, records_of(records))
        properties = pika.BasicProperties(headers=deadline_header(timeout))
        try:
            self._open()
            self._replies[guid] = None
            self._channel.basic_publish("", queue, body, properties, mandatory=True)
            return self._await(guid, time.monotonic() + timeout, timeout, queue)
        except pika.exceptions.AMQPError as e:
            self.close()
            raise BrokerError("broker %s: %s" % (where_of(self.options), _text(e)),
                              where_of(self.options)) from None
        finally:
            self._replies.pop(guid, None)
            self._returned.pop(guid, None)

    def _await(self, guid, deadline, timeout, queue):
        while self._replies[guid] is None:
            if guid in self._returned:
                raise BrokerError("broker %s: the request was returned (%s): no queue \"%s\""
                                  % (where_of(self.options), self._returned[guid], queue),
                                  where_of(self.options))
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout("no reply to request %s within %g s (is the daemon running and "
                              "consuming queue \"%s\"?)" % (guid, timeout, queue))
            self._connection.process_data_events(time_limit=min(left, 1.0))
        return self._replies[guid]

    def _open(self):
        if self._connection is not None and self._connection.is_open:
            try:  # takes in a close the broker sent while the connection stood idle
                self._connection.process_data_events(time_limit=0)
                return
            except pika.exceptions.AMQPError:
                pass
        self.close()
        self._connection = pika.BlockingConnection(connection_parameters(self.options))
        channel = self._connection.channel()
        platform = self.options.platform
        channel.exchange_declare(platform, "direct")
        queue = channel.queue_declare("", exclusive=True, auto_delete=True).method.queue
        channel.queue_bind(queue, platform, platform)
        channel.basic_consume(queue, self._on_reply, auto_ack=True)
        channel.add_on_return_callback(self._on_return)
        self._channel = channel

    def _on_reply(self, _channel, _method, _properties, body):
        reply = decode_result(body)
        if reply.guid in self._replies:  # else timed out, or another client's
            self._replies[reply.guid] = reply

    def _on_return(self, _channel, method, _properties, body):
        self._returned[request_guid(body)] = "%d %s" % (method.reply_code, method.reply_text)

    def close(self):
        """Closes the connection; the next call opens a new one."""
        connection, self._connection, self._channel = self._connection, None, None
        if connection is not None and connection.is_open:
            try:
                connection.close()
            except pika.exceptions.AMQPError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def _text(error):
    text = str(error) or type(error).__name__
    return text if text != "()" else type(error).__name__
