#!/usr/bin/env python3
"""The allow-list of origins in headless Chromium against the daemon and CUPS,
with caller pages served on 127.0.0.2 (listed) and 127.0.0.3 (not listed):
the listed one reads /printers and prints; the other's prints fail and leave
nothing behind until the status page's "allow" link lets it through.

Usage: origins_check.py <build folder>. Exit codes: 0, 1 failed, 77 skipped.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp_browser import Browser, BrowserError, find_chromium  # noqa: E402
import pages_check as pages  # noqa: E402
from pages_check import DAEMON, check, log, fail, http_get  # noqa: E402

QUEUE = "tb-origin-label"

FETCH_JS = """fetch(%s, %s).then(
  function (r) { return r.text().then(function (t) { return {status: r.status, body: t}; }); },
  function (e) { return {error: e.name + ': ' + e.message}; })"""


def fetch_from(browser, origin, path, body=None, content_type="application/json"):
    """A fetch to the daemon made by a page of `origin`."""
    browser.navigate(origin + "/")
    init = {} if body is None else {"method": "POST", "body": json.dumps(body),
                                    "headers": {"Content-Type": content_type}}
    return browser.evaluate(FETCH_JS % (json.dumps(DAEMON + path), json.dumps(init)))


def tracked(number):
    return [r for r in json.loads(http_get("/history"))
            if isinstance(r, dict) and str(r.get("RequestTrackingNumber")) == number]


def checks(browser, label, listed, unlisted):
    job = {"LabelContent": label, "PrinterName": QUEUE}
    printers = fetch_from(browser, listed, "/printers")
    check(printers.get("status") == 200 and QUEUE in printers.get("body", ""),
          "the listed origin reads /printers: %r" % printers)
    done = fetch_from(browser, listed, "/print", body=dict(job, RequestTrackingNumber="listed-1"))
    check(done.get("status") == 200 and '"success"' in done.get("body", ""),
          "the listed origin prints: %r" % done)
    check(len(tracked("listed-1")) == 1, "the listed origin's print is not in the history")
    log("listed %s: /printers read, printed" % listed)

    rows_before = http_get("/list")
    refused = fetch_from(browser, unlisted, "/print", body=dict(job, RequestTrackingNumber="refused-1"))
    check("TypeError" in refused.get("error", ""), "the unlisted print did not fail: %r" % refused)
    simple = fetch_from(browser, unlisted, "/print", dict(job, RequestTrackingNumber="refused-2"),
                        "text/plain")
    check(simple.get("status") == 403 and unlisted in simple.get("body", ""),
          "an unlisted simple request is not refused readably: %r" % simple)
    check(not tracked("refused-1") and not tracked("refused-2"), "an unlisted origin printed")
    check(http_get("/list") == rows_before, "an unlisted origin changed the configuration")
    log("unlisted %s: print failed in the browser, 403 readable, nothing printed or stored"
        % unlisted)

    browser.navigate(DAEMON + "/")
    page = browser.evaluate("document.querySelector('.origins').textContent")
    check("allowedOrigins: on" in page, "the status page does not say the list is on: %r" % page)
    clicked = browser.evaluate("""(function () {
        var a = document.querySelector("a[href='/allow-origin?origin=" + %s + "']");
        if (a) a.click();
        return !!a; })()""" % json.dumps(pages.percent_encode(unlisted)))
    if check(clicked, "no allow link for %s on the status page: %r" % (unlisted, page)):
        browser.wait_event("Page.loadEventFired")
        check(browser.evaluate("location.pathname") == "/", "the allow link did not lead home")
    again = fetch_from(browser, unlisted, "/print", body=dict(job, RequestTrackingNumber="paired-1"))
    check(again.get("status") == 200 and len(tracked("paired-1")) == 1,
          "after the allow link the origin still cannot print: %r" % again)
    log("status page allow link: %s prints on the next try" % unlisted)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    chromium = find_chromium()
    if not chromium or os.geteuid() != 0 or "is running" not in subprocess.run(
            ["lpstat", "-r"], capture_output=True, text=True).stdout:
        print("SKIP: needs Chromium, root and a running CUPS scheduler")
        return pages.SKIP
    if pages.port_open(pages.PORT):
        print("FAIL: port %d is taken (run the check in its own network namespace)" % pages.PORT)
        return 1
    with open(os.path.join(build, "test.html"), encoding="utf-8") as f:
        label = re.search(r'SAMPLE_LABEL_PDF = "([^"]+)"', f.read()).group(1)

    folder = tempfile.mkdtemp(prefix="tb-origins-")
    servers = [pages.serve_folder(folder, a) for a in ("127.0.0.2", "127.0.0.3")]
    listed, unlisted = ("http://%s:%d" % s.server_address for s in servers)
    daemon = browser = None
    try:
        pages.add_queue(QUEUE)
        daemon = pages.start_daemon(build, folder)
        # Beside the running daemon, as an installer would.
        allowed = subprocess.run([os.path.join(folder, "tillerbrook"), "/allow-origin",
                                  listed + "/"], capture_output=True, text=True, timeout=30)
        check(allowed.returncode == 0 and ("Allowed origin: " + listed) in allowed.stdout,
              "/allow-origin: %d %r %r" % (allowed.returncode, allowed.stdout, allowed.stderr))
        browser = Browser(chromium)
        browser.open_page()
        checks(browser, label, listed, unlisted)
    except (BrowserError, RuntimeError, OSError, ValueError) as error:
        fail(str(error))
    finally:
        if browser:
            browser.close()
        if daemon:
            daemon.terminate()
            daemon.wait(timeout=30)
        for server in servers:
            server.shutdown()
            server.server_close()
        pages.remove_queue(QUEUE)
        shutil.rmtree(folder, ignore_errors=True)
    print("origins check: %s" % ("%d failure(s)" % len(pages.failures) if pages.failures
                                  else "passed"))
    return 1 if pages.failures else 0


if __name__ == "__main__":
    sys.exit(main())
