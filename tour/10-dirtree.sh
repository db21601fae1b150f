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
