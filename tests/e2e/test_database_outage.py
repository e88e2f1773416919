"""The database server stops while dnsserver runs, and comes back: the cached zones keep
answering, the failures are logged in the uniform format, the next reload after the restart
reconnects and picks up changes, and the Versions ping resumes. The test runs its own MariaDB
instance, since it stops it."""
import os
import re
import time

import pytest

from dbtest import Database, PrivateMariaDB, seed_rows, server_settings, wait_for
from dnstest import DnsServer, free_port, query

UNIFORM = r"Error: \[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] \[%s\]\[%s\] SQLException: .+ \(MySQL error code: \d+, SQLState: \w+\)"


@pytest.fixture
def private_db():
    if not os.environ.get("MYSQL_TEST_HOST"):
        pytest.skip("MYSQL_TEST_* not set: no database tests")
    server = PrivateMariaDB()
    try:
        yield server
    finally:
        server.close()


def test_database_outage_and_return(private_db):
    db = Database(private_db)
    port = free_port()
    db.seed_settings(seed_rows(port, reload_seconds=1))
    with DnsServer(server_settings(private_db, db, port)) as srv:
        srv.start(wait_port=port)
        z = db.add_zone("kept.example")
        db.add_record(z, "www", "A", "203.0.113.1")
        assert wait_for(lambda: query("www.kept.example", port=port, timeout=0.5) is not None, 15), srv.log_text()

        private_db.stop_server()
        down = time.time()
        # Reloads fail while the database is away; the cached zone keeps answering.
        assert wait_for(lambda: re.search(UNIFORM % ("DC::OpenConnection", "DNS::ReloadDNSZones"), srv.log_text()), 15), \
            srv.log_text()
        for _ in range(3):
            r = query("www.kept.example", port=port)
            assert r is not None and [rr.address for rrset in r.answer for rr in rrset] == ["203.0.113.1"]
            time.sleep(0.5)
        # The status thread's ping meets the missing database as well (every 10 seconds).
        assert wait_for(lambda: re.search(UNIFORM % ("DC::OpenConnection", "DC::ExecuteParamStatement"),
                                          srv.log_text()), 25), srv.log_text()
        assert srv.proc.poll() is None

        private_db.start_server()
        back = time.time()
        assert back > down
        added = db.add_zone("added.example")
        db.add_record(added, "www", "A", "203.0.113.2")
        assert wait_for(lambda: query("www.added.example", port=port, timeout=0.5) is not None, 20), srv.log_text()
        assert query("www.kept.example", port=port) is not None
        log = srv.log_text()
        assert "[DNS::ReloadDNSZones]" in log and "DB connections" in log

        # The Versions row is pinged again (every 10 seconds).
        db.sql("UPDATE `Versions` SET `PingTime`=1")
        assert wait_for(lambda: db.one("SELECT `PingTime` FROM `Versions`") != "1", 25), srv.log_text()
        assert srv.proc.poll() is None
    db.drop()
