# fish completion for kesp-audit: options, the Pwned Passwords list, and
# the entry ids of the active database (__kesp_entry_ids).
# fish reads functions only from its own folders: the helper comes from beside
# this file.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp-audit -f -a '(__kesp_entry_ids)'
complete -c kesp-audit -l hibp -r -F -d 'Pwned Passwords list: the sorted file or the range folder'
complete -c kesp-audit -l older-than -x -d 'Days after which an entry is old (365)'
complete -c kesp-audit -l json -d 'One JSON object a line for each finding'
complete -c kesp-audit -s h -l help -d 'Print the usage text'
