#!/usr/bin/env bash
# Runs kelmar-host and kelmar-peer in two network namespaces and checks them under loss,
# duplication, delay with reordering, restarts of either side and a flood of bad requests.
#
# Usage (as root; it builds nothing, so build first):
#   bash tests/impair/impair.sh --short --bin-dir build/default   # the ctest run, < 1 min
#   bash tests/impair/impair.sh --bin-dir build/default           # full run, about 4 min
# Options:
#   --short        10 % loss only, 40 level changes, short duplication and delay phases
#   --bin-dir DIR  the CMake build folder (holds apps/ and tests/impair/)
#   --changes N    level changes per loss level (default 40 short, 200 full)
#   --keep-logs    keep the folder with the event log (its path is printed)
#   --strict       check loss phases against 1000 ms + 2 frames instead of + 4 frames
#   --phases LIST  run only these of loss,dup,reorder,flood,restarts (in that order)
#   --losses LIST  loss levels in % for the loss phase (default 1,10,30; short: 10)
#
# Host (10.77.0.1, namespace A) and peer (10.77.0.2, namespace B) run at 60 frames a
# second on a veth pair; every line that they print goes, stamped with the time it was
# read, onto one pipe that this script reads with deadlines. Impairments act on the
# receiving side: loss with nftables on each input hook, duplication with nftables `dup`
# on each output hook, delay and reordering with iptables NFQUEUE and kn-nfq-delay.
# Phases:
#   loss P %       P % dropped each way; N level changes, alternately host->peer and
#                  peer->host; each must be shown on the other side within 1000 ms +
#                  2 frames of its hand-over (see BOUND_US) in at least 1 - P^2 of
#                  the changes (tested one-sided at a false-alarm rate of 1e-4); no state
#                  change and no "no-data" on either side
#   duplication    5 % each way: every change is shown exactly once, no state change,
#                  the levels on both sides equal what was sent
#   delay/reorder  30 +- 25 ms each way: no state change, every change arrives, packets
#                  were really reordered
#   bad requests   1000 wrong-password requests a second for 3 s (full: 10 s) from a socket in
#                  the peer's namespace, and (full) 10,000 a second from 64 sockets: refusals
#                  (counted by nftables at the sockets' input and by the sender) at most one
#                  per 2000 ms; then 50 requests a second with the right password from a
#                  third party: at most one busy answer each; the connection goes on
#   restarts       host stopped (SIGTERM) and started again: peer connected within 5.1 s;
#                  peer stopped (SIGTERM, and SIGKILL so no close notice) and started
#                  again: connected within 8.5 s
# Exit status: 0 passed, 1 failed (the reason on stderr), 77 skipped (not root, no network
# namespaces, or nftables or python3 missing).
set -u -o pipefail

SHORT=0
BIN_DIR=""
CHANGES=""
KEEP_LOGS=0
PHASES=loss,dup,reorder,flood,restarts
STRICT=0
LOSS_LIST=""
while (($#)); do
  case $1 in
    --short) SHORT=1 ;;
    --bin-dir) BIN_DIR=${2:?--bin-dir needs a folder}; shift ;;
    --changes) CHANGES=${2:?--changes needs a number}; shift ;;
    --keep-logs) KEEP_LOGS=1 ;;
    --strict) STRICT=1 ;;
    --phases) PHASES=${2:?--phases needs a list}; shift ;;
    --losses) LOSS_LIST=${2:?--losses needs a list}; shift ;;
    -h | --help) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "impair.sh: unknown option $1 (try --help)" >&2; exit 64 ;;
  esac
  shift
done
HERE=$(cd "$(dirname "$0")" && pwd)
[[ -n $BIN_DIR ]] || BIN_DIR="$HERE/../../build/default"
HOST_BIN="$BIN_DIR/apps/kelmar-host/kelmar-host"
PEER_BIN="$BIN_DIR/apps/kelmar-peer/kelmar-peer"
NFQ_BIN="$BIN_DIR/tests/impair/kn-nfq-delay"
FLOOD_PY="$HERE/flood_requests.py"

if ((SHORT)); then
  LOSSES=(10)
  : "${CHANGES:=40}"
  DUP_SECONDS=5
  REORDER_SECONDS=6
  FLOOD_SECONDS=3
else
  LOSSES=(1 10 30)
  : "${CHANGES:=200}"
  DUP_SECONDS=30
  REORDER_SECONDS=30
  FLOOD_SECONDS=10
fi
FPS=60
PORT=51209
FLOOD_PORT=40999
ADDR_A=10.77.0.1
ADDR_B=10.77.0.2
# A change whose first full turn is lost arrives with the next full turn, which goes at
# the first hand-over after the 1000 ms refresh timer has expired: 1000 ms after the
# lost one, or a frame later when the timer falls due just after that frame (1000 ms is
# a whole number of frames, so which one is a matter of microseconds); the receiver
# shows it at its next frame. So from the sender's hand-over (its "sent" line) a change
# is shown within 1000 ms + 2 frames unless both full turns were lost; checked with 5 ms
# for the wire and the line stamps (--strict: without them).
STRICT_BOUND_US=$((1000000 + 2 * 1000000 / FPS))
BOUND_US=$((STRICT_BOUND_US + 5000))
((STRICT)) && BOUND_US=$STRICT_BOUND_US
[[ -n $LOSS_LIST ]] && IFS=, read -r -a LOSSES <<<"$LOSS_LIST"
# A late full turn shows an older level until the next full turn, at most 1000 ms + 2
# frames after the newer one was sent; that one may be delayed by up to 55 ms more.
ROLLBACK_BOUND_US=$((STRICT_BOUND_US + 55000))
HOST_RESTART_BOUND_US=5100000
PEER_RESTART_BOUND_US=8500000
ALPHA=0.0001 # false-alarm rate of the statistical check of the loss phases

skip() {
  echo "impair.sh: SKIPPED: $*" >&2
  exit 77
}
fail() {
  echo "impair.sh: FAILED: $*" >&2
  exit 1
}
say() { echo "impair: $*"; }

((EUID == 0)) || skip "needs root (network namespaces)"
command -v ip >/dev/null || skip "no 'ip' command (install iproute2: scripts/deps.sh)"
command -v nft >/dev/null || skip "no 'nft' command (install nftables: scripts/deps.sh)"
# The system's interpreter: a version manager's shim in PATH can take a second to start,
# which would delay the time stamps of a program's first lines.
PYTHON=/usr/bin/python3
[[ -x $PYTHON ]] || PYTHON=$(command -v python3) || skip "no python3"
[[ -x $HOST_BIN && -x $PEER_BIN ]] || fail "no kelmar-host or kelmar-peer under $BIN_DIR/apps (build first)"

NSA="kn-imp-a-$$"
NSB="kn-imp-b-$$"
VA="knia$$"
VB="knib$$"
DIR=$(mktemp -d /tmp/kn-impair.XXXXXX)
HOST_PID="" PEER_PID="" NFQ_A_PID="" NFQ_B_PID="" FLOOD_PID=""

cleanup() {
  local rc=$? pids pid i
  trap - EXIT INT TERM
  pids=()
  for pid in "$HOST_PID" "$PEER_PID" "$NFQ_A_PID" "$NFQ_B_PID" "$FLOOD_PID"; do
    [[ -n $pid ]] && pids+=("$pid")
  done
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for ((i = 0; i < 60; i++)); do
    local alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    ((alive)) || break
    sleep 0.05
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  ip netns del "$NSA" 2>/dev/null
  ip netns del "$NSB" 2>/dev/null
  if ((rc != 0 && rc != 77)) && [[ -s $DIR/events.log ]]; then
    echo "--- last events (time_us source line) ---" >&2
    tail -n 40 "$DIR/events.log" | cut -c1-220 >&2
    for f in "$DIR"/*.err; do [[ -s $f ]] && { echo "--- $f"; tail -n 5 "$f"; } >&2; done
  fi
  if ((KEEP_LOGS)); then echo "impair: logs kept in $DIR"; else rm -rf "$DIR"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- namespaces -----------------------------------------------------------------------
ip netns add "$NSA" 2>"$DIR/netns.err" || skip "cannot create network namespaces: $(cat "$DIR/netns.err")"
ip netns add "$NSB" || fail "cannot create a second namespace"
ip link add "$VA" type veth peer name "$VB" || fail "cannot create a veth pair"
ip link set "$VA" netns "$NSA" && ip link set "$VB" netns "$NSB" &&
  ip -n "$NSA" addr add "$ADDR_A/24" dev "$VA" && ip -n "$NSB" addr add "$ADDR_B/24" dev "$VB" &&
  ip -n "$NSA" link set lo up && ip -n "$NSB" link set lo up &&
  ip -n "$NSA" link set "$VA" up && ip -n "$NSB" link set "$VB" up || fail "cannot set up the veth pair"
nft_a() { ip netns exec "$NSA" nft "$@"; }
nft_b() { ip netns exec "$NSB" nft "$@"; }
nft_a list ruleset >/dev/null 2>&1 || skip "nftables does not work in a namespace here"

# ---- the event bus --------------------------------------------------------------------
# Every program's output reaches this script through one FIFO, each line prefixed with
# the time (us) at which its stamper read it and a tag; lines are short enough to be
# written atomically, so they never interleave. Reads carry deadlines.
mkfifo "$DIR/bus" "$DIR/host.in" "$DIR/peer.in"
: >"$DIR/states.log"
exec {BUS}<>"$DIR/bus"
exec {HOST_IN}<>"$DIR/host.in"
exec {PEER_IN}<>"$DIR/peer.in"
STAMP_PY='
import os, sys, time
tag, bus = sys.argv[1].encode(), os.open(sys.argv[2], os.O_WRONLY)
for line in sys.stdin.buffer:
    os.write(bus, b"%d %s %s\n" % (time.time_ns() // 1000, tag, line.rstrip(b"\n")))
os.write(bus, b"%d %s EOF\n" % (time.time_ns() // 1000, tag))
'
# run_stamped TAG NAMESPACE STDIN COMMAND...: starts COMMAND in NAMESPACE in the
# background, its output on the bus under TAG; LAST_PID is the command's pid.
run_stamped() {
  local tag=$1 ns=$2 in=$3
  shift 3
  (
    exec {BUS}>&- {HOST_IN}>&- {PEER_IN}>&-
    exec ip netns exec "$ns" "$@" <"$in" 2>>"$DIR/$tag.err" > >(exec "$PYTHON" -c "$STAMP_PY" "$tag" "$DIR/bus")
  ) &
  LAST_PID=$!
}

now_us() { NOW=${EPOCHREALTIME/./}; }
ms() { printf '%d.%d' $(($1 / 1000)) $(($1 % 1000 / 100)); } # us -> "ms.d"

STATE_N=0 NODATA_N=0 HOST_LEVELS_N=0 PEER_LEVELS_N=0 OLDER_N=0 HOST_SHOWN_SEQ=0 PEER_SHOWN_SEQ=0
HOST_STATE="" PEER_STATE="" HOST_L1=-1 PEER_L1=-1 HOST_REST="" PEER_REST=""
MARK_N=0
declare -A ROLLBACK_T0=()
ROLLBACK_MAX_US=0
# rolled_back SIDE SEQ SHOWN_SEQ: notes a level shown on SIDE that is older than the
# newest it showed (status 0), or the end of such a rollback; keeps the longest in
# ROLLBACK_MAX_US.
rolled_back() {
  if (($2 < $3)); then
    OLDER_N=$((OLDER_N + 1))
    [[ -n ${ROLLBACK_T0[$1]:-} ]] || ROLLBACK_T0[$1]=$EV_T
    return 0
  fi
  if [[ -n ${ROLLBACK_T0[$1]:-} ]]; then
    local d=$((EV_T - ROLLBACK_T0[$1]))
    ((d > ROLLBACK_MAX_US)) && ROLLBACK_MAX_US=$d
    unset "ROLLBACK_T0[$1]"
  fi
  return 1
}
# next_event DEADLINE_US: reads one line into EV_T, EV_SRC, EV_TEXT and notes what it
# says; status 1 when the deadline passes first.
next_event() {
  local left line
  now_us
  left=$(($1 - NOW))
  ((left > 0)) || return 1
  IFS= read -r -t "$(printf '%d.%06d' $((left / 1000000)) $((left % 1000000)))" -u "$BUS" line || return 1
  EV_T=${line%% *}
  line=${line#* }
  EV_SRC=${line%% *}
  EV_TEXT=${line#* }
  printf '%s %s %s\n' "$EV_T" "$EV_SRC" "${EV_TEXT:0:300}" >>"$DIR/events.log"
  case $EV_SRC in
    host)
      if [[ $EV_TEXT == *'"event":"peer"'* && $EV_TEXT =~ \"state\":\"([a-z ]+)\" ]]; then
        HOST_STATE=${BASH_REMATCH[1]}
        STATE_N=$((STATE_N + 1))
        echo "$EV_T host $HOST_STATE" >>"$DIR/states.log"
      elif [[ $EV_TEXT == *'"event":"levels"'* && $EV_TEXT =~ \"levels\":\[([0-9]+),?([0-9,]*)\] ]]; then
        HOST_L1=${BASH_REMATCH[1]} HOST_REST=${BASH_REMATCH[2]}
        HOST_LEVELS_N=$((HOST_LEVELS_N + 1))
        seq=${PEER_SEQ[$HOST_L1]:-0}
        rolled_back host "$seq" "$HOST_SHOWN_SEQ" || HOST_SHOWN_SEQ=$seq
      fi
      ;;
    peer)
      if [[ $EV_TEXT == *'"event":"state"'* && $EV_TEXT =~ \"state\":\"([a-z ]+)\" ]]; then
        PEER_STATE=${BASH_REMATCH[1]}
        STATE_N=$((STATE_N + 1))
        echo "$EV_T peer $PEER_STATE" >>"$DIR/states.log"
      elif [[ $EV_TEXT == *'"event":"levels"'* && $EV_TEXT =~ \"levels\":\[([0-9]+),?([0-9,]*)\] ]]; then
        PEER_L1=${BASH_REMATCH[1]} PEER_REST=${BASH_REMATCH[2]}
        PEER_LEVELS_N=$((PEER_LEVELS_N + 1))
        seq=${HOST_SEQ[$PEER_L1]:-0}
        rolled_back peer "$seq" "$PEER_SHOWN_SEQ" || PEER_SHOWN_SEQ=$seq
      elif [[ $EV_TEXT == *'"event":"no-data"'* ]]; then
        NODATA_N=$((NODATA_N + 1))
      fi
      ;;
  esac
  return 0
}
# await SRC PATTERN TIMEOUT_MS: reads events until one from SRC matches the extended
# regular expression PATTERN; its time is then EV_T. Status 1 on timeout.
await() {
  local deadline
  now_us
  deadline=$((NOW + $3 * 1000))
  while next_event "$deadline"; do
    [[ $EV_SRC == "$1" && $EV_TEXT =~ $2 ]] && return 0
  done
  return 1
}
# await_state host|peer STATE TIMEOUT_MS: waits until that side's last shown state is
# STATE (lines of different programs may reach the bus out of order, so waits that span
# both programs go by state, not by the order of lines).
await_state() {
  local var=${1^^}_STATE deadline
  now_us
  deadline=$((NOW + $3 * 1000))
  while [[ ${!var} != "$2" ]]; do next_event "$deadline" || return 1; done
}
# await_logged SRC PATTERN TIMEOUT_MS: like await, but also content with a line that was
# read already (PATTERN is matched against "SRC text").
await_logged() {
  grep -qE "^[0-9]+ $1 ${2#^}" "$DIR/events.log" 2>/dev/null && return 0
  await "$@"
}
# Reads and notes everything the programs said up to now.
drain() {
  MARK_N=$((MARK_N + 1))
  now_us
  printf '%s main mark%d\n' "$NOW" "$MARK_N" >&"$BUS"
  await main "^mark$MARK_N\$" 5000 || fail "the event pipe stalled"
}
# Lets MS milliseconds pass while noting what the programs say.
pass_time() {
  local deadline
  now_us
  deadline=$((NOW + $1 * 1000))
  while next_event "$deadline"; do :; done
}
med() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)]; else print 0 }'; }
is_zeros() { [[ -z $1 || $1 =~ ^0(,0)*$ ]]; }

start_host() {
  run_stamped host "$NSA" "$DIR/host.in" "$HOST_BIN" -p "$PORT" -r "$FPS" --json --show-sent
  HOST_PID=$LAST_PID
}
start_peer() {
  run_stamped peer "$NSB" "$DIR/peer.in" "$PEER_BIN" connect "$ADDR_A:$PORT" -r "$FPS" --json --show-sent
  PEER_PID=$LAST_PID
}
# stop PIDVAR TAG SIGNAL: stops a program and waits (bounded) for its output to end.
stop() {
  local pid=${!1}
  kill "-$3" "$pid" 2>/dev/null || fail "$2 (pid $pid) was already gone"
  await "$2" '^EOF$' 5000 || fail "$2 did not end within 5 s of SIG$3"
  wait "$pid" 2>/dev/null
  printf -v "$1" '%s' ""
  [[ $2 == host ]] && HOST_STATE=""
  [[ $2 == peer ]] && PEER_STATE=""
}

# Values sent on channel 1 by each side; the other side must show them.
HOST_SENDS=0
PEER_SENDS=0
# The order in which values were sent tells an older level shown late from a new one.
declare -A HOST_SEQ=() PEER_SEQ=()
SEQ=0
set_host_level() {
  HOST_SENDS=$1 SEQ=$((SEQ + 1))
  HOST_SEQ[$1]=$SEQ
  printf 'in 1 %d\n' "$1" >&"$HOST_IN"
}
set_peer_level() {
  PEER_SENDS=$1 SEQ=$((SEQ + 1))
  PEER_SEQ[$1]=$SEQ
  printf '%d,0,0,0,0,0,0,0,0,0,0,0\n' "$1" >&"$PEER_IN"
}
NEXT_VALUE=0
next_value() { # a level different from both sides' present ones
  while :; do
    NEXT_VALUE=$((NEXT_VALUE % 250 + 1))
    ((NEXT_VALUE != HOST_SENDS && NEXT_VALUE != PEER_SENDS)) && return
  done
}
# change DIRECTION TIMEOUT_MS: makes one level change from "host" or "peer" and waits
# for the other side to show it. DELAY_US is the time from writing the change to the
# sender until the other side shows it (-1 when not seen), SENT_DELAY_US the time from
# the sender's "sent" line, which its frame prints after the hand-over (empty when either
# line was not seen; a little below 0 when the two lines were stamped the other way round).
change() {
  local to t0 t_sent=-1 t_shown=-1 deadline
  next_value
  now_us
  t0=$NOW
  if [[ $1 == host ]]; then
    set_host_level "$NEXT_VALUE"
    to=peer
  else
    set_peer_level "$NEXT_VALUE"
    to=host
  fi
  deadline=$((t0 + $2 * 1000))
  while ((t_shown < 0 || t_sent < 0)) && next_event "$deadline"; do
    [[ $EV_TEXT =~ \"levels\":\[${NEXT_VALUE}[],] ]] || continue
    [[ $EV_SRC == "$1" && $EV_TEXT == *'"event":"sent"'* ]] && t_sent=$EV_T
    [[ $EV_SRC == "$to" && $EV_TEXT == *'"event":"levels"'* ]] && t_shown=$EV_T
  done
  DELAY_US=-1 SENT_DELAY_US=""
  ((t_shown >= 0)) && DELAY_US=$((t_shown - t0))
  ((t_shown >= 0 && t_sent >= 0)) && SENT_DELAY_US=$((t_shown - t_sent))
  echo "$PHASE $1 $NEXT_VALUE $t0 $DELAY_US $SENT_DELAY_US" >>"$DIR/changes.log"
}
# Status 0 when both sides show what the other sends.
levels_agree() {
  ((HOST_L1 == PEER_SENDS && PEER_L1 == HOST_SENDS)) && is_zeros "$HOST_REST" && is_zeros "$PEER_REST"
}

PHASE=start PHASE_STATE_N=0 PHASE_NODATA_N=0
# phase_begin NAME: from here on, phase_end checks that nothing changed state.
phase_begin() {
  PHASE=$1
  drain
  PHASE_STATE_N=$STATE_N
  PHASE_NODATA_N=$NODATA_N
  PHASE_T0=$EV_T
}
# phase_end NAME: fails when either side changed state or lost data during the phase.
phase_end() {
  drain
  if ((STATE_N != PHASE_STATE_N)); then
    fail "$1: $((STATE_N - PHASE_STATE_N)) state change(s) during the phase:" \
      "$(awk -v t="$PHASE_T0" '$1 >= t { printf "%s ", $0 }' "$DIR/states.log")"
  fi
  ((NODATA_N == PHASE_NODATA_N)) || fail "$1: the peer reported no data for 1 s"
}
# Smallest k with P(X > k) <= ALPHA for X ~ Binomial(n, q).
allowed_misses() {
  awk -v n="$1" -v q="$2" -v a="$ALPHA" 'BEGIN {
    if (q <= 0) { print 0; exit }
    p = (1 - q) ^ n; c = p; k = 0
    while (1 - c > a && k < n) { p = p * (n - k) / (k + 1) * q / (1 - q); k++; c += p }
    print k }'
}
nft_count() { # nft_count NS TABLE-FAMILY TABLE COMMENT: packets of the counter with COMMENT
  ip netns exec "$1" nft list table "$2" "$3" | awk -v c="\"$4\"" '$0 ~ c { for (i = 1; i < NF; i++) if ($i == "packets") print $(i + 1) }'
}

# ---- loss -----------------------------------------------------------------------------
phase_loss() {
    for P in "${LOSSES[@]}"; do
    nft_a add table inet knloss
    nft_a "add chain inet knloss in { type filter hook input priority 0 ; }"
    nft_a add rule inet knloss in udp dport "$PORT" counter comment '"all"'
    nft_a add rule inet knloss in udp dport "$PORT" numgen random mod 100 lt "$P" counter drop comment '"dropped"'
    nft_b add table inet knloss
    nft_b "add chain inet knloss in { type filter hook input priority 0 ; }"
    nft_b add rule inet knloss in udp sport "$PORT" counter comment '"all"'
    nft_b add rule inet knloss in udp sport "$PORT" numgen random mod 100 lt "$P" counter drop comment '"dropped"'
    phase_begin "loss$P"
    D_host=() D_peer=()
    missed=0 unseen=0 strict_in=0 written_in=0
    for ((i = 0; i < CHANGES; i++)); do
      # A random wait spreads the changes over the frame phases of both programs; made
      # back to back they would all fall at the same point of the sender's frame.
      pass_time $((RANDOM % 50))
      dir=$([[ $((i % 2)) == 0 ]] && echo host || echo peer)
      change "$dir" 8000
      if ((DELAY_US < 0)); then
        unseen=$((unseen + 1))
        missed=$((missed + 1))
        continue
      fi
      [[ $dir == host ]] && D_host+=("$DELAY_US") || D_peer+=("$DELAY_US")
      [[ -n $SENT_DELAY_US ]] && ((SENT_DELAY_US <= BOUND_US)) || missed=$((missed + 1))
      [[ -n $SENT_DELAY_US ]] && ((SENT_DELAY_US <= STRICT_BOUND_US)) && strict_in=$((strict_in + 1))
      ((DELAY_US <= STRICT_BOUND_US + 1000000 / FPS)) && written_in=$((written_in + 1))
    done
    phase_end "loss $P %"
    a_all=$(nft_count "$NSA" inet knloss all) a_drop=$(nft_count "$NSA" inet knloss dropped)
    b_all=$(nft_count "$NSB" inet knloss all) b_drop=$(nft_count "$NSB" inet knloss dropped)
    nft_a delete table inet knloss
    nft_b delete table inet knloss
    q=$(awk -v p="$P" 'BEGIN { print (p / 100) ^ 2 }')
    allowed=$(allowed_misses "$CHANGES" "$q")
    wh=0 wp=0
    for d in "${D_host[@]}"; do ((d > wh)) && wh=$d; done
    for d in "${D_peer[@]}"; do ((d > wp)) && wp=$d; done
    pct() { awk -v w="$1" -v n="$CHANGES" 'BEGIN { printf "%.1f", 100 * w / n }'; }
    say "loss $P %: dropped at host $a_drop/$a_all, at peer $b_drop/$b_all; $CHANGES changes:" \
      "$((CHANGES - missed)) shown within $(ms $BOUND_US) ms of the hand-over ($(pct $((CHANGES - missed))) %; target >= $(awk -v q="$q" 'BEGIN { printf "%.2f", 100 * (1 - q) }') %," \
      "misses allowed $allowed), $strict_in within $(ms $STRICT_BOUND_US) ms ($(pct "$strict_in") %), $written_in within" \
      "$(ms $((STRICT_BOUND_US + 1000000 / FPS))) ms of the input change ($(pct "$written_in") %), never shown $unseen; from the input change:" \
      "median/worst host->peer $(ms "$(med "${D_host[@]}")")/$(ms $wh) ms, peer->host $(ms "$(med "${D_peer[@]}")")/$(ms $wp) ms; no state change"
    ((missed <= allowed)) || fail "loss $P %: $missed of $CHANGES changes took longer than $(ms $BOUND_US) ms (at most $allowed allowed for a rate of 1 - p^2)"
  done
}

# ---- duplication ----------------------------------------------------------------------
phase_dup() {
  nft_a add table ip kndup
  nft_a "add chain ip kndup out { type filter hook output priority 0 ; }"
  nft_a add rule ip kndup out udp sport "$PORT" counter comment '"all"'
  nft_a add rule ip kndup out udp sport "$PORT" numgen random mod 100 lt 5 counter dup to "$ADDR_B" device "$VA" comment '"dup"'
  nft_b add table ip kndup
  nft_b "add chain ip kndup out { type filter hook output priority 0 ; }"
  nft_b add rule ip kndup out udp dport "$PORT" counter comment '"all"'
  nft_b add rule ip kndup out udp dport "$PORT" numgen random mod 100 lt 5 counter dup to "$ADDR_A" device "$VB" comment '"dup"'
  phase_begin dup
  host_shown0=$HOST_LEVELS_N peer_shown0=$PEER_LEVELS_N
  n_host=0 n_peer=0 worst=0
  now_us
  dup_end=$((NOW + DUP_SECONDS * 1000000))
  for ((i = 0; ; i++)); do
    now_us
    ((NOW < dup_end)) || break
    dir=$([[ $((i % 2)) == 0 ]] && echo host || echo peer)
    change "$dir" 3000
    ((DELAY_US >= 0)) || fail "duplication: a change from the $dir was not shown within 3 s"
    ((DELAY_US > worst)) && worst=$DELAY_US
    [[ $dir == host ]] && n_host=$((n_host + 1)) || n_peer=$((n_peer + 1))
    pass_time 200
  done
  phase_end "duplication 5 %"
  a_dup=$(nft_count "$NSA" ip kndup dup) a_all=$(nft_count "$NSA" ip kndup all)
  b_dup=$(nft_count "$NSB" ip kndup dup) b_all=$(nft_count "$NSB" ip kndup all)
  nft_a delete table ip kndup
  nft_b delete table ip kndup
  extra_peer=$((PEER_LEVELS_N - peer_shown0 - n_host))
  extra_host=$((HOST_LEVELS_N - host_shown0 - n_peer))
  say "duplication 5 %: duplicated host->peer $a_dup/$a_all, peer->host $b_dup/$b_all; $n_host + $n_peer changes," \
    "each shown once (extra level lines: peer $extra_peer, host $extra_host), worst $(ms $worst) ms; no state change"
  ((extra_peer == 0 && extra_host == 0)) || fail "duplication: levels shown more often than they changed (peer +$extra_peer, host +$extra_host)"
  levels_agree || fail "duplication: levels differ (host shows $HOST_L1 [$HOST_REST], peer sends $PEER_SENDS; peer shows $PEER_L1, host sends $HOST_SENDS)"
  ((a_dup > 0 && b_dup > 0)) || fail "duplication: nothing was duplicated ($a_dup, $b_dup)"
}

# ---- delay and reordering -------------------------------------------------------------
phase_reorder() {
  if [[ ! -x $NFQ_BIN ]]; then
    say "delay/reorder: SKIPPED, no kn-nfq-delay under $BIN_DIR (libnetfilter_queue was not found at configure time)"
  elif ! command -v iptables >/dev/null; then
    say "delay/reorder: SKIPPED, no iptables (scripts/deps.sh installs it)"
  else
    nfq_seconds=$((REORDER_SECONDS + 60))
    run_stamped nfqa "$NSA" /dev/null "$NFQ_BIN" --queue 0 --delay-ms 30 --jitter-ms 25 --seconds "$nfq_seconds"
    NFQ_A_PID=$LAST_PID
    run_stamped nfqb "$NSB" /dev/null "$NFQ_BIN" --queue 0 --delay-ms 30 --jitter-ms 25 --seconds "$nfq_seconds"
    NFQ_B_PID=$LAST_PID
    await_logged nfqa '^ready$' 5000 || fail "kn-nfq-delay did not start in $NSA: $(cat "$DIR/nfqa.err")"
    await_logged nfqb '^ready$' 5000 || fail "kn-nfq-delay did not start in $NSB: $(cat "$DIR/nfqb.err")"
    ip netns exec "$NSA" iptables -A INPUT -p udp --dport "$PORT" -j NFQUEUE --queue-num 0 --queue-bypass ||
      fail "iptables NFQUEUE rule failed in $NSA"
    ip netns exec "$NSB" iptables -A INPUT -p udp --sport "$PORT" -j NFQUEUE --queue-num 0 --queue-bypass ||
      fail "iptables NFQUEUE rule failed in $NSB"
    phase_begin reorder
    n=0 worst=0 older0=$OLDER_N ROLLBACK_MAX_US=0
    now_us
    re_end=$((NOW + REORDER_SECONDS * 1000000))
    for ((i = 0; ; i++)); do
      now_us
      ((NOW < re_end)) || break
      dir=$([[ $((i % 2)) == 0 ]] && echo host || echo peer)
      # Two changes about a frame apart, so that their full turns overtake each other.
      next_value
      [[ $dir == host ]] && set_host_level "$NEXT_VALUE" || set_peer_level "$NEXT_VALUE"
      pass_time 20
      change "$dir" 3000
      ((DELAY_US >= 0)) || fail "delay/reorder: a change from the $dir was not shown within 3 s"
      ((DELAY_US > worst)) && worst=$DELAY_US
      n=$((n + 2))
      pass_time 300
    done
    # A full turn that arrives late shows an older level until the next full turn.
    pass_time 1500
    phase_end "delay/reorder"
    older=$((OLDER_N - older0))
    ip netns exec "$NSA" iptables -D INPUT -p udp --dport "$PORT" -j NFQUEUE --queue-num 0 --queue-bypass
    ip netns exec "$NSB" iptables -D INPUT -p udp --sport "$PORT" -j NFQUEUE --queue-num 0 --queue-bypass
    stop NFQ_A_PID nfqa TERM
    a_stats=$(grep ' nfqa packets' "$DIR/events.log" | tail -n 1 | cut -d' ' -f3-)
    stop NFQ_B_PID nfqb TERM
    b_stats=$(grep ' nfqb packets' "$DIR/events.log" | tail -n 1 | cut -d' ' -f3-)
    say "delay/reorder 30+-25 ms: host input [$a_stats], peer input [$b_stats]; $n changes in pairs a frame apart, the second of each shown after at worst $(ms $worst) ms;" \
      "an older level shown after a newer one $older time(s), each until the next full turn, the longest for $(ms $ROLLBACK_MAX_US) ms" \
      "(bound $(ms $ROLLBACK_BOUND_US) ms); no state change"
    ((ROLLBACK_MAX_US <= ROLLBACK_BOUND_US)) || fail "delay/reorder: an older level was shown for $(ms $ROLLBACK_MAX_US) ms"
    levels_agree || fail "delay/reorder: levels differ after settling (host shows $HOST_L1, peer sends $PEER_SENDS; peer shows $PEER_L1, host sends $HOST_SENDS)"
    [[ $a_stats =~ reordered\ ([0-9]+) ]] && ((BASH_REMATCH[1] > 0)) || fail "delay/reorder: nothing was reordered at the host's input"
    [[ $b_stats =~ reordered\ ([0-9]+) ]] && ((BASH_REMATCH[1] > 0)) || fail "delay/reorder: nothing was reordered at the peer's input"
  fi
}

# ---- a flood of requests with a wrong password ----------------------------------------
# flood_round WHAT RATE SOURCES PASSWORD: RATE requests a second for FLOOD_SECONDS from
# SOURCES sockets in the peer's namespace, naming PASSWORD, while both sides change levels.
# Answers are counted by nftables at the sockets' input and by the sender.
flood_round() {
  local what=$1 rate=$2 sources=$3 password=$4 last=$((FLOOD_PORT + $3 - 1))
  nft_b add table ip knflood
  nft_b "add chain ip knflood in { type filter hook input priority 0 ; }"
  nft_b add rule ip knflood in udp sport "$PORT" udp dport "$FLOOD_PORT-$last" @th,64,8 2 counter comment '"refuse"'
  nft_b add rule ip knflood in udp sport "$PORT" udp dport "$FLOOD_PORT-$last" @th,64,8 7 counter comment '"busy"'
  nft_b add rule ip knflood in udp sport "$PORT" udp dport "$FLOOD_PORT-$last" counter comment '"any"'
  nft_a add table ip knflood
  nft_a "add chain ip knflood in { type filter hook input priority 0 ; }"
  nft_a add rule ip knflood in udp sport "$FLOOD_PORT-$last" udp dport "$PORT" counter comment '"requests"'
  phase_begin "flood"
  run_stamped flood "$NSB" /dev/null "$PYTHON" "$FLOOD_PY" --to "$ADDR_A:$PORT" --from-port "$FLOOD_PORT" \
    --sources "$sources" --rate "$rate" --seconds "$FLOOD_SECONDS" --linger 2.5 --password "$password"
  FLOOD_PID=$LAST_PID
  await flood '"event": "flooding"' 5000 || fail "the request sender did not start: $(cat "$DIR/flood.err")"
  worst=0
  for dir in host peer host peer; do
    change "$dir" 3000
    ((DELAY_US >= 0)) || fail "$what: a change from the $dir was not shown within 3 s"
    ((DELAY_US > worst)) && worst=$DELAY_US
    pass_time 300
  done
  await flood '"event": "done"' $(((FLOOD_SECONDS + 10) * 1000)) || fail "the request sender did not finish"
  flood_line=$EV_TEXT
  await flood '^EOF$' 5000 || fail "the request sender did not end"
  wait "$FLOOD_PID" 2>/dev/null
  FLOOD_PID=""
  phase_end "$what"
  refused=$(nft_count "$NSB" ip knflood refuse) busy=$(nft_count "$NSB" ip knflood busy)
  answers=$(nft_count "$NSB" ip knflood any) requests=$(nft_count "$NSA" ip knflood requests)
  nft_a delete table ip knflood
  nft_b delete table ip knflood
  [[ $flood_line =~ \"sent\":\ ([0-9]+) ]] && sent=${BASH_REMATCH[1]} || sent=0
  [[ $flood_line =~ \"refusal_ms\":\ \[([^]]*)\] ]] && times=${BASH_REMATCH[1]} || times=""
  say "$what: $sent sent at $rate/s from $sources source(s) for $FLOOD_SECONDS s, $requests reached the host;" \
    "answers counted by nftables: $refused refusals, $busy busy, $answers in all; refusals seen by the" \
    "sender at [$times] ms; changes during the flood shown, worst $(ms $worst) ms; no state change"
  ((requests >= sent * 9 / 10)) || fail "$what: only $requests of $sent requests reached the host"
}

phase_flood() {
  local max_refusals=$((FLOOD_SECONDS * 1000 / 2000 + 1)) rate sources min_gap
  for rate_sources in 1000,1 $( ((SHORT)) || echo 10000,64); do
    rate=${rate_sources%,*} sources=${rate_sources#*,}
    flood_round "wrong passwords" "$rate" "$sources" wrong
    ((refused >= 1)) || fail "wrong passwords: no refusal at all"
    ((refused <= max_refusals)) || fail "wrong passwords: $refused refusals in $((FLOOD_SECONDS + 2)) s (at most one per 2000 ms: $max_refusals)"
    ((answers == refused)) || fail "wrong passwords: $((answers - refused)) answers other than refusals"
    min_gap=$(awk -v t="$times" 'BEGIN { n = split(t, a, ", "); g = -1
      for (i = 2; i <= n; i++) if (g < 0 || a[i] - a[i - 1] < g) g = a[i] - a[i - 1]; print g }')
    awk -v g="$min_gap" 'BEGIN { exit !(g < 0 || g >= 1900) }' || fail "wrong passwords: two refusals only $min_gap ms apart"
  done
  # A third party with the right password is told the host is busy, once per request.
  flood_round "valid requests from a third party" 50 1 ""
  ((busy >= 1 && busy <= requests)) || fail "third party: $busy busy answers to $requests requests"
  ((answers == busy)) || fail "third party: $((answers - busy)) answers other than busy"
}

# ---- restarts -------------------------------------------------------------------------
phase_restarts() {
  stop HOST_PID host TERM
  now_us
  t0=$NOW
  start_host
  await peer '"event":"state".*"state":"connected"' 12000 || fail "restart of the host: the peer did not connect again within 12 s"
  host_restart_us=$((EV_T - t0))
  await_state host connected 2000 || fail "restart of the host: the host did not show the connection"
  pass_time 100
  change host 2000
  ((DELAY_US >= 0)) || fail "after the restart of the host: its level change did not arrive"
  say "restart of the host (SIGTERM, started again at once): peer connected again after $(ms $host_restart_us) ms (bound $(ms $HOST_RESTART_BOUND_US) ms)"
  ((host_restart_us <= HOST_RESTART_BOUND_US)) || fail "restart of the host: connected again only after $(ms $host_restart_us) ms"

  for sig in TERM KILL; do
    stop PEER_PID peer "$sig"
    now_us
    t0=$NOW
    start_peer
    set_peer_level "$PEER_SENDS"
    await peer '"event":"state".*"state":"connected"' 15000 || fail "restart of the peer (SIG$sig): not connected again within 15 s"
    peer_restart_us=$((EV_T - t0))
    say "restart of the peer (SIG$sig, started again at once): connected again after $(ms $peer_restart_us) ms (bound $(ms $PEER_RESTART_BOUND_US) ms)"
    ((peer_restart_us <= PEER_RESTART_BOUND_US)) || fail "restart of the peer (SIG$sig): connected again only after $(ms $peer_restart_us) ms"
    change peer 3000
    ((DELAY_US >= 0)) || fail "after the restart of the peer: its level change did not arrive"
  done
}

# ---- start ----------------------------------------------------------------------------
say "namespaces $NSA ($ADDR_A, host) and $NSB ($ADDR_B, peer); $FPS fps; mode $( ((SHORT)) && echo short || echo full)"
start_host
await host '"Port is open\."' 5000 || fail "kelmar-host did not open UDP port $PORT"
set_peer_level 0
start_peer
await_state peer connected 5000 || fail "the peer did not connect within 5 s"
await_state host connected 2000 || fail "the host did not show the connection"
change host 2000
((DELAY_US >= 0)) || fail "a level change from the host did not arrive"
change peer 2000
((DELAY_US >= 0)) || fail "a level change from the peer did not arrive"
say "connected; first changes shown"

for phase in ${PHASES//,/ }; do
  "phase_$phase"
done
say "PASSED"
exit 0
