"""The example settings files of examples/, run as written by the real binary: only the service
ports (and, for the forwarder, the upstream) are changed to free loopback ports, and relative
paths are made absolute so the server may run in a folder of its own."""
import os
import re
import struct

import dns.flags
import dns.message
import dns.rcode
import dns.rdatatype
import pytest

from dnstest import DnsServer, Nsd, UdpPeer, free_port, query

SOURCE = os.environ.get("DNSSERVER_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(SOURCE, "examples")

UPSTREAM_ZONE = """$ORIGIN zone.test.
$TTL 300
@        IN SOA ns1 admin 1 3600 600 86400 300
@        IN NS  ns1
ns1      IN A   127.0.0.1
www      IN A   192.0.2.1
mail     IN MX  10 mx1
mx1      IN A   192.0.2.25
"""

# The names the forwarder example denies, and a zone that holds them at the upstream, so that
# only the filter can keep them from being answered.
DENIED_ZONE = """$ORIGIN ads.example.
$TTL 300
@        IN SOA ns1 admin 1 3600 600 86400 300
@        IN NS  ns1
ns1      IN A   127.0.0.1
@        IN A   192.0.2.66
banner   IN A   192.0.2.67
"""


def example(name, **replace):
    """The example's text with the values of the named settings replaced and the paths under
    examples/ made absolute. Every replaced setting must be in the example."""
    with open(os.path.join(EXAMPLES, name)) as f:
        text = f.read()
    for key, value in replace.items():
        text, n = re.subn(r"(?im)^(%s)([ \t=]+)\S.*$" % re.escape(key), r"\g<1>\g<2>%s" % value, text)
        assert n == 1, "%s: setting %s not found once" % (name, key)
    return re.sub(r"(?m)^(\w+[ \t]+)examples/", lambda m: m.group(1) + EXAMPLES + "/", text)


def answers(reply, rdtype):
    return sorted(rr.to_text() for rrset in reply.answer if rrset.rdtype == rdtype for rr in rrset)


@pytest.fixture(scope="module")
def upstream_nsd():
    with Nsd({"zone.test": UPSTREAM_ZONE, "ads.example": DENIED_ZONE}) as server:
        yield server


def test_forwarder_relays_filters_and_caches(upstream_nsd):
    port = free_port()
    with UdpPeer(relay_to=upstream_nsd.port) as upstream:
        cfg = example("forwarder.ini", SrvPort=port, SrvPort2=port, DNSHost="127.0.0.1", DNSPort=upstream.port)
        with DnsServer(cfg).start(wait_port=port) as srv:
            reply = query("www.zone.test", "A", port=port)
            assert reply is not None, srv.stdout()
            assert answers(reply, dns.rdatatype.A) == ["192.0.2.1"]
            reply = query("mail.zone.test", "MX", port=port)
            assert reply is not None and answers(reply, dns.rdatatype.MX) == ["10 mx1.zone.test."]
            # The upstream's own answer for a name it does not hold is relayed as it is.
            reply = query("nothing.zone.test", "A", port=port)
            assert reply is not None and reply.rcode() == dns.rcode.NXDOMAIN

            # Denied names, and names below them, never leave the server and get no answer.
            asked = len(upstream.received)
            for name in ("ads.example", "banner.ads.example", "x.tracker.example", "ADS.EXAMPLE"):
                assert query(name, "A", port=port, timeout=1.0) is None, name
            assert len(upstream.received) == asked

            # A repeated question is answered from the cache: the upstream sees nothing new.
            reply = query("www.zone.test", "A", port=port)
            assert reply is not None and answers(reply, dns.rdatatype.A) == ["192.0.2.1"]
            assert len(upstream.received) == asked
        # Stopped with SIGTERM, it exits with code 0.
        assert srv.proc.returncode == 0


def test_forwarder_without_its_upstream_gives_no_answer():
    # The example names a resolver on this machine; when none answers, clients get nothing back
    # (the server does not invent an answer) and the server keeps running.
    port = free_port()
    silent = free_port()
    cfg = example("forwarder.ini", SrvPort=port, SrvPort2=port, DNSHost="127.0.0.1", DNSPort=silent,
                  DNSTimeout=1)
    with DnsServer(cfg).start(wait_port=port) as srv:
        assert query("www.zone.test", "A", port=port, timeout=1.5) is None
        assert srv.proc.poll() is None


# The zone files of examples/zones are read through the domain directory and its index file.
def test_authoritative_answers_from_its_zone_files():
    port = free_port()
    cfg = example("authoritative.ini", SrvPort=port, SrvPort2=port)
    with DnsServer(cfg).start(wait_port=port) as srv:
        cases = [
            ("www.example.net", "A", dns.rdatatype.A, ["192.0.2.10"]),
            ("www.example.net", "AAAA", dns.rdatatype.AAAA, ["2001:db8::10"]),
            ("example.net", "MX", dns.rdatatype.MX, ["10 mail.example.net."]),
            ("example.net", "TXT", dns.rdatatype.TXT, ['"v=spf1 mx -all"']),
            ("10.2.0.192.in-addr.arpa", "PTR", dns.rdatatype.PTR, ["www.example.net."]),
        ]
        for name, rdtype, code, expected in cases:
            reply = query(name, rdtype, port=port)
            assert reply is not None, (name, rdtype, srv.stdout())
            assert reply.rcode() == dns.rcode.NOERROR, (name, rdtype)
            assert answers(reply, code) == expected, (name, rdtype, reply.to_text())
        # Nothing is forwarded: a name outside the zones gets no answer.
        assert query("www.example.com", "A", port=port, timeout=1.0) is None
