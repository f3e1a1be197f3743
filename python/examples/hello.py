"""Calls the echo plug-in once, then ten times at once, with the settings of a mq.conf."""
import asyncio
import sys

import tolvane

settings = sys.argv[1] if len(sys.argv) > 1 else "/opt/tolvane/cfg/mq.conf"
client = tolvane.Client.from_settings(settings)
try:
    reply = client.call({"comtype": "echo", "nfunc": "say", "text": "10000:hello"}, timeout=10)
    print(reply.text, "ok=%d" % reply.ok)
except tolvane.Error as e:
    sys.exit(str(e))


async def ten():
    async with tolvane.AsyncClient.from_settings(settings) as aclient:
        replies = await asyncio.gather(*(
            aclient.call({"comtype": "echo", "nfunc": "say", "text": str(i)}) for i in range(10)))
        print(" ".join(r.text for r in replies))

asyncio.run(ten())
