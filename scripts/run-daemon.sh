#!/usr/bin/env bash
# Sets up everything, starts a CUPS scheduler where none runs and no service
# manager would, builds, and runs the daemon in console mode.
# The build folder is the program folder: database.db, sumatrapdfcache/, the
# print program and test.html live beside the executable there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh

# The daemon lists and prints through CUPS. Where a service manager runs it
# owns the scheduler; in a container nothing starts one, so start it here.
cups_answers() { lpstat -r 2>/dev/null | grep -q "is running"; }
if ! cups_answers; then
  if [ -d /run/systemd/system ]; then
    echo "run-daemon: CUPS does not answer; start it with: systemctl start cups" >&2
  elif [ "$(id -u)" != 0 ]; then
    echo "run-daemon: CUPS does not answer; start it as root with: /usr/sbin/cupsd" >&2
  else
    mkdir -p /run/cups /var/spool/cups /var/cache/cups /var/log/cups
    # Without -f cupsd detaches and stays up.
    /usr/sbin/cupsd
    for _ in $(seq 1 100); do cups_answers && break; sleep 0.1; done
    if cups_answers; then
      echo "run-daemon: started the CUPS scheduler"
    else
      echo "run-daemon: cupsd did not come up; see /var/log/cups/error_log" >&2
    fi
  fi
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build tillerbrook
exec build/tillerbrook /debug
