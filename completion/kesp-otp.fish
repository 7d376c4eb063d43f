# fish completion for kesp-otp: options, and the entry ids of the active
# database (__kesp_entry_ids).
complete -c kesp-otp -f -a '(__kesp_entry_ids)'
complete -c kesp-otp -l clip -d 'Copy the code instead of printing it'
complete -c kesp-otp -s h -l help -d 'Print the usage text'
