#!/usr/bin/python3
"""Soak run of the real server on loopback (started by scripts/soak.sh):
    soak.py MINUTES
1. Starts NSD (the upstream), the HTTP list server and the server with list reloads every 2 s.
2. Measures the peak rate of the answered mix with dnsperf (10 s, no rate limit).
3. Runs dnsperf for MINUTES at half that rate: local answers (MYIP), response-ring hits and
   forwarded queries; beside it a paced sender adds denied names and malformed datagrams (which get
   no answer), and the lists on the HTTP server change every few seconds.
4. Reads VmRSS every 10 s. Warm-up: 20 s of full-size datagrams before the peak measurement
   (every receive buffer in use gets all its pages touched), then the first tenth of the run (at
   least 30 s).
5. After the load: once DNSTimeout has passed, every forward slot must be free again. The upstream
   is killed, then exactly 65520 new forwarded queries must be taken without a server failure
   (each holds a slot) and the next one must get one (the table is full).
6. Stops the server with SIGTERM and prints the figures. Exit code 0 when every check held."""
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import dns.message  # noqa: E402
import dns.rcode  # noqa: E402

from dnstest import DnsServer, HttpServer, Nsd, free_port, query, vm_rss_kb  # noqa: E402
from flood import shapes  # noqa: E402

ZONE = """$ORIGIN zone.test.
$TTL 3600
@     IN SOA ns1 admin 1 3600 600 86400 300
@     IN NS  ns1
ns1   IN A   127.0.0.1
www   IN A   192.0.2.1
www   IN AAAA 2001:db8::1
mail  IN MX  10 mx1
mx1   IN A   192.0.2.25
txt   IN TXT "soak"
"""
DNS_TIMEOUT = 10
SLOTS = 65520


def query_file(path):
    """The answered mix: 40% MYIP, 30% ring hits (A, MX, TXT), 30% forwarded (AAAA has no ring)."""
    lines = []
    for i in range(1000):
        k = i % 10
        if k < 4:
            lines.append("h%d.myip.test A" % i)
        elif k < 7:
            lines.append(["www.zone.test A", "mail.zone.test MX", "txt.zone.test TXT"][i % 3])
        elif k < 9:
            lines.append("n%d.zone.test AAAA" % i)
        else:
            lines.append("www.zone.test AAAA")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def run_dnsperf(port, data, seconds, rate=None):
    cmd = ["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", data, "-l", str(seconds), "-c", "4",
           "-q", "200", "-t", "5"]
    if rate:
        cmd += ["-Q", str(rate)]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60).stdout

    def figure(label):
        m = re.search(label + r":\s+([\d.]+)", out)
        return float(m.group(1)) if m else None

    return {"sent": figure("Queries sent"), "completed": figure("Queries completed"),
            "lost": figure("Queries lost"), "qps": figure("Queries per second"), "text": out}


class PacedNoise(threading.Thread):
    """Denied names and malformed datagrams at a fixed rate; none of them gets an answer."""

    def __init__(self, port, rate):
        super().__init__(daemon=True)
        self.port, self.rate = port, rate
        self.stop = threading.Event()
        self.sent = 0
        import random
        bad = shapes(random.Random(11))
        denied = []
        for i in range(64):
            q = dns.message.make_query("x%d.evil.test" % i, "A")
            denied.append(q.to_wire())
        self.datagrams = [d for pair in zip(bad * 2, denied * 2) for d in pair]

    def run(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        start = time.time()
        n = len(self.datagrams)
        while not self.stop.is_set():
            due = int((time.time() - start) * self.rate)
            while self.sent < due:
                s.sendto(self.datagrams[self.sent % n], ("127.0.0.1", self.port))
                self.sent += 1
            time.sleep(0.01)
        s.close()


def touch_receive_buffers(port, seconds=20):
    """Full-size malformed datagrams for a while: every receive buffer the server cycles through
    gets all its pages touched once, so that the memory after the warm-up is the working set."""
    big = bytes(range(256)) * 32
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    start = time.time()
    sent = 0
    while time.time() - start < seconds:
        for _ in range(100):
            s.sendto(big, ("127.0.0.1", port))
        sent += 100
        time.sleep(0.01)
    s.close()
    return sent


def check_slots(port):
    """Sends SLOTS forwarded queries to a dead upstream, paced, then one more. Returns
    (server failures among the first SLOTS, whether the extra one got a server failure)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    s.setblocking(False)
    fails = 0

    def drain():
        nonlocal fails
        while True:
            try:
                data = s.recv(65535)
            except BlockingIOError:
                return
            if len(data) >= 4 and data[3] & 0x0F == 2:
                fails += 1

    start = time.time()
    for i in range(SLOTS):
        q = dns.message.make_query("s%d.zone.test" % i, "AAAA")
        q.id = i & 0xFFFF
        s.sendto(q.to_wire(), ("127.0.0.1", port))
        if i % 500 == 499:
            drain()
            # 20,000 a second: all are in well within DNSTimeout
            delay = start + (i + 1) / 20000.0 - time.time()
            if delay > 0:
                time.sleep(delay)
    time.sleep(0.5)
    drain()
    s.setblocking(True)
    s.settimeout(2)
    probe = dns.message.make_query("probe.zone.test", "AAAA")
    s.sendto(probe.to_wire(), ("127.0.0.1", port))
    full = False
    try:
        while True:
            reply = dns.message.from_wire(s.recv(65535))
            if reply.question and reply.question[0].name.to_text() == "probe.zone.test.":
                full = reply.rcode() == dns.rcode.SERVFAIL
                break
            if reply.rcode() == dns.rcode.SERVFAIL:
                fails += 1
    except socket.timeout:
        pass
    s.close()
    return fails, full


def main():
    minutes = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    seconds = int(minutes * 60)
    ok = True
    nsd = Nsd({"zone.test": ZONE}).start()
    http = HttpServer(lifetime=seconds + 900).start()
    http.put("allow", "myip.test\nzone.test\nevil.test\n")
    http.put("deny", "evil.test\n")
    port = free_port()
    cfg = "\n".join([
        "SrvIP 127.0.0.1", "SrvPort %d" % port, "SrvPort2 %d" % port,
        "DNSHost 127.0.0.1", "DNSPort %d" % nsd.port, "AllowExternalDomains yes", "DNSCacheTTL 3600",
        "DNSTimeout %d" % DNS_TIMEOUT, "MyIPDomains myip.test",
        "AllowedUrl %s" % http.url("allow"), "DeniedUrl %s" % http.url("deny"), "ReloadSeconds 2",
    ]) + "\n"
    srv = DnsServer(cfg).start(wait_port=port)
    pid = srv.proc.pid
    data = os.path.join(srv.dir, "queries.txt")
    query_file(data)
    try:
        assert query("a.myip.test", port=port) is not None, "server does not answer"
        rss_first = vm_rss_kb(pid)
        big = touch_receive_buffers(port)
        print("VmRSS %d kB at the start, %d kB after %d full-size datagrams"
              % (rss_first, vm_rss_kb(pid), big), flush=True)
        peak = run_dnsperf(port, data, 10)
        rate = int(peak["qps"] / 2)
        print("peak %.0f queries/s (lost %d of %d); soak at %d queries/s for %d s"
              % (peak["qps"], peak["lost"], peak["sent"], rate, seconds), flush=True)

        noise = PacedNoise(port, max(1000, rate // 10))
        stop_lists = threading.Event()

        def change_lists():
            n = 0
            while not stop_lists.wait(3):
                n += 1
                http.put("allow", "myip.test\nzone.test\nevil.test\nextra%d.test\n" % n)
                http.put("deny", "evil.test\nextra%d.evil.test\n" % n)

        lists = threading.Thread(target=change_lists, daemon=True)
        memory = []
        stop_memory = threading.Event()

        def sample():
            t0 = time.time()
            while not stop_memory.is_set():
                memory.append((time.time() - t0, vm_rss_kb(pid)))
                stop_memory.wait(10)

        sampler = threading.Thread(target=sample, daemon=True)
        noise.start()
        lists.start()
        sampler.start()
        load = run_dnsperf(port, data, seconds, rate)
        noise.stop.set()
        stop_lists.set()
        stop_memory.set()
        noise.join()
        lists.join()
        sampler.join()
        memory.append((seconds, vm_rss_kb(pid)))

        warm_until = max(30, seconds / 10)
        warm = next(kb for t, kb in memory if t >= warm_until)
        end = memory[-1][1]
        growth = (end - warm) * 100.0 / warm
        print("load: %d sent, %d answered, %d lost (%.0f queries/s); %d denied or malformed datagrams"
              % (load["sent"], load["completed"], load["lost"], load["qps"], noise.sent))
        print("VmRSS: %d kB when the load began, %d kB after warm-up (%d s), %d kB at the end: %+.2f%%"
              % (memory[0][1], warm, warm_until, end, growth))
        print("VmRSS samples (s, kB): %s" % " ".join("%d:%d" % (t, kb) for t, kb in memory))
        reloads = len([p for p in http.requests() if p in ("/allow", "/deny")])
        print("list fetches: %d" % reloads)
        if load["lost"]:
            print("FAIL: queries lost"); ok = False
        if growth >= 5.0:
            print("FAIL: memory grew by 5% or more"); ok = False

        # Every slot taken by the load is free again once DNSTimeout has passed.
        time.sleep(DNS_TIMEOUT + 1)
        nsd.kill()
        fails, full = check_slots(port)
        print("after the load: %d of %d new forwards refused (No free slots); the next one %s"
              % (fails, SLOTS, "refused: table full" if full else "NOT refused"))
        if fails or not full:
            print("FAIL: forward slots not all free after the load"); ok = False
        if srv.proc.poll() is not None:
            print("FAIL: server died"); ok = False
    finally:
        t = time.time()
        code = srv.stop()
        print("stop: exit code %s in %.1f s" % (code, time.time() - t))
        ok = ok and code == 0
        http.stop()
        nsd.stop()
    print("SOAK %s" % ("PASSED" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
