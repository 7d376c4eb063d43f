# fish completion for kesp-export: options, the formats, and the new file
# of -o.
complete -c kesp-export -f
complete -c kesp-export -l format -x -d 'The format to write' -a 'kesp-csv kesp-json bitwarden-json keepass-xml'
complete -c kesp-export -s o -l output -r -F -d 'A new file to write'
complete -c kesp-export -s h -l help -d 'Print the usage text'
complete -c kesp-export -l with-history -d 'Also the earlier versions of entries (kesp-json)'
