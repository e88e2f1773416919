"""The real dnsserver on a real MariaDB: zones and records inserted with SQL are answered, the
database settings win over the file, zones come and go at the reloads, the program registers in
Versions, and a database that cannot be used stops the start. Without the database module the
server runs from files."""
import os
import re
import shutil
import subprocess
import tempfile
import time

import dns.rcode
import dns.rdatatype
import pytest

import dnstest
from dbtest import Database, MariaDB, seed_rows, server_settings, wait_for
from dnstest import DnsServer, free_port, query

UNIFORM_ERROR = r"Error: \[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] \[%s\]\[%s\] SQLException: .+ \(MySQL error code: \d+, SQLState: \w+\)"


@pytest.fixture
def mariadb():
    return MariaDB.shared()


@pytest.fixture
def db(mariadb):
    d = Database(mariadb)
    yield d
    d.drop()


def answers(resp, rdtype):
    return [rr for rrset in resp.answer if rrset.rdtype == dns.rdatatype.from_text(rdtype) for rr in rrset]


def answer_ttl(resp, rdtype):
    return [rrset.ttl for rrset in resp.answer if rrset.rdtype == dns.rdatatype.from_text(rdtype)]


def fill_example_zone(db):
    z = db.add_zone("example.com", default_ttl=4321)
    db.add_record(z, "www", "A", "192.0.2.10")
    db.add_record(z, "www", "A", "192.0.2.11")
    db.add_record(z, "v6", "AAAA", "2001:db8::10")
    db.add_record(z, "@", "MX", "mail", preference=10)
    db.add_record(z, "@", "MX", "backup.example.org.", preference=20)
    db.add_record(z, "@", "TXT", "v=spf1 a mx -all")
    db.add_record(z, "ftp", "CNAME", "www")
    db.add_record(z, "zero", "A", "192.0.2.12", ttl=0)
    db.add_record(z, "info", "HINFO", "cpu os")          # a type the server does not read
    db.add_record(z, "@", "SOA", "x y 1 2 3 4 5")         # the zone row gives the SOA
    db.add_record(z, "odd", "BOGUS", "x")                  # no such type
    db.add_record(z, "bad", "A", "192.0.2")                # rejected data
    return z


def test_zones_from_sql_are_answered(db):
    port = free_port()
    # Names compare without case, and the database value wins: the file's cache time 0 would
    # switch the zone cache off. DNSZonesReload is read from the database only (0 here).
    rows = seed_rows(port, reload_seconds=0)
    del rows["DNSCacheTTL"]
    rows["dnscachettl"] = "60"
    db.seed_settings(rows)
    with DnsServer(server_settings(db.server, db, port, "DNSCacheTTL=0\nDNSZonesReload=1\n")) as srv:
        srv.start(wait_port=port)
        fill_example_zone(db)
        time.sleep(2.5)
        # The zones were read at start, before the rows existed, and nothing reloads them: the
        # file's DNSZonesReload=1 does not count.
        assert query("www.example.com", "A", port=port, timeout=1) is None
        assert "Reloading DNS zones from DB..." not in srv.log_text()
        assert "Loaded 0 DNS zones from DB, 0 cached, 0 removed from cache." in srv.log_text()

    with DnsServer(server_settings(db.server, db, port, "DNSCacheTTL=0\nDNSZonesReload=1\n")) as srv:
        srv.start(wait_port=port)
        soa = query("example.com", "SOA", port=port)
        assert soa is not None and soa.rcode() == dns.rcode.NOERROR
        [s] = answers(soa, "SOA")
        assert (str(s.mname), str(s.rname), s.serial, s.refresh, s.retry, s.expire, s.minimum) == \
            ("ns1.example.com.", "hostmaster.example.com.", 1, 3600, 600, 86400, 4321)
        assert answer_ttl(soa, "SOA") == [4321]

        a = query("www.example.com", "A", port=port)
        assert sorted(r.address for r in answers(a, "A")) == ["192.0.2.10", "192.0.2.11"]
        assert answer_ttl(a, "A") == [60]
        assert [r.address for r in answers(query("v6.example.com", "AAAA", port=port), "AAAA")] == ["2001:db8::10"]
        mx = query("example.com", "MX", port=port)
        assert sorted((r.preference, str(r.exchange)) for r in answers(mx, "MX")) == \
            [(10, "mail.example.com."), (20, "backup.example.org.")]
        txt = query("example.com", "TXT", port=port)
        assert [b"".join(r.strings) for r in answers(txt, "TXT")] == [b"v=spf1 a mx -all"]
        cname = query("ftp.example.com", "A", port=port)
        assert [str(r.target) for r in answers(cname, "CNAME")] == ["www.example.com."]
        assert sorted(r.address for r in answers(cname, "A")) == ["192.0.2.10", "192.0.2.11"]
        zero = query("zero.example.com", "A", port=port)
        assert answer_ttl(zero, "A") == [4321], "TTL 0 takes the zone's DefaultTTL"
        # Skipped rows: no HINFO record, no second SOA, no record of an unknown type or bad data.
        assert query("info.example.com", "HINFO", port=port).rcode() == dns.rcode.NXDOMAIN
        assert query("odd.example.com", "A", port=port).rcode() == dns.rcode.NXDOMAIN
        assert query("bad.example.com", "A", port=port).rcode() == dns.rcode.NXDOMAIN
        assert len(answers(query("Example.COM", "SOA", port=port), "SOA")) == 1

        log = srv.log_text()
        assert 'DNS zone "example.com" loaded from DB.' in log
        assert "Loaded 1 DNS zones from DB, 1 cached, 0 removed from cache." in log


def test_zones_enter_and_leave_at_reload_and_versions_row(db):
    port = free_port()
    db.seed_settings(seed_rows(port, reload_seconds=1))
    with DnsServer(server_settings(db.server, db, port)) as srv:
        srv.start(wait_port=port)
        gone = db.add_zone("gone.example")
        db.add_record(gone, "www", "A", "198.51.100.1")
        assert wait_for(lambda: query("www.gone.example", port=port, timeout=0.5) is not None, 15), srv.log_text()
        first = db.sql("SELECT `Id`, `AppName`, `AppVersion` FROM `Versions`")
        assert len(first) == 1 and first[0][1] == "dnsserver" and re.match(r"\d+\.\d+", first[0][2])

        db.sql("DELETE FROM `DNSZones` WHERE `Id`=%d" % gone)
        new = db.add_zone("New.Example")
        db.add_record(new, "www", "A", "198.51.100.2")
        assert wait_for(lambda: query("www.new.example", port=port, timeout=0.5) is not None, 15), srv.log_text()
        # Not local any more and nothing is forwarded: the query is dropped.
        assert wait_for(lambda: query("www.gone.example", port=port, timeout=0.5) is None, 15)
        log = srv.log_text()
        assert "Reloading DNS zones from DB..." in log
        assert 'DNS zone "gone.example" removed from cache.' in log
        assert 'DNS zone "new.example" loaded from DB.' in log
        assert "Loaded 1 DNS zones from DB, 1 cached, 1 removed from cache." in log

    # A second start of the same program updates its one row.
    db.sql("UPDATE `Versions` SET `PingTime`=1")
    with DnsServer(server_settings(db.server, db, port)) as srv:
        srv.start(wait_port=port)
        again = db.sql("SELECT `Id`, `AppName`, `PingTime` FROM `Versions`")
        assert len(again) == 1 and again[0][0] == first[0][0] and again[0][2] != "1"
        assert "Created new table" not in srv.log_text()


def test_unreachable_database_stops_the_start(mariadb, tmp_path):
    port = free_port()
    cfg = ("Log=yes\nSrvIP=127.0.0.1\nSrvPort=%d\nSrvPort2=%d\nMySQLHost=tcp://127.0.0.1:%d\nMySQLDbName=x\n"
           "MySQLUser=u\nMySQLPass=p\n" % (port, port, free_port()))
    srv = DnsServer(cfg, workdir=str(tmp_path))
    srv.start()
    assert srv.wait_exit(30) == 0
    srv.stop()
    assert re.search(UNIFORM_ERROR % ("DC::OpenConnection", "LoadSettings"), srv.log_text()), srv.log_text()
    assert "Press Ctrl+Break" not in srv.stdout()
    assert "Operating in file mode" not in srv.log_text()


def test_newer_schema_stops_the_start(db, tmp_path):
    port = free_port()
    db.seed_settings(seed_rows(port))
    db.sql("CREATE TABLE `DBVersions` (`Id` INT PRIMARY KEY AUTO_INCREMENT, `DbName` VARCHAR(256), `DbVersion` INT)")
    db.sql("CREATE TABLE `Versions` (`Id` INT PRIMARY KEY AUTO_INCREMENT, `AppName` VARCHAR(256), "
           "`AppVersion` VARCHAR(256), `LastStartTime` VARCHAR(20), `PingTime` BIGINT)")
    db.sql("INSERT INTO `DBVersions` (`DbName`, `DbVersion`) VALUES ('System', 3), ('DNS', 4)")
    srv = DnsServer(server_settings(db.server, db, port), workdir=str(tmp_path))
    srv.start()
    assert srv.wait_exit(30) == 0
    srv.stop()
    assert ('Error: DB "DNS" version 4 is newer than required version 3.\nPlease, update application.\n'
            in srv.log_text()), srv.log_text()
    assert "Press Ctrl+Break" not in srv.stdout()
    assert db.sql("SHOW TABLES LIKE 'DNSZones'") == []


def test_without_the_module_the_server_runs_from_files(db, monkeypatch, tmp_path):
    port = free_port()
    bindir = tempfile.mkdtemp(prefix="dnsserver-nomodule-")
    try:
        shutil.copy(dnstest.BIN, os.path.join(bindir, "dnsserver"))
        monkeypatch.setattr(dnstest, "BIN", os.path.join(bindir, "dnsserver"))
        db.seed_settings(seed_rows(port))
        with DnsServer(server_settings(db.server, db, port, "DNSCacheTTL=60\n"), workdir=str(tmp_path)) as srv:
            srv.start(wait_port=port)
            log = srv.log_text()
            assert "Unable to load dnsserver_db.so" in log
            assert log.index("Unable to load dnsserver_db.so") < log.index("Operating in file mode")
            assert "DB connections" not in log
        assert db.sql("SHOW TABLES LIKE 'DNSZones'") == [], "the database was not touched"
    finally:
        shutil.rmtree(bindir, ignore_errors=True)


def test_module_without_database_settings_is_file_mode(tmp_path):
    port = free_port()
    with DnsServer("SrvIP=127.0.0.1\nSrvPort=%d\nSrvPort2=%d\n" % (port, port), workdir=str(tmp_path)) as srv:
        srv.start(wait_port=port)
        log = srv.log_text()
        assert "Operating in file mode" in log
        assert "Unable to load" not in log


def test_only_the_module_links_the_connector():
    def needed(path):
        out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
        return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    module = os.path.join(os.path.dirname(dnstest.BIN), "dnsserver_db.so")
    assert not [lib for lib in needed(dnstest.BIN) if "mysql" in lib or "mariadb" in lib]
    assert [lib for lib in needed(module) if "mysqlcppconn" in lib]
