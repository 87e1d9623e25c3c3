#!/usr/bin/env python3
"""The status page and the print test page in a real browser (headless Chromium)
against the running daemon and a real CUPS:

  - the status page lists every printer in a numbered row with its status, marks
    the default printer, links the others with their names percent-encoded (a
    Chinese queue name included), and shows a name with markup as text; following
    a link makes that printer the default, and its raw printing link switches raw
    printing on for that printer;
  - test.html, opened from another origin, fills its printer list from the daemon
    and its print button reaches /print through the CORS preflight and shows the
    answer.

Usage: pages_check.py <folder with the built daemon>
Exit codes: 0 passed, 1 failed, 77 skipped (no browser, no CUPS, not root).
"""

import functools
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp_browser import Browser, BrowserError, find_chromium  # noqa: E402

PORT = 3806
DAEMON = "http://127.0.0.1:%d" % PORT
SKIP = 77
# CUPS takes any printable character but whitespace, "/", "\\", "?", "#" and
# quotes in a queue name, so no script can be carried in one; a tag can.
CHINESE_QUEUE = "标签打印机-浏览器"
MARKUP_QUEUE = "<i>tb-page-mark"
PROGRAM_FILES = ("tillerbrook", "tillerbrook-print", "libpdfium.so", "test.html")

failures = []


def fail(text):
    print("FAIL: " + text, flush=True)
    failures.append(text)


def log(text):
    print("[pages-check] " + text, flush=True)


def check(condition, text):
    if not condition:
        fail(text)
    return condition


def http_get(path, timeout=30):
    with urllib.request.urlopen(DAEMON + path, timeout=timeout) as reply:
        return reply.read().decode("utf-8")


def port_open(port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


def lpadmin(*args):
    done = subprocess.run(["lpadmin", *args], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise RuntimeError("lpadmin %s: %s" % (" ".join(args), done.stderr.strip()))


def add_queue(name):
    # A label queue whose device never answers: jobs are accepted and then
    # dropped after a short connect time-out, nothing reaches a real printer.
    lpadmin("-p", name, "-E", "-v", "socket://127.0.0.1:9/?contimeout=5",
            "-m", "drv:///sample.drv/zebra.ppd", "-o", "printer-error-policy=abort-job")


def remove_queue(name):
    subprocess.run(["lpadmin", "-x", name], capture_output=True, timeout=60)


def start_daemon(build, folder):
    for name in PROGRAM_FILES:
        shutil.copy2(os.path.join(build, name), os.path.join(folder, name))
    daemon = subprocess.Popen([os.path.join(folder, "tillerbrook"), "/debug"], cwd=folder,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if daemon.poll() is not None:
            raise RuntimeError("the daemon ended with %d" % daemon.returncode)
        try:
            http_get("/version", timeout=2)
            return daemon
        except OSError:
            time.sleep(0.2)
    daemon.kill()
    raise RuntimeError("the daemon did not answer on port %d" % PORT)


def serve_folder(folder, address="127.0.0.1"):
    """Serves a folder on a free local port: another origin for a page."""
    class QuietHandler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(QuietHandler, directory=folder)
    server = http.server.ThreadingHTTPServer((address, 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


STATUS_ROWS_JS = """
Array.from(document.querySelectorAll('tbody tr')).map(function (tr) {
  var cells = tr.querySelectorAll('td');
  var link = tr.querySelector('a');
  return {
    cells: Array.from(cells).map(function (td) { return td.textContent; }),
    elementsInName: cells.length > 1 ? cells[1].children.length : -1,
    href: link ? link.getAttribute('href') : null
  };
})
"""


def percent_encode(name):
    return urllib.parse.quote(name, safe="-._~")


def check_status_page(browser, printers, default_name):
    """Checks every row against the daemon's printer list; returns the rows."""
    browser.navigate(DAEMON + "/")
    rows = browser.evaluate(STATUS_ROWS_JS)
    check(len(rows) == len(printers),
          "status page has %d rows for %d printers" % (len(rows), len(printers)))
    for number, (row, printer) in enumerate(zip(rows, printers), start=1):
        cells = row["cells"]
        if not check(len(cells) == 5, "row %d has %d cells: %r" % (number, len(cells), cells)):
            continue
        name = printer["name"]
        check(cells[0] == str(number), "row %d is numbered %r" % (number, cells[0]))
        check(cells[1] == name, "row %d shows the name %r, not %r" % (number, cells[1], name))
        check(row["elementsInName"] == 0, "row %d: the name %r became markup" % (number, name))
        check(cells[2] == printer["status"], "row %d: status %r, list says %r"
              % (number, cells[2], printer["status"]))
        if name == default_name:
            check(cells[3] == "\u2714" and cells[4] == "当前默认" and row["href"] is None,
                  "the default printer %r is not marked: %r" % (name, cells))
        else:
            expected = "/default?printerName=" + percent_encode(name)
            check(cells[3] == "-" and cells[4] == "设为默认" and row["href"] == expected,
                  "row of %r: %r with link %r, expected %r" % (name, cells, row["href"], expected))
    page_has_markup = browser.evaluate(
        "document.querySelectorAll('tbody i, tbody script, tbody img').length")
    check(page_has_markup == 0, "a printer name added %s elements to the table" % page_has_markup)
    return rows


def status_page_checks(browser):
    printers = json.loads(http_get("/printers"))
    names = [p["name"] for p in printers]
    for queue in (CHINESE_QUEUE, MARKUP_QUEUE):
        check(queue in names, "the daemon does not list the queue %r: %r" % (queue, names))
    defaults = [p["name"] for p in printers if p.get("default")]
    check_status_page(browser, printers, defaults[0] if defaults else None)
    log("status page: %d rows match /printers; names shown as text" % len(printers))

    # Following the Chinese queue's link (the browser sends the encoded name,
    # the daemon answers 303 to the status page) makes it the default.
    if CHINESE_QUEUE in names and defaults != [CHINESE_QUEUE]:
        clicked = browser.evaluate("""
          (function () {
            var rows = document.querySelectorAll('tbody tr');
            for (var i = 0; i < rows.length; i++) {
              var cells = rows[i].querySelectorAll('td');
              if (cells.length > 1 && cells[1].textContent === %s) {
                var link = rows[i].querySelector('a');
                if (link) { link.click(); return true; }
              }
            }
            return false;
          })()""" % json.dumps(CHINESE_QUEUE))
        check(clicked, "no link to click for %r" % CHINESE_QUEUE)
        browser.wait_event("Page.loadEventFired")
        location = browser.evaluate("location.pathname")
        check(location == "/", "the link did not lead back to the status page: %r" % location)
        printers = json.loads(http_get("/printers"))
        defaults = [p["name"] for p in printers if p.get("default")]
        check(defaults == [CHINESE_QUEUE], "after the click the default is %r" % defaults)
        check_status_page(browser, printers, CHINESE_QUEUE)
        log("status page: the link made %r the default and the mark moved" % CHINESE_QUEUE)
    return printers


RAW_SWITCH_JS = """
(function () {
  var row = Array.from(document.querySelectorAll('.raw-printer')).find(function (r) {
    return r.querySelector('.raw-name').textContent === %s; });
  if (!row) return null;
  if (%s) row.querySelector('a').click();
  return [row.querySelector('.raw-state').textContent, row.querySelector('a').getAttribute('href')];
})()"""


def raw_switch_checks(browser):
    """The raw printing switch of one queue: shown off, its link turns it on."""
    browser.navigate(DAEMON + "/")
    name = json.dumps(CHINESE_QUEUE)
    link = "/raw?printerName=%s&allow=" % percent_encode(CHINESE_QUEUE)
    before = browser.evaluate(RAW_SWITCH_JS % (name, "true"))
    if check(before == ["off", link + "1"], "raw switch of %r before: %r" % (CHINESE_QUEUE, before)):
        browser.wait_event("Page.loadEventFired")
        after = browser.evaluate(RAW_SWITCH_JS % (name, "false"))
        check(after == ["on", link + "0"], "raw switch after the click: %r" % after)
        rows = json.loads(http_get("/list"))
        check({"key": CHINESE_QUEUE, "value": "1"} in rows, "/list after the switch: %r" % rows)
        log("status page: the raw printing link switched %r on" % CHINESE_QUEUE)


def test_page_checks(browser, printers, folder):
    server = serve_folder(folder)
    origin = "http://127.0.0.1:%d" % server.server_address[1]
    try:
        browser.navigate(origin + "/test.html")
        options = browser.wait_for("""
          (function () {
            var o = Array.from(document.querySelectorAll('#printer option'));
            if (o.length === 0 || o[0].value === '') return null;
            return o.map(function (x) {
              return {value: x.value, text: x.textContent, selected: x.selected};
            });
          })()""", timeout=30)
        values = [o["value"] for o in options]
        check(values == [p["name"] for p in printers],
              "test.html lists %r, the daemon %r" % (values, [p["name"] for p in printers]))
        selected = [o["value"] for o in options if o["selected"]]
        defaults = [p["name"] for p in printers if p.get("default")]
        check(selected == defaults[:1], "test.html selected %r, the default is %r"
              % (selected, defaults))
        markup = [o["text"] for o in options if o["value"] == MARKUP_QUEUE]
        check(bool(markup) and markup[0].startswith(MARKUP_QUEUE),
              "test.html shows the markup name as %r" % markup)
        log("test.html from %s: %d printers listed, default selected" % (origin, len(options)))

        browser.evaluate("""
          (function () {
            var select = document.getElementById('printer');
            select.value = %s;
            select.dispatchEvent(new Event('change'));
            document.getElementById('print').click();
          })()""" % json.dumps(CHINESE_QUEUE))
        answer_text = browser.wait_for("document.getElementById('answer').textContent",
                                       timeout=90)
        state = browser.evaluate("document.getElementById('state').textContent")
        try:
            answer = json.loads(answer_text)
        except ValueError:
            answer = {}
        check(state == "HTTP 200", "test.html shows %r after printing" % state)
        check(answer.get("status") == "success" and len(answer.get("md5sum", "")) == 32,
              "test.html shows the answer %r" % answer_text)

        browser.pump(0.5)
        requests = [e["params"] for e in browser.events
                    if e.get("method") == "Network.requestWillBeSent"]
        # The page itself sends only the POST: the OPTIONS asking for POST is the
        # browser's preflight for the JSON body from another origin.
        to_print = [r["request"] for r in requests if r["request"]["url"] == DAEMON + "/print"]
        preflights = [r for r in to_print if r["method"] == "OPTIONS" and any(
            k.lower() == "access-control-request-method" and v == "POST"
            for k, v in r.get("headers", {}).items())]
        check(preflights and any(r["method"] == "POST" for r in to_print),
              "no CORS preflight and POST to /print: %r" % to_print)
        history = json.loads(http_get("/history"))
        records = history if isinstance(history, list) else history.get("data", history)
        tracked = [r for r in records if isinstance(r, dict)
                   and str(r.get("RequestTrackingNumber", "")).startswith("test-page-")]
        check(len(tracked) == 1 and tracked[0].get("printerName") == CHINESE_QUEUE,
              "the history does not hold the test page's print: %r" % tracked)
        log("test.html print from another origin: preflight, POST, answer %s shown"
            % answer.get("status"))

    finally:
        server.shutdown()
        server.server_close()


def run_checks(name, queues, body):
    """Runs body(browser, build, folder) against a daemon started in a fresh
    folder, with the CUPS queues `queues`; the exit code (SKIP when this
    machine cannot run it)."""
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    chromium = find_chromium()
    if not chromium:
        print("SKIP: no Chromium installed")
        return SKIP
    if os.geteuid() != 0:
        print("SKIP: making CUPS queues needs root")
        return SKIP
    if subprocess.run(["lpstat", "-r"], capture_output=True, text=True).stdout.find(
            "is running") < 0:
        print("SKIP: no CUPS scheduler answers (scripts/cups-test-env.sh starts one)")
        return SKIP
    missing = [n for n in PROGRAM_FILES if not os.path.exists(os.path.join(build, n))]
    if missing:
        print("FAIL: the build folder %s lacks %s" % (build, ", ".join(missing)))
        return 1
    if port_open(PORT):
        print("FAIL: port %d is taken (run the check in its own network namespace)" % PORT)
        return 1

    folder = tempfile.mkdtemp(prefix="tb-%s-" % name)
    daemon = browser = None
    try:
        for queue in queues:
            add_queue(queue)
        daemon = start_daemon(build, folder)
        browser = Browser(chromium)
        browser.open_page()
        body(browser, build, folder)
    except (BrowserError, RuntimeError, OSError, ValueError) as error:
        fail(str(error))
    finally:
        if browser:
            browser.close()
        if daemon:
            daemon.terminate()
            try:
                daemon.wait(timeout=30)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        for queue in queues:
            remove_queue(queue)
        shutil.rmtree(folder, ignore_errors=True)

    if failures:
        print("%s check: %d failure(s)" % (name, len(failures)))
        return 1
    print("%s check: passed" % name)
    return 0


def main():
    def body(browser, build, folder):
        printers = status_page_checks(browser)
        raw_switch_checks(browser)
        test_page_checks(browser, printers, folder)
        dialogs = [e for e in browser.events if e.get("method") == "Page.javascriptDialogOpening"]
        check(not dialogs, "a page opened a dialog: %r" % dialogs)
    return run_checks("pages", (CHINESE_QUEUE, MARKUP_QUEUE), body)


if __name__ == "__main__":
    sys.exit(main())
