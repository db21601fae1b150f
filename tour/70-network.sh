# Network tools: server answers every connection with the time; client sends lines.

# In a subshell of its own, whose exit (however it comes) kills a server left running.
network_tour() (
  server 2> server.err &
  server=$!
  trap 'kill -KILL "$server" 2>/dev/null || true' EXIT

  # Ready once a connection is taken (a client with no input only connects).
  if ! timeout 10 sh -c 'until client 127.0.0.1 8080 < /dev/null 2>/dev/null; do sleep 0.05; done'; then
    say "port 8080 is not ours here ($(cat server.err)): the network tools are skipped"
    return 0
  fi

  say "server answers every connection on port 8080 with one line of local time, from a thread of its own"
  show 'echo "what time is it?" | timeout 10 client 127.0.0.1 8080'

  say "SIGTERM stops the server only once one more client has come, and that client is still answered"
  show 'kill -TERM $server; sleep 0.5; kill -0 $server && echo "still serving"'
  show 'echo "last one" | timeout 10 client 127.0.0.1 8080'
  show 'timeout 10 tail --pid=$server -f /dev/null || kill -KILL $server; wait $server'

  say "client: no server on the port, and a wrong argument count"
  show 'echo hi | timeout 10 client 127.0.0.1 8080'
  show 'client 127.0.0.1'
)
network_tour
