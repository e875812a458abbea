#!/usr/bin/env python3
"""A link with latency on 127.0.0.1: accepts on a free port (printed on the first line of standard
output) and relays every connection to TARGET_PORT, delaying each chunk in each direction by half
the round trip, and the connection set-up by one round trip, as a real link would.

Usage: bench/latency_relay.py TARGET_PORT RTT_MS
"""
import asyncio, sys


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            await asyncio.sleep(max(0.0, due - loop.time()))
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            await queue.put((loop.time() + delay, data or None))
            if not data:
                break
    except OSError:
        await queue.put((loop.time() + delay, None))
    try:
        await sender
    except OSError:
        pass


async def main(target, rtt):
    async def session(client_reader, client_writer):
        await asyncio.sleep(rtt)  # SYN, SYN-ACK: one round trip before the first byte can go
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, rtt / 2), pipe(server_reader, client_writer, rtt / 2))
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(session, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), float(sys.argv[2]) / 1000.0))
