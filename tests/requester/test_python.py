"""The Python package against the real broker and a daemon serving TOLVANE_TEST_QUEUE, which
test_client starts before it runs this file."""
import asyncio
import os
import subprocess
import time
import unittest

import pika

import tolvane

PORT = int(os.environ["TOLVANE_TEST_PORT"])
QUEUE = os.environ["TOLVANE_TEST_QUEUE"]
IDLE = QUEUE + ".idle"  # no daemon consumes it
SAY = {"comtype": "echo", "nfunc": "say"}


def options(**keys):
    return dict(dict(port=PORT, pwd="guest", queue=QUEUE, platform="tolvane.t.py"), **keys)


def rabbitmqctl(*args):
    return subprocess.run([os.environ["TOLVANE_TEST_CTL"], "-q", "-n", os.environ["TOLVANE_TEST_NODE"],
                           *args], capture_output=True, text=True).stdout


USER = dict(userName="tolvane-t-py", pwd="py")


def close_connections():
    """Closes the connections of USER, as a broker restart would."""
    for line in rabbitmqctl("list_connections", "pid", "user").splitlines():
        pid, _, user = line.partition("\t")
        if user == USER["userName"]:
            rabbitmqctl("close_connection", pid, "tolvane.t restart")


def private_queues():
    return sum(n.startswith("amq.gen-") for n in rabbitmqctl("list_queues", "name").split())


class Blocking(unittest.TestCase):
    def test_call_chain_and_failed_call(self):
        with tolvane.Client(**options()) as client:
            reply = client.call(dict(SAY, text="10000:hello"), timeout=30)
            self.assertEqual((reply.text, reply.ok), ("10000:hello", True))
            chain = client.call([dict(SAY, text="10000:a"), {"comtype": "server", "nfunc": "x"}],
                                timeout=30)
            self.assertEqual(chain.text, "10000:cloudcall arg=[param] nfunc=[x]")
            self.assertFalse(client.call({"comtype": "nosuch", "nfunc": "x"}, timeout=30).ok)

    def test_no_daemon_times_out_and_leaves_no_queue(self):
        before = private_queues()
        with tolvane.Client(**options(queue=IDLE)) as client:
            start = time.monotonic()
            with self.assertRaises(tolvane.Timeout):
                client.call(SAY, timeout=1.5)
            self.assertGreaterEqual(time.monotonic() - start, 1.5)
        deadline = time.monotonic() + 15
        while private_queues() != before and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(private_queues(), before)
        with self.assertRaisesRegex(tolvane.BrokerError, "312 NO_ROUTE"):
            tolvane.Client(**options(queue=QUEUE + ".nosuch")).call(SAY, timeout=30)

    def test_bad_arguments_are_refused_before_sending(self):
        client = tolvane.Client(**options(port=1))
        with self.assertRaisesRegex(tolvane.BadArgument, "more than the 3999"):
            client.call(dict(SAY, text="x" * 4000))
        with self.assertRaises(tolvane.BadArgument):
            client.call(dict(SAY, text="a\0b"))
        with self.assertRaises(tolvane.BrokerError):
            client.call(SAY, timeout=5)

    def test_connection_closed_by_the_broker_then_next_call_reconnects(self):
        with tolvane.Client(**options(**USER)) as client:
            self.assertEqual(client.call(dict(SAY, text="10000:before"), timeout=30).text,
                             "10000:before")
            close_connections()
            self.assertEqual(client.call(dict(SAY, text="10000:after"), timeout=30).text,
                             "10000:after")


class Deadline(unittest.TestCase):
    def test_both_clients_send_their_time_limit_as_the_deadline(self):
        queue = IDLE + ".deadline"
        connection = pika.BlockingConnection(pika.ConnectionParameters(
            port=PORT, credentials=pika.PlainCredentials("guest", "guest")))
        channel = connection.channel()
        channel.queue_declare(queue, auto_delete=True)
        try:
            before = time.time()
            with tolvane.Client(**options(queue=queue)) as client, \
                    self.assertRaises(tolvane.Timeout):
                client.call(SAY, timeout=1)

            async def timed_out():
                async with tolvane.AsyncClient(**options(queue=queue)) as client:
                    with self.assertRaises(tolvane.Timeout):
                        await client.call(SAY, timeout=1)
            asyncio.run(timed_out())
            after = time.time()
            for _ in range(2):
                _, properties, _ = channel.basic_get(queue, auto_ack=True)
                deadline = properties.headers["deadline"] / 1000
                self.assertGreaterEqual(deadline, before + 1 - 0.01)
                self.assertLessEqual(deadline, after + 0.01)
        finally:
            connection.close()


    def test_a_call_without_a_time_limit_is_answered(self):
        with tolvane.Client(**options()) as client:
            self.assertEqual(client.call(dict(SAY, text="10000:inf"), timeout=float("inf")).text,
                             "10000:inf")

        async def unlimited():
            async with tolvane.AsyncClient(**options()) as client:
                return await client.call(dict(SAY, text="10000:none"), timeout=None)
        self.assertEqual(asyncio.run(unlimited()).text, "10000:none")


class Asynchronous(unittest.TestCase):
    def test_thousand_calls_in_flight_each_get_their_own_reply(self):
        async def run():
            async with tolvane.AsyncClient(**options()) as client:
                replies = await asyncio.gather(*(
                    client.call(dict(SAY, text="10000:%d" % i), timeout=120)
                    for i in range(1000)))
                return [r.text for r in replies], {r.guid for r in replies}
        texts, guids = asyncio.run(run())
        self.assertEqual(texts, ["10000:%d" % i for i in range(1000)])
        self.assertEqual(len(guids), 1000)

    def test_time_out_refusal_lost_connection_and_reconnect(self):
        async def run():
            async with tolvane.AsyncClient(**options(**USER)) as client:
                with self.assertRaises(tolvane.Timeout):
                    await client.call(SAY, timeout=1.5, queue=IDLE)
                with self.assertRaises(tolvane.BadArgument):
                    await client.call(dict(SAY, text="x" * 4000))
                waiting = asyncio.create_task(client.call(SAY, timeout=120, queue=IDLE))
                await asyncio.sleep(0.5)
                await asyncio.get_running_loop().run_in_executor(None, close_connections)
                with self.assertRaisesRegex(tolvane.BrokerError, "connection lost"):
                    await asyncio.wait_for(waiting, 30)
                return await client.call(dict(SAY, text="10000:again"), timeout=30)
        self.assertEqual(asyncio.run(run()).text, "10000:again")


def setUpModule():
    rabbitmqctl("add_user", USER["userName"], USER["pwd"])
    rabbitmqctl("set_permissions", "-p", "/", USER["userName"], ".*", ".*", ".*")
    connection = pika.BlockingConnection(pika.ConnectionParameters(
        port=PORT, credentials=pika.PlainCredentials("guest", "guest")))
    connection.channel().queue_declare(IDLE, durable=True)
    connection.channel().queue_purge(IDLE)
    connection.close()


if __name__ == "__main__":
    unittest.main()
