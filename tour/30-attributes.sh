# File attribute and account tools: permswap, permswap2, seeksize, seeksize2,
# umask, erase, fdmodes and pwlookup.
say "permswap exchanges the group and other permissions; set-id and sticky bits are dropped"
printf 'plan for Monday\n' > plan.txt
chmod 4750 plan.txt
show 'stat -c "%a %n" plan.txt; permswap plan.txt; stat -c "%a %n" plan.txt'
show 'permswap no-such-file'
say "permswap2 does the same (a second exchange gives the nine bits back) and names the failing call"
show 'permswap2 plan.txt; stat -c "%a %n" plan.txt'
show 'ln -s no-such-file dangling; permswap2 dangling'

say "seeksize and seeksize2 print the offset a seek to the end returns: the apparent size"
truncate -s 3G sparse.img
show 'seeksize plan.txt; seeksize2 sparse.img; du -h sparse.img'
say "seeksize opens for writing too, which a directory refuses; seeksize2 has one message for all"
show 'seeksize .'
show 'seeksize2 no-such-file'

# uid 65534 cannot reach into the tour's own directory (mode 0700) nor,
# perhaps, into the build: it runs copies from a directory of its own.
readonly_tour() (
  shared=$(mktemp -d /tmp/tour-shared-XXXXXX)
  trap 'rm -rf "$shared"' EXIT
  chmod 755 "$shared"
  cp "$(command -v seeksize)" "$(command -v seeksize2)" "$shared"
  printf 'read, never written\n' > "$shared/readonly.txt"
  chmod 444 "$shared/readonly.txt"
  cd "$shared" || return
  say "as uid 65534, a file it may only read: seeksize's read-write open fails, seeksize2 measures it"
  show 'setpriv --reuid=65534 --regid=65534 --clear-groups ./seeksize readonly.txt'
  show 'setpriv --reuid=65534 --regid=65534 --clear-groups ./seeksize2 readonly.txt'
)
if [ "$(id -u)" -eq 0 ]; then
  readonly_tour
else
  say "seeksize on a file uid 65534 may only read needs root, to run as that user: skipped"
fi

say "umask creates a file with exactly the mode given, whatever the mask (env runs it: the shell's umask is a builtin)"
show '(umask 077; env umask shared.txt 666); stat -c "%a %n" shared.txt'
show 'env umask . 644'

say "erase removes a file name with -f and an empty directory with -d, and tells no reason"
mkdir -p old/logs
printf 'x\n' > old/logs/a.log
show 'erase -d old'
show 'erase -f old/logs/a.log; erase -d old/logs; erase -d old; test -e old || echo "old is gone"'

say "fdmodes writes to standard input only when it is open for writing (at its offset), and twice to 1.txt"
printf 'stara beleska\n' > note.txt
show 'fdmodes < /dev/null; cat 1.txt'
show 'fdmodes <> note.txt; cat note.txt'
show 'fdmodes <&-'

say "pwlookup prints six fields of an account of the password database"
show 'pwlookup root'
show 'pwlookup no-such-account'
rm -f plan.txt dangling sparse.img shared.txt note.txt 1.txt
