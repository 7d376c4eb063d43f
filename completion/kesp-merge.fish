# fish completion for kesp-merge: BASE OURS THEIRS [-o OUT], all files, and the
# options a caller such as kesp-sync gives.
complete -c kesp-merge -s o -l output -r -F -d 'Write the result to a new file'
complete -c kesp-merge -s h -l help -d 'Show the usage text'
complete -c kesp-merge -l password-fd -x -d 'Read the passwords from this descriptor'
complete -c kesp-merge -l lock-fd -x -d 'Work under the lock the caller holds on this descriptor'
complete -c kesp-merge -l moved-fd -x -d 'Write the ids given to the other copy'\''s entries to this descriptor'
complete -c kesp-merge -l name -x -d 'The name of OURS in messages'
