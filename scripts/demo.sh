#!/usr/bin/env bash
# A short demonstration of kavro against the PBX simulator kavro-pbx, on a
# pseudo-terminal (default) or over loopback TCP (--tcp). Installs what is
# missing, builds the four programs it needs, then in a temporary directory:
# starts the simulator, writes a registry file for it, starts kavro and a
# listening client, sends payloads both ways, closes the link and shows the
# trace log. Every process it starts is ended, by its PID, when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
  cat <<'EOF'
Usage: scripts/demo.sh [--tcp] [--web] [--no-build]

Runs kavro against the PBX simulator kavro-pbx and shows payloads crossing
the link in both directions.

  --tcp       use a loopback TCP link instead of a serial link on a
              pseudo-terminal
  --web       also serve the link's live page with kavro-web (on
              127.0.0.1:8040, or $KAVRO_WEB_PORT) and show its address and
              login; on a terminal, wait for Enter before closing the link
  --no-build  use the programs already built in build/ (or $KAVRO_BUILD_DIR)
  --help      this text

Exit code 0 when every step worked; otherwise 1 with a message naming the
step that failed.
EOF
}

mode=serial
build_it=1
web=0
for arg in "$@"; do
  case "$arg" in
    --tcp) mode=tcp ;;
    --web) web=1 ;;
    --no-build) build_it=0 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "demo: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done

build=${KAVRO_BUILD_DIR:-$root/build}
step_name="start"
tmp=""
pids=()
pbx_in_open=0

step() {
  step_name=$1
  printf '\n== %s ==\n' "$1"
}

fail() {
  echo "demo: FAILED in step \"$step_name\": $*" >&2
  exit 1
}

# Any command that fails outside an explicit check ends the demonstration
# with the step it happened in.
trap 'fail "command failed (line $LINENO)"' ERR

cleanup() {
  local rc=$?
  trap - ERR
  if [ "$pbx_in_open" = 1 ]; then exec 3>&- || true; fi
  local pid
  # Background jobs still running, started just before a signal came and not
  # yet in the list, are ours as well.
  local running
  mapfile -t running < <(jobs -p)
  pids+=("${running[@]}")
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$tmp" ]; then rm -rf "$tmp"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# wait_for SECONDS WHAT COMMAND...: runs COMMAND every 50 ms until it
# succeeds; fails the step after SECONDS.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local tries=$((seconds * 20))
  while ! "$@"; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then fail "timed out after ${seconds}s waiting for $what"; fi
    sleep 0.05
  done
}

alive() { kill -0 "$1" 2>/dev/null; }
ended() { ! alive "$1"; }
# reap PID: waits for a process that has ended and drops it from the list the
# cleanup kills, so that a PID the system hands out again is never signalled.
reap() {
  local pid=$1 rc=0 kept=() p
  wait "$pid" || rc=$?
  for p in "${pids[@]}"; do
    if [ "$p" != "$pid" ]; then kept+=("$p"); fi
  done
  pids=("${kept[@]}")
  return "$rc"
}
lines_matching() { grep -c -- "$1" "$2" 2>/dev/null || true; }
has_lines() { [ "$(lines_matching "$1" "$2")" -ge "$3" ]; }
indent() { sed -e 's/\r$//' -e 's/^/    /'; }

# ---------------------------------------------------------------------------
if [ "$build_it" = 1 ]; then
  step "1. install what is missing and build"
  deps_args=()
  if [ "$web" = 1 ]; then deps_args=(--web); fi
  scripts/deps.sh "${deps_args[@]}" || fail "installing the build dependencies failed"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    # The four programs need neither GoogleTest nor Google Benchmark, which
    # scripts/deps.sh leaves to the test suite.
    cmake -S . -B "$build" -DKAVRO_TESTS=OFF -DKAVRO_BENCH=OFF || fail "configuring the build failed"
  fi
  cmake --build "$build" --target kavro kavrod kavroctl kavro-pbx -j"$(nproc 2>/dev/null || echo 2)" \
    || fail "building kavro, libkavrod, kavroctl and kavro-pbx failed"
  if [ "$web" = 1 ]; then
    # Configured before the page's library was there: look for it again.
    grep -q '^HTTPLIB_FOUND:INTERNAL=1' "$build/CMakeCache.txt" || cmake "$build" >/dev/null
    cmake --build "$build" --target kavro-web -j"$(nproc 2>/dev/null || echo 2)" || fail "building kavro-web failed"
  fi
fi
programs=(kavro kavroctl kavro-pbx libkavrod.so.1)
if [ "$web" = 1 ]; then programs+=(kavro-web); fi
for program in "${programs[@]}"; do
  [ -e "$build/$program" ] || fail "$build/$program is missing: run without --no-build"
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kavro-demo.XXXXXX")
run_dir=$tmp/run
log_dir=$tmp/log
mkdir -p "$log_dir"

# ---------------------------------------------------------------------------
step "2. start the PBX simulator ($mode)"
# The simulator reads the payloads it is to send from a FIFO, so that the
# demonstration decides when they go.
mkfifo "$tmp/pbx.in"
# Every output file a check may read exists before its writer starts: the
# shell opens a background job's redirections only once the job runs.
: >"$tmp/pbx.out"
: >"$tmp/pbx.err"
if [ "$mode" = serial ]; then
  "$build/kavro-pbx" --path-file "$tmp/pbx.path" <"$tmp/pbx.in" >"$tmp/pbx.out" 2>"$tmp/pbx.err" &
else
  "$build/kavro-pbx" --tcp 0 --port-file "$tmp/pbx.port" --keepalive-ms 1000 \
    <"$tmp/pbx.in" >"$tmp/pbx.out" 2>"$tmp/pbx.err" &
fi
pbx_pid=$!
pids+=("$pbx_pid")
exec 3>"$tmp/pbx.in"
pbx_in_open=1

if [ "$mode" = serial ]; then
  wait_for 10 "the simulator's pseudo-terminal" test -s "$tmp/pbx.path"
  device=$(cat "$tmp/pbx.path")
  echo "kavro-pbx (PID $pbx_pid) plays the PBX on $device"
else
  wait_for 10 "the simulator's TCP port" test -s "$tmp/pbx.port"
  port=$(cat "$tmp/pbx.port")
  echo "kavro-pbx (PID $pbx_pid) listens on 127.0.0.1:$port"
fi

# ---------------------------------------------------------------------------
step "3. write the registry file"
key='HKEY_LOCAL_MACHINE\SOFTWARE\Tovik\Tovik TK-Anlage'
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[%s]\r\n' "$key"
  if [ "$mode" = serial ]; then
    printf '"Link"="COM1"\r\n'
    printf '"LinkSpeed"="9600"\r\n'
    # A pseudo-terminal has no modem lines: the DSR check must stay off.
    printf '"ControlLines"=dword:00000000\r\n'
    printf '\r\n[%s\\Ports]\r\n' "$key"
    printf '"COM1"="%s"\r\n' "$device"
  else
    printf '"Link"="TCP"\r\n'
    printf '"TapiSvrIpAddr"="127.0.0.1"\r\n'
    printf '"TapiSvrIpPort"=dword:%08x\r\n' "$port"
    printf '"Keepalive"=dword:00000001\r\n'
  fi
} >"$tmp/kavro.reg"
tr -d '\r' <"$tmp/kavro.reg" | indent

# ---------------------------------------------------------------------------
step "4. start kavro"
# The trace log is written only when the file exists at start.
: >"$log_dir/kavro.log"
echo "kavro --registry $tmp/kavro.reg --run-dir $run_dir --log-dir $log_dir"
: >"$tmp/kavro.out"
: >"$tmp/kavro.err"
"$build/kavro" --registry "$tmp/kavro.reg" --run-dir "$run_dir" --log-dir "$log_dir" \
  >"$tmp/kavro.out" 2>"$tmp/kavro.err" &
kavro_pid=$!
pids+=("$kavro_pid")
# kavro_running: fails the step, saying why, when kavro has ended early.
kavro_running() {
  alive "$kavro_pid" && return 0
  # A kavro built without the TCP transport cannot open a TCP link at all.
  if [ "$mode" = tcp ] && grep -q 'OpenConnection LAN/USB failed' "$log_dir/kavro.log"; then
    fail "TCP link not built yet: this kavro cannot open a TCP connection"
  fi
  fail "kavro ended before the link came up; its trace log:
$(tr -d '\r' <"$log_dir/kavro.log")
standard error:
$(tail -n 5 "$tmp/kavro.err")"
}
socket_up() { kavro_running && [ -S "$run_dir/KavroControlProg" ] && [ -S "$run_dir/kavrod" ]; }
wait_for 10 "kavro's sockets in $run_dir" socket_up
echo "kavro (PID $kavro_pid) serves $run_dir/KavroControlProg and $run_dir/kavrod"

# ---------------------------------------------------------------------------
step "5. start a listening client and wait for the link"
ctl() { "$build/kavroctl" --run-dir "$run_dir" "$@"; }
: >"$tmp/listen.out"
: >"$tmp/listen.err"
"$build/kavroctl" --run-dir "$run_dir" listen >"$tmp/listen.out" 2>"$tmp/listen.err" &
listen_pid=$!
pids+=("$listen_pid")
link_up() {
  kavro_running
  grep -q '^event 1 ' "$tmp/listen.out"
}
wait_for 15 "the link (event 1)" link_up
echo "kavroctl listen (PID $listen_pid):"
indent <"$tmp/listen.out"

# ---------------------------------------------------------------------------
if [ "$web" = 1 ]; then
  step "5a. serve the link's page (kavro-web)"
  web_port=${KAVRO_WEB_PORT:-8040}
  # A password of its own for this run, in a file only its owner reads.
  (umask 077 && head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$tmp/web.password")
  : >"$tmp/web.err"
  "$build/kavro-web" --config /dev/null --run-dir "$run_dir" --listen "127.0.0.1:$web_port" \
    --password-file "$tmp/web.password" --page-dir "$root/tools/kavro-web/page" --allow-send demo \
    2>"$tmp/web.err" &
  web_pid=$!
  pids+=("$web_pid")
  web_up() {
    alive "$web_pid" || fail "kavro-web ended: $(cat "$tmp/web.err")"
    (exec 4<>"/dev/tcp/127.0.0.1/$web_port") 2>/dev/null
  }
  wait_for 10 "kavro-web on port $web_port" web_up
  echo "The link's page: http://127.0.0.1:$web_port/  user kavro, password $(cat "$tmp/web.password")"
fi

# ---------------------------------------------------------------------------
step "6. client payloads to the PBX (kavroctl send)"
echo '$ kavroctl send --address 0x20 41 42 43'
ctl send --address 0x20 41 42 43 || fail "kavroctl send was refused"
echo '$ kavroctl send 48656c6c6f'
ctl send 48656c6c6f || fail "kavroctl send was refused"
echo "\$ printf 'dial 1234' | kavroctl send --stdin"
printf 'dial 1234' | ctl send --stdin || fail "kavroctl send --stdin was refused"
wait_for 10 "three payloads at the PBX" has_lines '^payload ' "$tmp/pbx.out" 3
echo "kavro-pbx printed:"
grep '^payload ' "$tmp/pbx.out" | indent

# ---------------------------------------------------------------------------
step "7. PBX payloads to the client (kavro-pbx standard input)"
for payload in "01 02 03 04" "43 41 4c 4c 20 31 32 33 34" "00 16 16 ff"; do
  echo "kavro-pbx <<< $payload"
  echo "$payload" >&3
done
wait_for 10 "three payloads at the listening client" has_lines '^payload ' "$tmp/listen.out" 3
echo "kavroctl listen printed:"
grep '^payload ' "$tmp/listen.out" | indent

if [ "$web" = 1 ] && [ -t 0 ]; then
  echo
  echo "The page shows the link and these payloads: http://127.0.0.1:$web_port/"
  echo "Lines typed here go to the PBX as its payloads (hex); an empty line closes the link."
  while IFS= read -r line && [ -n "$line" ]; do echo "$line" >&3; done
fi

# ---------------------------------------------------------------------------
step "8. close the link (kavroctl close)"
echo '$ kavroctl close'
ctl close || fail "kavroctl close failed"
wait_for 10 "kavro to end" ended "$kavro_pid"
kavro_rc=0
reap "$kavro_pid" || kavro_rc=$?
echo "kavro exited with code $kavro_rc"
[ "$kavro_rc" = 0 ] || fail "kavro exited with code $kavro_rc, not 0: $(cat "$tmp/kavro.err")"
wait_for 10 "the listening client to end" ended "$listen_pid"
reap "$listen_pid" || fail "kavroctl listen did not end cleanly: $(cat "$tmp/listen.err")"
echo "kavroctl listen, whole output (event 0 is the last record):"
indent <"$tmp/listen.out"
grep -q '^event 0 ' "$tmp/listen.out" || fail "the listening client never saw event 0"
wait_for 10 "kavro-pbx to end" ended "$pbx_pid"
pbx_rc=0
reap "$pbx_pid" || pbx_rc=$?
echo "kavro-pbx exited with code $pbx_rc"
[ "$pbx_rc" = 0 ] || fail "kavro-pbx exited with code $pbx_rc: $(cat "$tmp/pbx.err")"

# ---------------------------------------------------------------------------
step "9. trace log excerpt ($log_dir/kavro.log)"
total=$(tr -d '\r' <"$log_dir/kavro.log" | wc -l)
# sed reads to the end where head would stop early: under pipefail, tr's
# SIGPIPE would fail the step whenever the log outgrew the pipe.
tr -d '\r' <"$log_dir/kavro.log" | sed -n '1,14p' | indent
if [ "$total" -gt 20 ]; then
  echo "    ... ($((total - 20)) lines left out)"
  tr -d '\r' <"$log_dir/kavro.log" | tail -n 6 | indent
elif [ "$total" -gt 14 ]; then
  tr -d '\r' <"$log_dir/kavro.log" | tail -n $((total - 14)) | indent
fi

printf '\n== demonstration complete (%s link) ==\n' "$mode"
