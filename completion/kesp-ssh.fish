# fish completion for kesp-ssh: the command, then entry ids of the active
# database (__kesp_entry_ids) or the key file to import.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp-ssh -f
complete -c kesp-ssh -n '__fish_is_first_arg' -a add -d 'Hand the keys of entries to the ssh-agent'
complete -c kesp-ssh -n '__fish_is_first_arg' -a remove -d 'Take the keys of entries out of the ssh-agent'
complete -c kesp-ssh -n '__fish_is_first_arg' -a list -d 'The entries holding a key'
complete -c kesp-ssh -n '__fish_is_first_arg' -a import -d 'Keep a key file as a new entry'
complete -c kesp-ssh -n '__fish_seen_subcommand_from add remove' -a '(__kesp_entry_ids)'
complete -c kesp-ssh -s c -l confirm -d 'add: the ssh-agent asks before each use'
complete -c kesp-ssh -s t -l lifetime -x -d 'add: how long the ssh-agent keeps the keys'
complete -c kesp-ssh -n '__fish_seen_subcommand_from import' -F
complete -c kesp-ssh -s T -l title -x -d "import: the new entry's title"
complete -c kesp-ssh -s h -l help -d 'Print the usage text'
