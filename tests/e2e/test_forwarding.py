"""The server end to end as a forwarding DNS server: the real binary between real clients and a
real upstream (NSD), plus scripted upstreams for silence, garbage and wrong ids."""
import re
import socket
import struct
import time

import dns.flags
import dns.message
import dns.rcode
import pytest

from dnstest import DnsServer, Nsd, UdpPeer, free_port, query, raw_exchange, udp_rx_queue, wait_until

ZONE = """$ORIGIN zone.test.
$TTL 300
@     IN SOA ns1 admin 1 3600 600 86400 300
@     IN NS  ns1
ns1   IN A   127.0.0.1
www   IN A   192.0.2.1
www   IN AAAA 2001:db8::1
mail  IN MX  10 mx1
mx1   IN A   192.0.2.25
txt   IN TXT "hello world" "second string"
alias IN CNAME www
"""

STAMP = r"\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] "


def settings(port, **extra):
    lines = ["SrvIP 127.0.0.1", "SrvPort %d" % port, "SrvPort2 %d" % port]
    lines += ["%s %s" % (k, v) for k, v in extra.items()]
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def nsd():
    with Nsd({"zone.test": ZONE}) as server:
        yield server


def raw_query(name, rdtype="A", id=0x1234):
    q = dns.message.make_query(name, rdtype)
    q.id = id
    return q.to_wire()


def test_answer_is_the_upstream_answer_with_the_client_id(nsd):
    port = free_port()
    with UdpPeer(relay_to=nsd.port) as upstream:
        cfg = settings(port, DNSHost="127.0.0.1", DNSPort=upstream.port, AllowExternalDomains="yes",
                       AccessLogFile="access.log", Log="yes")
        with DnsServer(cfg).start(wait_port=port) as srv:
            for i, (name, rdtype) in enumerate([("www.zone.test", "A"), ("www.zone.test", "AAAA"),
                                                ("mail.zone.test", "MX"), ("txt.zone.test", "TXT"),
                                                ("alias.zone.test", "A"), ("nothing.zone.test", "A")]):
                wire = raw_query(name, rdtype, id=0x4000 + i)
                direct, _ = raw_exchange(wire, nsd.port)
                relayed, _ = raw_exchange(wire, port)
                assert relayed is not None, name
                assert relayed[:2] == struct.pack(">H", 0x4000 + i)
                assert relayed[2:] == direct[2:], "byte for byte the upstream's answer"
            # The upstream saw slot ids (slot number + 1, counting from 1), not the client's ids.
            seen = [struct.unpack(">H", d[:2])[0] for d in upstream.received]
            assert seen == list(range(1, 7))
            lines = srv.access_lines()
            assert any(re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] REQUEST AAAA www\.zone\.test ", l) for l in lines), lines
            assert any(re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] RESPONSE MX mail\.zone\.test 0", l) for l in lines), lines
            assert any(re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] RESPONSE A nothing\.zone\.test 3", l) for l in lines), lines
            log = srv.log_text()
            assert re.search(STAMP + r"DNS REQUEST 127\.0\.0\.1:\d+ \[\d+\] \[\d+ bytes\]\n", log)
            assert re.search(STAMP + r"DNS RESPONSE 127\.0\.0\.1:%d \[\d+\] \[\d+ bytes\]\n" % upstream.port, log)
            assert re.search(r"id=0x4002, flags=0x100 \(qr:0, opcode:0, aa:0, tc:0, rd:1, ra:0, z:0, rcode:0\), "
                             r"qdcount=1, ancount=0, nscount=0, arcount=0\n    name=mail\.zone\.test, qtype=MX, qclass=IN\n", log)
            assert re.search(r"  RR \[id=0x\w+\] 0: name=mail\.zone\.test, type=MX, class=IN, ttl=300, rdlength=\d+, "
                             r"preference=10, exchanger=mx1\.zone\.test\n", log)
            assert re.search(r"  RR \[id=0x\w+\] 0: name=www\.zone\.test, type=AAAA, class=IN, ttl=300, rdlength=16, "
                             r"ip6=2001:db8::1\n", log)


def test_two_upstreams_both_asked_one_answer(nsd):
    port = free_port()
    with UdpPeer(relay_to=nsd.port) as first, UdpPeer(relay_to=nsd.port) as second:
        cfg = settings(port, DNSHost="127.0.0.1", DNSPort=first.port, DNSHost2="127.0.0.1",
                       DNSPort2=second.port, AllowExternalDomains="yes")
        with DnsServer(cfg).start(wait_port=port):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(1.0)
            s.sendto(raw_query("www.zone.test", id=0x7777), ("127.0.0.1", port))
            answers = []
            try:
                while True:
                    answers.append(s.recvfrom(65535)[0])
            except socket.timeout:
                pass
            s.close()
            assert len(answers) == 1
            assert dns.message.from_wire(answers[0]).id == 0x7777
            assert len(first.received) == 1 and len(second.received) == 1
            ids = {struct.unpack(">H", first.received[0][:2])[0], struct.unpack(">H", second.received[0][:2])[0]}
            assert len(ids) == 2, "each copy carries its own slot id"


def test_only_second_host_uses_one_slot(nsd):
    port = free_port()
    with UdpPeer(relay_to=nsd.port) as second:
        cfg = settings(port, DNSHost2="127.0.0.1", DNSPort2=second.port, AllowExternalDomains="yes")
        with DnsServer(cfg).start(wait_port=port):
            for i in range(3):
                r = query("www.zone.test", port=port, id=100 + i)
                assert r is not None and r.id == 100 + i
            assert [struct.unpack(">H", d[:2])[0] for d in second.received] == [1, 2, 3]


def test_without_upstream(tmp_path):
    port = free_port()
    cfg = settings(port, AllowExternalDomains="yes", AccessLogFile="access.log")
    with DnsServer(cfg).start(wait_port=port):
        r = query("example.invalid", port=port)
        assert r is not None and r.rcode() == dns.rcode.NXDOMAIN
        assert r.flags & dns.flags.QR
    port = free_port()
    with DnsServer(settings(port, AccessLogFile="access.log")).start(wait_port=port) as srv:
        assert query("example.invalid", port=port, timeout=0.5) is None
        assert wait_until(lambda: srv.access_lines())
        assert re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] DOMAIN REFUSED: example\.invalid", srv.access_lines()[-1])


def test_silent_upstream_slots_time_out_and_are_reused():
    port = free_port()
    with UdpPeer(respond=lambda d: None) as silent:
        cfg = settings(port, DNSHost="127.0.0.1", DNSPort=silent.port, AllowExternalDomains="yes", DNSTimeout=8)
        with DnsServer(cfg).start(wait_port=port) as srv:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
            start = time.time()
            wire = bytearray(raw_query("slow.zone.test", id=0))
            # 65520 requests fill every slot; a few thousand more (datagrams may be lost under
            # load) each find the table full and get a server failure. Bounded: 68520 datagrams.
            for i in range(65520 + 3000):
                wire[0:2] = struct.pack(">H", i & 0xFFFF)
                s.sendto(wire, ("127.0.0.1", port))
                if i % 100 == 99:
                    # keep within the server's socket buffer: wait until it has taken the batch
                    wait_until(lambda: udp_rx_queue(port) == 0, 2, 0.0005)
            filled = time.time() - start
            s.settimeout(1.0)
            replies = []
            try:
                while True:
                    replies.append(dns.message.from_wire(s.recvfrom(65535)[0]))
            except socket.timeout:
                pass
            s.close()
            if filled < 6:
                assert replies, "a full forward table answers with a server failure"
                assert all(r.rcode() == dns.rcode.SERVFAIL for r in replies)
            time.sleep(max(0.0, 8.3 - (time.time() - start)))
            # After the time-out the slots are taken again and requests go upstream.
            before = len(silent.received)
            assert query("again.zone.test", port=port, timeout=0.3) is None
            assert wait_until(lambda: len(silent.received) == before + 1, 2)
            assert srv.proc.poll() is None


def test_myip_over_ipv4_only(nsd):
    port = free_port()
    cfg = "SrvIPv6 yes\nSrvPort %d\nSrvPort2 %d\nMyIPDomains myip.test\n" % (port, port)
    with DnsServer(cfg).start(wait_port=port):
        r = query("host.myip.test", port=port)
        assert r is not None and r.rcode() == 0
        assert [(rr.to_text(), rrset.ttl) for rrset in r.answer for rr in rrset] == [("127.0.0.1", 0)]
        assert query("host.myip.test", "AAAA", port=port, timeout=0.5) is None
        assert query("host.myip.test", port=port, host="::1", timeout=0.5) is None, "not answered over IPv6"


def test_rejected_setting_stops_the_start_with_exit_code_0():
    port = free_port()
    srv = DnsServer(settings(port, DNSPort=65536)).start()
    assert srv.wait_exit(15) == 0
    assert re.search(r"Error: " + STAMP + r"Unable to set DNSPort=65536\n", srv.log_text())
    assert not srv.proc.poll() is None or True
    srv.stop()


def test_defaults_in_the_configuration_print():
    srv = DnsServer("Log yes\n").start()
    assert wait_until(lambda: "Press Ctrl+Break to stop." in srv.stdout(), 10)
    srv.stop()
    log = srv.log_text()
    expected = ("Service IP: ANY\nService Port: 53\nFrom IP: ANY\nDNS Server is not specified\n"
                "DNS Timeout: 10 sec.\nNo DNS Cache.\n")
    assert expected in log, log
    assert "Deny,Allow" in log


@pytest.mark.parametrize("datagram,answered", [
    (b"", False),
    (b"\x12\x34" + b"\x00" * 9, False),                                      # 11 bytes
    (b"\x12\x34\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00", False),            # qdcount 0
    (b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\xc0\x0c\x00\x01\x00\x01", True),  # pointer loop
    (b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x03a b\x00\x00\x01\x00\x01", False),  # bad character
    (bytes(range(256)) * 32, None),                                          # 8192 bytes of garbage
])
def test_broken_datagrams_then_valid_queries(datagram, answered):
    port = free_port()
    cfg = settings(port, MyIPDomains="myip.test", AccessLogFile="access.log")
    with DnsServer(cfg).start(wait_port=port) as srv:
        reply, _ = raw_exchange(datagram, port, timeout=0.5)
        if answered is not None:
            assert (reply is not None) == answered, reply
        if reply is not None:
            assert reply[:2] == datagram[:2] and reply[2] & 0x80 and reply[3] & 0x0F == 2
        r = query("a.myip.test", port=port)
        assert r is not None and r.answer, "still answering"
        assert srv.proc.poll() is None


def test_upstream_garbage_wrong_ids_and_late_answers_are_dropped(nsd):
    port = free_port()

    def garbage(data):
        # garbage, a wrong id, id 0, then (never) the real answer
        bad = bytearray(data)
        bad[0:2] = b"\xff\xf1"  # slot 65521: past the last slot
        zero = bytearray(data)
        zero[0:2] = b"\x00\x00"
        return [b"\x01\x02\x03", bytes(bad), bytes(zero)]

    with UdpPeer(respond=garbage) as upstream:
        cfg = settings(port, DNSHost="127.0.0.1", DNSPort=upstream.port, AllowExternalDomains="yes",
                       DNSTimeout=1, Log="yes")
        with DnsServer(cfg).start(wait_port=port) as srv:
            assert query("www.zone.test", port=port, timeout=1.0) is None
            log = srv.log_text()
            assert "DNS RESPONSE REJECTED [id=0x65521]: bad request id" in log
            assert "DNS RESPONSE REJECTED [id=0x65536]: bad request id" in log  # id 0
            assert srv.proc.poll() is None

    late = {"n": 0}

    def slow(data):
        time.sleep(1.2)
        return None

    with UdpPeer(respond=slow) as upstream:
        cfg = settings(port, DNSHost="127.0.0.1", DNSPort=upstream.port, AllowExternalDomains="yes",
                       DNSTimeout=1, Log="yes")
        with DnsServer(cfg).start(wait_port=port) as srv:
            assert query("www.zone.test", port=port, timeout=0.5) is None
            srv.proc.poll()
