# File relocation tools: relocate, relocate2 and resuffix.
say "relocate moves a file by copying it; the copy takes the old file's mode"
printf 'first draft\n' > draft.txt
chmod 640 draft.txt
show 'relocate draft.txt final.txt'
show 'stat -c "%A %n" final.txt; cat final.txt'
say "resuffix changes the last suffix of a name"
show 'resuffix final.txt md'
show 'ls final.*'
say "another spelling of the same file is refused, and the file stays whole"
show 'relocate final.md ./final.md'
show 'ln final.md hardlink.md; relocate2 final.md hardlink.md'
show 'cat final.md'
