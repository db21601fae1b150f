# tests/check --calls PROGRAM FILE: one ordinary run of PROGRAM, the example
# of its page or one like it, made once with FILE and once with the worked
# example under strace, and the count of each system call side by side.
# Sourced by tests/check, which calls compareCalls.
# shellcheck shell=bash disable=SC2016  # $D is shown as it stands, not expanded

# Every run is bounded: it is killed after this many seconds, what it prints
# is kept up to 1 MiB, and its trace up to 64 MiB. As root it runs in a PID
# namespace of its own, so that whatever it leaves behind (a daemon that
# called setsid) is killed with it; otherwise strace's tracees die with strace.
readonly callsSeconds=30 callsOutputBytes=1048576 callsTraceBytes=67108864

# objectOf NAME SCENE SHM: prints what the count of NAME starts at, on
# three lines: a pattern (extended regular expression) for the first counted
# line of the trace, the object in a learner's words, and the call that counts first.
objectOf() {
  case $1 in
    server | client) printf '%s\n%s\n%s\n' 'socket\(AF_INET' 'its socket' 'the first IPv4 socket it makes' ;;
    forkdemo) printf '%s\n%s\n%s\n' '^[0-9]+ +(clone|clone3|fork|vfork)\(' 'its child' 'its first fork' ;;
    pwlookup) printf '%s\n%s\n%s\n' /etc/passwd 'the password database' 'the first call that names /etc/passwd' ;;
    shmtalk | shmtalk2 | shmlisten)
      printf '%s\n%s\n%s\n' "/dev/shm$3" 'its shared-memory object' "the first call that names /dev/shm$3" ;;
    numbersend | numberrecv | endprobe)
      printf '%s\n%s\n%s\n' "$2/fifo" 'its FIFO' 'the first call that names $D/fifo' ;;
    *) printf '%s\n%s\n%s\n' "$2" 'its directory' 'the first call that names $D (a file in it, or standard input or output from it)' ;;
  esac
}

# waitFor TEST...: runs TEST until it succeeds, for at most 10 seconds; gives its status.
waitFor() {
  local tries
  for ((tries = 0; tries < 1000; tries++)); do
    "$@" && return 0
    sleep 0.01
  done
  return 1
}

# listening: gives whether something takes connections on 127.0.0.1:8080.
listening() { (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; }

# serverGone PID SUITE: gives whether PID has ended; if not, makes one more
# connection for it with SUITE's client (a stopping server takes one more).
serverGone() { ! kill -0 "$1" 2>/dev/null || { timeout 5 "$2/client" 127.0.0.1 8080 </dev/null; false; }; }

# example NAME EXE SCENE SHM TRACE SUITE: sets the case up in SCENE and runs
# it, EXE under strace (its trace into TRACE), its peers the worked programs
# in SUITE. Prints the command measured on its first line, then the output of
# the run; gives EXE's exit status.
example() {
  local name=$1 exe=$2 scene=$3 shm=$4 trace=$5 suite=$6
  local tree=$scene/tree status=0
  mkdir -p "$tree/docs/old" "$tree/src"
  printf 'notes\n' >"$tree/docs/a.txt"
  printf 'older notes\n' >"$tree/docs/old/b.txt"
  printf 'int main() {}\n' >"$tree/src/main.c"
  head -c 65536 /dev/urandom >"$scene/big"
  # traced ARG...: EXE under strace, the command in words first; gives EXE's status.
  traced() {
    printf '$ %s\n' "$name${*:+ $*}" | sed "s|$scene|\$D|g"
    strace -f -y -qq -o "|{ head -c $callsTraceBytes >'$trace'; cat >/dev/null; }" -- "$exe" "$@"
  }
  case $name in
    treeweight1 | treeweight | findrecent | findrecent2) traced "$tree" || status=$? ;;
    findsuffix) traced "$tree" txt || status=$? ;;
    relocate | relocate2) traced "$scene/big" "$scene/moved" || status=$? ;;
    resuffix) mv "$scene/big" "$scene/big.txt"; traced "$scene/big.txt" md || status=$? ;;
    permswap | permswap2) chmod 640 "$scene/big"; traced "$scene/big" || status=$? ;;
    seeksize | seeksize2) traced "$scene/big" || status=$? ;;
    umask) traced "$scene/new" 640 || status=$? ;;
    erase) traced -f "$scene/big" || status=$? ;;
    fdmodes) (cd "$scene" && traced <"$scene/big") || status=$? ;;
    pwlookup) traced root || status=$? ;;
    charcount | charcount2) traced "$scene/big" "$tree/docs/a.txt" || status=$? ;;
    shmtalk | shmtalk2)
      traced "$shm" <<<"dobar dan quit" >"$scene/prompts" &
      waitFor test -s "$scene/prompts" && timeout 10 "$suite/shmlisten" "$shm"
      wait $! || status=$? ;;
    shmlisten)
      timeout 10 "$suite/shmtalk" "$shm" <<<"dobar dan quit" >"$scene/prompts" &
      waitFor test -s "$scene/prompts" && { traced "$shm" || status=$?; }
      wait ;;
    numbersend)
      traced "$scene/fifo" <<<"yes yes no" &
      waitFor test -p "$scene/fifo" && timeout 10 "$suite/numberrecv" "$scene/fifo"
      wait $! || status=$? ;;
    numberrecv)
      mkfifo "$scene/fifo"
      timeout 10 "$suite/numbersend" "$scene/fifo" <<<"yes yes no" >/dev/null &
      traced "$scene/fifo" || status=$?
      wait ;;
    endprobe) mkfifo "$scene/fifo"; traced -w "$scene/fifo" || status=$? ;;
    server)
      traced &
      local run=$!
      waitFor listening && echo 'what time is it?' | timeout 10 "$suite/client" 127.0.0.1 8080
      # The server is the first process of the trace; after SIGTERM it
      # takes one more connection, then stops.
      local server
      server=$(awk 'NR == 1 { print $1 }' "$trace")
      [ -z "$server" ] || kill -TERM "$server"
      waitFor serverGone "$server" "$suite"
      wait "$run" || status=$? ;;
    client)
      timeout 20 "$suite/server" &
      local peer=$!
      waitFor listening && { echo 'what time is it?' | traced 127.0.0.1 8080 || status=$?; }
      kill -TERM "$peer" 2>/dev/null  # timeout hands it on to the server
      timeout 10 "$suite/client" 127.0.0.1 8080 </dev/null
      wait ;;
    forkdemo) traced || status=$? ;;
  esac
  return "$status"
}

# bounded SCRIPT ARG...: runs this file's function `example` with ARG...,
# bounded in time (and as root in a PID namespace); gives its status.
bounded() {
  local script=$1
  shift
  local isolate=()
  [ "$(id -u)" -ne 0 ] || isolate=(unshare --pid --fork --kill-child --)
  timeout -k 5 "$callsSeconds" "${isolate[@]}" bash -c 'source "$0"; example "$@"' "$script" "$@"
}

# measure NAME EXE WORK SUITE: runs the case once with EXE, its peers the
# worked programs in SUITE, and leaves in WORK
# counts ("call count" a line), first (the first counted line of the trace),
# command and out (what it printed, up to 1 MiB); prints EXE's exit status,
# or gives 1 when the run left no trace.
measure() {
  local name=$1 exe=$2 work=$3 suite=$4
  local scene=$work/case shm=/check-calls-$$ trace=$work/trace status=0
  rm -rf "$scene" "$trace"
  mkdir -p "$scene"
  local object
  object=$(objectOf "$name" "$scene" "$shm" | head -1)
  bounded "${BASH_SOURCE[0]}" "$name" "$exe" "$scene" "$shm" "$trace" "$suite" \
    > >(head -c "$callsOutputBytes" >"$work/out"; cat >/dev/null) 2>&1 || status=$?
  wait $!  # for the last of the output kept
  rm -f "/dev/shm$shm"
  head -1 "$work/out" >"$work/command"
  if [ ! -s "$trace" ]; then
    echo "check: $exe left no trace (status $status); it printed:" >&2
    head -20 "$work/out" >&2
    return 1
  fi
  awk -v start="$object" -v first="$work/first" '
    # The exec itself names the arguments: the program has not begun yet.
    !counting && $0 ~ start && $0 !~ /^[0-9]+ +execve\(/ { counting = 1; print > first }
    counting && match($0, /^[0-9]+ +[a-z0-9_]+\(/) {
      call = substr($0, RSTART, RLENGTH - 1); sub(/^[0-9]+ +/, "", call); n[call]++
    }
    END { for (c in n) print c, n[c] }' "$trace" >"$work/counts"
  touch "$work/first"
  sed -i -E "s|$scene|\$D|g; s/^[0-9]+ +//" "$work/first"
  echo "$status"
}

# startLine WHO DIR OBJECT: prints where WHO's count started (DIR's first),
# or a sentence on why nothing was counted, OBJECT being what it never touched.
startLine() {
  if [ -s "$2/first" ]; then
    printf '  %-9s %s\n' "$1:" "$(cut -c1-120 "$2/first")"
  else
    printf '  %-9s nowhere: it never touched %s in this run, so none of its calls was counted' "$1:" "$3"
    if [ "$(wc -l <"$2/out")" -gt 1 ]; then
      printf '; it printed: %s' "$(sed -n '2{s/[^[:print:]]/?/g;p}' "$2/out" | cut -c1-80)"
    fi
    printf '\n'
  fi
}

# ending STATUS: prints how a run that gave STATUS ended, in words.
ending() {
  case $1 in
    0) echo 'ended with status 0' ;;
    124 | 137) echo "did not end within $callsSeconds s, and was killed" ;;
    *) echo "ended with status $1" ;;
  esac
}

# compareCalls NAME FILE BUILD WORK: prints FILE's system calls beside the
# worked NAME's from BUILD, on one run each, WORK holding the runs; gives 1
# if a run could not be measured, 2 if port 8080 is taken.
compareCalls() {
  local name=$1 file=$2 build=$3 work=$4
  if [ "$name" = server ] || [ "$name" = client ]; then
    listening && { echo "check: port 8080 is taken here: stop what listens on it first" >&2; return 2; }
  fi
  mkdir -p "$work/yours" "$work/example"
  local yourStatus exampleStatus object rule
  yourStatus=$(measure "$name" "$file" "$work/yours" "$build/bin") || return 1
  exampleStatus=$(measure "$name" "$build/bin/$name" "$work/example" "$build/bin") || return 1
  object=$(objectOf "$name" '$D' "/check-calls-$$" | sed -n 2p)
  rule=$(objectOf "$name" '$D' "/check-calls-$$" | sed -n 3p)
  printf 'System calls of %s: yours (%s) beside the worked example, on one run of\n' "$name" "$file"
  printf '  %s\n' "$(cat "$work/example/command")"
  printf 'where $D is a fresh directory. Each count starts where the program first touches %s, at %s,\n' "$object" "$rule"
  printf "so that what a language's run-time does before the program begins is left out. They started at\n"
  startLine yours "$work/yours" "$object"
  startLine example "$work/example" "$object"
  [ "$yourStatus" -eq 0 ] || printf 'Yours %s in this run; the example %s.\n' "$(ending "$yourStatus")" "$(ending "$exampleStatus")"
  printf '\n%-20s %10s %10s\n' call yours example
  join -a1 -a2 -e0 -o '0,1.2,2.2' <(sort "$work/yours/counts") <(sort "$work/example/counts") |
    sort -k2,2nr -k3,3nr |
    awk '{ printf "%-20s %10d %10d\n", $1, $2, $3; y += $2; e += $3 }
         END { printf "%-20s %10d %10d\n", "all", y, e }'
}
