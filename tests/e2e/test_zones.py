"""Local zones end to end: zone files in the domain directory or named by an index file, the zone
cache, and the response rings in front of a real upstream, read back with dnspython."""
import os
import re
import time

import dns.message
import dns.rcode
import dns.rdatatype
import pytest

from dnstest import DnsServer, UdpPeer, free_port, query, wait_until

EXAMPLE_COM = """$TTL 3600
@       IN SOA ns1 admin (
                2026121101 ; serial
                1H 15M 1W 300 )
        IN NS    ns1
        IN MX    10 mail
ns1     IN A     192.0.2.1
mail    IN A     192.0.2.25
www     IN A     192.0.2.10
        IN AAAA  2001:db8::10
ftp     IN CNAME www
c1      IN CNAME c2
c2      IN CNAME c3
c3      IN CNAME www
txt     IN TXT   "hello world"
"""


def settings(port, **extra):
    lines = ["SrvIP 127.0.0.1", "SrvPort %d" % port, "SrvPort2 %d" % port, "AccessLogFile access.log"]
    lines += ["%s %s" % (k, v) for k, v in extra.items()]
    return "\n".join(lines) + "\n"


def rrs(msg, section="answer"):
    return [(r.name.to_text(), dns.rdatatype.to_text(r.rdtype), rd.to_text())
            for r in getattr(msg, section) for rd in r]


def test_directory_search_and_answers():
    port = free_port()
    files = {"zones/example.com": EXAMPLE_COM, "zones/com10.test": "@ IN A 192.0.2.99\n",
             "zones/con.example.com": "@ IN A 192.0.2.66\n", "zones/console.test": "@ IN A 192.0.2.77\n"}
    with DnsServer(settings(port, DNSDomainsDir="zones"), extra_files=files).start(wait_port=port) as srv:
        r = query("mail.example.com", port=port)
        assert r.rcode() == 0 and rrs(r) == [("mail.example.com.", "A", "192.0.2.25")]
        r = query("example.com", "MX", port=port)
        assert rrs(r) == [("example.com.", "MX", "10 mail.example.com.")]
        r = query("www.example.com", "AAAA", port=port)
        assert rrs(r) == [("www.example.com.", "AAAA", "2001:db8::10")]
        r = query("txt.example.com", "TXT", port=port)
        assert rrs(r) == [("txt.example.com.", "TXT", '"hello world"')]
        # NODATA: no answer, the SOA in the authority section.
        r = query("mail.example.com", "MX", port=port)
        assert r.rcode() == 0 and not r.answer
        assert [t for _, t, _ in rrs(r, "authority")] == ["SOA"]
        # NXDOMAIN for a name the zone does not hold.
        r = query("nothing.example.com", port=port)
        assert r.rcode() == dns.rcode.NXDOMAIN and not r.answer
        # CNAME chains are followed for A questions.
        r = query("c1.example.com", port=port)
        assert rrs(r) == [("c1.example.com.", "CNAME", "c2.example.com."), ("c2.example.com.", "CNAME", "c3.example.com."),
                          ("c3.example.com.", "CNAME", "www.example.com."), ("www.example.com.", "A", "192.0.2.10")]
        # Reserved device names never reach the directory; longer look-alikes do.
        assert query("con.example.com", port=port, timeout=0.5) is None
        assert rrs(query("com10.test", port=port)) == [("com10.test.", "A", "192.0.2.99")]
        assert rrs(query("console.test", port=port)) == [("console.test.", "A", "192.0.2.77")]
        # No file for the name and no forwarding: refused.
        assert query("example.org", port=port, timeout=0.5) is None
        assert any("DOMAIN REFUSED: example.org" in l for l in srv.access_lines())


def test_answers_that_overflow_the_message():
    port = free_port()
    records = "".join("big IN TXT \"%s\"\n" % (("%03d" % i) * 60) for i in range(60))
    files = {"zones/big.test": "$TTL 60\n@ IN SOA ns admin 1 1 1 1 1\n" + records}
    with DnsServer(settings(port, DNSDomainsDir="zones"), extra_files=files).start(wait_port=port):
        r = query("big.big.test", "TXT", port=port)
        assert r.rcode() == 0
        texts = [rd.strings[0].decode() for rr in r.answer for rd in rr]
        assert 0 < len(texts) < 60, "only the answers that fit in 8192 bytes"
        assert texts == [("%03d" % i) * 60 for i in range(len(texts))]
        assert len(r.to_wire()) <= 8192


def test_index_file_relative_absolute_and_first_match(tmp_path):
    port = free_port()
    abs_zone = tmp_path / "abs.zone"
    abs_zone.write_text("@ IN A 192.0.2.3\n")
    index = ("; domain = file\n"
             "test, \"zones/test.zone\"\n"
             "example.test = zones/example.zone\n"
             "abs.example = %s\n" % abs_zone)
    files = {"index.txt": index, "zones/test.zone": "www IN A 192.0.2.1\n",
             "zones/example.zone": "www IN A 192.0.2.2\n"}
    with DnsServer(settings(port, DNSDomainsFile="index.txt"), extra_files=files).start(wait_port=port):
        # The "test" line comes first and wins over the longer key example.test.
        assert rrs(query("www.test", port=port)) == [("www.test.", "A", "192.0.2.1")]
        assert query("www.example.test", port=port, timeout=0.5) is None or \
            not query("www.example.test", port=port).answer
        assert rrs(query("abs.example", port=port)) == [("abs.example.", "A", "192.0.2.3")]


def test_without_cache_every_query_reads_the_file():
    port = free_port()
    files = {"zones/live.test": "www IN A 192.0.2.1\n"}
    srv = DnsServer(settings(port, DNSDomainsDir="zones"), extra_files=files)
    with srv.start(wait_port=port):
        assert rrs(query("www.live.test", port=port)) == [("www.live.test.", "A", "192.0.2.1")]
        with open(os.path.join(srv.dir, "zones/live.test"), "w") as f:
            f.write("www IN A 192.0.2.2\n")
        assert rrs(query("www.live.test", port=port)) == [("www.live.test.", "A", "192.0.2.2")]


def test_cached_zone_is_kept_for_its_time_then_read_again():
    port = free_port()
    files = {"zones/kept.test": "www IN A 192.0.2.1\n"}
    srv = DnsServer(settings(port, DNSDomainsDir="zones", DNSCacheTTL=2, Log="yes"), extra_files=files)
    with srv.start(wait_port=port):
        assert rrs(query("www.kept.test", port=port)) == [("www.kept.test.", "A", "192.0.2.1")]
        with open(os.path.join(srv.dir, "zones/kept.test"), "w") as f:
            f.write("www IN A 192.0.2.2\n")
        assert rrs(query("www.kept.test", port=port)) == [("www.kept.test.", "A", "192.0.2.1")]
        time.sleep(2.1)
        # Expired: dropped at the lookup and the file is read again in the same request.
        assert rrs(query("www.kept.test", port=port)) == [("www.kept.test.", "A", "192.0.2.2")]
        log = srv.log_text()
        assert log.count("RESPONSE FROM DOMAIN INFO FILE") == 2
        assert log.count("RESPONSE FROM DOMAIN INFO CACHE") == 1


class Upstream(UdpPeer):
    """Answers A/AAAA/TXT questions itself: a TXT answer of about 700 bytes for big.*, NXDOMAIN
    for nx.*, else one record; counts what reaches it."""

    def __init__(self):
        super().__init__(respond=self.answer)

    @staticmethod
    def answer(data):
        q = dns.message.from_wire(data)
        r = dns.message.make_response(q)
        name = q.question[0].name.to_text().lower()
        rdtype = q.question[0].rdtype
        if name.startswith("nx."):
            r.set_rcode(dns.rcode.NXDOMAIN)
        elif name.startswith("big."):
            r.answer.append(dns.rrset.from_text(q.question[0].name, 60, "IN", "TXT",
                                                *['"%s"' % (c * 200) for c in "xyz"]))
        elif rdtype == dns.rdatatype.A:
            r.answer.append(dns.rrset.from_text(q.question[0].name, 60, "IN", "A", "192.0.2.200"))
        elif rdtype == dns.rdatatype.AAAA:
            r.answer.append(dns.rrset.from_text(q.question[0].name, 60, "IN", "AAAA", "2001:db8::200"))
        return r.to_wire()


def test_response_rings():
    import dns.rrset  # noqa: F401
    port = free_port()
    with Upstream() as up:
        cfg = settings(port, DNSHost="127.0.0.1", DNSPort=up.port, AllowExternalDomains="yes", DNSCacheTTL=3,
                       Log="yes")
        with DnsServer(cfg).start(wait_port=port) as srv:
            first = query("www.ring.test", port=port, id=1)
            assert first is not None and len(up.received) == 1
            again = query("WWW.Ring.TEST", port=port, id=2)
            assert again.id == 2 and len(up.received) == 1, "any letter case, from the ring"
            assert rrs(again) == rrs(first)
            # AAAA is never kept; answers over 512 bytes and failures are relayed but not kept.
            for name, rdtype in (("www.ring.test", "AAAA"), ("big.ring.test", "TXT"), ("nx.ring.test", "A")):
                n = len(up.received)
                assert query(name, rdtype, port=port) is not None
                assert query(name, rdtype, port=port) is not None
                assert len(up.received) == n + 2, name
            assert "RESPONSE FROM CACHE" in srv.log_text()
            # An answer stored TTL seconds ago has expired.
            time.sleep(3.05)
            n = len(up.received)
            assert query("www.ring.test", port=port) is not None
            assert len(up.received) == n + 1


def test_full_ring_overwrites_the_oldest():
    port = free_port()
    with Upstream() as up:
        cfg = settings(port, DNSHost="127.0.0.1", DNSPort=up.port, AllowExternalDomains="yes", DNSCacheTTL=600,
                       Log="yes")
        with DnsServer(cfg).start(wait_port=port) as srv:
            for i in range(1024):
                assert query("n%d.ring.test" % i, port=port) is not None
            assert wait_until(lambda: "DNS CACHE A SIZE: 1023" in srv.log_text(), 5)
            n = len(up.received)
            assert query("n1023.ring.test", port=port) is not None and len(up.received) == n
            assert query("n0.ring.test", port=port) is not None and len(up.received) == n + 1, \
                "the 1024th store overwrote the oldest answer"
