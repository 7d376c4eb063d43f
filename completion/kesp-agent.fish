# fish completion for kesp-agent: unlock [DB] [--idle D] [--max D], lock, status.
complete -c kesp-agent -f
complete -c kesp-agent -n __fish_use_subcommand -a unlock -d 'Unlock a database once, in RAM only'
complete -c kesp-agent -n __fish_use_subcommand -a lock -d 'Write, wipe the copy and end the agent'
complete -c kesp-agent -n __fish_use_subcommand -a status -d 'What is unlocked and for how long'
complete -c kesp-agent -n '__fish_seen_subcommand_from unlock' -F
complete -c kesp-agent -l idle -x -a '30s 5m 10m 30m 1h' -d 'Lock after this long without use'
complete -c kesp-agent -l max -x -a '1h 2h 4h' -d 'Lock after this long in any case'
complete -c kesp-agent -s h -l help -d 'Show the usage text'
