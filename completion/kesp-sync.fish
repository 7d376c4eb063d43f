# fish completion for kesp-sync: init DB [REMOTE], or [DB].
complete -c kesp-sync -n __fish_use_subcommand -a init -d 'Set up a database and its repository'
complete -c kesp-sync -s h -l help -d 'Show the usage text'
