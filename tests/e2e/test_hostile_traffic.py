"""A flood of malformed datagrams at full rate, interleaved with valid queries: the valid ones are
still answered and the server's memory does not grow with the flood."""
import os
import subprocess
import sys
import time

from dnstest import SANITIZED, DnsServer, free_port, query, vm_rss_kb

FLOOD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "flood.py")


def flood_while_querying(srv, port, count, seconds, seed):
    """Runs one bounded flood and asks valid names meanwhile; returns (sent, asked, first-try
    answers). Every valid name must be answered within a few tries."""
    proc = subprocess.Popen(["/usr/bin/python3", FLOOD, str(port), str(count), str(seconds), str(seed)],
                            stdout=subprocess.PIPE, text=True)
    asked = first_try = 0
    try:
        while proc.poll() is None:
            name = "q%d.myip.test" % asked
            for attempt in range(5):
                r = query(name, port=port, timeout=1.0)
                if r is not None:
                    break
            assert r is not None and r.answer, "valid query %s unanswered during the flood" % name
            assert [rr.to_text() for rrset in r.answer for rr in rrset] == ["127.0.0.1"]
            asked += 1
            first_try += attempt == 0
            assert srv.proc.poll() is None, "server died"
    finally:
        out, _ = proc.communicate(timeout=30)
    sent = int(out.split()[-1])
    return sent, asked, first_try


def test_malformed_flood_with_valid_queries():
    port = free_port()
    cfg = ("SrvIP 127.0.0.1\nSrvPort %d\nSrvPort2 %d\nMyIPDomains myip.test\nDeniedDomains evil.test\n"
           "DNSCacheTTL 60\n" % (port, port))
    with DnsServer(cfg).start(wait_port=port) as srv:
        pid = srv.proc.pid
        # The receive buffers are reused warmest first, so the memory touched grows with the
        # deepest backlog seen yet and then levels off: two floods warm up, two more are measured.
        rss = [vm_rss_kb(pid)]
        for seed in range(1, 5):
            sent, asked, first_try = flood_while_querying(srv, port, 80000, 5, seed=seed)
            assert asked > 0
            rss.append(vm_rss_kb(pid))
            print("flood %d: %d datagrams, %d valid queries (%d answered at the first try), VmRSS %d kB"
                  % (seed, sent, asked, first_try, rss[-1]), file=sys.stderr)
        warm, end = rss[2], rss[-1]
        # Sanitizers hold freed memory back (quarantine, shadow): only the plain build is measured.
        if not SANITIZED:
            assert end <= warm * 1.05 + 1024, "memory grew from %d kB to %d kB: %s" % (warm, end, rss)
        # Still answering afterwards, and a denied name still gets nothing.
        assert query("after.myip.test", port=port) is not None
        assert query("x.evil.test", port=port, timeout=0.3) is None
        assert srv.stop() == 0
