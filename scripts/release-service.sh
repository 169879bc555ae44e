#!/usr/bin/env bash
# The project's local release service: nginx serving a release tree over HTTPS
# on loopback, with a private CA that this machine is made to trust.
#
#   scripts/release-service.sh start [TREE] [--replace]   (default TREE: .run/release-tree)
#   scripts/release-service.sh stop
#   scripts/release-service.sh status
#   scripts/release-service.sh untrust    (removes its CA from the system store)
#   scripts/release-service.sh s3 start|stop   (a local S3-compatible server)
#   scripts/release-service.sh start --s3      (serves that server's bucket)
#   ... --host 2|3   (start, stop, status: a second or third host, as a mirror)
#
# Writes only below .run/release-service, plus the CA into the system store
# (/usr/local/share/ca-certificates, under a name of this service folder's own,
# so two checkouts never replace each other's CA), which needs root.
# Port: IVRA_RELEASE_PORT (8443); a port taken by anything else is refused by name,
# and a service of this checkout already running on another port is kept
# unless --replace is given.
# IVRA_RELEASE_CERT and IVRA_RELEASE_KEY serve another certificate and key in
# place of the one made here (the tests use them to serve untrusted ones);
# IVRA_RELEASE_EXTRA_CONF names a file of nginx directives added to the server.
# IVRA_RELEASE_HTTP2=1 offers HTTP/2 as well, as CDNs do.
# "--host N" runs another nginx beside the first, on port IVRA_RELEASE_PORT + N - 1
# (8444, 8445), with its own tree, logs and state in .run/release-service/host-N:
# mirrors for the launcher's IVRA_RELEASE_MIRRORS. "stop" without --host stops them all.
# The S3-compatible server is s3rver (installed by install-deps from the npm
# registry) on 127.0.0.1:IVRA_S3_PORT (9000) with the bucket "ivra", its data
# in IVRA_S3_DIR (.run/release-service/s3); "s3 start" prints the rclone remote to push
# to. "start --s3" has nginx serve that bucket over HTTPS, as a CDN in front of
# object storage would, with the headers the push stored with each object.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
state="$project/.run/release-service"
ca_name="ivra-local-release-ca-$(printf '%s' "$state" | sha256sum | cut -c1-12)"
system_ca="/usr/local/share/ca-certificates/$ca_name.crt"
host= arguments=()
while [ $# -gt 0 ]; do
  case "$1" in
    --host) host=${2:-}; shift 2 || true ;;
    *) arguments+=("$1"); shift ;;
  esac
done
set -- "${arguments[@]+"${arguments[@]}"}"
case "${host:-1}" in 1|2|3) ;; *) echo "release-service: --host is 1, 2 or 3" >&2; exit 2 ;; esac
# Host 1 keeps the folder's own files; the others have a folder each.
hostdir="$state"; [ "${host:-1}" -gt 1 ] && hostdir="$state/host-$host"
port=$(( ${IVRA_RELEASE_PORT:-8443} + ${host:-1} - 1 ))

# nginx removes its pid file as it stops: read it once, quietly.
running() { local pid; pid=$(cat "$hostdir/nginx.pid" 2>/dev/null) && kill -0 "$pid" 2>/dev/null; }
# What the running service was started with: "PORT TREE".
serving() { cat "$hostdir/serving" 2>/dev/null || echo "? ?"; }
port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/${1:-$port}") 2>/dev/null; }
s3_port="${IVRA_S3_PORT:-9000}"
s3_data="${IVRA_S3_DIR:-$state/s3}"
s3_running() { local pid; pid=$(cat "$state/s3.pid" 2>/dev/null) && kill -0 "$pid" 2>/dev/null; }

make_certificates() {
  mkdir -p "$state"
  if [ ! -f "$state/ca.crt" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=IVRA local release CA" \
      -keyout "$state/ca.key" -out "$state/ca.crt" 2>/dev/null
  fi
  if [ ! -f "$state/server.crt" ]; then
    openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
      -keyout "$state/server.key" -out "$state/server.csr" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
      > "$state/server.ext"
    openssl x509 -req -in "$state/server.csr" -CA "$state/ca.crt" -CAkey "$state/ca.key" -CAcreateserial \
      -days 825 -extfile "$state/server.ext" -out "$state/server.crt" 2>/dev/null
  fi
}

trust_ca() {
  # Qt trusts the system store only, so the CA has to be there.
  if ! cmp -s "$state/ca.crt" "$system_ca" 2>/dev/null; then
    install -m 644 "$state/ca.crt" "$system_ca"
    update-ca-certificates >/dev/null 2>&1
  fi
}

write_config() {
  local tree=$1
  mkdir -p "$hostdir/temp"
  cat > "$hostdir/nginx.conf" <<CONF
daemon on;
user root root;
worker_processes 1;
pid $hostdir/nginx.pid;
error_log $hostdir/error.log;
events { worker_connections 256; }
http {
  types { application/json json; application/zip zip; application/octet-stream exe; }
  default_type application/octet-stream;
  log_format release '\$remote_addr [\$time_local] "\$request" \$status \$body_bytes_sent "\$http_user_agent"';
  access_log $hostdir/access.log release;
  client_body_temp_path $hostdir/temp/body;
  proxy_temp_path $hostdir/temp/proxy;
  fastcgi_temp_path $hostdir/temp/fastcgi;
  uwsgi_temp_path $hostdir/temp/uwsgi;
  scgi_temp_path $hostdir/temp/scgi;
  sendfile on;
  server {
    listen 127.0.0.1:$port ssl${IVRA_RELEASE_HTTP2:+ http2};
    server_name 127.0.0.1 localhost;
    ssl_certificate ${IVRA_RELEASE_CERT:-$state/server.crt};
    ssl_certificate_key ${IVRA_RELEASE_KEY:-$state/server.key};
$(if [ "$tree" = s3 ]; then cat <<S3
    location /releases/ { proxy_pass http://127.0.0.1:$s3_port/ivra/releases/; }
S3
else cat <<TREE
    root $tree;
    # Manifests must never be served stale; artifacts never change under their name.
    location /releases/manifests/ { add_header Cache-Control "no-cache" always; }
    location /releases/ { add_header Cache-Control "public, max-age=31536000, immutable" always; }
TREE
fi)
    ${IVRA_RELEASE_EXTRA_CONF:+include $IVRA_RELEASE_EXTRA_CONF;}
  }
}
CONF
}

case "${1:-}" in
  start)
    if [ "$(id -u)" -ne 0 ]; then
      echo "release-service: start needs root: it installs its CA into the system store ($system_ca) and runs nginx." >&2
      exit 1
    fi
    replace=0 tree=
    for argument in "${@:2}"; do
      case "$argument" in
        --replace) replace=1 ;;
        --s3) tree=s3 ;;
        *) tree=$argument ;;
      esac
    done
    if [ "$tree" = s3 ]; then
      s3_running || { echo "release-service: start --s3 serves the local S3 server's bucket; start it first: $0 s3 start" >&2; exit 1; }
    else
      tree=$(realpath -m "${tree:-$project/.run/release-tree}")
      mkdir -p "$tree"
    fi
    if running; then
      read -r running_port running_tree < <(serving)
      if [ "$running_port" != "$port" ] && [ "$running_port" != "?" ] && [ "$replace" -eq 0 ]; then
        echo "release-service: already running on port $running_port (serving $running_tree); stop it first, or start with --replace to move it to port $port" >&2
        exit 1
      fi
      "$0" stop --host "${host:-1}" >/dev/null
    fi
    if port_taken; then
      echo "release-service: port $port on 127.0.0.1 is in use by another process (another checkout's release service?); stop it or choose another port with IVRA_RELEASE_PORT" >&2
      exit 1
    fi
    make_certificates
    trust_ca
    write_config "$tree"
    nginx -c "$hostdir/nginx.conf" -p "$hostdir" -g "" 2>>"$hostdir/error.log"
    for _ in $(seq 50); do running && break; sleep 0.1; done
    running || { echo "release-service: nginx did not start; see $hostdir/error.log" >&2; exit 1; }
    echo "$port $tree" > "$hostdir/serving"
    echo "release-service: serving $tree at https://127.0.0.1:$port"
    ;;
  stop)
    if [ -z "$host" ]; then
      for other in 2 3; do
        if [ -d "$state/host-$other" ]; then "$0" stop --host "$other" >/dev/null; fi
      done
    fi
    if running; then
      nginx -c "$hostdir/nginx.conf" -p "$hostdir" -s stop 2>/dev/null || kill "$(cat "$hostdir/nginx.pid")"
      for _ in $(seq 50); do running || break; sleep 0.1; done
    fi
    rm -f "$hostdir/nginx.pid" "$hostdir/serving"
    if [ -f "$system_ca" ]; then
      echo "release-service: stopped; its CA stays trusted by this machine ($system_ca) until: $0 untrust"
    else
      echo "release-service: stopped"
    fi
    ;;
  status)
    if running; then
      read -r running_port running_tree < <(serving)
      echo "release-service: running (pid $(cat "$hostdir/nginx.pid")) on https://127.0.0.1:$running_port, serving $running_tree"
      exit 0
    fi
    echo "release-service: not running"; exit 3
    ;;
  untrust)
    for other in 1 2 3; do
      if "$0" status --host "$other" >/dev/null; then echo "release-service: still running; stop it first" >&2; exit 1; fi
    done
    if [ ! -f "$system_ca" ]; then echo "release-service: its CA is not in the system store"; exit 0; fi
    if [ "$(id -u)" -ne 0 ]; then echo "release-service: untrust needs root: it removes $system_ca" >&2; exit 1; fi
    rm -f "$system_ca"
    update-ca-certificates --fresh >/dev/null 2>&1
    echo "release-service: its CA is no longer trusted by this machine"
    ;;
  s3)
    case "${2:-}" in
      start)
        s3rver="$project/.run/tools/node_modules/.bin/s3rver"
        [ -x "$s3rver" ] || { echo "release-service: s3rver is not installed; run scripts/install-deps.sh" >&2; exit 1; }
        if ! s3_running; then
          if port_taken "$s3_port"; then
            echo "release-service: port $s3_port on 127.0.0.1 is in use by another process; choose another with IVRA_S3_PORT" >&2
            exit 1
          fi
          mkdir -p "$s3_data"
          setsid "$s3rver" --directory "$s3_data" --address 127.0.0.1 --port "$s3_port" \
            --configure-bucket ivra >"$state/s3.log" 2>&1 < /dev/null & echo $! > "$state/s3.pid"
          for _ in $(seq 100); do port_taken "$s3_port" && break; sleep 0.1; done
          port_taken "$s3_port" || { echo "release-service: s3rver did not start; see $state/s3.log" >&2; exit 1; }
        fi
        echo "release-service: S3-compatible server on http://127.0.0.1:$s3_port, bucket ivra; push to it with:"
        echo "  RCLONE_CONFIG_IVRAS3_TYPE=s3 RCLONE_CONFIG_IVRAS3_PROVIDER=Other RCLONE_CONFIG_IVRAS3_ENDPOINT=http://127.0.0.1:$s3_port RCLONE_CONFIG_IVRAS3_ACCESS_KEY_ID=S3RVER RCLONE_CONFIG_IVRAS3_SECRET_ACCESS_KEY=S3RVER ivra-release push --tree TREE --to ivras3:ivra"
        ;;
      stop)
        if s3_running; then
          kill "$(cat "$state/s3.pid")"
          for _ in $(seq 50); do s3_running || break; sleep 0.1; done
        fi
        rm -f "$state/s3.pid"
        echo "release-service: S3-compatible server stopped"
        ;;
      *) echo "usage: $0 s3 start|stop" >&2; exit 2 ;;
    esac
    ;;
  *)
    echo "usage: $0 start [TREE | --s3] [--replace] [--host N] | stop [--host N] | status [--host N] | untrust | s3 start|stop" >&2; exit 2 ;;
esac
