# fish completion for kesp. Every option takes its argument in the next
# word; entry ids are offered from the active database (__kesp_entry_ids),
# paths after -i, -D and -u, nothing after a length, a count or a search.
# fish reads functions only from its own folders: the helper comes from beside
# this file.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp -f
complete -c kesp -s i -l init -r -F -d 'Create a database and make it active'
complete -c kesp -s E -l encrypt -d 'Encrypt the active database'
complete -c kesp -s D -l decrypt -r -F -d 'Decrypt a database and make it active'
complete -c kesp -s u -l use-db -r -F -d 'Encrypt the active database, use this one'
complete -c kesp -s p -l show-db-path -d 'Print the path of the active database'
complete -c kesp -s a -l add -d 'Add an entry'
complete -c kesp -s e -l edit -x -a '(__kesp_entry_ids)' -d 'Edit an entry'
complete -c kesp -s c -l copy -x -a '(__kesp_entry_ids)' -d 'Add a copy of an entry'
complete -c kesp -s r -l remove -x -a '(__kesp_entry_ids)' -d 'Remove an entry'
complete -c kesp -s l -l list-entry -x -a '(__kesp_entry_ids)' -d 'Print one entry'
complete -c kesp -s A -l list-all -d 'Print every entry'
complete -c kesp -s t -l show-latest -x -d 'Print the newest entries (count)'
complete -c kesp -s f -l find -x -d 'Entries that contain a text'
complete -c kesp -s q -l quick -x -d 'Find, with passwords shown'
complete -c kesp -s F -l regex -x -d 'Entries that match a regular expression'
complete -c kesp -s g -l gen-password -x -d 'Print a random password (length)'
complete -c kesp -s h -l help -d 'Print the usage text'
complete -c kesp -s v -l version -d 'Print the version'
complete -c kesp -l auto-encrypt -d 'Encrypt after each later command'
complete -c kesp -l show-passwords -d 'Show passwords in later listings'
complete -c kesp -l show-qrcode -d 'Print a later -l as a QR code'
complete -c kesp -l force -d 'Let a later -i replace a file'
