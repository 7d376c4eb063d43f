# fish completion for kesp-history: options, and the entry ids of the
# active database (__kesp_entry_ids).
# fish reads functions only from its own folders: the helper comes from beside
# this file.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp-history -f -a '(__kesp_entry_ids)'
complete -c kesp-history -l show-passwords -d 'Show the passwords of the versions printed'
complete -c kesp-history -l restore -x -d 'Bring version N of entry ID back (ID.N)'
complete -c kesp-history -l only -x -a 'title user url password notes' -d 'Restore these fields, keep the others'
complete -c kesp-history -l forget -x -a '(__kesp_entry_ids)' -d 'Forget the earlier versions of an entry'
complete -c kesp-history -l forget-all -d 'Forget every earlier version'
complete -c kesp-history -l undo-import -d 'Undo the latest import'
complete -c kesp-history -s h -l help -d 'Print the usage text'
