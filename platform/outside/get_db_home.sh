#!/bin/sh
# Stand-in for the maker's script that tells the database environment of the
# host: prints what the host's answer file holds, "0" without one.
printf '%s %s get_db_home.sh\n' "$(date +%s.%3N)" "$$" >> /var/log/zelcdpagt-calls.log
if [ -f /etc/zelcdpagt/db_home.answer ]; then
  cat /etc/zelcdpagt/db_home.answer
else
  echo 0
fi
