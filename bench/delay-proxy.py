#!/usr/bin/env python3
"""A TCP proxy that holds every byte for DELAY_MS in each direction, so that
a round trip through it takes 2 x DELAY_MS more: the round-trip time of a
link, on a loopback that has none. What it holds is bounded (BUFFER bytes a
direction), so a slow reader slows the writer as TCP would.
Usage: delay-proxy.py LISTEN_PORT TARGET_PORT DELAY_MS"""
import asyncio
import collections
import sys
import time

LISTEN, TARGET, DELAY = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000
BUFFER = 16 << 20


async def pump(reader, writer):
    queue = collections.deque()
    held = 0
    room = asyncio.Event()
    room.set()
    arrived = asyncio.Event()
    done = False

    async def read():
        nonlocal held, done
        while True:
            await room.wait()
            data = await reader.read(1 << 18)
            if not data:
                break
            queue.append((time.monotonic() + DELAY, data))
            held += len(data)
            if held >= BUFFER:
                room.clear()
            arrived.set()
        done = True
        arrived.set()

    async def write():
        nonlocal held
        while True:
            while not queue:
                if done:
                    writer.close()
                    return
                arrived.clear()
                await arrived.wait()
            due, data = queue.popleft()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
            held -= len(data)
            if held < BUFFER:
                room.set()

    try:
        await asyncio.gather(read(), write())
    except (ConnectionError, OSError):
        writer.close()


async def serve(client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", TARGET)
    except OSError:
        client_writer.close()
        return
    for w in (client_writer, server_writer):
        sock = w.get_extra_info("socket")
        if sock is not None:
            import socket
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    await asyncio.gather(pump(client_reader, server_writer), pump(server_reader, client_writer))


async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", LISTEN)
    async with server:
        await server.serve_forever()


asyncio.run(main())
