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
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pages_check as pages  # noqa: E402
from pages_check import DAEMON, check, log, fail, http_get  # noqa: E402

QUEUE = "tb-origin-label"

FETCH_JS = """fetch(%s, %s).then(
  function (r) { return r.text().then(function (t) { return {status: r.status, body: t}; }); },
  function (e) { return {error: e.name + ': ' + e.message}; })"""


def fetch_from(browser, origin, path, body=None):
    """A fetch to the daemon made by a page of `origin`; a print is preflighted."""
    browser.navigate(origin + "/")
    init = {} if body is None else {"method": "POST", "body": json.dumps(body),
                                    "headers": {"Content-Type": "application/json"}}
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
    check(not tracked("refused-1"), "an unlisted origin printed")
    check(http_get("/list") == rows_before, "an unlisted origin changed the configuration")
    log("unlisted %s: print failed in the browser, nothing printed or stored" % unlisted)

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
    def body(browser, build, folder):
        with open(os.path.join(build, "test.html"), encoding="utf-8") as f:
            label = re.search(r'SAMPLE_LABEL_PDF = "([^"]+)"', f.read()).group(1)
        listed, unlisted = ("http://%s:%d" % pages.serve_folder(folder, a).server_address
                            for a in ("127.0.0.2", "127.0.0.3"))
        # Beside the running daemon, as an installer would.
        allowed = subprocess.run([os.path.join(folder, "tillerbrook"), "/allow-origin",
                                  listed + "/"], capture_output=True, text=True, timeout=30)
        check(allowed.returncode == 0 and ("Allowed origin: " + listed) in allowed.stdout,
              "/allow-origin: %d %r %r" % (allowed.returncode, allowed.stdout, allowed.stderr))
        checks(browser, label, listed, unlisted)
    return pages.run_checks("origins", (QUEUE,), body)


if __name__ == "__main__":
    sys.exit(main())
