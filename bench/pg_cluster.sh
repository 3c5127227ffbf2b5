# Sourced by the bench scripts: a PostgreSQL cluster of the run's own, made in
# a temporary folder (initdb), durable as installed (fsync on), listening on no
# TCP port, only on its Unix socket in that folder (no port to race for), run
# as the postgres user when root; removed by pg_cluster_stop. Needs $tmp (a
# folder of the run, readable by everyone).
pg_bin=$(pg_config --bindir 2>/dev/null || echo /usr/lib/postgresql/15/bin)
pg_data=
pg_port=5432  # in the socket's name only
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
  printf "listen_addresses = ''\nunix_socket_directories = '%s'\nport = %s\nmax_connections = 200\n" \
    "$pg_data" "$pg_port" >>"$pg_data/postgresql.conf"
  if ! "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$pg_data" -w -t 60 -l "$pg_data/server.log" start >/dev/null; then
    echo "PostgreSQL não iniciou; veja $pg_data/server.log" >&2
    exit 1
  fi
}

# The cluster's socket folder as the host of a URI, percent-encoded.
pg_uri_host() {
  local out= c i
  for ((i = 0; i < ${#pg_data}; i++)); do
    c=${pg_data:i:1}
    case $c in
      [a-zA-Z0-9._~-]) out+=$c ;;
      *) printf -v c '%%%02X' "'$c"; out+=$c ;;
    esac
  done
  echo "$out"
}

# Prints the URI of a new, empty database NAME on the cluster.
pg_new_database() {
  "${pg_as[@]}" "$pg_bin/psql" -q -h "$pg_data" -p "$pg_port" -U postgres -d postgres \
    -c "CREATE DATABASE $1 ENCODING 'UTF8' TEMPLATE template0" >/dev/null
  echo "postgresql://postgres@$(pg_uri_host):$pg_port/$1"
}

# Stops the cluster, when one was started.
pg_cluster_stop() {
  [ -n "$pg_data" ] || return 0
  "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$pg_data" -m immediate -w stop >/dev/null 2>&1 || true
  pg_data=
}
