# tests/check --calls PROGRAM FILE: one ordinary run of PROGRAM, the example
# of its page or one like it, made once with FILE and once with the worked
# example under strace, and the count of each system call side by side.
# Sourced by tests/check, which sets top, build and work.
# shellcheck shell=bash disable=SC2154

# What a run-time does before the program's own work (loading libraries, an
# interpreter reading its modules) is left out: the count starts at the first
# call that touches the case's own objects. This says which ones, per program.
startOf() {
  case $1 in
    server | client) start='socket\(AF_INET' said='the first IPv4 socket it makes' ;;
    forkdemo) start='^[0-9]+ +(clone|clone3|fork|vfork)\(' said='its first fork' ;;
    pwlookup) start=/etc/passwd said='the first call that names the password database, /etc/passwd' ;;
    shmtalk | shmtalk2 | shmlisten)
      start=/dev/shm$shm said="the first call that names the shared-memory object $shm" ;;
    *) start=$scene said="the first call that names the case's directory \$D (its files, its FIFO, standard input and output)" ;;
  esac
}

# traced ARG...: the program being measured, under strace, into $trace.
traced() {
  printf '%s %s\n' "$program" "$*" >"$work/command"
  timeout 30 strace -f -y -qq -o "$trace" -- "$exe" "$@"
}

# waitFor TEST...: polls a test command for at most 10 seconds.
waitFor() {
  local tries
  for ((tries = 0; tries < 1000; tries++)); do
    "$@" && return 0
    sleep 0.01
  done
  return 1
}

listening() { (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; }
# stopped PID: whether it has ended; if not, one more connection for it.
stopped() { ! kill -0 "$1" 2>/dev/null || { timeout 5 "$suite/client" 127.0.0.1 8080 </dev/null; false; }; }

# example NAME: sets the case up in $scene and runs it, with the program
# being measured as `traced` and its peers the worked programs in $suite.
example() {
  local tree=$scene/tree
  mkdir -p "$tree/docs/old" "$tree/src"
  printf 'notes\n' >"$tree/docs/a.txt"
  printf 'older notes\n' >"$tree/docs/old/b.txt"
  printf 'int main() {}\n' >"$tree/src/main.c"
  head -c 65536 /dev/urandom >"$scene/big"
  case $1 in
    treeweight1 | treeweight | findrecent | findrecent2) traced "$tree" ;;
    findsuffix) traced "$tree" txt ;;
    relocate | relocate2) traced "$scene/big" "$scene/moved" ;;
    resuffix) mv "$scene/big" "$scene/big.txt"; traced "$scene/big.txt" md ;;
    permswap | permswap2) chmod 640 "$scene/big"; traced "$scene/big" ;;
    seeksize | seeksize2) traced "$scene/big" ;;
    umask) traced "$scene/new" 640 ;;
    erase) traced -f "$scene/big" ;;
    fdmodes) (cd "$scene" && traced <"$scene/big") ;;
    pwlookup) traced root ;;
    charcount | charcount2) traced "$scene/big" "$tree/docs/a.txt" ;;
    shmtalk | shmtalk2)
      traced "$shm" <<<"dobar dan quit" >"$scene/prompts" &
      waitFor test -s "$scene/prompts" && timeout 10 "$suite/shmlisten" "$shm"
      wait ;;
    shmlisten)
      timeout 10 "$suite/shmtalk" "$shm" <<<"dobar dan quit" >"$scene/prompts" &
      waitFor test -s "$scene/prompts" && traced "$shm"
      wait ;;
    numbersend)
      traced "$scene/fifo" <<<"yes yes no" &
      waitFor test -p "$scene/fifo" && timeout 10 "$suite/numberrecv" "$scene/fifo"
      wait ;;
    numberrecv)
      mkfifo "$scene/fifo"
      timeout 10 "$suite/numbersend" "$scene/fifo" <<<"yes yes no" >/dev/null &
      traced "$scene/fifo"
      wait ;;
    endprobe) mkfifo "$scene/fifo"; traced -w "$scene/fifo" ;;
    server)
      traced &
      waitFor listening && echo 'what time is it?' | timeout 10 "$suite/client" 127.0.0.1 8080
      # The one more connection after SIGTERM that the server takes before it stops.
      # The server is the first process of the trace; after SIGTERM it
      # takes one more connection, then stops.
      local server
      server=$(awk 'NR == 1 { print $1 }' "$trace")
      kill -TERM "$server"
      waitFor stopped "$server"
      wait ;;
    client)
      timeout 20 "$suite/server" &
      waitFor listening && echo 'what time is it?' | traced 127.0.0.1 8080
      kill -TERM $! 2>/dev/null  # timeout hands it on to the server
      timeout 10 "$suite/client" 127.0.0.1 8080 </dev/null
      wait ;;
    forkdemo) traced ;;
  esac
}

# measure NAME EXECUTABLE OUT: the counts of one run, "call count" a line.
measure() {
  program=$1 exe=$2 scene=$work/case shm=/check-calls-$$ trace=$work/trace suite=$build/bin
  rm -rf "$scene" "$trace"
  mkdir -p "$scene"
  local status=0
  example "$1" >"$work/out" 2>&1 || status=$?
  rm -f "/dev/shm$shm"
  [ -s "$trace" ] || { echo "the run left no trace (status $status)" >&2; return 1; }
  local start=$3
  awk -v start="$start" -v first="$4.first" '
    # The exec itself names the arguments: the program has not begun yet.
    !counting && $0 ~ start && $0 !~ /^[0-9]+ +execve\(/ { counting = 1; print > first }
    counting && match($0, /^[0-9]+ +[a-z0-9_]+\(/) {
      call = substr($0, RSTART, RLENGTH - 1); sub(/^[0-9]+ +/, "", call); n[call]++
    }
    END { for (c in n) print c, n[c] }' "$trace" >"$4"
  sed -i "s|$scene|\$D|g" "$4.first" "$work/command"
  echo "$status"
}

compareCalls() {
  local name=$1 file=$2 start said
  scene=$work/case shm=/check-calls-$$
  startOf "$name"
  if [ "$name" = server ] || [ "$name" = client ]; then
    listening && { echo "check: port 8080 is taken here: stop what listens on it first" >&2; return 2; }
  fi
  local yours example
  yours=$(measure "$name" "$file" "$start" "$work/yours.counts") || return 1
  example=$(measure "$name" "$build/bin/$name" "$start" "$work/example.counts") || return 1
  printf 'System calls of %s: yours (%s) beside the worked example, on one run of\n' "$name" "$file"
  printf '  $ %s\n' "$(cat "$work/command")"
  printf "where \$D is a fresh directory. The count starts at %s,\n" "$said"
  printf 'so that what a language run-time does before the program begins is left out; for the example, at\n'
  printf '  %s\n' "$(sed -E 's/^[0-9]+ +//' "$work/example.counts.first" | cut -c1-120)"
  [ "$yours" -eq 0 ] || printf 'Yours ended with status %s in this run, the example with %s.\n' "$yours" "$example"
  printf '\n%-20s %10s %10s\n' call yours example
  join -a1 -a2 -e0 -o '0,1.2,2.2' <(sort "$work/yours.counts") <(sort "$work/example.counts") |
    sort -k2,2nr -k3,3nr |
    awk '{ printf "%-20s %10d %10d\n", $1, $2, $3; y += $2; e += $3 }
         END { printf "%-20s %10d %10d\n", "all", y, e }'
}
