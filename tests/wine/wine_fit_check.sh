#!/usr/bin/env bash
# PDF fitting of the Windows build under Wine, with the pdfium.dll the build
# makes beside Tillerbrook.exe and the CUPS label queue tb-label (4 x 6 in,
# 300 dpi; scripts/cups-test-env.sh), whose metrics come from winspool and GDI:
#   - the start-up line says the library loaded;
#   - a square base64 PDF is printed from a fitted copy under sumatrapdfcache
#     whose page has the queue's 2:3 shape, its content stretched with it
#     (read back with qpdf and pdftoppm on this side);
#   - the second print of the same document reuses that copy;
#   - a document that is not a PDF gives the load warning and its original is
#     printed.
# A stand-in print program (print-standins/) records what it was given.
# Usage: wine_fit_check.sh <Tillerbrook.exe> <wine-prefix-folder>
# Exit codes: 0 passed, 1 failed, 77 skipped (no Windows build, Wine, MinGW or queue).
set -uo pipefail

EXE=${1:?usage: wine_fit_check.sh <Tillerbrook.exe> <wine-prefix>}
PREFIX=${2:?usage: wine_fit_check.sh <Tillerbrook.exe> <wine-prefix>}
HERE=$(cd "$(dirname "$0")" && pwd)
DLL=$(dirname "$EXE")/pdfium.dll
PORT=3806
QUEUE=tb-label
SKIP=77

[ -f "$EXE" ] || { echo "SKIP: no Windows build at $EXE (run scripts/build-windows.sh)"; exit $SKIP; }
# The build script always makes both; an executable alone is a broken build.
[ -f "$DLL" ] || { echo "FAIL: no pdfium.dll beside $EXE"; exit 1; }
# shellcheck source=wine_env.sh
. "$HERE/wine_env.sh"
require_mingw
require_wine
require_queue "$QUEUE"
require_tools curl iconv timeout python3 base64 md5sum qpdf pdftoppm
use_wine_prefix "$PREFIX"

WORK=""
log() { echo "[wine-fit] $*"; }
trap cleanup_work EXIT
trap 'exit 1' INT TERM
# Everything the daemon logged so far, both streams.
daemon_log() { utf16 "$WORK/debug-out.txt"; tr -d '\r' <"$WORK/debug-err.txt"; }
# The Windows path Z:\a\b as seen from here.
unix_path() { printf '%s' "$1" | sed 's#^[Zz]:##; s#\\#/#g'; }
last_printed() { tail -n1 "$WORK/print-args.txt" 2>/dev/null | tr -d '\r'; }

print_file() {  # <file> <tracking number>: the reply body
  printf '{"LabelContent": "%s", "PrinterName": "%s", "AutoScalePdfToPrinter": true, "RequestTrackingNumber": %s}' \
    "$(base64 -w0 <"$1")" "$QUEUE" "$2" |
    curl -s -m 120 -H 'Content-Type: application/json' --data-binary @- "http://127.0.0.1:$PORT/print"
}
expect_success() {  # <name> <reply> <file>
  local md5
  md5=$(md5sum <"$3" | cut -d' ' -f1)
  if python3 -c 'import json,sys; sys.exit(0 if json.loads(sys.argv[1]) == {"status": "success", "md5sum": sys.argv[2]} else 1)' "$2" "$md5" 2>/dev/null; then
    log "$1: success"
  else
    fail "$1: expected success with md5 $md5, got '$2'"
  fi
}

# ---------------------------------------------------------------------------
prepare_wine_prefix 900
require_port_free

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tb-wine-fit.XXXXXX")
cp "$EXE" "$WORK/Tillerbrook.exe"
cp "$DLL" "$WORK/pdfium.dll"
"$CXX" -O1 -static -o "$WORK/SumatraPDF.exe" "$HERE/print-standins/print_program.cpp" 2>"$WORK/cxx.err" ||
  { echo "FAIL: cannot build the stand-in print program: $(cat "$WORK/cxx.err")"; exit 1; }
printf 'exit 0' >"$WORK/print-mode.txt"

# A 4 x 4 in page (square) with one filled rectangle.
python3 - "$WORK/square.pdf" <<'PY'
import sys
content = b"0 g 0 0 288 144 re f\n"
objects = [
    b"<< /Type /Catalog /Pages 2 0 R >>",
    b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 288 288] /Contents 4 0 R >>",
    b"<< /Length %d >>\nstream\n" % len(content) + content + b"endstream",
]
out = bytearray(b"%PDF-1.4\n")
offsets = []
for number, body in enumerate(objects, 1):
    offsets.append(len(out))
    out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
open(sys.argv[1], "wb").write(out)
PY
printf 'a label, but not a PDF\n' >"$WORK/not-a-pdf.txt"

(cd "$WORK" && exec timeout 600 "$WINE" Tillerbrook.exe /debug >debug-out.txt 2>debug-err.txt) &
daemon_pid=$!
if ! wait_answer 90 "$daemon_pid"; then
  echo "FAIL: the /debug run did not answer on port $PORT: $(daemon_log | tail -n 20)"
  exit 1
fi

# --- the library is loaded at start-up ------------------------------------------
if daemon_log | grep -qxF '[PDFium] DLL loaded once for process lifetime.'; then
  log "start-up: pdfium.dll loaded"
else
  fail "no '[PDFium] DLL loaded once for process lifetime.' line: $(daemon_log | grep -F '[PDFium]')"
fi

# --- a square PDF is fitted to the 4 x 6 label ------------------------------------
expect_success "square PDF" "$(print_file "$WORK/square.pdf" 1)" "$WORK/square.pdf"
adjusted=$(daemon_log | sed -n 's/^\[PdfFit\] adjusted PDF: //p' | tail -n1)
fitted=$(unix_path "$adjusted")
if [ -z "$adjusted" ]; then
  fail "no '[PdfFit] adjusted PDF' line: $(daemon_log | grep -F '[PdfFit]')"
elif [ "$(dirname "$fitted")" != "$WORK/sumatrapdfcache" ] || [ ! -f "$fitted" ]; then
  fail "the fitted copy $adjusted is not a file under sumatrapdfcache"
else
  log "fitted copy: $adjusted"
  case "$(last_printed)" in
    *"\"$adjusted\"") log "the print program was given the fitted copy" ;;
    *) fail "the print program was given: $(last_printed)" ;;
  esac
  qpdf --check "$fitted" >/dev/null 2>&1 || fail "qpdf --check rejects the fitted copy"
  # The queue's printable area is 1200 x 1800 dots: the page becomes 2:3 and
  # keeps its 4 in width.
  if shape=$(qpdf --json=2 --json-key=pages --json-key=qpdf "$fitted" | python3 -c '
import json, sys
doc = json.load(sys.stdin)
objects = doc["qpdf"][1]
pages = doc["pages"]
assert len(pages) == 1, "pages: %d" % len(pages)
page = objects["obj:" + pages[0]["object"]]["value"]
boxes = {}
for key in ("/MediaBox", "/CropBox"):
    box = page.get(key)
    if isinstance(box, str):  # an indirect array
        box = objects["obj:" + box]["value"]
    assert box is not None, "no " + key
    boxes[key] = [float(v) for v in box]
crop = boxes["/CropBox"]
w, h = crop[2] - crop[0], crop[3] - crop[1]
assert abs(w / h - 2 / 3) < 0.001, "CropBox %s is not 2:3" % crop
assert abs(w - 288) < 0.01, "CropBox %s lost the page width" % crop
media = boxes["/MediaBox"]
assert abs((media[2] - media[0]) / (media[3] - media[1]) - 2 / 3) < 0.001, "MediaBox %s" % media
print("CropBox %s MediaBox %s" % (crop, media))
' 2>&1); then
    log "fitted page: $shape"
  else
    fail "fitted page: $shape"
  fi

  # Its content is stretched with the page: the rectangle that filled the
  # lower half still does, and only that.
  if shade=$(pdftoppm -r 18 -gray "$fitted" | python3 -c '
import sys
data = sys.stdin.buffer.read()
fields = data.split(maxsplit=4)
assert fields[0] == b"P5", "not a PGM image"
w, h = int(fields[1]), int(fields[2])
pixels = fields[4][-w * h:]
rows = [pixels[y * w:(y + 1) * w] for y in range(h)]
def dark(row):
    return sum(1 for p in row if p < 128) / w
upper = [dark(r) for r in rows[: h // 2 - 2]]
lower = [dark(r) for r in rows[h // 2 + 2:]]
assert h * 2 == w * 3, "image %dx%d is not 2:3" % (w, h)
assert max(upper) < 0.05, "the upper half is not blank"
assert min(lower) > 0.95, "the lower half is not filled"
print("%dx%d px, lower half filled, upper half blank" % (w, h))
' 2>&1); then
    log "fitted page renders: $shade"
  else
    fail "fitted page rendering: $shade"
  fi
fi

# --- the same document again reuses the copy -------------------------------------
expect_success "square PDF again" "$(print_file "$WORK/square.pdf" 2)" "$WORK/square.pdf"
if [ -n "$adjusted" ]; then
  if daemon_log | grep -qxF "[PdfFit] reuse cache: $adjusted"; then
    log "second print reused the copy"
  else
    fail "no '[PdfFit] reuse cache: $adjusted' line: $(daemon_log | grep -F '[PdfFit]' | tail -n 3)"
  fi
  case "$(last_printed)" in
    *"\"$adjusted\"") ;;
    *) fail "the second print was given: $(last_printed)" ;;
  esac
  [ "$(daemon_log | grep -c '^\[PdfFit\] adjusted PDF: ')" = 1 ] || fail "the document was fitted twice"
fi

# --- a document that is not a PDF prints as it came --------------------------------
expect_success "not a PDF" "$(print_file "$WORK/not-a-pdf.txt" 3)" "$WORK/not-a-pdf.txt"
warning='[PdfFit] WARNING: FPDF_LoadDocument failed, PDFium error=3. Printing original PDF.'
if daemon_log | grep -qxF "$warning"; then log "load warning: $warning"; else
  fail "no load warning: $(daemon_log | grep -F '[PdfFit]' | tail -n 3)"
fi
original="$(printf '%s' "Z:$WORK" | sed 's#/#\\#g')\\sumatrapdfcache\\$(base64 -w0 <"$WORK/not-a-pdf.txt" | tr -d '\n' | md5sum | cut -d' ' -f1).pdf"
case "$(last_printed)" in
  *"\"$original\"") log "the original was printed" ;;
  *) fail "expected the original $original to be printed, got: $(last_printed)" ;;
esac
ls "$WORK/sumatrapdfcache" | grep -q '\.tmp$' && fail "a temporary file was left in sumatrapdfcache"

stop_wine
wait "$daemon_pid" 2>/dev/null
if [ "$failures" -gt 0 ]; then
  echo "wine fit check: $failures failure(s)"
  exit 1
fi
echo "wine fit check: all passed"
