# fish completion for kesp-browser: install or uninstall its manifest.
complete -c kesp-browser -f
complete -c kesp-browser -n '__fish_is_first_arg' -a install -d 'Write the browser host manifest'
complete -c kesp-browser -n '__fish_is_first_arg' -a uninstall -d 'Remove the manifest install wrote'
complete -c kesp-browser -l firefox -d 'Only the manifest of Firefox'
complete -c kesp-browser -l chromium -d 'Only the manifest of Chromium'
complete -c kesp-browser -s h -l help -d 'Print the usage text'
