#!/usr/bin/env python3
"""The demo's trace report (ax_gate-trace --html) rendered in headless Chromium.

Runs scripts/demo.sh into a temporary folder, reads its trace with
ax_gate-trace --json, renders the report twice (as it opens, and opened at one
request's road) with every request the browser might make sent to a local
listener that answers none, and checks the rendered DOM: the overview's
figures equal the reader's, every device has a lane, every request a mark with
its outcome, a mark's road is the reader's text, and nothing was fetched.

Run inside a private network namespace (run_in_netns.sh) or as root under the
"port1001" lock. AXG_BIN names the build's bin directory.
"""
import collections
import html.parser
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

BIN = os.environ.get("AXG_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
BROWSERS = ("chromium-headless-shell", "chromium")


class Trap:
    """A proxy that takes connections and answers none: whatever comes is a request."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.seen = []
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.settimeout(2)
            try:
                self.seen.append(conn.recv(300).decode("latin-1").split("\r\n")[0])
            except OSError as e:
                self.seen.append(repr(e))
            conn.close()


class Dom(html.parser.HTMLParser):
    """The figures, lanes, marks and road panel of a rendered report."""

    def __init__(self):
        super().__init__()
        self.figures, self.lanes, self.road = {}, collections.OrderedDict(), None
        self.lane = self.figure = self.ready_ms = None
        self.in_b = self.in_road = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "html":
            self.ready_ms = a.get("data-ready-ms")
        if "data-lane" in a:
            self.lane = a["data-lane"]
            self.lanes[self.lane] = []
        elif "data-r" in a and self.lane is not None:
            self.lanes[self.lane].append((a["data-r"], a.get("data-o")))
        elif tag == "div" and "data-k" in a:
            self.figure = a["data-k"]
        elif tag == "b" and self.figure:
            self.in_b = True
        elif tag == "pre" and a.get("id") == "road":
            self.in_road, self.road = True, ""

    def handle_endtag(self, tag):
        if tag == "b":
            self.in_b, self.figure = False, None
        elif tag == "pre":
            self.in_road = False

    def handle_data(self, data):
        if self.in_b:
            self.figures[self.figure] = self.figures.get(self.figure, "") + data
        elif self.in_road:
            self.road += data


def browser():
    for name in BROWSERS:
        path = shutil.which(name)
        if path:
            return path
    sys.exit("report_browser: no headless Chromium (%s); scripts/install-deps.sh installs it" % ", ".join(BROWSERS))


def render(page, fragment, work, trap):
    profile = tempfile.mkdtemp(dir=work)
    args = [browser(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--user-data-dir=" + profile,
            "--proxy-server=http://127.0.0.1:%d" % trap.port, "--proxy-bypass-list=<-loopback>",
            "--dump-dom", "file://" + page + fragment]
    # The page shows the times of the zone it was written in, not the browser's.
    out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=90,
                         env=dict(os.environ, TZ="Pacific/Chatham"))
    if out.returncode != 0 or not out.stdout:
        sys.exit("report_browser: the browser failed (%d):\n%s" % (out.returncode, out.stderr.decode()[-3000:]))
    dom = Dom()
    dom.feed(out.stdout.decode("utf-8"))
    return dom


def main():
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    work = tempfile.mkdtemp(prefix="axg-report-")
    try:
        demo = subprocess.run([os.path.join(ROOT, "scripts", "demo.sh"), os.path.dirname(os.path.abspath(BIN))],
                              env=dict(os.environ, AXG_DEMO_DIR=work, AXG_DEMO_NS="1"),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        page = os.path.join(work, "report.html")
        if demo.returncode != 0 or not os.path.exists(page):
            sys.exit("report_browser: the demo failed:\n" + demo.stdout.decode()[-3000:])
        traces = sorted(os.path.join(work, f) for f in os.listdir(work) if f.startswith("trace.jsonl"))
        reader = json.loads(subprocess.run([os.path.join(BIN, "ax_gate-trace"), "--json", *traces],
                                           stdout=subprocess.PIPE, check=True).stdout)
        with open(page, encoding="utf-8") as f:
            source = f.read()
        accepts = sum(1 for t in traces for line in open(t, encoding="utf-8") if '"ev":"accept"' in line)

        trap = Trap()
        dom = render(page, "", work, trap)

        # The overview against the reader's summary.
        s = reader["summary"]
        requests = [r for d in reader["devices"] for r in d["requests"]]
        want = {"requests": s["requests"], "opened": s["opened"], "refused": s["refused"],
                "timed_out": s["timed_out"], "finished": s["finished"], "connections": accepts,
                "not_answered": sum(1 for r in requests if not r["opened"] and not r["refused"])}
        for key, value in want.items():
            check(dom.figures.get(key) == str(value), "overview %s: %r, the reader: %r" % (key, dom.figures.get(key), value))
        for key in ("card_to_frame", "answer"):
            for p in ("p50", "p99"):
                shown = re.match(r"([0-9.]+) ms$", dom.figures.get(key + "_" + p, ""))
                check(shown and abs(float(shown.group(1)) - s[key][p + "_ms"]) < 0.051,
                      "overview %s %s: %r, the reader: %r" % (key, p, dom.figures.get(key + "_" + p), s[key]))

        # A lane per device, a mark per request with its outcome.
        def outcome(r):
            if r["opened"]:
                return "opened"
            if r["refused"]:
                return "refused"
            return "timedout" if r["timed_out"] else "unanswered"
        check(requests, "the demo's trace has no requests")
        for d in reader["devices"]:
            key = d["ip"] + "/" + d["device"]
            lane = dom.lanes.get(key)
            check(lane is not None, "no lane for " + key)
            if lane:
                check(collections.Counter(o for _, o in lane) == collections.Counter(map(outcome, d["requests"])),
                      "lane %s: marks %r, requests %r" % (key, lane, [outcome(r) for r in d["requests"]]))

        # The road of a refused request, opened by its link, is the reader's text.
        key, marks = next(((k, v) for k, v in dom.lanes.items() if any(o == "refused" for _, o in v)),
                          next(iter(dom.lanes.items())))
        mark = next((m for m, o in marks if o == "refused"), marks[0][0])
        road = render(page, "#r=" + mark, work, trap).road or ""
        text = subprocess.run([os.path.join(BIN, "ax_gate-trace"), "--device", key, *traces],
                              stdout=subprocess.PIPE, check=True).stdout.decode("utf-8")
        lines = road.splitlines()
        check(len(lines) > 2 and lines[0] == key.replace("/", " device ") and "\n".join(lines[1:]) + "\n" in text,
              "the road of %s:\n%s\nis not in the reader's text:\n%s" % (mark, road, text))

        # Nothing fetched, nothing that would fetch.
        check(not trap.seen, "the browser made requests: %r" % trap.seen)
        check(not re.search(r"""(?:src|href)\s*=\s*["'](?!#)|url\(|@import|<link""", source),
              "the page refers to something outside itself")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for f in failures:
        print("FAIL: " + f)
    print("%d lanes, %d requests checked; %d failed; the page was ready in %s ms, %d bytes"
          % (len(reader["devices"]), len(requests), len(failures), dom.ready_ms, len(source.encode())))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
