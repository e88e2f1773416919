"""Faults around a running server, each with real peers: an upstream that crashes, is slow or sends
garbage; list URLs that go down, hang or serve an HTML page during a reload; log files that vanish
or cannot be written; a stop signal during a hanging reload. The server must keep answering what
it can, keep the data it holds, and stop within its grace times."""
import os
import random
import re
import shutil
import signal
import socket
import struct
import time

import dns.message
import dns.rcode
import pytest

from dbtest import Database, PrivateMariaDB, _alive, seed_rows, server_settings
from dnstest import DnsServer, HttpServer, Nsd, UdpPeer, free_port, query, wait_until

ZONE = """$ORIGIN zone.test.
$TTL 300
@     IN SOA ns1 admin 1 3600 600 86400 300
@     IN NS  ns1
ns1   IN A   127.0.0.1
www   IN A   192.0.2.1
mail  IN MX  10 mx1
mx1   IN A   192.0.2.25
"""

# A stop signal is honoured within the background threads' and engines' grace times (5 s each in
# the worst case); in practice it must be far quicker, so allow one grace period and a margin.
STOP_LIMIT = 7.0


def settings(port, **extra):
    lines = ["SrvIP 127.0.0.1", "SrvPort %d" % port, "SrvPort2 %d" % port]
    lines += ["%s %s" % (k, v) for k, v in extra.items()]
    return "\n".join(lines) + "\n"


def www_answer(port, timeout=1.0, id=None):
    r = query("www.zone.test", port=port, timeout=timeout, id=id)
    return r is not None and [rr.to_text() for rrset in r.answer for rr in rrset] == ["192.0.2.1"]


def local_answer(name, port, timeout=1.0):
    r = query(name, port=port, timeout=timeout)
    return r is not None and bool(r.answer)


def stop_with(srv, sig):
    """Sends the signal and returns (exit code, seconds until the process ended)."""
    start = time.time()
    srv.proc.send_signal(sig)
    code = srv.proc.wait(30)
    elapsed = time.time() - start
    srv.stop()
    return code, elapsed


def test_upstream_killed_mid_run_then_back():
    nsd = Nsd({"zone.test": ZONE}).start()
    port = free_port()
    cfg = settings(port, DNSHost="127.0.0.1", DNSPort=nsd.port, AllowExternalDomains="yes", DNSTimeout=2,
                   MyIPDomains="myip.test", Log="yes")
    try:
        with DnsServer(cfg).start(wait_port=port) as srv:
            assert www_answer(port)
            nsd.kill()
            # The upstream is gone (its port answers with ICMP errors): forwarded names go unanswered,
            # local answers go on, nothing piles up.
            for i in range(30):
                assert query("n%d.zone.test" % i, port=port, timeout=0.1) is None
                assert local_answer("host.myip.test", port)
            nsd = Nsd({"zone.test": ZONE}, port=nsd.port).start()
            assert wait_until(lambda: www_answer(port, timeout=0.5), 10), "forwarding resumes"
            assert "DNS RESPONSE REJECTED" not in srv.log_text()
            code, elapsed = stop_with(srv, signal.SIGTERM)
            assert code == 0 and elapsed < STOP_LIMIT, elapsed
    finally:
        nsd.stop()


def test_slow_upstream_does_not_hold_up_local_answers():
    with Nsd({"zone.test": ZONE}) as nsd:
        relay = UdpPeer(relay_to=nsd.port)

        def slow(data):
            name = dns.message.from_wire(data).question[0].name.to_text()
            time.sleep(2.6 if name.startswith("late.") else 0.8)
            return relay._relay(data)

        with UdpPeer(respond=slow) as upstream:
            port = free_port()
            cfg = settings(port, DNSHost="127.0.0.1", DNSPort=upstream.port, AllowExternalDomains="yes",
                           DNSTimeout=2, MyIPDomains="myip.test", Log="yes")
            with DnsServer(cfg).start(wait_port=port) as srv:
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.settimeout(3)
                q = dns.message.make_query("www.zone.test", "A")
                q.id = 0x2468
                s.sendto(q.to_wire(), ("127.0.0.1", port))
                # While the upstream thinks, local names are answered at once.
                started = time.time()
                assert local_answer("a.myip.test", port, timeout=0.5)
                assert time.time() - started < 0.5
                reply = dns.message.from_wire(s.recvfrom(65535)[0])
                assert reply.id == 0x2468 and reply.answer, "the slow answer is relayed with the client's id"
                s.close()
                # An answer later than DNSTimeout is dropped; the server goes on.
                assert query("late.zone.test", port=port, timeout=3.5) is None
                assert wait_until(lambda: re.search(r"DNS RESPONSE REJECTED \[id=0x\d+\]: timed out", srv.log_text()), 3)
                assert local_answer("b.myip.test", port)
        relay.sock.close()


def test_hostile_upstream_garbage_and_stray_ids_do_not_reach_clients():
    rng = random.Random(7)
    with Nsd({"zone.test": ZONE}) as nsd:
        relay = UdpPeer(relay_to=nsd.port)

        def hostile(data):
            # Before the real answer: garbage of every length, truncated copies and answers whose
            # ids name other slots (free ones: only this query is in flight).
            own = struct.unpack(">H", data[:2])[0]
            out = []
            for _ in range(40):
                junk = bytearray(rng.getrandbits(8) for _ in range(rng.randrange(0, 600)))
                if len(junk) >= 2:
                    other = own
                    while other == own:
                        other = rng.randrange(0, 65536)
                    junk[0:2] = struct.pack(">H", other)
                out.append(bytes(junk))
            real = relay._relay(data)
            if real is not None:
                stray = bytearray(real)
                stray[0:2] = struct.pack(">H", own % 65520 + 1)
                out += [bytes(stray), real[:1], real]
            return out

        with UdpPeer(respond=hostile) as upstream:
            port = free_port()
            cfg = settings(port, DNSHost="127.0.0.1", DNSPort=upstream.port, AllowExternalDomains="yes",
                           DNSCacheTTL=60, AccessLogFile="access.log")
            with DnsServer(cfg).start(wait_port=port) as srv:
                names = ["h%d.zone.test" % i for i in range(12)] + ["mail.zone.test"] * 3
                for i, name in enumerate(names):
                    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    s.settimeout(0.4)
                    q = dns.message.make_query(name, "MX")
                    q.id = 0x3000 + i
                    s.sendto(q.to_wire(), ("127.0.0.1", port))
                    got = []
                    try:
                        while True:
                            got.append(s.recvfrom(65535)[0])
                    except socket.timeout:
                        pass
                    s.close()
                    # Exactly one datagram reaches the client: a whole answer with its own id
                    # (the upstream's, or the copy kept from it).
                    assert len(got) == 1, (name, got)
                    reply = dns.message.from_wire(got[0])
                    assert reply.id == 0x3000 + i and reply.question[0].name.to_text() == name + "."
                    if name.startswith("h"):
                        assert reply.rcode() == dns.rcode.NXDOMAIN
                    else:
                        # The first from upstream, the others from the response ring: never poisoned.
                        assert reply.rcode() == dns.rcode.NOERROR
                        assert [rr.to_text() for rrset in reply.answer for rr in rrset] == ["10 mx1.zone.test."]
                assert sum(1 for d in upstream.received if b"\x04mail" in d) == 1
                assert srv.proc.poll() is None
        relay.sock.close()


def test_list_urls_that_fail_during_reloads_keep_the_entries():
    with HttpServer() as http:
        http.put("allow", "good.test\n")
        http.put("deny", "evil.good.test\n")
        port = free_port()
        cfg = settings(port, MyIPDomains="test", AllowedUrl=http.url("allow"), DeniedUrl=http.url("deny"),
                       ReloadSeconds=1, Log="yes")
        with DnsServer(cfg).start(wait_port=port) as srv:
            def holds():
                return (local_answer("www.good.test", port) and not local_answer("evil.good.test", port, 0.3)
                        and not local_answer("other.test", port, 0.3))

            assert holds()
            # An HTML page in place of both documents.
            page = "<html><head><title>Maintenance</title></head><body>back soon</body></html>\n"
            http.put("allow", page)
            http.put("deny", page)
            assert wait_until(lambda: srv.log_text().count("Load domains from url failed (") >= 4, 10)
            assert holds()
            # An empty document.
            http.put("allow", "")
            http.put("deny", "")
            n = len(http.requests())
            assert wait_until(lambda: len(http.requests()) >= n + 4, 10)
            assert holds()
            # The list server goes away.
            http.stop()
            assert wait_until(lambda: srv.log_text().count("InternetOpenUrl failed with error") >= 4, 10)
            assert holds()
            code, elapsed = stop_with(srv, signal.SIGTERM)
            assert code == 0 and elapsed < STOP_LIMIT, elapsed


def test_sigint_during_a_hanging_reload_stops_in_time():
    with HttpServer() as http:
        http.put("allow", "good.test\n")
        port = free_port()
        # Round robin: the start fetches "allow", the first reload "hang", which never answers.
        cfg = settings(port, MyIPDomains="test", AllowedUrl=http.url("allow") + "," + http.url("hang"),
                       ReloadSeconds=1, Log="yes", AccessLogFile="access.log")
        with DnsServer(cfg).start(wait_port=port) as srv:
            assert wait_until(lambda: "/hang" in http.requests(), 10)
            time.sleep(0.5)
            # Lookups never wait for the fetch: the held entries answer meanwhile.
            for _ in range(5):
                assert local_answer("www.good.test", port)
                assert not local_answer("other.test", port, 0.2)
            code, elapsed = stop_with(srv, signal.SIGINT)
            assert code == 0 and elapsed < STOP_LIMIT, elapsed
            log = srv.log_text()
            assert "did not properly terminate" not in log, log
            assert "[DNS::ReloadThread] Terminated." in log


def test_log_and_access_log_deleted_or_unwritable():
    port = free_port()
    # The access log's folder does not exist yet: its lines are lost until it does.
    cfg = settings(port, MyIPDomains="test", Log="yes", AccessLogFile="logs/access.log")
    srv = DnsServer(cfg).start(wait_port=port)
    try:
        access = os.path.join(srv.dir, "logs", "access.log")

        def access_text():
            try:
                with open(access) as f:
                    return f.read()
            except OSError:
                return ""

        assert local_answer("a.test", port)
        os.mkdir(os.path.join(srv.dir, "logs"))
        assert local_answer("b.test", port)
        assert wait_until(lambda: "RESPONSE A b.test 0" in access_text(), 3)
        assert "a.test" not in access_text()

        # The log file deleted: the next line makes it again.
        os.remove(srv.log)
        assert local_answer("c.test", port)
        assert wait_until(lambda: "name=c.test" in srv.log_text(), 3)

        # Both files replaced by folders: lines are lost, answers go on.
        os.remove(srv.log)
        os.mkdir(srv.log)
        os.remove(access)
        os.mkdir(access)
        for name in ("d.test", "e.test"):
            assert local_answer(name, port)
        assert srv.proc.poll() is None

        # Writable again: the lines come back.
        os.rmdir(srv.log)
        os.rmdir(access)
        assert local_answer("f.test", port)
        assert wait_until(lambda: "name=f.test" in srv.log_text() and "RESPONSE A f.test 0" in access_text(), 3)
        assert "d.test" not in srv.log_text() + access_text()

        # The access log's folder removed altogether while running.
        shutil.rmtree(os.path.join(srv.dir, "logs"))
        assert local_answer("g.test", port)
        code, elapsed = stop_with(srv, signal.SIGTERM)
        assert code == 0 and elapsed < STOP_LIMIT, elapsed
    finally:
        srv.stop()


ZONE_FILE = """$TTL 3600
@       IN SOA ns1 admin ( 1 1H 15M 1W 300 )
        IN NS  ns1
ns1     IN A   192.0.2.1
""" + "".join("h%02d     IN A   192.0.2.%d\n" % (i, 100 + i) for i in range(40))


def test_zone_file_deleted_or_truncated_while_cached():
    port = free_port()
    files = {"zones/cut.test": ZONE_FILE}
    srv = DnsServer(settings(port, DNSDomainsDir="zones", DNSCacheTTL=2, AccessLogFile="access.log"),
                    extra_files=files)
    path = os.path.join(srv.dir, "zones", "cut.test")

    def address(name, timeout=1.0):
        r = query(name, port=port, timeout=timeout)
        if r is None:
            return None
        return [rd.to_text() for rrset in r.answer for rd in rrset]

    with srv.start(wait_port=port):
        assert address("h05.cut.test") == ["192.0.2.105"]
        # Deleted: the cached zone answers until it expires, then the name is no longer local.
        os.remove(path)
        for name, ip in (("h05.cut.test", "192.0.2.105"), ("h39.cut.test", "192.0.2.139")):
            assert address(name) == [ip]
        time.sleep(2.2)
        assert not address("h05.cut.test", timeout=0.5)
        # Truncated in the middle of a line: what could be read answers, the rest does not.
        text = ZONE_FILE[: ZONE_FILE.index("h20") + 9]
        with open(path, "w") as f:
            f.write(text)
        assert address("h05.cut.test") == ["192.0.2.105"]
        assert not address("h30.cut.test", timeout=0.5)
        # Cut to nothing, then garbage in place of the zone: no crash, and back when repaired.
        for damaged in (b"", bytes(range(256)) * 40, b"@ IN SOA (" + b"x " * 5000):
            with open(path, "wb") as f:
                f.write(damaged)
            time.sleep(2.2)
            assert not address("h05.cut.test", timeout=0.5)
            assert srv.proc.poll() is None
        with open(path, "w") as f:
            f.write(ZONE_FILE)
        time.sleep(2.2)
        assert address("h39.cut.test") == ["192.0.2.139"]
        code, elapsed = stop_with(srv, signal.SIGTERM)
        assert code == 0 and elapsed < STOP_LIMIT, elapsed


def test_database_killed_and_restarted():
    if not os.environ.get("MYSQL_TEST_HOST"):
        pytest.skip("MYSQL_TEST_* not set: no database tests")
    mariadb = PrivateMariaDB()
    try:
        db = Database(mariadb)
        port = free_port()
        db.seed_settings(seed_rows(port, reload_seconds=1))
        with DnsServer(server_settings(mariadb, db, port)) as srv:
            srv.start(wait_port=port)  # creates the tables
            zone = db.add_zone("held.example")
            db.add_record(zone, "www", "A", "203.0.113.7")

            def held():
                r = query("www.held.example", port=port, timeout=0.5)
                return r is not None and [rd.to_text() for rrset in r.answer for rd in rrset] == ["203.0.113.7"]

            assert wait_until(held, 15), srv.log_text()

            def kill_db():
                pid = mariadb._pid()
                os.kill(pid, signal.SIGKILL)
                assert wait_until(lambda: not _alive(pid), 10)
                if mariadb.proc is not None:
                    mariadb.proc.wait(10)

            # Killed outright, as a crash or the OOM killer would: no goodbye on the connections.
            kill_db()
            assert wait_until(lambda: "[DNS::ReloadDNSZones]" in srv.log_text() and "SQLException" in srv.log_text(),
                              15), srv.log_text()
            for _ in range(5):
                assert held(), "the zones held keep answering"
                time.sleep(0.3)
            mariadb.start_server()
            added = db.add_zone("later.example")
            db.add_record(added, "www", "A", "203.0.113.8")
            assert wait_until(lambda: query("www.later.example", port=port, timeout=0.5) is not None, 30), \
                srv.log_text()
            assert held()
            # Killed again, and the stop comes while the database is away.
            kill_db()
            time.sleep(1.5)
            code, elapsed = stop_with(srv, signal.SIGINT)
            assert code == 0 and elapsed < STOP_LIMIT, elapsed
            assert "did not properly terminate" not in srv.log_text()
    finally:
        mariadb.close()
