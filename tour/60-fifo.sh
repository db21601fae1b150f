# FIFO tools: numbersend writes numbers into a FIFO, numberrecv prints them,
# endprobe tells who holds its ends.

# In a subshell of its own, whose exit (however it comes) kills whatever it left running.
fifo_tour() (
  trap 'kill -KILL $(jobs -p) 2>/dev/null || true' EXIT
  # until_true 'TEST': waits for the shell test to hold, at most 10 seconds.
  until_true() { timeout 10 sh -c "until $1; do sleep 0.05; done" || true; }

  # The second answer waits for the file `go`: until then both run, and the probe can look.
  { echo yes; until_true '[ -e go ]'; echo no; } |
    (timeout 10 numbersend numbers.fifo; echo "[numbersend: exit status $?]") > sent.out 2>&1 &
  until_true '[ -p numbers.fifo ]'
  (timeout 10 numberrecv numbers.fifo; echo "[numberrecv: exit status $?]") > received.out 2>&1 &
  until_true '[ "$(grep -c "^Send" sent.out)" -ge 2 ]'
  say "numbersend and numberrecv running, the sender waiting at its prompt: endprobe sees a reader and a writer"
  show 'endprobe -r numbers.fifo'
  show 'endprobe -w numbers.fifo'
  touch go
  until_true 'grep -q "^\[numbersend" sent.out && grep -q "^\[numberrecv" received.out'
  say "after \"no\": each number went as one 4-byte write through the FIFO, and numberrecv printed them in order"
  show 'cat sent.out'
  show 'cat received.out'
  say "the sender removed the FIFO at the end"
  show 'endprobe -w numbers.fifo'

  say "a FIFO that nobody holds; then one that the shell holds at both ends with bytes waiting, which the probe leaves for the reader"
  mkfifo probe.fifo
  show 'endprobe -r probe.fifo; endprobe -w probe.fifo'
  exec 3<> probe.fifo
  printf 'abcd' >&3
  show 'endprobe -w probe.fifo'
  show 'dd bs=4 count=1 <&3 2>/dev/null; echo'
  exec 3<&-

  say "numberrecv waits in its open for a writer; the probe's own open counts as one and releases it: no writer left, nothing printed"
  numberrecv probe.fifo > waiting.out 2>&1 &
  waiting=$!
  until_true "grep -qx wait_for_partner /proc/$waiting/wchan 2>/dev/null"
  show 'endprobe -r probe.fifo'
  show 'timeout 10 tail --pid=$waiting -f /dev/null && wait $waiting; echo "numberrecv: exit status $?, output: [$(cat waiting.out)]"'

  say "numbersend refuses a name that is not a FIFO, and leaves the file as it was"
  printf 'keep me\n' > notes.txt
  show 'echo no | numbersend notes.txt'
  show 'cat notes.txt'
  rm -f probe.fifo numbers.fifo go sent.out received.out waiting.out notes.txt
)
fifo_tour
