# fish completion for kesp-gen: options, and the entry ids of the active
# database for --set (__kesp_entry_ids).
# fish reads functions only from its own folders: the helper comes from beside
# this file.
functions -q __kesp_entry_ids; or source (status dirname)/__kesp_entry_ids.fish
complete -c kesp-gen -f
complete -c kesp-gen -l words -x -d 'A passphrase of this many words'
complete -c kesp-gen -l separator -x -d 'Text between the words (-)'
complete -c kesp-gen -l capitalize -d 'First letter of every word in upper case'
complete -c kesp-gen -l length -x -d 'A password of this many characters (20)'
complete -c kesp-gen -l set -x -a '(__kesp_entry_ids)' -d 'Make it the password of this entry'
complete -c kesp-gen -l clip -d 'Copy it instead of printing it'
complete -c kesp-gen -l show -d 'Print it also with --set or --clip'
complete -c kesp-gen -s h -l help -d 'Print the usage text'
