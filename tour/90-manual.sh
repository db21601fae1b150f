# Every program has a manual page beside its source; here is one, read as text.
say "each program has a manual page beside its source (man -l FOLDER/PROGRAM.1), installed with it"
show 'mandoc -Tutf8 "$top/process/forkdemo.1" | col -b'

# Installed, the programs keep a directory of their own: put it on PATH.
say "installed (dpkg -i, or cmake --install --prefix PREFIX), the programs are in PREFIX/lib/sysdrills/bin, out of the shared /usr/bin, and the pages in section 1sysdrills"
printf '%s\n' '' \
  '  export PATH="/usr/lib/sysdrills/bin:$PATH"    # then: treeweight DIR, env umask FILE MODE' \
  "  man 1sysdrills umask                         # the suite's page, not the system call's"
