#!/bin/bash
# Side-by-side performance of dnsserver and the DNS servers a user would pick instead, on one
# machine, in one run. Run on demand (not a test):
#
#   bash bench/peers/run.sh            (as root; about 5 minutes)
#
# What it does:
#   1. installs the peers and the load generator from Debian's packages (apt-get install -y knot
#      nsd dnsmasq unbound dnsdist dnsperf bind9-dnsutils) and builds dnsserver and the limit
#      responder (bench/udp_limit_bench.cc) in $BUILD (default: build);
#   2. moves into a private network namespace (ip netns, as root) with only its loopback up; where
#      that is not possible it runs on the host's 127.0.0.1 with free ports;
#   3. for every scenario starts each server on 127.0.0.1 pinned to core 1 (taskset), warms it up,
#      then loads it for $SECS seconds (default 10) with dnsperf pinned to core 0 (-q 100) and
#      measures: queries per second, average latency, lost queries, the server's CPU time per
#      answered query (utime + stime from /proc/PID/stat of the server and its child processes,
#      over the measured interval) and its resident memory after the run (VmRSS of the process and
#      its children, summed);
#   4. prints one table, every figure also as a ratio to the limit responder of the same run.
#
# Scenarios (the same 1,000-name zone bench.test and the same query file for every server):
#   1 local zone        ours: zone file in DNSDomainsDir, DNSCacheTTL 3600 (the zone cache holds it);
#                       knot and nsd from the zone file, dnsmasq from a hosts file, unbound local-data
#   2 cached forwarding every query a cache hit: ours with the response rings (all 1,000 A answers
#                       fit), dnsmasq, unbound and dnsdist with their caches; filled by one pass first
#   3 uncached forward  every query goes to the same upstream (nsd on core 0): ours with
#                       DNSCacheTTL 0, dnsdist without a packet cache, dnsmasq --cache-size=0,
#                       unbound with cache-max-ttl 0
#   4 MYIP              ours only: every name answered with the client's address
#   5 denied list       ours only: scenario 1 with a denied list of one million names loaded
#   6 database zones    ours only: scenario 1 with the zone in MariaDB (a private instance started
#                       by scripts/mariadb.sh on core 0), held by the same zone cache
#
# Environment: BUILD (build directory), SECS (seconds per measured run), SKIP_INSTALL=1 (use what is
# installed), SCENARIOS (e.g. "1 2", default "1 2 3 4 5 6"), OUT (also write the table to this
# file), NICE (priority of the servers and dnsperf, default -10 as root: other work on the machine
# then disturbs the figures less).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build}
SECS=${SECS:-10}
SCENARIOS=${SCENARIOS:-"1 2 3 4 5 6"}
OUT=${OUT:-}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac

# --- Outside the namespace: packages, build, then the namespace ---------------------------------
if [ -z "${DNSBENCH_INSIDE:-}" ]; then
  if [ "${SKIP_INSTALL:-0}" != 1 ]; then
    echo "Installing the peers and dnsperf (apt-get install -y) ..."
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q knot nsd dnsmasq unbound dnsdist dnsperf \
      bind9-dnsutils iproute2 util-linux mariadb-server mariadb-client >/dev/null
    echo "Building dnsserver and udp_limit_bench in $BUILD ..."
    cmake -S "$ROOT" -B "$BUILD" >/dev/null
    make -C "$BUILD" -j2 dnsserver udp_limit_bench >/dev/null
  fi
  for b in "$BUILD/src/dnsserver" "$BUILD/bench/udp_limit_bench"; do
    [ -x "$b" ] || { echo "missing $b" >&2; exit 2; }
  done
  NS=dnsbench$$
  if [ "$(id -u)" = 0 ] && ip netns add "$NS" 2>/dev/null; then
    trap 'ip netns del "$NS" 2>/dev/null || true' EXIT
    ip netns exec "$NS" ip link set lo up
    DNSBENCH_INSIDE="namespace $NS" ip netns exec "$NS" bash "${BASH_SOURCE[0]}" "$@"
    exit $?
  fi
  DNSBENCH_INSIDE="host (no private namespace)" exec bash "${BASH_SOURCE[0]}" "$@"
fi

# --- Inside: the measurements -------------------------------------------------------------------
DNSSERVER=$BUILD/src/dnsserver
LIMIT=$BUILD/bench/udp_limit_bench
if [ -z "${NICE+x}" ]; then NICE=0; [ "$(id -u)" = 0 ] && NICE=-10; fi
TICK=$(getconf CLK_TCK)
WORK=$(mktemp -d /tmp/dnsbench.XXXXXX)
chmod 755 "$WORK"  # peers that drop privileges still read their files
PIDS=()
RESULTS=$WORK/results.tsv
: > "$RESULTS"

DB_DIR=
cleanup() {
  local p
  for p in "${PIDS[@]}"; do stop_pid "$p"; done
  if [ -n "$DB_DIR" ]; then bash "$ROOT/scripts/mariadb.sh" stop "$DB_DIR" >/dev/null 2>&1 || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

stop_pid() {  # TERM, then KILL after 10 s; only the given process (its children follow it)
  local p=$1 i
  kill -0 "$p" 2>/dev/null || return 0
  kill -TERM "$p" 2>/dev/null || true
  for i in $(seq 1 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$p" 2>/dev/null && kill -KILL "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The process and all its descendants.
tree() {
  local p=$1 c t
  echo "$p"
  for t in /proc/"$p"/task/*; do
    for c in $(cat "$t/children" 2>/dev/null); do tree "$c"; done
  done
}
cpu_ticks() {  # utime + stime of the tree, in clock ticks
  local sum=0 p v
  for p in $(tree "$1"); do
    v=$(awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$p/stat" 2>/dev/null || echo 0)
    sum=$((sum + v))
  done
  echo "$sum"
}
rss_kb() {
  local sum=0 p v
  for p in $(tree "$1"); do
    v=$(awk '/^VmRSS:/ { print $2 }' "/proc/$p/status" 2>/dev/null || echo 0)
    sum=$((sum + ${v:-0}))
  done
  echo "$sum"
}

# --- Data: the zone, the query file, the peers' forms of the zone, the denied list --------------
ZONE=bench.test
{
  echo '$TTL 3600'
  echo '@       IN SOA ns1 admin ('
  echo '            1   ; serial'
  echo '            1H  ; refresh'
  echo '            15M ; retry'
  echo '            1W  ; expire'
  echo '            300 )'
  echo '        IN NS  ns1'
  echo 'ns1     IN A   127.0.0.1'
  for i in $(seq 1 1000); do echo "host$i IN A 10.0.$((i / 256)).$((i % 256))"; done
} > "$WORK/$ZONE.zone"
for i in $(seq 1 1000); do echo "host$i.$ZONE A"; done > "$WORK/queries"
for i in $(seq 1 1000); do echo "10.0.$((i / 256)).$((i % 256)) host$i.$ZONE"; done > "$WORK/hosts"
mkdir -p "$WORK/domains"
cp "$WORK/$ZONE.zone" "$WORK/domains/$ZONE"
awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "ad%d.tracker%d.example\n", i, i % 997 }' > "$WORK/denied.txt"

# --- Servers: each start_* writes its configuration and starts the server on $PORT --------------
SERVER_PID=
UPSTREAM_PID=
UPSTREAM_PORT=

launch() {  # launch <core> <log> <command...>: background, pinned
  local core=$1 log=$2; shift 2
  nice -n "$NICE" taskset -c "$core" "$@" > "$log" 2>&1 &
  LAUNCHED=$!
  PIDS+=("$LAUNCHED")
}

wait_answering() {  # wait_answering <port> <pid> [any]: until the server answers host1 (any reply)
  local i pattern='^[0-9]+\.' args=(+short)
  if [ "${3:-}" = any ]; then pattern='status: NOERROR'; args=(+noall +comments); fi
  for i in $(seq 1 100); do
    if dig "${args[@]}" +tries=1 +time=1 -p "$1" @127.0.0.1 "host1.$ZONE" A 2>/dev/null | grep -Eq "$pattern"; then return 0; fi
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}

start_ours() {  # start_ours <extra settings lines>
  local d=$WORK/ours.$PORT
  mkdir -p "$d"
  { echo "Log no"
    echo "SrvIP 127.0.0.1"
    echo "SrvPort $PORT"
    echo "SrvPort2 $PORT"
    printf '%s\n' "$@"
  } > "$d/dnscfg.ini"
  (cd "$d" && launch 1 "$d/server.out" "$DNSSERVER" -cfgfile "$d/dnscfg.ini"; echo "$LAUNCHED" > "$d/pid")
  SERVER_PID=$(cat "$d/pid")
  PIDS+=("$SERVER_PID")
}

# The zone in MariaDB: a private instance on core 0, its schema made by a first start of ours,
# then the zone rows. Afterwards start_ours_db points the settings rows at $PORT.
DB_SQL=
setup_db() {
  DB_DIR=$WORK/mariadb
  taskset -c 0 bash "$ROOT/scripts/mariadb.sh" start "$DB_DIR" >/dev/null
  # shellcheck disable=SC1091
  . "$DB_DIR/env"
  DB_SQL=(mariadb --no-defaults --socket="$MYSQL_TEST_SOCKET" -uroot "$MYSQL_TEST_DB")
  "${DB_SQL[@]}" -e "CREATE TABLE IF NOT EXISTS \`Settings\` (\`Id\` INT PRIMARY KEY AUTO_INCREMENT,
    \`SName\` VARCHAR(100), \`SValue\` VARCHAR(2000), \`App\` VARCHAR(100), \`SType\` VARCHAR(100),
    \`SValueList\` VARCHAR(1024), \`SubSystem\` VARCHAR(100), INDEX \`I0_Settings\` (\`SName\`),
    INDEX \`I1_Settings\` (\`App\`))"
  PORT=$(free_port)
  start_ours_db
  local i
  for i in $(seq 1 100); do
    "${DB_SQL[@]}" -e 'SELECT 1 FROM DNSResources LIMIT 1' >/dev/null 2>&1 && break
    sleep 0.2
  done
  stop_pid "$SERVER_PID"
  {
    echo "INSERT INTO DNSZones (ZoneName, NameServer1, ResponsibleMailAddr, Serial, Refresh, Retry, Expire, DefaultTTL)"
    echo "  VALUES ('$ZONE', 'ns1', 'admin', 1, 3600, 900, 604800, 300);"
    echo "SET @z = LAST_INSERT_ID();"
    echo "INSERT INTO DNSResources (ZoneId, RName, RType, RClass, TTL, RData, Preference) VALUES"
    echo "  (@z, '@', 'NS', 'IN', 0, 'ns1', 0), (@z, 'ns1', 'A', 'IN', 0, '127.0.0.1', 0)"
    for i in $(seq 1 1000); do echo ", (@z, 'host$i', 'A', 'IN', 3600, '10.0.$((i / 256)).$((i % 256))', 0)"; done
    echo ";"
  } | "${DB_SQL[@]}"
}

start_ours_db() {
  local name value
  "${DB_SQL[@]}" -e "DELETE FROM Settings WHERE App = 'DNSServer'"
  for name in "Log No" "SrvIP 127.0.0.1" "SrvPort $PORT" "SrvPort2 $PORT" "DNSCacheTTL 3600" "DNSZonesReload 0" \
              "AllowExternalDomains No"; do
    value=${name#* }
    "${DB_SQL[@]}" -e "INSERT INTO Settings (SName, SValue, App) VALUES ('${name%% *}', '$value', 'DNSServer')"
  done
  start_ours "MySQLHost=unix://$MYSQL_TEST_SOCKET" "MySQLDbName=$MYSQL_TEST_DB" "MySQLUser=$MYSQL_TEST_USER" \
    "MySQLPass=$MYSQL_TEST_PASSWORD"
}

start_limit() { launch 1 "$WORK/limit.out" "$LIMIT" "$PORT"; SERVER_PID=$LAUNCHED; }

nsd_conf() {  # nsd_conf <dir> <port>
  mkdir -p "$1"
  cp "$WORK/$ZONE.zone" "$1/"
  cat > "$1/nsd.conf" <<CONF
server:
  ip-address: 127.0.0.1@$2
  zonesdir: "$1"
  database: ""
  pidfile: "$1/nsd.pid"
  username: ""
  chroot: ""
  xfrdfile: "$1/xfrd.state"
  zonelistfile: "$1/zone.list"
  server-count: 1
  logfile: "$1/nsd.log"
  verbosity: 0
remote-control:
  control-enable: no
zone:
  name: $ZONE
  zonefile: $ZONE.zone
CONF
}

start_nsd() { local d=$WORK/nsd.$PORT; nsd_conf "$d" "$PORT"; launch 1 "$d/out" nsd -d -c "$d/nsd.conf"; SERVER_PID=$LAUNCHED; }

start_upstream() {  # nsd serving the zone for the forwarders, on core 0 beside dnsperf
  UPSTREAM_PORT=$(free_port)
  local d=$WORK/upstream
  nsd_conf "$d" "$UPSTREAM_PORT"
  launch 0 "$d/out" nsd -d -c "$d/nsd.conf"
  UPSTREAM_PID=$LAUNCHED
  wait_answering "$UPSTREAM_PORT" "$UPSTREAM_PID" || { echo "upstream nsd did not start: $(cat "$d/out")" >&2; exit 1; }
}

start_knot() {
  local d=$WORK/knot.$PORT
  mkdir -p "$d"
  cp "$WORK/$ZONE.zone" "$d/"
  cat > "$d/knot.conf" <<CONF
server:
  rundir: "$d"
  listen: 127.0.0.1@$PORT
  udp-workers: 1
  tcp-workers: 1
  background-workers: 1
database:
  storage: "$d"
control:
  listen: "$d/knot.sock"
log:
  - target: stderr
    any: error
template:
  - id: default
    storage: "$d"
    file: "%s.zone"
    journal-content: none
    zonefile-sync: -1
zone:
  - domain: $ZONE
CONF
  launch 1 "$d/out" knotd -c "$d/knot.conf"
  SERVER_PID=$LAUNCHED
}

start_dnsmasq() {  # start_dnsmasq local | cached | uncached
  local d=$WORK/dnsmasq.$PORT mode=$1
  mkdir -p "$d"
  local args=(-k -C /dev/null --no-resolv --no-hosts --listen-address=127.0.0.1 --bind-interfaces
              --port="$PORT" --pid-file="$d/pid" --log-facility=- --dns-forward-max=1000)
  case $mode in
    local) args+=(--addn-hosts="$WORK/hosts" --cache-size=10000 --local="/$ZONE/") ;;
    cached) args+=(--server="127.0.0.1#$UPSTREAM_PORT" --cache-size=10000) ;;
    uncached) args+=(--server="127.0.0.1#$UPSTREAM_PORT" --cache-size=0) ;;
  esac
  launch 1 "$d/out" dnsmasq "${args[@]}"
  SERVER_PID=$LAUNCHED
}

start_unbound() {  # start_unbound local | cached | uncached
  local d=$WORK/unbound.$PORT mode=$1
  mkdir -p "$d"
  {
    echo "server:"
    echo "  interface: 127.0.0.1"
    echo "  port: $PORT"
    echo "  do-daemonize: no"
    echo "  username: \"\""
    echo "  chroot: \"\""
    echo "  directory: \"$d\""
    echo "  pidfile: \"$d/unbound.pid\""
    echo "  use-syslog: no"
    echo "  logfile: \"\""
    echo "  verbosity: 0"
    echo "  num-threads: 1"
    echo "  do-ip6: no"
    echo "  module-config: \"iterator\""
    echo "  access-control: 127.0.0.0/8 allow"
    echo "  do-not-query-localhost: no"
    echo "  local-zone: \"test.\" nodefault"  # test. is one of unbound's built-in blocked zones
    case $mode in
      local)
        echo "  local-zone: \"$ZONE.\" static"
        awk '{ printf "  local-data: \"%s. 3600 IN A %s\"\n", $2, $1 }' "$WORK/hosts"
        ;;
      uncached)
        echo "  cache-max-ttl: 0"
        ;;
    esac
    if [ "$mode" != local ]; then
      echo "forward-zone:"
      echo "  name: \".\""
      echo "  forward-addr: 127.0.0.1@$UPSTREAM_PORT"
    fi
    echo "remote-control:"
    echo "  control-enable: no"
  } > "$d/unbound.conf"
  launch 1 "$d/out" unbound -d -c "$d/unbound.conf"
  SERVER_PID=$LAUNCHED
}

start_dnsdist() {  # start_dnsdist cached | uncached
  local d=$WORK/dnsdist.$PORT mode=$1
  mkdir -p "$d"
  {
    echo 'setSecurityPollSuffix("")'
    echo "setLocal(\"127.0.0.1:$PORT\")"
    echo "newServer({address=\"127.0.0.1:$UPSTREAM_PORT\", checkInterval=3600})"
    if [ "$mode" = cached ]; then
      echo 'pc = newPacketCache(10000, {maxTTL=86400})'
      echo 'getPool(""):setCache(pc)'
    fi
  } > "$d/dnsdist.conf"
  launch 1 "$d/out" dnsdist --supervised --disable-syslog -C "$d/dnsdist.conf"
  SERVER_PID=$LAUNCHED
}

# --- One measurement ----------------------------------------------------------------------------
# measure <scenario> <label> <fill: yes|no> <start command...>
measure() {
  local scenario=$1 label=$2 fill=$3; shift 3
  PORT=$(free_port)
  "$@"
  if ! wait_answering "$PORT" "$SERVER_PID" "${READY:-}"; then
    echo "  $label: did not answer; skipped" >&2
    stop_pid "$SERVER_PID"
    return 0
  fi
  if [ "$fill" = yes ]; then  # each name asked once, so that one answer per name is cached
    nice -n "$NICE" taskset -c 0 dnsperf -s 127.0.0.1 -p "$PORT" -d "$WORK/queries" -n 1 -q 10 > /dev/null 2>&1
  fi
  nice -n "$NICE" taskset -c 0 dnsperf -s 127.0.0.1 -p "$PORT" -d "$WORK/queries" -l 2 -q 100 > /dev/null 2>&1  # warm-up
  local out=$WORK/dnsperf.$scenario.$PORT c0 c1
  c0=$(cpu_ticks "$SERVER_PID")
  nice -n "$NICE" taskset -c 0 dnsperf -s 127.0.0.1 -p "$PORT" -d "$WORK/queries" -l "$SECS" -q 100 > "$out" 2>&1
  c1=$(cpu_ticks "$SERVER_PID")
  local rss completed lost rate lat
  rss=$(rss_kb "$SERVER_PID")
  completed=$(awk '/Queries completed:/ { print $3 }' "$out")
  lost=$(awk '/Queries lost:/ { print $3 }' "$out")
  rate=$(awk '/Queries per second:/ { print $4 }' "$out")
  lat=$(awk '/Average Latency/ { print $4 * 1e6 }' "$out")
  local cpu
  cpu=$(awk -v c="$((c1 - c0))" -v t="$TICK" -v n="$completed" 'BEGIN { if (n > 0) printf "%.3f", c * 1e6 / t / n; else print "nan" }')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$scenario" "$label" "$rate" "$lat" "$lost" "$cpu" "$rss" >> "$RESULTS"
  local codes
  codes=$(awk '/Response codes:/ { $1 = $2 = ""; sub(/^ +/, ""); print }' "$out")
  printf '  %-36s %9.0f q/s  lat %7.1f us  lost %6s  cpu %6.2f us/q  rss %6.1f MB  (%s)\n' "$label" "$rate" "$lat" \
    "$lost" "$cpu" "$(awk -v r="$rss" 'BEGIN { print r / 1024 }')" "$codes"
  stop_pid "$SERVER_PID"
}

want() { case " $SCENARIOS " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

echo "dnsperf on core 0 (-q 100), servers on core 1, $SECS s per run, nice $NICE, on 127.0.0.1 in the ${DNSBENCH_INSIDE}"
echo "limit responder"
READY=any measure 0 "limit responder (recvmmsg/sendmmsg)" no start_limit

if want 1; then
  echo "1 local zone"
  measure 1 "dnsserver (zone cache)" no start_ours "DNSDomainsDir $WORK/domains" "DNSCacheTTL 3600"
  measure 1 "knot" no start_knot
  measure 1 "nsd" no start_nsd
  measure 1 "dnsmasq (hosts)" no start_dnsmasq local
  measure 1 "unbound (local-data)" no start_unbound local
fi
if want 2 || want 3; then start_upstream; fi
if want 2; then
  echo "2 cached forwarding"
  measure 2 "dnsserver (response rings)" yes start_ours "DNSCacheTTL 3600" "DNSHost 127.0.0.1" "DNSPort $UPSTREAM_PORT" "AllowExternalDomains yes"
  measure 2 "dnsdist (packet cache)" yes start_dnsdist cached
  measure 2 "dnsmasq (cache)" yes start_dnsmasq cached
  measure 2 "unbound (cache)" yes start_unbound cached
fi
if want 3; then
  echo "3 uncached forwarding (upstream: nsd on core 0)"
  measure 3 "dnsserver (DNSCacheTTL 0)" no start_ours "DNSCacheTTL 0" "DNSHost 127.0.0.1" "DNSPort $UPSTREAM_PORT" "AllowExternalDomains yes"
  measure 3 "dnsdist (no cache)" no start_dnsdist uncached
  measure 3 "dnsmasq (--cache-size=0)" no start_dnsmasq uncached
  measure 3 "unbound (cache-max-ttl 0)" no start_unbound uncached
fi
if [ -n "$UPSTREAM_PID" ]; then stop_pid "$UPSTREAM_PID"; UPSTREAM_PID=; fi
if want 4; then
  echo "4 MYIP answers"
  measure 4 "dnsserver (MyIPDomains)" no start_ours "MyIPDomains $ZONE" "DNSCacheTTL 0"
fi
if want 5; then
  echo "5 local zone with 1,000,000 denied names"
  measure 5 "dnsserver (zone cache + DeniedFile)" no start_ours "DNSDomainsDir $WORK/domains" "DNSCacheTTL 3600" "DeniedFile $WORK/denied.txt"
fi

if want 6; then
  echo "6 local zone from the database"
  if [ -f "$BUILD/src/dnsserver_db.so" ]; then
    setup_db
    measure 6 "dnsserver (database zone, zone cache)" no start_ours_db
  else
    echo "  skipped: $BUILD/src/dnsserver_db.so was not built" >&2
  fi
fi


# --- The table ----------------------------------------------------------------------------------
table() {
  awk -F'\t' '
    BEGIN {
      title[0] = "limit"; title[1] = "1 local zone"; title[2] = "2 cached forwarding"
      title[3] = "3 uncached forwarding"; title[4] = "4 MYIP"; title[5] = "5 zone + 1M denied"
      title[6] = "6 database zone"
    }
    function ratio(v, l) { return (l > 0) ? sprintf("%.2f", v / l) : "-" }
    $1 == 0 { lrate = $3; llat = $4; lcpu = $6; lrss = $7 }
    { row[NR] = $0 }
    END {
      printf "| scenario | server | queries/s | x limit | avg latency us | x limit | lost | CPU us/query | x limit | RSS MB | x limit |\n"
      printf "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n"
      for (i = 1; i <= NR; i++) {
        split(row[i], f, "\t")
        printf "| %s | %s | %.0f | %s | %.1f | %s | %d | %.2f | %s | %.1f | %s |\n", title[f[1]], f[2],
          f[3], ratio(f[3], lrate), f[4], ratio(f[4], llat), f[5], f[6], ratio(f[6], lcpu), f[7] / 1024,
          ratio(f[7], lrss)
      }
    }' "$RESULTS"
}
echo
table
if [ -n "$OUT" ]; then table > "$OUT"; fi
