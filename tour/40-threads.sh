# Thread tools: charcount and charcount2.
say "charcount and charcount2 count the bytes of each file in a thread of its own, then the total"
printf 'zdravo\r\n' > crlf.txt
printf 'čaša\n' > utf8.txt
head -c 100000 /dev/zero > zeros.bin
: > empty.txt
show 'charcount crlf.txt utf8.txt zeros.bin empty.txt'
show 'charcount2 crlf.txt utf8.txt zeros.bin empty.txt'
say "the same file twice is counted twice"
show 'charcount crlf.txt crlf.txt'
say "a missing file or a directory ends the whole count: no total"
show 'charcount crlf.txt missing.txt'
show 'charcount2 crlf.txt .'
