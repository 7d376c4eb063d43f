# fish completion for kesp-ls: its options; the word it looks for is the
# person's own.
complete -c kesp-ls -f
complete -c kesp-ls -l json -d 'Print a JSON array instead of lines'
complete -c kesp-ls -s h -l help -d 'Print the usage text'
