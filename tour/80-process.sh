# Process demonstration: forkdemo.
say "forkdemo forks once; parent and child each change and print their own copies of x and y (arguments are ignored)"
show 'forkdemo one two'
say "to a pipe each process writes its lines as it exits, and the child exits first"
show 'forkdemo | cat'
say "with SIGCHLD ignored the system reaps the child itself: the wait fails after the parent's first line"
show 'env --ignore-signal=CHLD forkdemo'
