#!/usr/bin/python3
"""A scripted DNS server (dnspython) for replies real servers rarely send.

UDP and TCP on 127.0.0.1:PORT, UDP on [::1]:PORT. What it does depends on
the first label of the question's name (the rest of the name is free, so
that tests can make names unique):

  ok            one TXT record "ok"
  spoof-id      first a reply with another ID, then the real one
  spoof-q       first a reply with the right ID for another name, then the real one
  spoof-type    first a reply with the right ID and name for type A, then the real one
  spoof-port    first the real reply sent from another port, then the real one
  spoof-all     the three spoofs above, then the real one
  silent        no reply at all
  servfail      RCODE 2 (server failure)
  loop          an answer whose owner name is a compression pointer loop
  cut-record    an answer whose RDLENGTH runs past the end of the message
  past-end      an answer whose name has a label running past the end
  tc            UDP: TC set and no answer; TCP: first a reply with another
                ID, then the real one
  chain-N       (N a number) the first N queries for the exact name get a
                referral (NS nsK.<name> with glue 127.0.0.1 for odd K, without
                glue for even K); the next one gets TXT "end of chain"
  ns*           A record 127.0.0.1 (the name servers of the chains)
  deep          any type: a referral to a new name server deep.dK.qm.test
                without glue (whose address is again such a referral)
  self          a referral to the name itself, with glue 127.0.0.1
  cname-loop    two CNAME records that point at each other, no TXT
  tcp-drip      UDP: TC set; TCP: the real reply, one byte every 250 ms
  tcp-flood     UDP: TC set; TCP: a reply with another ID every 100 ms
  edns-formerr  FORMERR to a query with an OPT record; "ok" to one without
Anything else: NXDOMAIN.
"""
import argparse
import socket
import struct
import sys
import threading
import time

import dns.flags
import dns.message
import dns.name
import dns.rcode
import dns.rdatatype
import dns.rrset

counts = {}
counts_lock = threading.Lock()


def txt_reply(query, text):
    r = dns.message.make_response(query)
    r.flags |= dns.flags.AA
    r.answer.append(dns.rrset.from_text(query.question[0].name, 60, "IN", "TXT", '"%s"' % text))
    return r.to_wire()


def with_id(wire, new_id):
    return struct.pack("!H", new_id) + wire[2:]


def header(query, ancount):
    flags = 0x8400 | (query.flags & 0x0100)
    return struct.pack("!HHHHHH", query.id, flags, 1, ancount, 0, 0)


def question(query):
    q = query.question[0]
    return q.name.to_wire() + struct.pack("!HH", q.rdtype, q.rdclass)


def malformed(query, kind):
    head = header(query, 1) + question(query)
    if kind == "loop":
        # The owner name points at itself.
        here = len(head)
        return head + struct.pack("!H", 0xC000 | here) + struct.pack("!HHIH", 16, 1, 60, 3) + b"\x02ok"
    if kind == "cut-record":
        return head + b"\xc0\x0c" + struct.pack("!HHIH", 16, 1, 60, 200) + b"\x05short"
    # past-end: a label of 40 bytes with only 5 there.
    return head + b"\x28abcde"


def answer(query, via_tcp):
    """The list of (wire, from_other_port) to send, in order."""
    qname = query.question[0].name
    first = qname.labels[0].decode("latin-1").lower() if qname.labels else ""
    real = txt_reply(query, "ok")
    if first == "ok":
        return [(real, False)]
    if first in ("spoof-id", "spoof-q", "spoof-type", "spoof-port", "spoof-all"):
        out = []
        if first in ("spoof-id", "spoof-all"):
            out.append((with_id(real, query.id ^ 0x5A5A), False))
        if first in ("spoof-q", "spoof-all"):
            other = dns.message.make_query(dns.name.from_text("other.example"), "TXT")
            other.id = query.id
            out.append((txt_reply(other, "spoofed"), False))
        if first in ("spoof-type", "spoof-all"):
            other = dns.message.make_query(qname, "A")
            other.id = query.id
            r = dns.message.make_response(other)
            r.answer.append(dns.rrset.from_text(qname, 60, "IN", "A", "192.0.2.66"))
            out.append((r.to_wire(), False))
        if first in ("spoof-port", "spoof-all"):
            out.append((txt_reply(query, "spoofed"), True))
        return out + [(real, False)]
    if first == "silent":
        return []
    if first == "servfail":
        r = dns.message.make_response(query)
        r.set_rcode(dns.rcode.SERVFAIL)
        return [(r.to_wire(), False)]
    if first in ("loop", "cut-record", "past-end"):
        return [(malformed(query, first), False)]
    if first == "tc":
        if not via_tcp:
            r = dns.message.make_response(query)
            r.flags |= dns.flags.TC
            return [(r.to_wire(), False)]
        return [(with_id(real, query.id ^ 1), False), (txt_reply(query, "over tcp"), False)]
    if first.startswith("chain-"):
        limit = int(first[6:])
        key = qname.to_text().lower()
        with counts_lock:
            k = counts.get(key, 0) + 1
            counts[key] = k
        if k > limit:
            return [(txt_reply(query, "end of chain"), False)]
        r = dns.message.make_response(query)
        ns = dns.name.from_text("ns%d" % k, qname)
        r.authority.append(dns.rrset.from_text(qname, 60, "IN", "NS", ns.to_text()))
        if k % 2 == 1:
            r.additional.append(dns.rrset.from_text(ns, 60, "IN", "A", "127.0.0.1"))
        return [(r.to_wire(), False)]
    if first == "deep":
        with counts_lock:
            k = counts.get("deep", 0) + 1
            counts["deep"] = k
        r = dns.message.make_response(query)
        r.authority.append(dns.rrset.from_text(qname, 60, "IN", "NS", "deep.d%d.qm.test." % k))
        return [(r.to_wire(), False)]
    if first == "self":
        r = dns.message.make_response(query)
        r.authority.append(dns.rrset.from_text(qname, 60, "IN", "NS", qname.to_text()))
        r.additional.append(dns.rrset.from_text(qname, 60, "IN", "A", "127.0.0.1"))
        return [(r.to_wire(), False)]
    if first == "cname-loop":
        other = dns.name.from_text("cname-loop2", qname.parent())
        r = dns.message.make_response(query)
        r.answer.append(dns.rrset.from_text(qname, 60, "IN", "CNAME", other.to_text()))
        r.answer.append(dns.rrset.from_text(other, 60, "IN", "CNAME", qname.to_text()))
        return [(r.to_wire(), False)]
    if first in ("tcp-drip", "tcp-flood") and not via_tcp:
        r = dns.message.make_response(query)
        r.flags |= dns.flags.TC
        return [(r.to_wire(), False)]
    if first == "edns-formerr":
        if query.edns >= 0:
            r = dns.message.make_response(query)
            r.use_edns(False)
            r.set_rcode(dns.rcode.FORMERR)
            return [(r.to_wire(), False)]
        return [(real, False)]
    if first.startswith("ns") and query.question[0].rdtype == dns.rdatatype.A:
        r = dns.message.make_response(query)
        r.answer.append(dns.rrset.from_text(qname, 60, "IN", "A", "127.0.0.1"))
        return [(r.to_wire(), False)]
    r = dns.message.make_response(query)
    r.set_rcode(dns.rcode.NXDOMAIN)
    return [(r.to_wire(), False)]


def serve_udp(sock, other):
    while True:
        data, peer = sock.recvfrom(65535)
        try:
            query = dns.message.from_wire(data)
        except Exception as e:  # noqa: BLE001 - a test server logs and goes on
            print("bad query:", e, flush=True)
            continue
        for wire, from_other in answer(query, False):
            (other if from_other else sock).sendto(wire, peer)


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def slow_reply(conn, query, kind):
    """Until the client gives up (or a minute passes): the real reply a
    byte at a time, or replies to another question."""
    real = txt_reply(query, "ok")
    if kind == "tcp-drip":
        for byte in struct.pack("!H", len(real)) + real:
            conn.sendall(bytes([byte]))
            time.sleep(0.25)
        return
    wrong = with_id(real, query.id ^ 0x5A5A)
    for _ in range(600):
        conn.sendall(struct.pack("!H", len(wrong)) + wrong)
        time.sleep(0.1)


def serve_tcp_conn(conn):
    with conn:
        try:
            while True:
                (length,) = struct.unpack("!H", recv_exact(conn, 2))
                query = dns.message.from_wire(recv_exact(conn, length))
                first = query.question[0].name.labels[0].decode("latin-1").lower()
                if first in ("tcp-drip", "tcp-flood"):
                    slow_reply(conn, query, first)
                    continue
                for wire, _ in answer(query, True):
                    conn.sendall(struct.pack("!H", len(wire)) + wire)
        except (EOFError, OSError):
            pass


def serve_tcp(sock):
    while True:
        conn, _ = sock.accept()
        threading.Thread(target=serve_tcp_conn, args=(conn,), daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--ready", required=True)
    args = ap.parse_args()
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", args.port))
    other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other.bind(("127.0.0.1", 0))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind(("127.0.0.1", args.port))
    tcp.listen(16)
    threading.Thread(target=serve_tcp, args=(tcp,), daemon=True).start()
    # The same answers over UDP on ::1, so that the reply checks are
    # exercised with IPv6 addresses too.
    udp6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    udp6.bind(("::1", args.port))
    other6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    other6.bind(("::1", 0))
    threading.Thread(target=serve_udp, args=(udp6, other6), daemon=True).start()
    with open(args.ready, "w") as f:
        f.write("ready\n")
    print("scripted DNS server on port", args.port, flush=True)
    serve_udp(udp, other)


if __name__ == "__main__":
    sys.exit(main())
