"""dnsserver-db against a real MariaDB and the real server: a zone file with every record type the
server holds goes through the tool into the database and comes back from the running server as
the zone file says (and as the same file answers from the domain directory); zones are listed,
replaced and deleted while the server reloads them; settings rows are shown, read, written and
deleted, and the server starts on the values the tool stored."""
import os
import subprocess
import tempfile

import dns.message
import dns.name
import dns.rdatatype
import pytest

from dbtest import Database, MariaDB, seed_rows, server_settings, wait_for
from dnstest import BIN, DnsServer, free_port, query, raw_exchange, udp_bound

TOOL = os.path.join(os.environ.get("DNSSERVER_BUILD_DIR", os.path.join(os.path.dirname(BIN), "..")),
                    "src", "dnsserver-db")

SOA = ("example.com.", 3600, "SOA", "ns1.example.com. hostmaster.example.com. 2026121101 3600 900 604800 3600")

# Each line of the zone file with the record the server must answer for it.
RECORDS = [
    ("        IN NS    ns1", ("example.com.", 3600, "NS", "ns1.example.com.")),
    ("        IN NS    ns.other.org.", ("example.com.", 3600, "NS", "ns.other.org.")),
    ("        IN MX    10 mail", ("example.com.", 3600, "MX", "10 mail.example.com.")),
    ("        IN MX    20 backup.other.org.", ("example.com.", 3600, "MX", "20 backup.other.org.")),
    ('        IN TXT   "v=spf1 a mx -all"', ("example.com.", 3600, "TXT", '"v=spf1 a mx -all"')),
    ("ns1     IN A     192.0.2.1", ("ns1.example.com.", 3600, "A", "192.0.2.1")),
    ("mail    IN A     192.0.2.25", ("mail.example.com.", 3600, "A", "192.0.2.25")),
    ("www 600 IN A     192.0.2.10", ("www.example.com.", 600, "A", "192.0.2.10")),
    ("www 600 IN A     192.0.2.11", ("www.example.com.", 600, "A", "192.0.2.11")),
    ("www     IN AAAA  2001:db8::10", ("www.example.com.", 3600, "AAAA", "2001:db8::10")),
    ("ftp 120 IN CNAME www", ("ftp.example.com.", 120, "CNAME", "www.example.com.")),
    ("10      IN PTR   host.example.org.", ("10.example.com.", 3600, "PTR", "host.example.org.")),
    ('txt     IN TXT   "two words, and more"', ("txt.example.com.", 3600, "TXT", '"two words, and more"')),
    ("old     IN MD    md.host", ("old.example.com.", 3600, "MD", "md.host.example.com.")),
    ("old     IN MF    mf.host", ("old.example.com.", 3600, "MF", "mf.host.example.com.")),
    ("box     IN MB    mb.host", ("box.example.com.", 3600, "MB", "mb.host.example.com.")),
    ("box     IN MG    mg.host", ("box.example.com.", 3600, "MG", "mg.host.example.com.")),
    ("box     IN MR    mr.host", ("box.example.com.", 3600, "MR", "mr.host.example.com.")),
    ("a.b.deep 60 IN A 192.0.2.99", ("a.b.deep.example.com.", 60, "A", "192.0.2.99")),
]

ZONE = ("; every record type the server holds\n$TTL 3600\n"
        "@       IN SOA ns1 hostmaster (\n"
        "                2026121101 ; serial\n"
        "                1H 15M 1W 3600 )\n"
        + "".join(line + "\n" for line, _ in RECORDS))

REVERSE = "$TTL 300\n@ IN SOA ns1.example.com. hostmaster.example.com. 7 3600 600 86400 300\n" \
          "1 IN PTR ns1.example.com.\n10 IN PTR www.example.com.\n"

NAME_TYPES = {"MD", "MF", "MB", "MG", "MR"}


@pytest.fixture
def db():
    d = Database(MariaDB.shared())
    yield d
    d.drop()


@pytest.fixture
def workdir():
    return tempfile.mkdtemp(prefix="dnsserver-dbtool-")


def tool(cfg, *args):
    return subprocess.run([TOOL, "-cfgfile", cfg] + list(args), capture_output=True, text=True, timeout=120)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def answer(name, rdtype, port):
    """The answer records of the question's own name and type as (name, ttl, type, data) tuples.
    The mailbox types have no rdata class in dnspython: their target name is read from the wire."""
    q = dns.message.make_query(name, rdtype)
    wire, _ = raw_exchange(q.to_wire(), port, timeout=2.0)
    assert wire is not None, "no answer for %s %s" % (name, rdtype)
    msg = dns.message.from_wire(wire)
    got = set()
    for rrset in msg.answer:
        if rrset.rdtype != dns.rdatatype.from_text(rdtype) or rrset.name != dns.name.from_text(name):
            continue
        for rd in rrset:
            if rdtype in NAME_TYPES:
                data = dns.name.from_wire(wire, wire.find(rd.data, 12))[0].to_text()
            else:
                data = rd.to_text()
            got.add((rrset.name.to_text(), rrset.ttl, rdtype, data))
    return got


def all_answers(expected, port):
    questions = sorted({(name, rtype) for name, _, rtype, _ in expected})
    got = set()
    for name, rtype in questions:
        got |= answer(name, rtype, port)
    return got


def test_zone_file_round_trip_through_the_database(db, workdir):
    port = free_port()
    db.seed_settings(seed_rows(port, reload_seconds=1))
    cfg = write(os.path.join(workdir, "dnscfg.ini"), server_settings(db.server, db, port))
    zone_file = write(os.path.join(workdir, "example.com"), ZONE)
    reverse_file = write(os.path.join(workdir, "reverse.zone"), REVERSE)

    # The zone takes the file's name; the reverse zone is named on the command line. The tool
    # creates the DNS tables itself on this database, which has only the Settings rows.
    r = tool(cfg, "zones", "import", zone_file)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "Imported zone example.com: %d records\n" % (len(RECORDS) + 1)
    r = tool(cfg, "zones", "import", reverse_file, "2.0.192.in-addr.arpa.")
    assert r.returncode == 0, r.stderr
    assert db.sql("SELECT `ZoneName`, `Reverse`, `NameServer1`, `DefaultTTL` FROM `DNSZones` ORDER BY `Id`") == \
        [["example.com", "0", "ns1.example.com.", "3600"], ["2.0.192.in-addr.arpa", "1", "ns1.example.com.", "300"]]
    r = tool(cfg, "zones", "list")
    assert (r.returncode, r.stdout) == (0, "2.0.192.in-addr.arpa\t2\nexample.com\t%d\n" % len(RECORDS)), r.stderr

    expected = {rec for _, rec in RECORDS} | {SOA}
    with DnsServer(server_settings(db.server, db, port)) as srv:
        srv.start(wait_port=port)
        assert all_answers(expected, port) == expected, srv.log_text()
        assert answer("10.2.0.192.in-addr.arpa", "PTR", port) == \
            {("10.2.0.192.in-addr.arpa.", 300, "PTR", "www.example.com.")}
        # The CNAME is followed for an address question, as from a zone file.
        chased = query("ftp.example.com", "A", port=port)
        assert sorted(rd.address for rrset in chased.answer if rrset.rdtype == dns.rdatatype.A for rd in rrset) == \
            ["192.0.2.10", "192.0.2.11"]

        # Replaced while the server runs: the next reload serves the new zone, once.
        write(zone_file, ZONE.replace("192.0.2.10", "192.0.2.12").replace("2026121101", "2026121102"))
        r = tool(cfg, "zones", "import", zone_file, "Example.COM")
        assert r.returncode == 0, r.stderr
        assert "replacing the zone stored before" in r.stdout
        assert wait_for(lambda: ("www.example.com.", 600, "A", "192.0.2.12") in answer("www.example.com", "A", port),
                        15), srv.log_text()
        assert answer("www.example.com", "A", port) == {("www.example.com.", 600, "A", "192.0.2.11"),
                                                         ("www.example.com.", 600, "A", "192.0.2.12")}
        assert db.one("SELECT COUNT(*) FROM `DNSZones` WHERE LOWER(`ZoneName`)='example.com'") == "1"

        r = tool(cfg, "zones", "delete", "2.0.192.in-addr.arpa")
        assert (r.returncode, r.stdout) == (0, "Deleted zone 2.0.192.in-addr.arpa\n"), r.stderr
        assert wait_for(lambda: query("10.2.0.192.in-addr.arpa", "PTR", port=port, timeout=0.5) is None, 15)
        assert db.one("SELECT COUNT(*) FROM `DNSResources` r LEFT JOIN `DNSZones` z ON r.`ZoneId`=z.`Id` "
                      "WHERE z.`Id` IS NULL") == "0"
        r = tool(cfg, "zones", "delete", "2.0.192.in-addr.arpa")
        assert r.returncode == 1 and 'no zone "2.0.192.in-addr.arpa"' in r.stderr
        # The zone keeps the spelling of its latest import.
        r = tool(cfg, "zones", "list")
        assert r.stdout == "Example.COM\t%d\n" % len(RECORDS)

    # The same file served from the domain directory gives the same answers.
    file_port = free_port()
    os.makedirs(os.path.join(workdir, "files"))
    write(os.path.join(workdir, "files", "example.com"), ZONE)
    file_cfg = "SrvIP=127.0.0.1\nSrvPort=%d\nSrvPort2=%d\nDNSDomainsDir=%s\n" % (
        file_port, file_port, os.path.join(workdir, "files"))
    with DnsServer(file_cfg) as srv:
        srv.start(wait_port=file_port)
        assert all_answers(expected, file_port) == expected, srv.log_text()


def test_zone_that_the_tables_cannot_hold_changes_nothing(db, workdir):
    cfg = write(os.path.join(workdir, "dnscfg.ini"), server_settings(db.server, db, free_port()))
    good = write(os.path.join(workdir, "keep.test"), "@ 60 IN SOA ns1 hm 1 2 3 4 60\nwww 60 IN A 192.0.2.1\n")
    assert tool(cfg, "zones", "import", good).returncode == 0
    cases = [
        ("second SOA", "@ 60 IN SOA ns1 hm 1 2 3 4 60\n@ 60 IN SOA ns2 hm 2 2 3 4 60\n", "a second SOA"),
        ("TXT longer than its column", "@ 60 IN SOA ns1 hm 1 2 3 4 60\nt 60 IN TXT %s\n" % ("x" * 300),
         "longer than 256"),
        ("bytes the column refuses", "@ 60 IN SOA ns1 hm 1 2 3 4 60\nt 60 IN TXT a\xffb\n", "nothing was changed"),
        ("no records", "; nothing\n", "no records read"),
    ]
    for what, text, message in cases:
        path = os.path.join(workdir, "keep.test")
        with open(path, "w", encoding="latin-1") as f:
            f.write(text)
        r = tool(cfg, "zones", "import", path)
        assert r.returncode == 1 and message in r.stderr, (what, r.stderr)
        assert r.stdout == ""
        # The zone stored before is still there, whole.
        assert tool(cfg, "zones", "list").stdout == "keep.test\t1\n", what
    r = tool(cfg, "zones", "import", os.path.join(workdir, "missing.zone"))
    assert r.returncode == 1 and "cannot open the zone file" in r.stderr


def test_settings_rows_and_the_server_starting_on_them(db, workdir):
    port, file_port = free_port(), free_port()
    # The file names another port; the rows the tool stores are what the server uses.
    cfg = write(os.path.join(workdir, "dnscfg.ini"), server_settings(db.server, db, file_port))

    # An empty database: the tool creates the tables and the default rows as the server would.
    r = tool(cfg, "settings", "show")
    assert r.returncode == 0, r.stderr
    assert "SrvPort=53\n" in r.stdout and "DNSHost=\n" in r.stdout and "Log=No\n" in r.stdout
    assert len(r.stdout.splitlines()) == 15
    assert db.one("SELECT COUNT(*) FROM `DNSZones`") == "0"
    assert db.one("SELECT `AppName` FROM `Versions`") == "dnsserver-db"

    for name, value in [("SrvIP", "127.0.0.1"), ("srvport", str(port)), ("SrvPort2", str(port)),
                        ("DNSCacheTTL", "60"), ("Custom", "a value with blanks = and signs")]:
        r = tool(cfg, "settings", "set", name, value)
        assert (r.returncode, r.stdout) == (0, "%s=%s\n" % (name, value)), r.stderr
    # The name compares without letter case and the stored row keeps its spelling.
    assert db.sql("SELECT `SName`, `SValue` FROM `Settings` WHERE `App`='DNSServer' AND `SName` LIKE 'srvport%'") == \
        [["SrvPort", str(port)], ["SrvPort2", str(port)]]
    assert (tool(cfg, "settings", "get", "SRVPORT").stdout, tool(cfg, "settings", "get", "Custom").stdout) == \
        ("%d\n" % port, "a value with blanks = and signs\n")
    r = tool(cfg, "settings", "show", "custom")
    assert (r.returncode, r.stdout) == (0, "Custom=a value with blanks = and signs\n")

    # An empty value is stored as NULL and read as empty.
    assert tool(cfg, "settings", "set", "Custom", "").returncode == 0
    assert db.one("SELECT `SValue` IS NULL FROM `Settings` WHERE `SName`='Custom'") == "1"
    assert tool(cfg, "settings", "get", "Custom").stdout == "\n"

    r = tool(cfg, "settings", "delete", "CUSTOM")
    assert (r.returncode, r.stdout) == (0, "Deleted setting CUSTOM\n"), r.stderr
    assert db.one("SELECT COUNT(*) FROM `Settings` WHERE `SName`='Custom'") == "0"
    for args in (["delete", "Custom"], ["get", "Custom"], ["show", "Custom"]):
        r = tool(cfg, "settings", *args)
        assert r.returncode == 1 and 'no setting "Custom"' in r.stderr and r.stdout == "", args
    r = tool(cfg, "settings", "set", "x" * 101, "1")
    assert r.returncode == 1 and "1 to 100 characters" in r.stderr
    r = tool(cfg, "settings", "set", "Long", "v" * 2001)
    assert r.returncode == 1 and "at most 2000 characters" in r.stderr

    tiny = write(os.path.join(workdir, "tiny.test"), "@ 60 IN SOA ns1 hm 1 2 3 4 60\nwww 60 IN A 192.0.2.5\n")
    assert tool(cfg, "zones", "import", tiny).returncode == 0
    with DnsServer(server_settings(db.server, db, file_port)) as srv:
        srv.start(wait_port=port)
        assert not udp_bound(file_port)
        assert answer("www.tiny.test", "A", port) == {("www.tiny.test.", 60, "A", "192.0.2.5")}


def test_usage_and_connection_failures(db, workdir):
    r = subprocess.run([TOOL, "--help"], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0 and r.stdout.startswith("Usage: dnsserver-db") and "zones import" in r.stdout
    for args in ([], ["zones"], ["zones", "import"], ["settings", "set", "x"], ["frob", "list"], ["-x"]):
        r = subprocess.run([TOOL] + args, capture_output=True, text=True, timeout=30)
        assert r.returncode == 2 and "Usage: dnsserver-db" in r.stderr, args

    plain = write(os.path.join(workdir, "plain.ini"), "SrvPort=5353\n")
    r = tool(plain, "zones", "list")
    assert r.returncode == 1 and "does not name a database" in r.stderr
    r = tool(os.path.join(workdir, "absent.ini"), "zones", "list")
    assert r.returncode == 1 and "cannot read the settings file" in r.stderr

    # Nothing listens on this port: the client's own report, then the tool's message.
    dead = type(db.server)(db.server.host, free_port(), db.server.user, db.server.password)
    cfg = write(os.path.join(workdir, "dead.ini"), server_settings(dead, db, free_port()))
    r = tool(cfg, "settings", "show")
    assert r.returncode == 1 and r.stdout == ""
    assert "[DC::OpenConnection][dnsserver-db] SQLException" in r.stderr
    assert 'cannot use the database "%s"' % db.name in r.stderr
