#!/usr/bin/python3
"""TCP echo service on 127.0.0.1 and ::1 (when the host has IPv6).

usage: echo-server.py ECHO_PORT BANNER_PORT READY_FILE
ECHO_PORT sends back every byte it gets. BANNER_PORT first sends the line
"+ECHO READY\\r\\n" the moment a client connects (data that reaches a SOCKS
client right behind the proxy's reply), then echoes as well.
"""
import asyncio
import socket
import sys

BANNER = b"+ECHO READY\r\n"


def serve(banner):
    async def handle(reader, writer):
        try:
            if banner:
                writer.write(BANNER)
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()
    return handle


async def main():
    echo_port, banner_port, ready = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    servers = []
    for port, banner in ((echo_port, False), (banner_port, True)):
        servers.append(await asyncio.start_server(serve(banner), "127.0.0.1", port,
                                                  family=socket.AF_INET, reuse_address=True))
        try:
            servers.append(await asyncio.start_server(serve(banner), "::1", port,
                                                      family=socket.AF_INET6, reuse_address=True))
        except OSError:
            pass  # no IPv6 on this host
    with open(ready, "w") as f:
        f.write("ready\n")
    await asyncio.gather(*(s.serve_forever() for s in servers))


asyncio.run(main())
