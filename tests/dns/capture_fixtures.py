#!/usr/bin/python3
"""Captures real upstream answers for the response-parser tests.

Starts nsd (Debian's package) on a free loopback port serving fixtures/upstream.zone and
fixtures/reverse.zone, asks it the questions below with dnspython over UDP, and writes each answer
as fixtures/NAME.bin together with fixtures/NAME.expected: the canonical lines of crosscheck.py as
dnspython reads the answer, with only the first string of each TXT record (the part the server's
parser keeps). Run it by hand when the zones or the questions change, and commit the results:

    /usr/bin/python3 tests/dns/capture_fixtures.py

nsd is stopped by its process id when the capture ends, also on failure.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import dns.message
import dns.query
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crosscheck  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures")

QUESTIONS = [
    # name, qname, qtype, EDNS
    ("a", "www.example.com.", "A", False),
    ("aaaa", "www.example.com.", "AAAA", False),
    ("ns_with_glue", "example.com.", "NS", False),
    ("cname_chain", "chain.example.com.", "A", False),
    ("soa", "example.com.", "SOA", False),
    ("mx_with_additional", "example.com.", "MX", False),
    ("txt", "text.example.com.", "TXT", False),
    ("txt_long", "longtext.example.com.", "TXT", False),
    ("txt_two_records", "manytxt.example.com.", "TXT", False),
    ("ptr", "1.2.0.192.in-addr.arpa.", "PTR", False),
    ("nxdomain", "nothere.example.com.", "A", False),
    ("nodata", "www.example.com.", "MX", False),
    ("edns_opt", "deep.a.b.c.example.com.", "A", True),
    ("mixed_case", "WwW.ExAmPlE.cOm.", "A", False),
]


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_config(work, port):
    for zone in ("upstream.zone", "reverse.zone"):
        shutil.copy(os.path.join(FIXTURES, zone), work)
    conf = os.path.join(work, "nsd.conf")
    with open(conf, "w") as f:
        f.write("""server:
  ip-address: 127.0.0.1@{port}
  port: {port}
  username: ""
  chroot: ""
  zonesdir: "{work}"
  pidfile: "{work}/nsd.pid"
  database: ""
  zonelistfile: "{work}/zone.list"
  xfrdfile: "{work}/xfrd.state"
  xfrdir: "{work}"
  logfile: "{work}/nsd.log"
  server-count: 1
  hide-version: yes
  minimal-responses: no
remote-control:
  control-enable: no
zone:
  name: example.com
  zonefile: "{work}/upstream.zone"
zone:
  name: 2.0.192.in-addr.arpa
  zonefile: "{work}/reverse.zone"
""".format(port=port, work=work))
    return conf


def main():
    work = tempfile.mkdtemp(prefix="dns_fixtures_")
    port = free_port()
    conf = write_config(work, port)
    nsd = subprocess.Popen(["/usr/sbin/nsd", "-d", "-c", conf],
                           stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    try:
        deadline = time.time() + 10
        while True:
            try:
                q = dns.message.make_query("example.com.", "SOA")
                if dns.query.udp(q, "127.0.0.1", port=port, timeout=0.5).rcode() == dns.rcode.NOERROR:
                    break
            except Exception:
                pass
            if time.time() > deadline or nsd.poll() is not None:
                with open(os.path.join(work, "nsd.log")) as log:
                    sys.exit("nsd did not start:\n" + log.read())
            time.sleep(0.1)
        for name, qname, qtype, edns in QUESTIONS:
            q = dns.message.make_query(qname, qtype, use_edns=0 if edns else False)
            # A plain socket keeps nsd's own bytes (dnspython would re-encode a parsed message).
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.settimeout(2)
            sock.sendto(q.to_wire(), ("127.0.0.1", port))
            data, _ = sock.recvfrom(65535)
            sock.close()
            with open(os.path.join(FIXTURES, name + ".bin"), "wb") as f:
                f.write(data)
            with open(os.path.join(FIXTURES, name + ".expected"), "w", encoding="latin-1") as f:
                f.write("\n".join(crosscheck.render(data, first_txt=True)) + "\n")
            print("%-20s %4d bytes" % (name, len(data)))
    finally:
        nsd.terminate()
        try:
            nsd.wait(timeout=5)
        except subprocess.TimeoutExpired:
            nsd.kill()
            nsd.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
