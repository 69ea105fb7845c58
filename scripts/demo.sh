#!/usr/bin/env bash
# The main job: the add-in at work without 1C and without turnstiles.
#   1. registers the module ax_gate.so in a registry file of its own,
#   2. starts ax_gate-host (the 1C host stand-in) with the allow-list
#      examples/allowed-cards.txt; it loads the add-in by ProgID and calls Start,
#      which opens TCP port 1001,
#   3. runs ax_gate-devsim: three simulated turnstiles that present the cards of
#      examples/demo-cards.txt, some allowed, some not,
#   4. stops the host and sums up,
#   5. reads the add-in's trace (ax_gate-trace): each request's road per turnstile,
#      and writes the trace's web page report, BUILD_DIR/demo/report.html, and
#      the same in Russian, report-ru.html.
# Usage: scripts/demo.sh [BUILD_DIR]    (make demo builds first, then runs this)
# AXG_DEMO_DIR=DIR puts the logs, the trace and the report in DIR instead.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" 2>/dev/null && pwd) || {
  echo "demo: build directory ${1:-$root/build} not found; run 'make build' first" >&2
  exit 1
}
bin=$build/bin
examples=$root/examples

# Port 1001 is privileged. In a private user and network namespace we may bind
# it, and the loopback there is ours alone, so nothing on this machine can clash.
if [ -z "${AXG_DEMO_NS:-}" ]; then
  if ! command -v ip >/dev/null 2>&1; then
    echo "demo: the 'ip' command is missing; install it: apt-get install -y iproute2" >&2
    exit 1
  fi
  if unshare -rn true 2>/dev/null; then
    exec unshare -rn env AXG_DEMO_NS=1 bash -c 'ip link set lo up && exec "$@"' demo "$0" "$build"
  elif [ "$(id -u)" -eq 0 ]; then
    echo "demo: no private network namespace available; using this machine's port 1001 (running as root)"
  else
    cat >&2 <<'EOF'
demo: port 1001 is privileged, and this system does not let an ordinary user
create a private network namespace (unshare -rn failed). Do one of these:
  - allow unprivileged user namespaces, then run 'make demo' again:
        sudo sysctl -w kernel.unprivileged_userns_clone=1     (Debian)
        sudo sysctl -w user.max_user_namespaces=15000          (if it is 0)
  - or run the demo as root:
        sudo make demo
EOF
    exit 1
  fi
fi

for f in ax_gate.so ax_gate-host ax_gate-devsim ax_gate-regsvr ax_gate-trace; do
  [ -e "$bin/$f" ] || { echo "demo: $bin/$f is missing; run 'make build' first" >&2; exit 1; }
done

work=${AXG_DEMO_DIR:-$build/demo}
mkdir -p "$work"
export AX_GATE_REGISTRY=$work/registry
rm -f "$AX_GATE_REGISTRY" "$work/host.log" "$work/devices.log" "$work/host.in" "$work"/trace.jsonl*

bold() { if [ -t 1 ]; then printf '\n\033[1m%s\033[0m\n' "$*"; else printf '\n%s\n' "$*"; fi; }

host_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then kill "$host_pid" 2>/dev/null || true; fi
  rm -f "$work/host.in"
}
trap cleanup EXIT

bold "1. Register the add-in (what regsvr32 ax_gate.dll does on Windows)"
"$bin/ax_gate-regsvr" "$bin/ax_gate.so"

bold "2. Start the 1C host stand-in: it creates AddIn.ax_gate, calls Init and Start"
echo "   Decisions: cards listed in examples/allowed-cards.txt may pass, the others may not."
echo "   Lines marked 'host' are what the 1C script would see: external events"
echo "   (source Kavreno: CHECK, STATUS, LOG, ERROR) and its calls to the add-in."
echo "   The add-in writes its trace to $work/trace.jsonl (ax_gate-host --trace)."
mkfifo "$work/host.in"
"$bin/ax_gate-host" --policy "cards=$examples/allowed-cards.txt" --trace "$work/trace.jsonl" <"$work/host.in" 2>&1 \
  | tee "$work/host.log" | sed -u 's/^/  host       | /' &
host_pid=$!
exec 3>"$work/host.in"  # keeps the host's input open until we say quit

for _ in $(seq 100); do
  grep -q ' ready ' "$work/host.log" 2>/dev/null && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q ' ready ' "$work/host.log" 2>/dev/null; then
  echo "demo: the host did not come up; see above" >&2
  exit 1
fi
if ! grep -q 'Start() = "TRUE"' "$work/host.log"; then
  echo "demo: Start did not open port 1001 (is another program using it?)" >&2
  exit 1
fi

bold "3. Three turnstiles (127.0.0.2, .3, .4) present four cards each"
echo "   Lines marked 'turnstile' are the simulated controllers: the card, the"
echo "   add-in's GO (open) or PH (stay closed) frame, and the pass."
"$bin/ax_gate-devsim" --devices 3 --cards "$examples/demo-cards.txt" --count 4 --rate 0.7 2>&1 \
  | tee "$work/devices.log" | sed -u 's/^/  turnstile  | /'

bold "4. Stop: the host calls Done and releases the add-in"
echo quit >&3
exec 3>&-
wait "$host_pid" || true
host_pid=

# What the turnstiles saw against what the allow-list says.
presented=0 allowed=0
while read -r card; do
  presented=$((presented + 1))
  if grep -qx "$card" <(grep -v '^#' "$examples/allowed-cards.txt" | tr -d '\r '); then
    allowed=$((allowed + 1))
  fi
done < <(sed -n 's/.* card \([^ ]*\) presented.*/\1/p' "$work/devices.log")
read -r requests opens refusals timeouts < <(awk '$1 == "all" {print $2, $3, $4, $5}' "$work/devices.log")
events=$(sed -n 's/.*events received \([0-9]*\).*/\1/p' "$work/host.log" | tail -1)

bold "5. The add-in's trace, read by ax_gate-trace: the road of each request"
echo "   Turnstile 127.0.0.2 in full (ax_gate-trace --device 127.0.0.2), then the summary"
echo "   of all three; times are from the card's line to each step."
"$bin/ax_gate-trace" --device 127.0.0.2 "$work"/trace.jsonl* | sed '/^summary:/,$d' | sed 's/^/  trace      | /'
"$bin/ax_gate-trace" "$work"/trace.jsonl* | sed -n '/^summary:/,$p' | sed 's/^/  trace      | /'
"$bin/ax_gate-trace" --html "$work/report.html" "$work"/trace.jsonl* >/dev/null
"$bin/ax_gate-trace" --lang ru --html "$work/report-ru.html" "$work"/trace.jsonl* >/dev/null
echo "   The same trace as one web page (ax_gate-trace --html), to open in any browser,"
echo "   in English and in Russian (--lang ru):"
echo "   $work/report.html"
echo "   $work/report-ru.html"

bold "Summary"
echo "  $presented cards presented at 3 turnstiles, $allowed of them on the allow-list."
echo "  Gates opened: ${opens:-0}   refused: ${refusals:-0}   no decision (timeout): ${timeouts:-0}"
echo "  The host received ${events:-0} external events; logs: $work/host.log, $work/devices.log"
echo "  The trace: $work/trace.jsonl; as a web page: $work/report.html (Russian: report-ru.html)"
if [ "${opens:-0}" -eq "$allowed" ] && [ "${refusals:-0}" -eq $((presented - allowed)) ] &&
   [ "${timeouts:-0}" -eq 0 ] && [ "$presented" -gt 0 ]; then
  echo "  Every allowed card opened its gate; every other card was refused."
else
  echo "  Unexpected outcome: the numbers above should match the allow-list." >&2
  exit 1
fi
