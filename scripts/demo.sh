#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the demo: the FTP server over the
# local emulator of the storage service, with TLS (a certificate from the
# demo's own throw-away CA).
#
#   scripts/demo.sh            run until Ctrl-C, printing how to connect
#   scripts/demo.sh --check    start everything, list and download with curl, stop
#
# Environment: ORVEL_BINARY_DIR=DIR uses an existing build tree instead of
# building ./build; ORVEL_DEMO_PORT=N changes the FTP port (default 2121;
# --check uses an ephemeral port unless it is set).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${ORVEL_BINARY_DIR:-}" ]; then
  scripts/setup.sh build
fi
build_dir=${ORVEL_BINARY_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$PWD/$build_dir" ;; esac

check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "demo: unknown argument $arg" >&2; exit 2 ;;
  esac
done

server_bin="$build_dir/server/orvel-gridftp-server"
plugin="$build_dir/src/liborvel_gridftp_server_dropbox.so"
if [ ! -x "$server_bin" ] || [ ! -f "$plugin" ]; then
  echo "demo: the server program or the plug-in is not built yet ($server_bin, $plugin)" >&2
  exit 1
fi
python=/usr/bin/python3
user=demo
password=demo-password
token=demo-access-token
if [ $check -eq 1 ]; then port=${ORVEL_DEMO_PORT:-0}; else port=${ORVEL_DEMO_PORT:-2121}; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-demo.XXXXXX")
emu_pid=
server_pid=
cleanup() {
  trap - EXIT INT TERM
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$emu_pid" ] && kill -TERM "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "demo: stopping"; exit 0' INT TERM

# Waits until FILE holds a port number (the programs write it atomically).
wait_port_file() {
  local file=$1 pid=$2 what=$3
  for _ in $(seq 1 200); do
    if [ -s "$file" ]; then cat "$file"; return 0; fi
    if ! kill -0 "$pid" 2>/dev/null; then echo "demo: $what exited early" >&2; return 1; fi
    sleep 0.05
  done
  echo "demo: $what did not start" >&2
  return 1
}

# --- test CA (its server certificate names 127.0.0.1; the FTP server uses it
# too) and the emulator with a few sample files
sh emulator/make-test-ca.sh "$work/ca"
ns="$work/emu/ns/1000"
mkdir -p "$ns/docs" "$ns/photos/2026" "$ns/data"
printf 'Welcome to the demo storage.\nThese files live in %s.\n' "$ns" >"$ns/README.txt"
printf 'Quarterly report\n================\nAll is well.\n' >"$ns/docs/report.txt"
for i in 1 2 3; do printf 'notes %d\n' "$i" >"$ns/docs/notes-$i.txt"; done
head -c 200000 /dev/urandom >"$ns/photos/2026/holiday.jpg"
head -c 4194304 /dev/urandom >"$ns/data/random-4MiB.bin"
cat >"$work/accounts.json" <<EOF
{"accounts": [{"access_token": "$token", "token_expiry": "2099-01-01T00:00:00Z", "account_id": "dbid:AAAAdemo",
  "root_namespace_id": "1000", "home_namespace_id": "1000"}]}
EOF
emulator/dropbox-emulator --root "$work/emu" --accounts "$work/accounts.json" --port 0 \
  --cert "$work/ca/server.pem" --key "$work/ca/server-key.pem" --port-file "$work/emu.port" \
  >"$work/emulator.log" 2>&1 &
emu_pid=$!
if ! emu_port=$(wait_port_file "$work/emu.port" "$emu_pid" "the emulator"); then
  cat "$work/emulator.log" >&2
  exit 1
fi

# --- the plug-in's REST library talks to the emulator instead of the service
export ORVEL_DSI_REST_CAINFO="$work/ca/ca.pem"
export ORVEL_DSI_REST_CONNECT_TO="api.dropboxapi.com:443:127.0.0.1:$emu_port,content.dropboxapi.com:443:127.0.0.1:$emu_port"

# --- credential document, users file, server
expiry=$(date -u -d '+1 day' '+%Y-%m-%dT%H:%M:%S.000000+00:00')
cat >"$work/creds-$user.json" <<EOF
{"access_token": "$token", "token_expiry": "$expiry", "sub": "dbid:AAAAdemo",
 "root_info": {"root_namespace_id": "1000", "home_namespace_id": "1000"}}
EOF
echo '{"user_api_rate_limit": 20}' >"$work/policy.json"
printf '%s\n' "$password" | "$server_bin" --hash-password "$user" >"$work/users"
"$server_bin" --listen 127.0.0.1 --port "$port" --port-file "$work/server.port" --plugin "$plugin" \
  --users "$work/users" --creds "$work/creds-%u.json" --policy "$work/policy.json" \
  --tls-certificate "$work/ca/server.pem" --tls-key "$work/ca/server-key.pem" \
  --log "$work/server.log" >"$work/server.out" 2>&1 &
server_pid=$!
if ! ftp_port=$(wait_port_file "$work/server.port" "$server_pid" "the FTP server"); then
  cat "$work/server.out" >&2
  exit 1
fi

if [ $check -eq 1 ]; then
  url="ftp://127.0.0.1:$ftp_port"
  tls=(--ssl-reqd --cacert "$work/ca/ca.pem")
  listing=$(curl -sS --max-time 30 "${tls[@]}" --user "$user:$password" "$url/docs/")
  echo "$listing"
  echo "$listing" | grep -q "report.txt" || { echo "demo: listing lacks report.txt" >&2; cat "$work/server.log" >&2; exit 1; }
  curl -sS --max-time 30 "${tls[@]}" --user "$user:$password" -o "$work/report.txt" "$url/docs/report.txt"
  cmp "$work/report.txt" "$ns/docs/report.txt" || { echo "demo: download differs" >&2; cat "$work/server.log" >&2; exit 1; }
  echo "demo: check passed (listing and download over TLS through 127.0.0.1:$ftp_port)"
  exit 0
fi

cat <<EOF

The demo is running.
  FTP server:  127.0.0.1:$ftp_port   user "$user", password "$password"   (AUTH TLS)
  CA:          $work/ca/ca.pem (verifies the server's certificate)
  Emulator:    https://127.0.0.1:$emu_port (storage under $ns)
  Server log:  $work/server.log

Connect with TLS (control and data connections encrypted):
  lftp -u $user,$password -e 'set ssl:ca-file $work/ca/ca.pem; set ftp:ssl-force yes; set ftp:ssl-protect-data yes; set ftp:use-allo yes' ftp://127.0.0.1:$ftp_port
  curl --ssl-reqd --cacert $work/ca/ca.pem --user $user:$password ftp://127.0.0.1:$ftp_port/docs/
  curl --ssl-reqd --cacert $work/ca/ca.pem --user $user:$password -O ftp://127.0.0.1:$ftp_port/docs/report.txt
  curl --ssl-reqd --cacert $work/ca/ca.pem --user $user:$password -T somefile ftp://127.0.0.1:$ftp_port/docs/
Clear text is accepted here only because the server listens on loopback:
  $python -c "import ftplib; f = ftplib.FTP(); f.connect('127.0.0.1', $ftp_port); f.login('$user', '$password'); print(f.nlst('/docs'))"

Press Ctrl-C to stop.
EOF
wait "$server_pid"
