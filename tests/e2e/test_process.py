"""The process entry: banner, command line positions, stop signals, exit codes and the log file."""
import os
import re
import signal
import subprocess
import tempfile

import pytest

from dnstest import BIN, DnsServer, free_port, query, udp_bound, wait_until

STAMP = r"\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] "


def run(args, cwd, timeout=20):
    return subprocess.run([BIN] + args, cwd=cwd, capture_output=True, text=True, timeout=timeout)


def serving_config(port, log="yes"):
    return "Log %s\nSrvIP 127.0.0.1\nSrvPort %d\nSrvPort2 %d\nMyIPDomains myip.test\n" % (log, port, port)


def test_no_arguments_reads_dnscfg_ini_and_logs_to_the_console():
    d = tempfile.mkdtemp()
    out = run([], d)
    assert out.returncode == 0
    lines = out.stdout.splitlines()
    assert re.fullmatch(r"DNS Server \d+\.\d+( build \d+)?", lines[0])
    assert lines[1].startswith("Copyright (C) 2026") and lines[2] == ""
    assert lines[3] == "Usage: dnsserver [-logfile filename] [-cfgfile dnscfg.ini]" and lines[4] == ""
    assert re.search("Error: " + STAMP + r"Unable to open config file \(error 2\)\n", out.stdout)
    assert "Press Ctrl+Break" not in out.stdout


@pytest.mark.parametrize("args,uses_cfg,uses_log", [
    (["-cfgfile", "my.ini", "-logfile", "x.log"], True, False),  # -logfile only counts first
    (["-logfile", "x.log", "-cfgfile"], False, True),            # -cfgfile without its value
    (["-logfile"], False, False),                                # -logfile without its value
    (["-logfile", "x.log", "-cfgfile", "my.ini"], True, True),
    (["-LOGFILE", "x.log"], False, False),                       # names are case-sensitive
])
def test_command_line_positions(args, uses_cfg, uses_log):
    d = tempfile.mkdtemp()
    # my.ini is rejected with a message that names it; dnscfg.ini does not exist.
    with open(os.path.join(d, "my.ini"), "w") as f:
        f.write("DNSPort 0\n")
    out = run(args, d)
    assert out.returncode == 0
    log = out.stdout
    if uses_log:
        assert os.path.exists(os.path.join(d, "x.log"))
        with open(os.path.join(d, "x.log")) as f:
            log = f.read()
        assert not re.search(STAMP, out.stdout), "log lines go to the file only"
    else:
        assert not os.path.exists(os.path.join(d, "x.log"))
    if uses_cfg:
        assert "Unable to set DNSPort=0" in log
    else:
        assert "Unable to open config file (error 2)" in log


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT])
def test_stop_signals_stop_in_order_with_exit_code_0(sig):
    port = free_port()
    srv = DnsServer(serving_config(port)).start(wait_port=port)
    assert query("a.myip.test", port=port) is not None
    srv.proc.send_signal(sig)
    assert srv.wait_exit(15) == 0
    log = srv.log_text()
    for name in ("DNS::StatusThread", "DNS::ReloadThread", "DNS::ReportThread"):
        assert "[%s] Started." % name in log and "[%s] Terminated." % name in log
    assert not udp_bound(port)
    srv.stop()


def test_log_off_prints_no_configuration_and_no_thread_lines():
    port = free_port()
    srv = DnsServer(serving_config(port, log="no")).start(wait_port=port)
    srv.stop()
    log = srv.log_text()
    assert "Service IP" not in log and "Started." not in log and "Terminated." not in log
    assert "Operating in file mode" in log


def test_overwrite_truncates_the_log_once_after_the_settings():
    port = free_port()
    srv = DnsServer(serving_config(port, log="overwrite"))
    with open(srv.log, "w") as f:
        f.write("old line of an earlier run\n")
    srv.start(wait_port=port)
    assert query("a.myip.test", port=port) is not None
    srv.stop()
    log = srv.log_text()
    assert "old line of an earlier run" not in log
    assert "Unable to load" not in log, "lines written before the settings went with the truncation"
    assert "[DNS::StatusThread] Terminated." in log
