# Every program has a manual page beside its source; here is one, read as text.
say "each program has a manual page beside its source (man -l FOLDER/PROGRAM.1), installed with it"
show 'mandoc -Tutf8 "$top/process/forkdemo.1" | col -b'
