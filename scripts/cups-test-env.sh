#!/usr/bin/env bash
# Brings up a real CUPS for the test suites (run as root; safe to run again):
#   - starts cupsd when no scheduler answers (no service manager needed),
#   - tb-pdf     cups-pdf queue; its PDFs land in $TB_CUPS_PDF_OUT,
#   - tb-label   ZPL label queue (4x6 in, 300 dpi) sending raw data to
#                socket://127.0.0.1:9100, where a test may listen,
#   - tb-label2  a second label queue of the same kind on port 9101,
#   - the user tbuser (home folder included) for per-user printer settings.
# All queues are enabled and accept jobs. Prints the queue names it made and
# the PDF output folder.
set -euo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "cups-test-env.sh must run as root" >&2
  exit 1
fi

TB_CUPS_PDF_OUT=/var/spool/cups-pdf/tillerbrook
SOCKET=/run/cups/cups.sock

scheduler_up() {
  [ -S "$SOCKET" ] && lpstat -r 2>/dev/null | grep -q "is running"
}

if ! scheduler_up; then
  mkdir -p /run/cups /var/spool/cups /var/cache/cups /var/log/cups
  if ! pgrep -x cupsd >/dev/null; then
    # Without -f cupsd detaches on its own and stays up (no idle exit).
    /usr/sbin/cupsd
  fi
  for _ in $(seq 1 100); do
    scheduler_up && break
    sleep 0.1
  done
  if ! scheduler_up; then
    echo "cupsd did not come up; see /var/log/cups/error_log" >&2
    exit 1
  fi
fi

# One fixed output folder for every submitting user, so tests know where to look.
PDF_CONF=/etc/cups/cups-pdf.conf
mkdir -p "$TB_CUPS_PDF_OUT"
chmod 1777 "$TB_CUPS_PDF_OUT"
if [ -f "$PDF_CONF" ]; then
  if grep -q '^Out ' "$PDF_CONF"; then
    sed -i "s|^Out .*|Out $TB_CUPS_PDF_OUT|" "$PDF_CONF"
  else
    echo "Out $TB_CUPS_PDF_OUT" >>"$PDF_CONF"
  fi
  if grep -q '^AnonDirName ' "$PDF_CONF"; then
    sed -i "s|^AnonDirName .*|AnonDirName $TB_CUPS_PDF_OUT|" "$PDF_CONF"
  else
    echo "AnonDirName $TB_CUPS_PDF_OUT" >>"$PDF_CONF"
  fi
fi

PDF_PPD=/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd
[ -f "$PDF_PPD" ] || PDF_PPD=/usr/share/ppd/cups-pdf/CUPS-PDF_noopt.ppd

made=()

# lpadmin warns on every PPD-driven queue that drivers are deprecated; keep the
# rest of its output.
admin() {
  local out
  if ! out=$(lpadmin "$@" 2>&1); then
    echo "$out" >&2
    exit 1
  fi
  if [ -n "$out" ]; then grep -v "drivers are deprecated" <<<"$out" >&2 || true; fi
}

# A queue is (re)configured every time; an existing one keeps its jobs.
# abort-job: an unreachable label port must not leave the queue stopped for the
# next test; contimeout bounds how long a job waits for someone to listen.
admin -p tb-pdf -E -v cups-pdf:/ -P "$PDF_PPD" -o printer-error-policy=abort-job
made+=(tb-pdf)

label_queue() {
  local name=$1 port=$2
  admin -p "$name" -E -v "socket://127.0.0.1:${port}/?contimeout=30" \
    -m drv:///sample.drv/zebra.ppd \
    -o PageSize=w288h432 -o Resolution=300dpi \
    -o printer-error-policy=abort-job
  made+=("$name")
}
label_queue tb-label 9100
label_queue tb-label2 9101

for q in "${made[@]}"; do
  cupsenable "$q"
  cupsaccept "$q"
done

# A plain user with a home folder, for tests that need someone's own printer
# settings (~/.cups/lpoptions) apart from root's.
TB_TEST_USER=tbuser
if ! id -u "$TB_TEST_USER" >/dev/null 2>&1; then
  useradd --create-home --shell /bin/bash "$TB_TEST_USER"
fi

for q in "${made[@]}"; do echo "$q"; done
echo "TB_CUPS_PDF_OUT=$TB_CUPS_PDF_OUT"
echo "TB_TEST_USER=$TB_TEST_USER"
