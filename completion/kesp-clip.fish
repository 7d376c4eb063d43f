# fish completion for kesp-clip: options, and the entry ids of the active
# database (__kesp_entry_ids).
# fish reads functions only from its own folders: the helper comes from beside
# this file.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp-clip -f -a '(__kesp_entry_ids)'
complete -c kesp-clip -s t -l time -x -d 'Seconds before the clipboard is cleared, 0 for never'
complete -c kesp-clip -l otp -d 'Copy the current one-time code instead'
complete -c kesp-clip -s h -l help -d 'Print the usage text'
