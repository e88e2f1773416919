"""Helpers of the database end-to-end tests: a MariaDB instance (the shared test instance named
by MYSQL_TEST_*, or a private one started with scripts/mariadb.sh), a fresh database per test,
SQL through the mariadb command-line client, and the settings that put dnsserver on a database."""
import itertools
import os
import signal
import subprocess
import tempfile
import time

import pytest

from dnstest import wait_until

SOURCE_DIR = os.environ.get("DNSSERVER_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))

SETTINGS_DEFINITION = (
    "`Id` INT PRIMARY KEY AUTO_INCREMENT, `SName` VARCHAR(100), `SValue` VARCHAR(2000), `App` VARCHAR(100), "
    "`SType` VARCHAR(100), `SValueList` VARCHAR(1024), `SubSystem` VARCHAR(100), INDEX `I0_Settings` (`SName`), "
    "INDEX `I1_Settings` (`App`)")

_names = itertools.count()


class MariaDB:
    """Where a MariaDB server listens and how to log in."""

    def __init__(self, host, port, user, password):
        self.host, self.port, self.user, self.password = host, int(port), user, password

    @classmethod
    def shared(cls):
        need = ("MYSQL_TEST_HOST", "MYSQL_TEST_PORT", "MYSQL_TEST_USER", "MYSQL_TEST_PASSWORD")
        if not all(os.environ.get(n) for n in need):
            pytest.skip("MYSQL_TEST_* not set: no test database")
        return cls(*(os.environ[n] for n in need))

    def connector_host(self):
        return "tcp://%s:%d" % (self.host, self.port)

    def sql(self, text, db=None, check=True):
        """Runs SQL; returns the rows as lists of column texts ("NULL" for NULL)."""
        cmd = ["mariadb", "--no-defaults", "-h", self.host, "-P", str(self.port), "-u", self.user,
               "-p" + self.password, "-N", "-B"]
        if db:
            cmd.append(db)
        out = subprocess.run(cmd + ["-e", text], capture_output=True, text=True, timeout=60)
        if check and out.returncode != 0:
            raise RuntimeError("SQL failed: %s\n%s" % (text, out.stderr))
        return [line.split("\t") for line in out.stdout.splitlines()]

    def ping(self):
        out = subprocess.run(["mariadb-admin", "--no-defaults", "-h", self.host, "-P", str(self.port),
                              "-u", self.user, "-p" + self.password, "ping"],
                             capture_output=True, text=True, timeout=30)
        return out.returncode == 0


class PrivateMariaDB(MariaDB):
    """A MariaDB instance of one test (scripts/mariadb.sh), which the test may stop and start
    again on the same data."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="dnsserver-mariadb-")
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts/mariadb.sh"), "start", self.dir],
                       check=True, capture_output=True, timeout=180)
        env = {}
        with open(os.path.join(self.dir, "env")) as f:
            for line in f:
                key, _, value = line.replace("export ", "").strip().partition("=")
                env[key] = value
        self.socket = env["MYSQL_TEST_SOCKET"]
        super().__init__(env["MYSQL_TEST_HOST"], env["MYSQL_TEST_PORT"], env["MYSQL_TEST_USER"],
                         env["MYSQL_TEST_PASSWORD"])
        self.proc = None
        assert wait_until(self.ping, 60, 0.5), "private MariaDB did not answer"

    def _pid(self):
        with open(os.path.join(self.dir, "server.pid")) as f:
            return int(f.read().strip())

    def stop_server(self):
        """Stops the database server by its PID and keeps its data."""
        pid = self._pid()
        os.kill(pid, signal.SIGTERM)
        assert wait_until(lambda: not _alive(pid), 60, 0.2), "MariaDB did not stop"
        if self.proc is not None:
            self.proc.wait(10)

    def start_server(self):
        """Starts the database server again on the same data, port and socket."""
        data = os.path.join(self.dir, "data")
        log = open(os.path.join(self.dir, "restart.log"), "w")
        proc = subprocess.Popen(
            ["mariadbd", "--no-defaults", "--user=root", "--datadir=" + data, "--socket=" + self.socket,
             "--port=%d" % self.port, "--bind-address=127.0.0.1",
             "--pid-file=" + os.path.join(self.dir, "mariadb.pid"), "--skip-name-resolve",
             "--log-error=" + os.path.join(self.dir, "error.log"), "--innodb-buffer-pool-size=64M"],
            stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        self.proc = proc
        with open(os.path.join(self.dir, "server.pid"), "w") as f:
            f.write(str(proc.pid))
        assert wait_until(self.ping, 60, 0.5), "MariaDB did not start again"

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts/mariadb.sh"), "stop", self.dir],
                       capture_output=True, timeout=120)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A child of this process that ended stays a zombie until reaped.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split()[2] != "Z"
    except OSError:
        return False


class Database:
    """A database of one test, dropped at the end."""

    def __init__(self, server):
        self.server = server
        self.name = "dnse2e_%d_%d" % (os.getpid(), next(_names))
        server.sql("DROP DATABASE IF EXISTS `%s`; CREATE DATABASE `%s`" % (self.name, self.name))

    def sql(self, text, check=True):
        return self.server.sql(text, db=self.name, check=check)

    def one(self, text):
        rows = self.sql(text)
        return rows[0][0] if rows else None

    def drop(self):
        self.server.sql("DROP DATABASE IF EXISTS `%s`" % self.name, check=False)

    def seed_settings(self, rows):
        """Creates the Settings table as the server would and stores the given rows for the
        application "DNSServer" before the server's first start: the server then keeps them and
        only adds the rows it misses."""
        self.sql("CREATE TABLE IF NOT EXISTS `Settings` (%s)" % SETTINGS_DEFINITION)
        for name, value in rows.items():
            v = "NULL" if value is None else "'%s'" % value
            self.sql("INSERT INTO `Settings` (`SName`, `SValue`, `App`) VALUES ('%s', %s, 'DNSServer')" % (name, v))

    def add_zone(self, name, ns="ns1", mail="hostmaster", serial=1, default_ttl=300):
        self.sql("INSERT INTO `DNSZones` (`ZoneName`, `NameServer1`, `ResponsibleMailAddr`, `Serial`, `Refresh`, "
                 "`Retry`, `Expire`, `DefaultTTL`) VALUES ('%s', '%s', '%s', %d, 3600, 600, 86400, %d)"
                 % (name, ns, mail, serial, default_ttl))
        return int(self.one("SELECT MAX(`Id`) FROM `DNSZones`"))

    def add_record(self, zone, name, rtype, data, ttl=60, preference=0, rclass="IN"):
        self.sql("INSERT INTO `DNSResources` (`ZoneId`, `RName`, `RType`, `RClass`, `TTL`, `RData`, `Preference`) "
                 "VALUES (%d, '%s', '%s', '%s', %d, '%s', %d)" % (zone, name, rtype, rclass, ttl, data, preference))


def server_settings(server, db, port, extra=""):
    """A settings file that puts dnsserver on the database, answering on 127.0.0.1:port."""
    return ("Log=yes\nSrvIP=127.0.0.1\nSrvPort=%d\nSrvPort2=%d\nMySQLHost=%s\nMySQLDbName=%s\n"
            "MySQLUser=%s\nMySQLPass=%s\n%s" % (port, port, server.connector_host(), db.name, server.user,
                                               server.password, extra))


def seed_rows(port, reload_seconds=1, **extra):
    """The database settings of a test server: its port (the database rows win over the file)."""
    rows = {"Log": "Yes", "SrvIP": "127.0.0.1", "SrvPort": str(port), "SrvPort2": str(port),
            "DNSCacheTTL": "60", "DNSZonesReload": str(reload_seconds)}
    rows.update(extra)
    return rows


def wait_for(predicate, timeout, step=0.2):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
