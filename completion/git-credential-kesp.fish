# fish completion for git-credential-kesp: the action git gives it.
complete -c git-credential-kesp -f
complete -c git-credential-kesp -n '__fish_is_first_arg' -a get -d 'Print the matching user and password'
complete -c git-credential-kesp -n '__fish_is_first_arg' -a store -d 'Keep what git used'
complete -c git-credential-kesp -n '__fish_is_first_arg' -a erase -d 'Forget what the server refused'
complete -c git-credential-kesp -s h -l help -d 'Print the usage text'
