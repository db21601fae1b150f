# Directory-tree tools: treeweight1 and treeweight.
say "treeweight1 and treeweight add up the sizes of a tree ('.' and '..' included)"
mkdir -p tree/sub
printf 'hello\n' > tree/a.txt
printf '0123456789' > tree/sub/b.bin
ln -s a.txt tree/link
show 'treeweight1 tree'
show 'treeweight tree/'
say "a path that is not a directory is refused"
show 'treeweight tree/a.txt'
say "findsuffix lists the files whose text after the last '.' is the suffix given (links followed)"
printf 'old notes\n' > tree/sub/old.txt
touch -d '10 days ago' tree/sub/old.txt
ln -s sub/old.txt tree/notes.txt
show 'findsuffix tree txt'
say "findrecent and findrecent2 list the files modified less than seven days ago (a link by its target)"
show 'ls -l --time-style=+%F tree/sub/old.txt'
show 'findrecent tree'
say "a directory that does not exist is refused"
show 'findrecent2 tree/missing'
