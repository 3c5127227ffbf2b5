# Sourced by the bench scripts: a PostgreSQL cluster of the run's own, made in
# a temporary folder (initdb), durable as installed (fsync on), serving on a
# free port of 127.0.0.1 only, run as the postgres user when root; removed by
# pg_cluster_stop. Needs $tmp (a folder of the run, readable by everyone).
pg_bin=$(pg_config --bindir 2>/dev/null || echo /usr/lib/postgresql/15/bin)
pg_data=
pg_port=
pg_as=()

# Starts the cluster (once); fails the script when it cannot.
pg_cluster_start() {
  [ -z "$pg_data" ] || return 0
  pg_data=$tmp/pg
  if [ "$(id -u)" = 0 ]; then
    pg_as=(runuser -u postgres --)
    mkdir -p "$pg_data" && chown postgres "$pg_data"
  else
    pg_as=(env)
  fi
  "${pg_as[@]}" "$pg_bin/initdb" -D "$pg_data" -U postgres -E UTF8 --locale=C --auth=trust \
    --no-sync >"$tmp/initdb.log" 2>&1 || { cat "$tmp/initdb.log" >&2; exit 1; }
  for _ in 1 2 3 4 5; do
    pg_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    if "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$pg_data" -w -t 60 -l "$pg_data/server.log" \
      -o "-c listen_addresses=127.0.0.1 -c unix_socket_directories=$pg_data -c max_connections=200 -p $pg_port" \
      start >/dev/null; then
      return 0
    fi
  done
  echo "PostgreSQL não iniciou; veja $pg_data/server.log" >&2
  exit 1
}

# Prints the URI of a new, empty database NAME on the cluster.
pg_new_database() {
  "${pg_as[@]}" "$pg_bin/psql" -q -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres \
    -c "CREATE DATABASE $1 ENCODING 'UTF8' TEMPLATE template0" >/dev/null
  echo "postgresql://postgres@127.0.0.1:$pg_port/$1"
}

# Stops the cluster, when one was started.
pg_cluster_stop() {
  [ -n "$pg_data" ] || return 0
  "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$pg_data" -m immediate -w stop >/dev/null 2>&1 || true
  pg_data=
}
