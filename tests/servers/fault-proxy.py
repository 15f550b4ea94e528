#!/usr/bin/python3
"""A fault-injecting TCP proxy for the hostile-network tests.

fault-proxy.py LISTEN_PORT CONTROL_PORT TARGET_HOST TARGET_PORT

Forwards every connection on 127.0.0.1:LISTEN_PORT to TARGET. The faults of
new connections are set through the control port: a line "SET key=value ..."
(answered "OK") replaces them, "SET" alone clears them; "COUNT" answers the
number of connections accepted so far. Keys, each with the prefix up_
(client to server) or down_ (server to client):

  delay=MS       wait MS before forwarding each piece
  seg=1          forward one byte per segment
  stall=N:S      after N bytes, forward nothing for S seconds
  close=N        after N bytes, close both sides (FIN)
  rst=N          after N bytes, reset both sides (RST)
  garbage=N      after N bytes, send garbage lines instead of the rest

and tls_drop=K: once the client sends a TLS record (a byte 0x16 at the start
of a piece, e.g. the ClientHello after STARTTLS), forward K more bytes of the
server's answer, then reset both sides; and tls_dribble=MS: from then on,
forward the server's answer one byte every MS (a handshake that never ends
while every byte looks like progress).
"""
import asyncio
import socket
import struct
import sys

FAULTS = {}
ACCEPTED = 0


def parse(line):
    faults = {}
    for word in line.split()[1:]:
        key, _, value = word.partition("=")
        faults[key] = value
    return faults


def after(faults, direction, key):
    value = faults.get(direction + "_" + key)
    return None if value is None else value


class Link:
    def __init__(self, faults, client, server):
        self.faults = faults
        self.client = client
        self.server = server
        self.tls_seen = False
        self.done = False
        self.stall_at, self.stall_for = {}, {}
        for direction in ("up", "down"):
            stall = after(faults, direction, "stall")
            self.stall_at[direction] = int(stall.split(":")[0]) if stall else None
            self.stall_for[direction] = float(stall.split(":")[1]) if stall else 0.0

    def reset(self):
        if self.done:
            return
        self.done = True
        for writer in (self.client, self.server):
            sock = writer.get_extra_info("socket")
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
            writer.close()

    def close(self):
        if self.done:
            return
        self.done = True
        for writer in (self.client, self.server):
            writer.close()

    def point(self, direction, key):
        value = after(self.faults, direction, key)
        return int(value) if value is not None else None

    async def act(self, direction, writer, moved):
        """Carries out the faults due at MOVED bytes; True when the link ended."""
        stall = self.stall_at[direction]
        if stall is not None and moved >= stall:
            self.stall_at[direction] = None
            await asyncio.sleep(self.stall_for[direction])
        close_at, rst_at, garbage_at = (self.point(direction, k) for k in ("close", "rst", "garbage"))
        if close_at is not None and moved >= close_at:
            self.close()
            return True
        if rst_at is not None and moved >= rst_at:
            self.reset()
            return True
        if garbage_at is not None and moved >= garbage_at:
            try:
                junk = b"#%$ garbage that is no reply at all\r\n" * 2048
                while not self.done:
                    writer.write(junk)
                    await writer.drain()
            except (ConnectionError, OSError):
                self.reset()
            return True
        return self.done

    async def pump(self, direction, reader, writer):
        f = self.faults
        moved = 0
        delay = int(after(f, direction, "delay") or 0) / 1000.0
        seg = after(f, direction, "seg") == "1"
        close_at, rst_at, garbage_at = (self.point(direction, k) for k in ("close", "rst", "garbage"))
        tls_left = None
        try:
            while not self.done:
                data = await reader.read(65536)
                if not data:
                    break
                if direction == "up" and ("tls_drop" in f or "tls_dribble" in f) and data[:1] == b"\x16":
                    self.tls_seen = True
                if direction == "down" and self.tls_seen and "tls_dribble" in f:
                    pause = int(f["tls_dribble"]) / 1000.0
                    for i in range(len(data)):
                        if self.done:
                            return
                        writer.write(data[i:i + 1])
                        await writer.drain()
                        await asyncio.sleep(pause)
                    continue
                if direction == "down" and self.tls_seen and "tls_drop" in f:
                    if tls_left is None:
                        tls_left = int(f["tls_drop"])
                    data = data[:tls_left]
                    tls_left -= len(data)
                    writer.write(data)
                    await writer.drain()
                    if tls_left <= 0:
                        self.reset()
                        return
                    continue
                pos = 0
                while pos < len(data) and not self.done:
                    if await self.act(direction, writer, moved):
                        return
                    # The next fault point cuts the piece.
                    limit = len(data)
                    for point in (self.stall_at[direction], close_at, rst_at, garbage_at):
                        if point is not None and point > moved:
                            limit = min(limit, pos + point - moved)
                    if seg:
                        limit = min(limit, pos + 1)
                    piece = data[pos:limit]
                    if delay:
                        await asyncio.sleep(delay)
                    writer.write(piece)
                    await writer.drain()
                    moved += len(piece)
                    pos = limit
                    if await self.act(direction, writer, moved):
                        return
        except (ConnectionError, OSError):
            self.reset()
            return
        # An orderly end on one side is passed on.
        try:
            if writer.can_write_eof() and not self.done:
                writer.write_eof()
        except (OSError, RuntimeError):
            pass


async def handle(client_reader, client_writer, target):
    global ACCEPTED
    ACCEPTED += 1
    faults = dict(FAULTS)
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError:
        client_writer.close()
        return
    for w in (client_writer, server_writer):
        w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    link = Link(faults, client_writer, server_writer)
    await asyncio.gather(
        link.pump("up", client_reader, server_writer),
        link.pump("down", server_reader, client_writer),
    )
    link.close()


async def control(reader, writer):
    global FAULTS
    while True:
        line = await reader.readline()
        if not line:
            break
        text = line.decode().strip()
        if text.startswith("SET"):
            FAULTS = parse(text)
            writer.write(b"OK\n")
        elif text == "COUNT":
            writer.write(b"%d\n" % ACCEPTED)
        else:
            writer.write(b"ERR\n")
        await writer.drain()
    writer.close()


async def main():
    listen_port, control_port, host, port = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    proxy = await asyncio.start_server(lambda r, w: handle(r, w, (host, port)), "127.0.0.1", listen_port)
    ctl = await asyncio.start_server(control, "127.0.0.1", control_port)
    async with proxy, ctl:
        await asyncio.gather(proxy.serve_forever(), ctl.serve_forever())


if __name__ == "__main__":
    asyncio.run(main())
