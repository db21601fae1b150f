# Shared-memory messaging: shmtalk and shmtalk2 write, shmlisten reads.
block=/tour-words-$$

# talk WRITER 'WORDS': the writer reads the words from a file in the background;
# the reader starts once the first prompt is out, when the block is set up.
# Every wait is bounded, so a lost word cannot hang the tour.
talk() {
  printf '%s\n' "$2" > words.txt
  (timeout 10 "$1" "$block" < words.txt; echo "[$1: exit status $?]") > talk.out 2>&1 &
  local writer=$!
  timeout 10 sh -c 'until [ -s talk.out ]; do sleep 0.05; done' || true
  show "timeout 10 shmlisten $block"
  wait "$writer" || true
  show 'cat talk.out'
}

say "shmtalk hands the words it reads, one at a time, to shmlisten through shared memory"
talk shmtalk 'dobar dan
svete Quit'
say "shmtalk2 has room for longer words; several on a line go one by one, and any case of quit ends both"
talk shmtalk2 'jedan dva tri QUIT'
say "the writer removed the name: a reader alone creates an empty object and fails"
show "timeout 10 shmlisten $block"
show "stat -c '%A %s bytes' /dev/shm$block"
rm -f "/dev/shm$block" words.txt talk.out
