# fish completion for kesp-import: options, the formats, and the file to
# import.
complete -c kesp-import -l format -x -d 'The format of the file' \
    -a 'keepassxc-csv keepass-xml bitwarden-json bitwarden-csv chrome-csv firefox-csv lastpass-csv 1password-csv kesp-csv kesp-json'
complete -c kesp-import -l dry-run -d 'Show what would be imported'
complete -c kesp-import -l update -d 'Take the file\'s newer version of an entry'
complete -c kesp-import -s h -l help -d 'Print the usage text'
