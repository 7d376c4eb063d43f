# fish completion for kesp-merge: BASE OURS THEIRS [-o OUT], all files.
complete -c kesp-merge -s o -l output -r -F -d 'Write the result to a new file'
complete -c kesp-merge -s h -l help -d 'Show the usage text'
