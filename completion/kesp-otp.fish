# fish completion for kesp-otp: options, and the entry ids of the active
# database (__kesp_entry_ids).
# fish reads functions only from its own folders: the helper comes from beside
# this file.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp-otp -f -a '(__kesp_entry_ids)'
complete -c kesp-otp -l clip -d 'Copy the code instead of printing it'
complete -c kesp-otp -s h -l help -d 'Print the usage text'
