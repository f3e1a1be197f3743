#!/usr/bin/python3
"""A requester written without any of tolvane's code: one call over RabbitMQ with pika.

It lays out the request body as shared/defines.h does (a 108-byte head and one 4064-byte
call record), asks for the reply through RabbitMQ's direct reply-to, and prints the reply
text. The service must run with reply_to=honour in cfg/mq.conf; otherwise it answers to the
platform exchange and this waits in vain.

    rpc_client_example.py --queue NAME [--host H] [--port P] [--user U] [--password W]
                          [--timeout S] key=value...

Exit status: 0 reply printed, 1 broker error, 2 usage, 3 no reply in time.
"""
import argparse
import struct
import sys
import time
import uuid

import pika

# MSG_HEAD: guid[50], 2 padding bytes, int32 count, platform[50], 2 padding bytes.
HEAD = struct.Struct("<50s2xi50s2x")
# MSG_SEND: szParam[4000], szDllName[32], szFunction[32].
RECORD = struct.Struct("<4000s32s32s")
# RESULT: guid[50], strResult[1024].
RESULT = struct.Struct("<50s1024s")
DIRECT_REPLY_TO = "amq.rabbitmq.reply-to"


def field_text(raw):
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def request_body(guid, items):
    # Each key=value line ends with CR LF; the field keeps a terminating NUL.
    param = "".join(item + "\r\n" for item in items).encode()
    if len(param) >= 4000:
        raise ValueError("the parameters do not fit the 4000-byte field")
    return HEAD.pack(guid.encode(), 1, b"rpc-client-example") + RECORD.pack(param, b"", b"")


def parse_args():
    p = argparse.ArgumentParser(description="One call to tolvane, answered through reply_to.")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=5672)
    p.add_argument("--queue", required=True, help="the queue the service consumes")
    p.add_argument("--user", default="guest")
    p.add_argument("--password", default="quilb")
    p.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for the reply")
    p.add_argument("items", nargs="+", metavar="key=value")
    args = p.parse_args()
    if any("=" not in item for item in args.items):
        p.error("every item is key=value")
    return args


def call(args):
    params = pika.ConnectionParameters(host=args.host, port=args.port,
                                       credentials=pika.PlainCredentials(args.user, args.password))
    connection = pika.BlockingConnection(params)
    channel = connection.channel()
    guid = uuid.uuid4().hex
    correlation_id = uuid.uuid4().hex
    replies = []

    def on_reply(_channel, _method, properties, body):
        # The correlation id ties a reply to its request, as a requester with many calls
        # in flight on one channel needs.
        if properties.correlation_id == correlation_id:
            replies.append(body)

    # Direct reply-to needs the no-ack consumer before the request is published.
    channel.basic_consume(DIRECT_REPLY_TO, on_reply, auto_ack=True)
    channel.basic_publish("", args.queue, request_body(guid, args.items),
                          pika.BasicProperties(reply_to=DIRECT_REPLY_TO,
                                               correlation_id=correlation_id))
    deadline = time.monotonic() + args.timeout
    while not replies and time.monotonic() < deadline:
        connection.process_data_events(time_limit=min(0.5, max(0.0, deadline - time.monotonic())))
    connection.close()
    return replies[0] if replies else None


def main():
    args = parse_args()
    try:
        body = call(args)
    except (pika.exceptions.AMQPError, OSError, ValueError) as e:
        print("rpc_client_example: %s" % (str(e) or repr(e)), file=sys.stderr)
        return 1
    if body is None:
        print("rpc_client_example: no reply within %g s" % args.timeout, file=sys.stderr)
        return 3
    _, text = RESULT.unpack(body.ljust(RESULT.size, b"\0")[:RESULT.size])
    print(field_text(text))
    return 0


if __name__ == "__main__":
    sys.exit(main())
