#!/usr/bin/env bash
# Long run of kelmar-host and kelmar-peer under 5 % loss, watching memory, descriptors and threads.
#
# Usage (as root):  bash scripts/soak.sh [--minutes N] [--restart-every S] [--bin-dir DIR]
#   --minutes N        length of the run (default 10)
#   --restart-every S  restart the requesting side every S seconds (default 120)
#   --bin-dir DIR      the CMake build folder (default build/default)
# The host (10.77.0.1) and a requesting peer (10.77.0.2) run at 60 frames a second in two
# network namespaces joined by a veth pair, with 5 % of the datagrams dropped on each
# input (nftables). The peer sends a moving pattern and the host gets a new input level
# every sample, so full turns flow both ways. Every 10 s one row gives each program's
# resident memory (KiB, VmRSS from /proc), open descriptors and threads. At the end:
#   - the host's RSS grew by less than 256 KiB after the warm-up (the first minute, or
#     the first third of a shorter run), and each peer's within its own life after 30 s;
#   - descriptor and thread counts never changed (peers compared across restarts);
#   - the peer connected once at the start and once after every restart, and nothing
#     else changed the state of either side (a restarted peer may be told "busy" first
#     when its predecessor's close notice was lost).
# Exit status: 0 passed, 1 failed, 77 skipped (not root or no network namespaces).
set -u -o pipefail

MINUTES=10
RESTART_EVERY=120
BIN_DIR=""
while (($#)); do
  case $1 in
    --minutes) MINUTES=${2:?}; shift ;;
    --restart-every) RESTART_EVERY=${2:?}; shift ;;
    --bin-dir) BIN_DIR=${2:?}; shift ;;
    -h | --help) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak.sh: unknown option $1 (try --help)" >&2; exit 64 ;;
  esac
  shift
done
ROOT=$(cd "$(dirname "$0")/.." && pwd)
[[ -n $BIN_DIR ]] || BIN_DIR="$ROOT/build/default"
HOST_BIN="$BIN_DIR/apps/kelmar-host/kelmar-host"
PEER_BIN="$BIN_DIR/apps/kelmar-peer/kelmar-peer"
PORT=51209
SAMPLE_SECONDS=10
RSS_LIMIT_KIB=256
PEER_WARMUP=30
DURATION=$((MINUTES * 60))
HOST_WARMUP=$((DURATION / 3 < 60 ? DURATION / 3 : 60))

skip() { echo "soak.sh: SKIPPED: $*" >&2; exit 77; }
fail() { echo "soak.sh: FAILED: $*" >&2; exit 1; }
((EUID == 0)) || skip "needs root (network namespaces)"
command -v nft >/dev/null || skip "no 'nft' (scripts/deps.sh installs nftables)"
[[ -x $HOST_BIN && -x $PEER_BIN ]] || fail "no kelmar-host or kelmar-peer under $BIN_DIR/apps (build first)"

NSA="kn-soak-a-$$"
NSB="kn-soak-b-$$"
VA="knsa$$"
VB="knsb$$"
DIR=$(mktemp -d /tmp/kn-soak.XXXXXX)
HOST_PID="" PEER_PID=""

cleanup() {
  local rc=$? i
  trap - EXIT INT TERM
  for pid in $HOST_PID $PEER_PID; do kill -TERM "$pid" 2>/dev/null; done
  for ((i = 0; i < 60; i++)); do
    kill -0 $HOST_PID $PEER_PID 2>/dev/null || break
    sleep 0.05
  done
  for pid in $HOST_PID $PEER_PID; do kill -KILL "$pid" 2>/dev/null; done
  ip netns del "$NSA" 2>/dev/null
  ip netns del "$NSB" 2>/dev/null
  if ((rc != 0 && rc != 77)); then
    echo "--- host states:" >&2
    grep '"event":"peer"' "$DIR/host.log" 2>/dev/null | tail -n 10 >&2
    echo "--- peer states:" >&2
    grep '"event":"state"' "$DIR"/peer*.log 2>/dev/null | tail -n 10 >&2
  fi
  rm -rf "$DIR"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

ip netns add "$NSA" 2>"$DIR/netns.err" || skip "cannot create network namespaces: $(cat "$DIR/netns.err")"
ip netns add "$NSB" && ip link add "$VA" type veth peer name "$VB" &&
  ip link set "$VA" netns "$NSA" && ip link set "$VB" netns "$NSB" &&
  ip -n "$NSA" addr add 10.77.0.1/24 dev "$VA" && ip -n "$NSB" addr add 10.77.0.2/24 dev "$VB" &&
  ip -n "$NSA" link set lo up && ip -n "$NSB" link set lo up &&
  ip -n "$NSA" link set "$VA" up && ip -n "$NSB" link set "$VB" up || fail "cannot set up the namespaces"
for ns in "$NSA" "$NSB"; do
  [[ $ns == "$NSA" ]] && match="udp dport $PORT" || match="udp sport $PORT"
  ip netns exec "$ns" nft add table inet knsoak &&
    ip netns exec "$ns" nft "add chain inet knsoak in { type filter hook input priority 0 ; }" &&
    ip netns exec "$ns" nft add rule inet knsoak in $match numgen random mod 100 lt 5 counter drop ||
    fail "cannot set up loss in $ns"
done

mkfifo "$DIR/host.in"
exec {HOST_IN}<>"$DIR/host.in"
ip netns exec "$NSA" "$HOST_BIN" -p "$PORT" -r 60 --json <"$DIR/host.in" >"$DIR/host.log" 2>"$DIR/host.err" &
HOST_PID=$!
PEER_N=0
start_peer() {
  PEER_N=$((PEER_N + 1))
  ip netns exec "$NSB" "$PEER_BIN" connect "10.77.0.1:$PORT" -r 60 --pattern chase --channels 12 \
    --json </dev/null >"$DIR/peer$PEER_N.log" 2>"$DIR/peer$PEER_N.err" &
  PEER_PID=$!
  PEER_START=$SECONDS
}
# wait_line FILE PATTERN SECONDS: waits (bounded) until FILE has a line matching PATTERN.
wait_line() {
  local end=$((SECONDS + $3))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}
wait_line "$DIR/host.log" '"Port is open."' 5 || fail "the host did not open its port"
START=$SECONDS
start_peer
wait_line "$DIR/peer1.log" '"state":"connected"' 10 || fail "the peer did not connect"

# proc PID: "rss_kib fds threads" of a live process.
proc() {
  local rss threads
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null) || return 1
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$1/status")
  echo "$rss $(find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l) $threads"
}

echo "soak: $MINUTES min, 5 % loss each way, peer restarted every $RESTART_EVERY s, a row every $SAMPLE_SECONDS s"
printf '%6s | %9s %4s %4s | %4s %9s %4s %4s\n' "t (s)" "host KiB" fds thr peer "peer KiB" fds thr
HOST_BASE="" HOST_MAX_GROWTH=0 HOST_FDS="" HOST_THR="" PEER_FDS="" PEER_THR=""
PEER_BASE="" PEER_MAX_GROWTH=0 RESTARTS=0 LEVEL=0
next_sample=$((START + SAMPLE_SECONDS))
next_restart=$((START + RESTART_EVERY))
while ((SECONDS - START < DURATION)); do
  sleep $((next_sample - SECONDS > 0 ? next_sample - SECONDS : 0)) # the sampling period
  next_sample=$((next_sample + SAMPLE_SECONDS))
  t=$((SECONDS - START))
  h=$(proc "$HOST_PID") || fail "the host is gone at $t s"
  p=$(proc "$PEER_PID") || fail "the peer is gone at $t s"
  read -r h_rss h_fds h_thr <<<"$h"
  read -r p_rss p_fds p_thr <<<"$p"
  printf '%6d | %9d %4d %4d | %4d %9d %4d %4d\n' "$t" "$h_rss" "$h_fds" "$h_thr" "$PEER_N" "$p_rss" "$p_fds" "$p_thr"
  : "${HOST_FDS:=$h_fds}" "${HOST_THR:=$h_thr}" "${PEER_FDS:=$p_fds}" "${PEER_THR:=$p_thr}"
  ((h_fds == HOST_FDS && h_thr == HOST_THR)) || fail "host descriptors/threads changed: $h_fds/$h_thr, first $HOST_FDS/$HOST_THR"
  ((p_fds == PEER_FDS && p_thr == PEER_THR)) || fail "peer descriptors/threads changed: $p_fds/$p_thr, first $PEER_FDS/$PEER_THR"
  if ((t >= HOST_WARMUP)); then
    : "${HOST_BASE:=$h_rss}"
    ((h_rss - HOST_BASE > HOST_MAX_GROWTH)) && HOST_MAX_GROWTH=$((h_rss - HOST_BASE))
  fi
  if ((SECONDS - PEER_START >= PEER_WARMUP)); then
    : "${PEER_BASE:=$p_rss}"
    ((p_rss - PEER_BASE > PEER_MAX_GROWTH)) && PEER_MAX_GROWTH=$((p_rss - PEER_BASE))
  fi
  LEVEL=$((LEVEL % 255 + 1))
  printf 'in 1 %d\n' "$LEVEL" >&"$HOST_IN"
  if ((SECONDS >= next_restart && DURATION - t > 2 * SAMPLE_SECONDS)); then
    next_restart=$((next_restart + RESTART_EVERY))
    kill -TERM "$PEER_PID"
    wait "$PEER_PID"
    start_peer
    PEER_BASE=""
    RESTARTS=$((RESTARTS + 1))
    wait_line "$DIR/peer$PEER_N.log" '"state":"connected"' 10 || fail "the peer did not connect after restart $RESTARTS"
    echo "soak: peer restarted ($RESTARTS), connected again"
  fi
done

host_connects=$(grep -c '"event":"peer".*"state":"connected"' "$DIR/host.log")
host_idle=$(grep -c '"event":"peer".*"state":"idle"' "$DIR/host.log")
host_other=$(grep '"event":"peer"' "$DIR/host.log" | grep -vc '"state":"\(idle\|connected\)"')
# Each peer says connecting, then connected once for good. Before that it may be told
# "busy" when its predecessor's close notice was among the lost datagrams, so that the
# host still held the old connection until it timed out.
bad_peers=""
for ((i = 1; i <= PEER_N; i++)); do
  states=$(grep '"event":"state"' "$DIR/peer$i.log" | sed 's/.*"state":"\([a-z ]*\)".*/\1/' | paste -sd, -)
  [[ $states =~ ^connecting(,busy)*,connected$ ]] || bad_peers+=" peer $i: $states;"
  echo "soak: peer $i states: $states"
done
dropped() {
  ip netns exec "$1" nft list table inet knsoak | awk '/packets/ { for (i = 1; i < NF; i++) if ($i == "packets") print $(i + 1) }'
}
echo "soak: dropped $(dropped "$NSA") datagrams at the host and $(dropped "$NSB") at the peer;" \
  "$RESTARTS peer restarts; the host went idle $host_idle times and connected $host_connects times"
echo "soak: RSS growth after warm-up: host $HOST_MAX_GROWTH KiB (from ${HOST_BASE:-?} KiB after $HOST_WARMUP s)," \
  "peers at most $PEER_MAX_GROWTH KiB (each after its first $PEER_WARMUP s); limit $RSS_LIMIT_KIB KiB;" \
  "descriptors host $HOST_FDS, peer $PEER_FDS; threads host $HOST_THR, peer $PEER_THR (constant)"
((HOST_MAX_GROWTH < RSS_LIMIT_KIB)) || fail "the host's RSS grew by $HOST_MAX_GROWTH KiB"
((PEER_MAX_GROWTH < RSS_LIMIT_KIB)) || fail "a peer's RSS grew by $PEER_MAX_GROWTH KiB"
[[ -z $bad_peers ]] || fail "unexpected peer states:$bad_peers"
# The host shows its state once a frame, so an idle moment shorter than a frame between
# two peers may not show; each peer's connection does, with its own address.
((host_connects == PEER_N && host_other == 0)) ||
  fail "unexpected host states: $host_connects connected, $host_idle idle, $host_other other for $PEER_N peers"
echo "soak: PASSED"
exit 0
