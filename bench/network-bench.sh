#!/bin/bash
# Connections per second of the time server, against xinetd's internal daytime service
# as the reference, at 1, 8 and 64 concurrent clients on loopback.
#
# Run by hand, as root, from anywhere:   bash bench/network-bench.sh
# It installs xinetd from the distribution if it is missing, builds the server with the
# default preset if it is missing, and runs everything in a private network namespace,
# so that ports 8080 and 8013 are its own and nothing else on the machine takes part.
#
# Environment: ROUNDS (default 5) rounds of SECONDS_PER_RUN (default 3) seconds per
# target and client count, the two targets interleaved; SERVER, the server to measure
# (default build/default/bin/server); TIMEOUT_MS (default 2000), after which a
# connection counts as hanging.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${ROUNDS:-5}
duration=${SECONDS_PER_RUN:-3}
timeout_ms=${TIMEOUT_MS:-2000}
server=${SERVER:-$root/build/default/bin/server}
[[ $server == /* ]] || server=$PWD/$server
server_port=8080 # fixed in the server
reference_port=8013
busy_limit=15 # percent of the processors taken by other processes that spoils a run

say() { printf '%s\n' "$*" >&2; }

for name in ROUNDS SECONDS_PER_RUN TIMEOUT_MS; do
    if [[ -n ${!name:-} && ! ${!name} =~ ^[1-9][0-9]{0,4}$ ]]; then
        say "network-bench: $name=${!name}: not a whole number from 1 to 99999"
        exit 1
    fi
done

# Outside the namespace: what needs the network or the build tree.
if [[ ${NETWORK_BENCH_INSIDE:-} != 1 ]]; then
    if [[ $EUID -ne 0 ]]; then
        say "network-bench: run as root (it installs xinetd and makes a network namespace)"
        exit 1
    fi
    if ! command -v xinetd >/dev/null; then
        say "network-bench: installing xinetd for the reference measurement"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xinetd >/dev/null
    fi
    if [[ ! -x $server ]]; then
        if [[ -n ${SERVER:-} ]]; then
            say "network-bench: $server: no such program"
            exit 1
        fi
        say "network-bench: building the server"
        (cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default --target server >/dev/null)
    fi
    export NETWORK_BENCH_INSIDE=1 SERVER=$server
    exec unshare --net -- "$BASH" "${BASH_SOURCE[0]}" "$@"
fi

ip link set lo up
work=$(mktemp -d /tmp/network-bench.XXXXXX)
cd "$work"
xinetd_pid=
server_pid=

stop() { # pid [port to connect to once, for a server that stops after its next connection]
    local pid=$1 port=${2:-}
    kill -TERM "$pid" 2>/dev/null || return 0
    if [[ -n $port ]]; then
        "$work/loadgen" -n 1 -t 500 "$port" >/dev/null 2>&1 || true
    fi
    for _ in {1..20}; do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    [[ -n $server_pid ]] && stop "$server_pid" "$server_port"
    [[ -n $xinetd_pid ]] && stop "$xinetd_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits until a fresh process answers on its port, or gives up after five seconds.
await() { # name pid port
    for _ in {1..50}; do
        if ! kill -0 "$2" 2>/dev/null; then
            say "network-bench: $1 has ended"
            exit 1
        fi
        "$work/loadgen" -n 1 -t 200 "$3" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    say "network-bench: $1 does not answer on port $3"
    exit 1
}

g++ -std=c++20 -O2 -pthread -Wall -Wextra -o "$work/loadgen" "$root/bench/network-loadgen.cpp"

# The reference: xinetd serving only its internal daytime service. Its defaults would
# throttle a benchmark: cps (50 connections a second, then the service is switched off
# for 10 seconds) is raised far above any rate reachable here; instances and per_source
# (concurrent connections per service and per client address; 127.0.0.1 is the only
# client) are unlimited. Its log goes to a file of its own; with no log_on_success
# items it writes no line per connection, and neither does the server.
cat >"$work/xinetd.conf" <<EOF
defaults
{
	log_type	= FILE $work/xinetd.log
}
service daytime
{
	type		= INTERNAL UNLISTED
	id		= daytime-stream
	socket_type	= stream
	protocol	= tcp
	wait		= no
	user		= root
	bind		= 127.0.0.1
	port		= $reference_port
	cps		= 10000000 1
	instances	= UNLIMITED
	per_source	= UNLIMITED
}
EOF
xinetd -dontfork -f "$work/xinetd.conf" -pidfile "$work/xinetd.pid" &
xinetd_pid=$!
await xinetd "$xinetd_pid" "$reference_port"

"$SERVER" &
server_pid=$!
await "the server" "$server_pid" "$server_port"

hz=$(getconf CLK_TCK)
# Processor time in clock ticks: of one process (threads that have ended included), and
# of the whole machine, all but idle time. The kernel handles loopback packets mostly in
# the sending process's time; what it handles elsewhere counts as other processes' time.
ticks_of() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }

# One target, one client count, one run. Prints: connections per second, lost, hanging,
# the target's processor time per connection in microseconds, and the share of the
# machine's processor time that went to other processes meanwhile, in percent.
# The server's line is exactly 25 bytes; the reference sends a line of its own format.
measure() { # target clients seconds
    local port=$server_port length=25 pid=$server_pid
    if [[ $1 == reference ]]; then
        port=$reference_port length=0 pid=$xinetd_pid
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
        say "network-bench: the $1 has ended"
        exit 1
    fi
    local target_before busy_before result
    target_before=$(ticks_of "$pid")
    busy_before=$(busy_ticks)
    result=$("$work/loadgen" -c "$2" -n 100000000 -d "$3" -l "$length" -t "$timeout_ms" "$port" \
        2>>"$work/errors") || true
    awk -v result="$result" -v target=$(($(ticks_of "$pid") - target_before)) \
        -v busy=$(($(busy_ticks) - busy_before)) -v hz="$hz" -v cpus="$(nproc)" 'BEGIN {
        n = split(result, field, /[ =]/)
        for (i = 1; i < n; i += 2)
            value[field[i]] = field[i + 1]
        others = (busy - target) / hz - value["cpu"]
        printf "%d %d %d %.1f %.0f\n", value["rate"], value["lost"], value["hanging"],
            target / hz * 1e6 / (value["connections"] ? value["connections"] : 1),
            (others > 0 ? 100 * others / (cpus * value["seconds"]) : 0)
    }'
}

say "network-bench: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)," \
    "$rounds rounds of $duration s per target and client count"
measure reference 8 1 >/dev/null
measure server 8 1 >/dev/null
for ((round = 1; round <= rounds; round++)); do
    # Alternating which goes first evens out drift in the machine's load.
    targets=(reference server)
    ((round % 2 == 0)) && targets=(server reference)
    for clients in 1 8 64; do
        # A pair of runs during which other processes were busy is measured again,
        # twice at most: on a shared machine their load, not the targets, sets the pace.
        # (Even on an idle machine some 5 to 11% shows up as others' time: the kernel's
        # packet work done outside the two processes.)
        for attempt in 1 2 3; do
            line="round $round, $clients clients:"
            disturbed=0
            for target in "${targets[@]}"; do
                result=$(measure "$target" "$clients" "$duration")
                echo "$result" >"$work/$target"
                read -r rate lost hanging _ others <<<"$result"
                line+=" $target $rate/s"
                ((lost + hanging == 0)) || line+=" ($lost lost, $hanging hanging)"
                if ((others >= busy_limit)); then
                    disturbed=1
                    line+=" (other processes took $others% of the processors)"
                fi
            done
            say "$line"
            ((disturbed && attempt < 3)) || break
        done
        for target in "${targets[@]}"; do
            echo "$(cat "$work/$target") $disturbed" >>"$work/$target-$clients"
        done
        # Each round's two runs are next to each other in time: their ratio is
        # steadier than the ratio of the medians.
        paste -d' ' "$work/server" "$work/reference" |
            awk -v disturbed="$disturbed" '{ print ($6 > 0 ? $1 / $6 : 0), disturbed }' >>"$work/ratio-$clients"
    done
done

# The rounds that other processes left undisturbed, or all of them if none was.
undisturbed() { # file
    if grep -q ' 0$' "$1"; then grep ' 0$' "$1"; else cat "$1"; fi
}
median() { # file column
    undisturbed "$1" | cut -d' ' -f"$2" | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
total() { awk -v columns="$2" '{ split(columns, c, ","); for (i in c) n += $c[i] } END { print n + 0 }' "$1"; } # file columns

echo
echo "connections per second and processor time per connection (microseconds, the kernel's"
echo "work in the target's threads included), runs of $duration s: medians over the rounds that"
echo "other processes left undisturbed (over all $rounds if none was); ratio: of each round's pair"
printf '%-7s %9s %9s %6s %5s %8s %8s %8s %10s\n' clients reference server ratio goal "lost+" "cpu" "cpu" "disturbed"
printf '%-7s %9s %9s %6s %5s %8s %8s %8s %10s\n' "" "" "" "" "" hanging reference server rounds
status=0
for clients in 1 8 64; do
    goal=0.8
    ((clients == 1)) && goal=0.9
    ratio=$(printf '%.2f' "$(median "$work/ratio-$clients" 1)")
    failures=$(total "$work/server-$clients" 2,3)
    printf '%-7s %9.0f %9.0f %6s %5s %8s %8.1f %8.1f %10s\n' "$clients" \
        "$(median "$work/reference-$clients" 1)" "$(median "$work/server-$clients" 1)" "$ratio" "$goal" \
        "$failures" "$(median "$work/reference-$clients" 4)" "$(median "$work/server-$clients" 4)" \
        "$(total "$work/server-$clients" 6)"
    if awk -v r="$ratio" -v g="$goal" 'BEGIN { exit !(r < g) }' || ((failures > 0)); then
        status=1
    fi
done
if [[ -s $work/errors ]]; then
    echo
    echo "first failures reported by the load generator:"
    sort -u "$work/errors" | head -5
fi
exit "$status"
