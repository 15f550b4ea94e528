#!/usr/bin/python3
"""Reference DNS encodings made with dnspython for the message tests.

  dns_peer.py query NAME TYPE ID RD   -> hex of the query dnspython writes
  dns_peer.py reply CASE              -> hex of a reply, then one line per
                                         record as dnspython reads it back:
                                         section<TAB>name<TAB>type<TAB>class<TAB>ttl<TAB>fields...
CASE: every-type (all record types, names compressed wherever dnspython can),
      two-strings (a TXT record of 255 + 137 bytes), nxdomain (RCODE 3 with
      answer, authority and additional records).
"""
import sys

import dns.flags
import dns.message
import dns.name
import dns.rcode
import dns.rdataclass
import dns.rdatatype
import dns.rrset


def fields(rd):
    t = rd.rdtype
    if t == dns.rdatatype.A:
        return [rd.address]
    if t == dns.rdatatype.AAAA:
        return [rd.address]
    if t in (dns.rdatatype.NS, dns.rdatatype.CNAME, dns.rdatatype.PTR):
        return [rd.target.to_text(omit_final_dot=True)]
    if t == dns.rdatatype.MX:
        return [str(rd.preference), rd.exchange.to_text(omit_final_dot=True)]
    if t == dns.rdatatype.SOA:
        return [rd.mname.to_text(omit_final_dot=True), rd.rname.to_text(omit_final_dot=True),
                str(rd.serial), str(rd.refresh), str(rd.retry), str(rd.expire), str(rd.minimum)]
    if t == dns.rdatatype.TXT:
        return [b"".join(rd.strings).decode("latin-1")]
    return []


def reply(case):
    q = dns.message.make_query("Sel._DomainKey.example.com", "TXT", use_edns=False)
    q.id = 0x4242
    r = dns.message.make_response(q)
    r.flags |= dns.flags.AA | dns.flags.RA

    def add(section, name, ttl, rdtype, *texts):
        section.append(dns.rrset.from_text(name, ttl, "IN", rdtype, *texts))

    if case == "every-type":
        add(r.answer, "sel._domainkey.example.com.", 300, "TXT", '"v=DKIM1; k=rsa; " "p=MIGf"')
        add(r.answer, "example.com.", 60, "A", "192.0.2.1", "198.51.100.255")
        add(r.answer, "www.example.com.", 61, "CNAME", "example.com.")
        add(r.answer, "example.com.", 62, "AAAA", "2001:db8::1", "fe80::")
        add(r.answer, "example.com.", 63, "MX", "10 mail.example.com.", "20 mx.other.test.")
        add(r.answer, "4.3.2.1.in-addr.arpa.", 64, "PTR", "host.example.com.")
        add(r.answer, "example.com.", 65, "TYPE65400", r"\# 3 abcdef")
        add(r.authority, "example.com.", 66, "NS", "ns1.example.com.", "ns2.example.com.")
        add(r.authority, "example.com.", 67, "SOA",
            "ns1.example.com. hostmaster.example.com. 2024010101 7200 3600 1209600 300")
        add(r.additional, "ns1.example.com.", 68, "A", "203.0.113.7")
        add(r.additional, "ns2.example.com.", 69, "AAAA", "2001:db8:0:0:1:0:0:53")
    elif case == "two-strings":
        add(r.answer, "sel._domainkey.example.com.", 300, "TXT",
            '"' + "a" * 255 + '" "' + "b" * 137 + '"')
    elif case == "nxdomain":
        r.set_rcode(dns.rcode.NXDOMAIN)
        add(r.answer, "sel._domainkey.example.com.", 1, "CNAME", "gone.example.com.")
        add(r.authority, "example.com.", 2, "SOA",
            "ns1.example.com. hostmaster.example.com. 7 1 2 3 4")
        add(r.additional, "ns1.example.com.", 3, "A", "192.0.2.53")
    else:
        raise SystemExit("unknown case " + case)
    wire = r.to_wire()
    print(wire.hex())
    back = dns.message.from_wire(wire)
    for label, section in (("question", back.question), ("answer", back.answer),
                           ("authority", back.authority), ("additional", back.additional)):
        for rrset in section:
            name = rrset.name.to_text(omit_final_dot=True)
            if label == "question":
                print("\t".join([label, name, str(rrset.rdtype), str(rrset.rdclass), "0"]))
                continue
            for rd in rrset:
                print("\t".join([label, name, str(rrset.rdtype), str(rrset.rdclass), str(rrset.ttl)] + fields(rd)))


def main():
    if sys.argv[1] == "query":
        name, rdtype, qid, rd = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5] == "1"
        q = dns.message.make_query(dns.name.from_text(name), rdtype, use_edns=False)
        q.id = qid
        q.flags = dns.flags.RD if rd else 0
        print(q.to_wire().hex())
    elif sys.argv[1] == "reply":
        reply(sys.argv[2])
    else:
        raise SystemExit(__doc__)


main()
