"""Domain lists, client IP control and the report URLs end to end: the real binary, a real HTTP
server on loopback serving the lists, and real clients."""
import re
import socket
import time

import dns.message
import pytest

from dnstest import DnsServer, HttpServer, UdpPeer, free_port, query, wait_until

STAMP = r"\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] "


def settings(port, **extra):
    # Every name under .test is answered locally (MYIP), so only the lists decide.
    lines = ["SrvIP 127.0.0.1", "SrvPort %d" % port, "SrvPort2 %d" % port, "MyIPDomains test",
             "AccessLogFile access.log"]
    lines += ["%s %s" % (k, v) for k, v in extra.items()]
    return "\n".join(lines) + "\n"


def answered(name, port):
    r = query(name, port=port, timeout=0.4)
    return r is not None and bool(r.answer)


def test_denied_and_allowed_names_with_parents_and_leading_dots():
    port = free_port()
    cfg = settings(port, DeniedDomains="evil.test,.bad.test", AllowedDomains="good.test,.sub.test,bad.test")
    with DnsServer(cfg).start(wait_port=port) as srv:
        cases = {
            "good.test": True, "www.good.test": True,       # allowed, name and below
            "sub.test": False, "a.sub.test": True,          # leading dot: only below
            "evil.test": False, "x.evil.test": False,       # denied, name and below
            "bad.test": True, "x.bad.test": False,          # denied only below
            "other.test": False,                            # outside the allowed list
        }
        for name, ok in cases.items():
            assert answered(name, port) == ok, name
        lines = srv.access_lines()
        assert any(re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] DOMAIN REJECTED: x\.evil\.test", l) for l in lines)
        assert any(re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] DOMAIN REFUSED: other\.test", l) for l in lines)
        assert any(re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] DOMAIN REFUSED: sub\.test", l) for l in lines)


def test_allowed_urls_round_robin_and_live_changes():
    with HttpServer() as http:
        http.put("a1", "one.test\n")
        http.put("a2", "two.test\n")
        http.put("a3", "three.test\n")
        http.put("d", "evil.test\n")
        port = free_port()
        cfg = settings(port, AllowedUrl=",".join(http.url(n) for n in ("a1", "a2", "a3")),
                       DeniedUrl=http.url("d"), ReloadSeconds=1, UserAgent="e2e-agent")
        with DnsServer(cfg).start(wait_port=port):
            assert http.requests()[:2] == ["/a1", "/d"]
            assert answered("one.test", port) and not answered("two.test", port)
            assert wait_until(lambda: http.requests().count("/a1") >= 2, 8)
            seq = [p for p in http.requests() if p.startswith("/a")]
            assert seq[:4] == ["/a1", "/a2", "/a3", "/a1"]
            assert http.requests().count("/d") >= 3, "the denied list fetches its one URL again"
            # A changed document changes the answers without a restart.
            http.put("d", "one.test\n")
            assert wait_until(lambda: not answered("one.test", port), 8)
            # An HTML page or an empty document keeps the entries held.
            http.put("d", "<html><body>maintenance</body></html>\n")
            n = http.requests().count("/d")
            assert wait_until(lambda: http.requests().count("/d") >= n + 2, 8)
            assert not answered("one.test", port)
            http.put("d", "")
            n = http.requests().count("/d")
            assert wait_until(lambda: http.requests().count("/d") >= n + 2, 8)
            assert not answered("one.test", port)


def test_url_that_does_not_answer_stops_the_start():
    port = free_port()
    dead = socket.socket()
    dead.bind(("127.0.0.1", 0))
    url = "http://127.0.0.1:%d/list" % dead.getsockname()[1]
    dead.close()  # nothing listens there
    srv = DnsServer(settings(port, AllowedUrl=url)).start()
    assert srv.wait_exit(60) == 0
    assert "Unable to set AllowedUrl=%s" % url in srv.log_text()
    srv.stop()


def test_report_url_switches_the_upstream_host():
    upstream_port = free_port()

    def answer(data):
        q = dns.message.from_wire(data)
        return dns.message.make_response(q).to_wire()

    with HttpServer() as http, UdpPeer(respond=answer, host="127.0.0.1", port=upstream_port) as first, \
            UdpPeer(respond=answer, host="127.0.0.2", port=upstream_port) as second:
        http.put("host", "dns=+127.0.0.1:53\n")
        port = free_port()
        cfg = ("SrvIP 127.0.0.1\nSrvPort %d\nSrvPort2 %d\nAllowExternalDomains yes\nDNSPort %d\n"
               "ReportUrl %s\nReportSeconds 1\nLog yes\n" % (port, port, upstream_port, http.url("host")))
        with DnsServer(cfg).start(wait_port=port) as srv:
            assert query("x.example", port=port) is not None
            assert len(first.received) == 1 and not second.received
            http.put("host", "dns=127.0.0.2:5353\n")
            assert wait_until(lambda: "DNS Server Host: 127.0.0.2" in srv.log_text(), 8)
            assert query("y.example", port=port) is not None
            assert len(second.received) == 1 and len(first.received) == 1


def test_client_ip_control():
    port = free_port()
    cfg = settings(port, AllowDenyOrder="Allow,Deny", AllowFrom="10.0.0.0/8")
    with DnsServer(cfg).start(wait_port=port) as srv:
        assert not answered("a.test", port)
        assert re.fullmatch(STAMP + r"127\.0\.0\.1 \[\d+\] IP REJECTED", srv.access_lines()[-1])

    # A port-specific entry matches only that source port.
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.bind(("127.0.0.1", 0))
    client_port = client.getsockname()[1]
    port = free_port()
    cfg = settings(port, AllowDenyOrder="Allow,Deny", AllowFrom="127.0.0.1:%d" % client_port)
    with DnsServer(cfg).start(wait_port=port):
        client.settimeout(1)
        client.sendto(dns.message.make_query("a.test", "A").to_wire(), ("127.0.0.1", port))
        assert dns.message.from_wire(client.recvfrom(65535)[0]).answer
        assert not answered("a.test", port), "another source port is refused"
    client.close()


def test_ip_list_file_with_long_lines_is_read_in_pieces(tmp_path):
    # A file line is read in pieces of 24 characters, each piece one entry: this line is the
    # entry 10.255.255.254/32 (written in 24 characters) followed by the entry 127.0.0.1.
    first = "10.255.255.254/000000032"
    assert len(first) == 24
    port = free_port()
    srv = DnsServer(settings(port, DenyFromFile="deny.txt", AllowDenyOrder="Deny,Allow"),
                    extra_files={"deny.txt": "10.0.0.9\n" + first + "127.0.0.1\n"})
    with srv.start(wait_port=port):
        assert not answered("a.test", port), "the second piece of the long line denies 127.0.0.1"
