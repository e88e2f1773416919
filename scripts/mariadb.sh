#!/usr/bin/env bash
# A private, throw-away MariaDB instance for the tests: its own data folder, loopback port and
# socket, run as root without a service manager.
#   scripts/mariadb.sh start DIR   -> starts it, creates database "dnsserver" and user "dnsserver",
#                                     writes DIR/env (MYSQL_TEST_PORT, MYSQL_TEST_SOCKET, ...)
#   scripts/mariadb.sh stop DIR    -> stops it by its PID and removes DIR
set -euo pipefail
cmd=$1; dir=$2
case "$cmd" in
start)
  rm -rf "$dir"; mkdir -p "$dir/data"
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  mariadb-install-db --no-defaults --user=root --datadir="$dir/data" --auth-root-authentication-method=normal >"$dir/install.log" 2>&1
  mariadbd --no-defaults --user=root --datadir="$dir/data" --socket="$dir/mysql.sock" --port="$port" \
    --bind-address=127.0.0.1 --pid-file="$dir/mariadb.pid" --skip-name-resolve --log-error="$dir/error.log" \
    --innodb-buffer-pool-size=64M >/dev/null 2>&1 &
  echo $! > "$dir/server.pid"
  for _ in $(seq 1 120); do
    mariadb-admin --no-defaults --socket="$dir/mysql.sock" -uroot ping >/dev/null 2>&1 && break
    sleep 0.5
  done
  mariadb --no-defaults --socket="$dir/mysql.sock" -uroot <<SQL
CREATE DATABASE IF NOT EXISTS dnsserver;
CREATE USER IF NOT EXISTS 'dnsserver'@'127.0.0.1' IDENTIFIED BY 'dnsserver-test';
CREATE USER IF NOT EXISTS 'dnsserver'@'localhost' IDENTIFIED BY 'dnsserver-test';
GRANT ALL ON *.* TO 'dnsserver'@'127.0.0.1';
GRANT ALL ON *.* TO 'dnsserver'@'localhost';
FLUSH PRIVILEGES;
SQL
  cat > "$dir/env" <<ENV
export MYSQL_TEST_HOST=127.0.0.1
export MYSQL_TEST_PORT=$port
export MYSQL_TEST_SOCKET=$dir/mysql.sock
export MYSQL_TEST_USER=dnsserver
export MYSQL_TEST_PASSWORD=dnsserver-test
export MYSQL_TEST_DB=dnsserver
export MYSQL_TEST_PIDFILE=$dir/server.pid
export MYSQL_TEST_DIR=$dir
ENV
  echo "MariaDB test instance on 127.0.0.1:$port ($dir)"
  ;;
stop)
  if [ -f "$dir/server.pid" ]; then
    pid=$(cat "$dir/server.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
  ;;
*) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
