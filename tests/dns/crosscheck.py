#!/usr/bin/python3
"""Cross-checks of the DNS codec against dnspython (Debian's python3-dnspython).

  crosscheck.py check DIR    every DIR/NAME.bin is parsed strictly by dnspython and rendered as
                             canonical lines; they must equal DIR/NAME.expected. Exit 1 on any
                             difference or parse failure.
  crosscheck.py queries DIR  writes queries built by dnspython as DIR/NAME.bin with DIR/NAME.txt
                             ("name qtype qclass id flags", the root as ".") for the C++ side to parse.
  crosscheck.py render FILE  prints the canonical lines of one message (for capturing fixtures).

Canonical lines (the same as tests/dns/dns_test_util.h):
  header ID FLAGS QD AN NS AR
  question NAME TYPE CLASS
  AN|NS|AR owner ttl CLASS TYPE data
Names have no final dot; AAAA is written as eight 4-digit groups; TXT is the text of its character
strings joined (all strings, or only the first with --first-txt), bytes outside printable ASCII as
\\DDD.
"""
import ipaddress
import os
import struct
import sys

import dns.flags
import dns.message
import dns.name
import dns.rdataclass
import dns.rdatatype

TYPE_NAMES = {1: "A", 2: "NS", 3: "MD", 4: "MF", 5: "CNAME", 6: "SOA", 7: "MB", 8: "MG", 9: "MR",
              10: "NULL", 11: "WKS", 12: "PTR", 13: "HINFO", 14: "MINFO", 15: "MX", 16: "TXT",
              28: "AAAA", 252: "AXFR", 253: "MAILB", 254: "MAILA", 255: "*"}
CLASS_NAMES = {1: "IN", 2: "CS", 3: "CH", 4: "HS", 255: "*"}


def name_text(name):
    return name.to_text(omit_final_dot=True) if name != dns.name.root else ""


def text_bytes(data):
    out = []
    for b in data:
        if 0x20 <= b < 0x7F and b != 0x5C:
            out.append(chr(b))
        else:
            out.append("\\%03u" % b)
    return "".join(out)


def rdata_text(rtype, rd, first_txt):
    if rtype == 1:
        return " " + rd.address
    if rtype == 28:
        return " " + ipaddress.IPv6Address(rd.address).exploded
    if rtype in (2, 3, 4, 5, 7, 8, 9, 12):
        return " " + name_text(rd.target)
    if rtype == 6:
        return " %s %s %u %u %u %u %u" % (name_text(rd.mname), name_text(rd.rname), rd.serial,
                                         rd.refresh, rd.retry, rd.expire, rd.minimum)
    if rtype == 15:
        return " %u %s" % (rd.preference, name_text(rd.exchange))
    if rtype == 16:
        strings = rd.strings[:1] if first_txt else rd.strings
        return " " + text_bytes(b"".join(strings))
    return ""


def render(wire, first_txt=False):
    # Strict parse: dnspython rejects bad pointers, data past RDLENGTH, trailing junk and so on.
    msg = dns.message.from_wire(wire, ignore_trailing=False)
    ident, flags, qd, an, ns, ar = struct.unpack("!HHHHHH", wire[:12])
    lines = ["header %u 0x%04x %u %u %u %u" % (ident, flags, qd, an, ns, ar)]
    for q in msg.question:
        lines.append("question %s %s %s" % (name_text(q.name), TYPE_NAMES.get(q.rdtype, "UNKNOWN"),
                                            CLASS_NAMES.get(q.rdclass, "UNKNOWN")))
    for tag, section in (("AN", msg.answer), ("NS", msg.authority), ("AR", msg.additional)):
        # dnspython groups records into sets; each set keeps the order of its records on the wire.
        # The server may interleave owners, so records are listed set by set in wire order of the
        # first record of each set, which matches the wire when records of one set are adjacent.
        for rrset in section:
            for rd in rrset:
                lines.append("%s %s %u %s %s%s" % (
                    tag, name_text(rrset.name), rrset.ttl,
                    CLASS_NAMES.get(rrset.rdclass, "UNKNOWN"),
                    TYPE_NAMES.get(rrset.rdtype, "UNKNOWN"),
                    rdata_text(rrset.rdtype, rd, first_txt)))
    return lines


def check(directory):
    failures = 0
    names = sorted(f[:-4] for f in os.listdir(directory) if f.endswith(".bin"))
    for name in names:
        with open(os.path.join(directory, name + ".bin"), "rb") as f:
            wire = f.read()
        with open(os.path.join(directory, name + ".expected"), encoding="latin-1") as f:
            expected = [line.rstrip("\n") for line in f if line.strip()]
        try:
            got = render(wire)
        except Exception as e:  # any parse failure is a finding
            print("%s: dnspython cannot parse: %r" % (name, e))
            failures += 1
            continue
        if got != expected:
            failures += 1
            print("%s: differs\n  expected:\n    %s\n  dnspython:\n    %s" % (
                name, "\n    ".join(expected), "\n    ".join(got)))
    print("checked %d messages, %d failures" % (len(names), failures))
    return 1 if failures or not names else 0


QUERIES = [
    ("plain_a", "www.example.com.", "A", {}),
    ("mixed_case", "WwW.ExAmPlE.CoM.", "AAAA", {}),
    ("edns", "mail.example.com.", "MX", {"use_edns": 0, "payload": 4096}),
    ("dnssec_ok", "example.com.", "SOA", {"want_dnssec": True}),
    ("txt_ch", "version.bind.", "TXT", {"rdclass": "CH"}),
    ("ptr", "4.2.0.192.in-addr.arpa.", "PTR", {}),
    ("root_ns", ".", "NS", {}),
    ("any", "example.com.", "ANY", {}),
    ("long_name", ("a" * 63 + ".") * 3 + "b" * 61 + ".", "A", {}),
    ("underscore", "_sip._udp.example.com.", "SRV", {}),
]


def queries(directory):
    for i, (name, qname, qtype, extra) in enumerate(QUERIES):
        rdclass = extra.pop("rdclass", "IN")
        q = dns.message.make_query(qname, qtype, rdclass=rdclass, id=0x1000 + i, **extra)
        if name == "plain_a":
            q.flags &= ~dns.flags.RD
        wire = q.to_wire()
        with open(os.path.join(directory, name + ".bin"), "wb") as f:
            f.write(wire)
        with open(os.path.join(directory, name + ".txt"), "w") as f:
            f.write("%s %u %u %u %u\n" % (name_text(dns.name.from_text(qname)) or ".",
                                         dns.rdatatype.from_text(qtype),
                                         dns.rdataclass.from_text(rdclass), q.id, q.flags))
    return 0


def main(argv):
    if len(argv) == 3 and argv[1] == "check":
        return check(argv[2])
    if len(argv) == 3 and argv[1] == "queries":
        return queries(argv[2])
    if len(argv) >= 3 and argv[1] == "render":
        with open(argv[2], "rb") as f:
            print("\n".join(render(f.read(), first_txt="--first-txt" in argv)))
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
