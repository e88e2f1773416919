"""Helpers of the end-to-end tests: the real dnsserver binary, real peers (nsd) and raw UDP
clients, all on loopback with free ports. Every process started here is stopped by its PID."""
import os
import signal
import socket
import subprocess
import tempfile
import time

import dns.message
import dns.query
import dns.rdatatype

BIN = os.environ.get("DNSSERVER_BIN", os.path.join(os.path.dirname(__file__), "../../build/src/dnsserver"))


def free_port(family=socket.AF_INET):
    """A UDP port that is free on both 127.0.0.1 and ::1 right now."""
    for _ in range(50):
        s4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s4.bind(("127.0.0.1", 0))
        port = s4.getsockname()[1]
        try:
            s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
            s6.bind(("::1", port))
            s6.close()
        except OSError:
            s4.close()
            continue
        s4.close()
        return port
    raise RuntimeError("no free port")


def udp_bound(port):
    """True when some process holds the UDP port on any address."""
    hexport = ":%04X" % port
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    if line.split()[1].endswith(hexport):
                        return True
        except OSError:
            pass
    return False


def udp_rx_queue(port):
    """Bytes waiting in the receive queues of the UDP sockets bound to the port."""
    hexport = ":%04X" % port
    total = 0
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if fields[1].endswith(hexport):
                        total += int(fields[4].split(":")[1], 16)
        except OSError:
            pass
    return total


def wait_until(predicate, timeout=10.0, step=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def stop_process(proc, timeout=15):
    """SIGTERM, then SIGKILL after the timeout. Returns the exit code."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    return proc.returncode


class DnsServer:
    """The real dnsserver binary started on a settings file in its own folder."""

    def __init__(self, settings, workdir=None, logfile=True, extra_files=None):
        self.dir = workdir or tempfile.mkdtemp(prefix="dnsserver-e2e-")
        self.cfg = os.path.join(self.dir, "dnscfg.ini")
        self.log = os.path.join(self.dir, "server.log") if logfile else None
        self.access = os.path.join(self.dir, "access.log")
        with open(self.cfg, "w") as f:
            f.write(settings)
        for name, text in (extra_files or {}).items():
            path = os.path.join(self.dir, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        self.proc = None
        self.stdout_path = os.path.join(self.dir, "stdout.txt")

    # A request whose name is a compression loop: every server that reads it answers with a
    # server failure, so a reply says the packet thread is up.
    PROBE = b"\xfe\xed\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\xc0\x0c\x00\x01\x00\x01"

    def start(self, wait_port=None, args=None, probe=True):
        cmd = [BIN]
        if args is not None:
            cmd += args
        else:
            if self.log:
                cmd += ["-logfile", self.log]
            cmd += ["-cfgfile", self.cfg]
        self._out = open(self.stdout_path, "w")
        self.proc = subprocess.Popen(cmd, cwd=self.dir, stdout=self._out, stderr=subprocess.STDOUT)
        if wait_port is not None:
            ok = wait_until(lambda: udp_bound(wait_port) or self.proc.poll() is not None, 15)
            assert ok and self.proc.poll() is None, "server did not start:\n" + self.log_text() + self.stdout()
            if probe:
                # Bounded: a server that refuses this client (IP control) never answers it.
                for _ in range(10):
                    if raw_exchange(self.PROBE, wait_port, timeout=0.5)[0] is not None:
                        break
            else:
                time.sleep(0.05)
        return self

    def wait_exit(self, timeout=15):
        return self.proc.wait(timeout)

    def stop(self):
        code = stop_process(self.proc) if self.proc else None
        if getattr(self, "_out", None):
            self._out.close()
        return code

    def log_text(self):
        try:
            with open(self.log) as f:
                return f.read()
        except (OSError, TypeError):
            return ""

    def access_lines(self):
        try:
            with open(self.access) as f:
                return [line.rstrip("\n") for line in f]
        except OSError:
            return []

    def stdout(self):
        try:
            with open(self.stdout_path) as f:
                return f.read()
        except OSError:
            return ""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Nsd:
    """A real authoritative server (NSD) on a free loopback port serving the given zones."""

    def __init__(self, zones, port=None):
        self.dir = tempfile.mkdtemp(prefix="nsd-e2e-")
        self.port = port or free_port()
        conf = [
            "server:",
            "  ip-address: 127.0.0.1@%d" % self.port,
            '  zonesdir: "%s"' % self.dir,
            '  database: ""',
            '  pidfile: "%s/nsd.pid"' % self.dir,
            '  username: ""',
            '  chroot: ""',
            '  xfrdfile: "%s/xfrd.state"' % self.dir,
            '  zonelistfile: "%s/zone.list"' % self.dir,
            "  server-count: 1",
            '  logfile: "%s/nsd.log"' % self.dir,
            "remote-control:",
            "  control-enable: no",
        ]
        for name, text in zones.items():
            with open(os.path.join(self.dir, name + ".zone"), "w") as f:
                f.write(text)
            conf += ["zone:", "  name: %s" % name, "  zonefile: %s.zone" % name]
        with open(os.path.join(self.dir, "nsd.conf"), "w") as f:
            f.write("\n".join(conf) + "\n")
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["nsd", "-d", "-c", os.path.join(self.dir, "nsd.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: udp_bound(self.port), 10), "nsd did not start"
        return self

    def stop(self):
        if self.proc:
            stop_process(self.proc)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def query(name, rdtype="A", port=53, host="127.0.0.1", timeout=2.0, id=None):
    """One query with dnspython; returns the response message or None on time-out."""
    q = dns.message.make_query(name, rdtype)
    if id is not None:
        q.id = id
    try:
        return dns.query.udp(q, host, port=port, timeout=timeout)
    except dns.exception.Timeout:
        return None


def raw_exchange(data, port, host="127.0.0.1", timeout=1.0, family=socket.AF_INET):
    """Sends raw bytes and returns (reply bytes, reply source) or (None, None) on time-out."""
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.settimeout(timeout)
    try:
        s.sendto(data, (host, port))
        reply, src = s.recvfrom(65535)
        return reply, src
    except socket.timeout:
        return None, None
    finally:
        s.close()


def dig(*args):
    out = subprocess.run(["dig"] + list(args), capture_output=True, text=True, timeout=30)
    return out.stdout


class UdpPeer:
    """A small upstream on a free loopback port, run on a thread: it records every datagram it
    receives and answers through `respond(data) -> bytes | list[bytes] | None`. With `relay_to`
    (a port of a real server) and no `respond`, it relays each query there and passes the real
    answer back, so tests see the exact id the real upstream received."""

    def __init__(self, respond=None, relay_to=None, host="127.0.0.1", port=0):
        import threading
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, port))
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.received = []
        self.respond = respond
        self.relay_to = relay_to
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _relay(self, data):
        r = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        r.settimeout(2)
        try:
            r.sendto(data, ("127.0.0.1", self.relay_to))
            return r.recvfrom(65535)[0]
        except socket.timeout:
            return None
        finally:
            r.close()

    def _run(self):
        while not self._stop.is_set():
            try:
                data, src = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            except OSError:
                return
            self.received.append(data)
            out = self.respond(data) if self.respond else (self._relay(data) if self.relay_to else None)
            if out is None:
                continue
            for reply in out if isinstance(out, list) else [out]:
                self.sock.sendto(reply, src)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()


class HttpServer:
    """The real HTTP server of the list tests (tests/acl/http_server.py) on a free loopback port,
    serving the files of its root folder, which tests rewrite while it runs."""

    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "acl", "http_server.py")

    def __init__(self, lifetime=300):
        self.dir = tempfile.mkdtemp(prefix="http-e2e-")
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root)
        self.port_file = os.path.join(self.dir, "port")
        self.lifetime = lifetime
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["/usr/bin/python3", self.SCRIPT, "--root", self.root, "--port-file",
                                      self.port_file, "--lifetime", str(self.lifetime)])
        assert wait_until(lambda: os.path.exists(self.port_file), 10), "HTTP server did not start"
        with open(self.port_file) as f:
            self.port = int(f.read())
        return self

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def put(self, name, text):
        tmp = os.path.join(self.root, name + ".tmp")
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, os.path.join(self.root, name))

    def requests(self):
        try:
            with open(os.path.join(self.dir, "requests.log")) as f:
                return [line.split("\t")[0] for line in f.read().splitlines()]
        except OSError:
            return []

    def stop(self):
        if self.proc:
            stop_process(self.proc)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
