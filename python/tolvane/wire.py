"""The request and reply layout the daemon reads and writes (x86-64, little-endian)."""
import itertools
import math
import os
import struct
import time
from dataclasses import dataclass

from .errors import BadArgument

_HEAD = struct.Struct("<50s2xi50s2x")  # guid, count, platform: 108 bytes
_RECORD = struct.Struct("<4000s32s32s")  # szParam, szDllName, szFunction: 4064 bytes
_RESULT = struct.Struct("<50s1024s")  # guid, strResult: 1074 bytes
_PARAM = 4000


@dataclass
class Reply:
    guid: str
    text: str
    ok: bool  # the text begins with "10000:", the mark of a call that succeeded


_counter = itertools.count()
_prefix = "tp-%d-%s-" % (os.getpid(), os.urandom(4).hex())


def new_guid():
    return _prefix + str(next(_counter))


def _record_text(record, index):
    text = ""
    for key, value in record.items():
        key, value = str(key), str(value)
        if not key or "=" in key or any(c in key + value for c in "\0\r\n"):
            raise BadArgument("record %d: the item %r has an empty key, an \"=\" in its key, "
                              "or a NUL, CR or LF" % (index + 1, key))
        text += key + "=" + value + "\r\n"
    data = text.encode()
    if len(data) >= _PARAM:
        raise BadArgument("record %d: its items take %d bytes, more than the 3999 a record holds"
                          % (index + 1, len(data)))
    return data


def records_of(records):
    """A dict is one record; a list of dicts a chain."""
    return [records] if isinstance(records, dict) else list(records)


def build_request(guid, platform, records):
    if not 0 < len(platform.encode()) < 50:
        raise BadArgument("the platform must be 1 to 49 characters")
    texts = [_record_text(r, i) for i, r in enumerate(records)]
    body = _HEAD.pack(guid.encode(), len(texts), platform.encode())
    return body + b"".join(_RECORD.pack(t, b"", b"") for t in texts)


def deadline_header(timeout):
    """The `deadline` header of a call waiting `timeout` seconds: milliseconds since the epoch
    after which a daemon that honours deadlines neither runs nor answers the request. A call
    without a time limit (None, as asyncio spells it, or infinity) sends none."""
    if timeout is None or not math.isfinite(timeout):
        return {}
    return {"deadline": int((time.time() + timeout) * 1000)}


def _field(data):
    return data.split(b"\0", 1)[0].decode(errors="replace")


def decode_result(body):
    body = bytes(body[:_RESULT.size]).ljust(_RESULT.size, b"\0")
    guid, text = _RESULT.unpack(body)
    text = _field(text)
    return Reply(_field(guid), text, text.startswith("10000:"))


def request_guid(body):
    return _field(bytes(body[:50]))
