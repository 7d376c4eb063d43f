# fish completion for kesp-edit: options, and the entry ids of the active
# database (__kesp_entry_ids).
# fish reads functions only from its own folders: the helper comes from beside
# this file.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp-edit -f -a '(__kesp_entry_ids)'
complete -c kesp-edit -l title -x -d 'New title'
complete -c kesp-edit -l user -x -d 'New user name'
complete -c kesp-edit -l url -x -d 'New URL'
complete -c kesp-edit -l notes -x -d 'New notes, in place of the old'
complete -c kesp-edit -l add-note -x -d 'A line added below the notes'
complete -c kesp-edit -l password -d 'Ask the new password twice on the terminal'
complete -c kesp-edit -l generate -d 'A new generated password (length: 20)'
complete -c kesp-edit -s h -l help -d 'Print the usage text'
