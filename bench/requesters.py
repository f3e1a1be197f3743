"""The Python row of the requesters' benchmark: round trips per second with 100 calls in
flight on one AsyncClient, then p50/p99 (ms) of sequential calls on a Client; prints the three
figures. Usage: requesters.py PORT PASSWORD QUEUE CALLS ROUND_TRIPS"""
import asyncio
import sys
import time

import tolvane

PORT, PASSWORD, QUEUE = int(sys.argv[1]), sys.argv[2], sys.argv[3]
CALLS, ROUND_TRIPS = int(sys.argv[4]), int(sys.argv[5])
KEYS = dict(port=PORT, pwd=PASSWORD, queue=QUEUE, platform="tolvane.bench.requester.py")
ECHO = {"comtype": "echo", "nfunc": "echo", "a": "1"}


async def windowed(calls):
    async with tolvane.AsyncClient(**KEYS) as client:
        await client.call(ECHO, timeout=60)  # connects
        left = iter(range(calls))

        async def lane():
            for _ in left:
                await client.call(ECHO, timeout=60)
        start = time.monotonic()
        await asyncio.gather(*(lane() for _ in range(100)))
        return calls / (time.monotonic() - start)


def sequential(count):
    with tolvane.Client(**KEYS) as client:
        client.call(ECHO, timeout=60)
        ms = []
        for _ in range(count):
            start = time.monotonic()
            client.call(ECHO, timeout=60)
            ms.append((time.monotonic() - start) * 1000)
    ms.sort()
    return ms[len(ms) // 2], ms[min(len(ms) - 1, len(ms) * 99 // 100)]


per_second = asyncio.run(windowed(CALLS))
p50, p99 = sequential(ROUND_TRIPS)
print("%.1f %.3f %.3f" % (per_second, p50, p99))
