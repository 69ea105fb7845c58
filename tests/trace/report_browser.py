#!/usr/bin/env python3
"""The trace's web page (ax_gate-trace --html) rendered in headless Chromium.

Two traces the add-in wrote: the demo's (scripts/demo.sh, which writes the page
in English and in Russian), and a site's, made here with ax_gate-host and
controllers that present cards opened, refused, timed out because no one
answered, opened but never passed, and still waiting when the host ends, and
one that disconnects. Each page is rendered (as it opens, and opened at one
request's road) with every request the browser might make sent to a local
listener that answers none, and the rendered DOM is checked against the
reader's --json: the overview's figures, a lane per device with a mark per
request and its outcome, each lane's figures, a mark's road equal to the
reader's text in the page's language; and nothing was fetched.

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
import time

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
    """The figures, lanes (marks and figures), and road panel of a rendered report."""

    def __init__(self):
        super().__init__()
        self.figures, self.lanes, self.lane_figures, self.road = {}, collections.OrderedDict(), {}, None
        self.lane = self.figure = self.ready_ms = self.lane_figure = None
        self.in_b = self.in_road = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "html":
            self.ready_ms = a.get("data-ready-ms")
        if "data-lane" in a:
            self.lane = a["data-lane"]
            self.lanes[self.lane] = []
            self.lane_figures[self.lane] = {}
        elif "data-f" in a and self.lane is not None:
            self.lane_figure = a["data-f"]
        elif "data-r" in a and self.lane is not None:
            self.lanes[self.lane].append((a["data-r"], a.get("data-o")))
        elif tag == "div" and "data-k" in a:
            self.figure = a["data-k"]
        elif tag == "b" and self.figure:
            self.in_b = True
        elif tag == "pre" and a.get("id") == "road":
            self.in_road, self.road = True, ""

    def handle_endtag(self, tag):
        if tag == "span":
            self.lane_figure = None
        if tag == "b":
            self.in_b, self.figure = False, None
        elif tag == "pre":
            self.in_road = False

    def handle_data(self, data):
        if self.lane_figure:
            self.lane_figures[self.lane][self.lane_figure] = int(data.split()[0])
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


def site_trace(work):
    """A site's trace, written by the add-in under ax_gate-host, with every outcome."""
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    import host_e2e
    registry, trace = os.path.join(work, "registry"), os.path.join(work, "site.jsonl")
    subprocess.run([os.path.join(BIN, "ax_gate-regsvr"), os.path.join(BIN, "ax_gate.so")], check=True,
                   env=dict(os.environ, AX_GATE_REGISTRY=registry), stdout=subprocess.DEVNULL, timeout=30)
    h = host_e2e.Host(registry, "--policy", "none", "--trace", trace)
    devices = []
    try:
        h.wait_for(lambda l: l.get("type") == "ready", 10, what="ready")
        frame = host_e2e.frame

        def card(source, number, answer=None, asked=True):
            d = host_e2e.Device(source, "0001")
            devices.append(d)
            d.card(number)
            if asked:
                h.event("CHECK", "%s;0001;T;%s;0" % (source, number))
            if answer:
                h.send(["GateOpen", source, "0001", answer])
                d.expect(frame("$0001GO" if answer == "TRUE" else "$0001PH"))
            return d

        opened = card("127.0.0.2", "0012345678", "TRUE")
        opened.send("#0001GR")
        opened.send(frame("$0001GR"))
        h.event("CHECK", "127.0.0.2;0001;T;0012345678;2")
        card("127.0.0.3", "0099999999", "FALSE").close()  # refused, then disconnects
        # No one answers: it times out (a decision waiting holds the next ones back).
        card("127.0.0.4", "0055555555")
        h.event("CHECK", "127.0.0.4;0001;T;0055555555;1", timeout=15)
        card("127.0.0.5", "0066666666", "TRUE")  # opened, the pass never reported
        h.event("CHECK", "127.0.0.5;0001;T;0066666666;3")
        card("127.0.0.6", "0077777777", asked=False)  # still waiting when the host ends
        time.sleep(0.3)
        h.send("quit")
        if h.finish() != 0:
            sys.exit("report_browser: the host failed:\n" + h.stderr.decode()[-3000:])
    finally:
        for d in devices:
            d.close()
        if h.proc.poll() is None:
            h.proc.kill()
    return [trace]


def main():
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    def outcome(r):
        if r["opened"]:
            return "opened"
        if r["refused"]:
            return "refused"
        return "timedout" if r["timed_out"] else "unanswered"

    trace_bin = os.path.join(BIN, "ax_gate-trace")
    work = tempfile.mkdtemp(prefix="axg-report-")
    pages = []
    try:
        demo = subprocess.run([os.path.join(ROOT, "scripts", "demo.sh"), os.path.dirname(os.path.abspath(BIN))],
                              env=dict(os.environ, AXG_DEMO_DIR=work, AXG_DEMO_NS="1"),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        if demo.returncode != 0 or not all(os.path.exists(os.path.join(work, p)) for p in ("report.html", "report-ru.html")):
            sys.exit("report_browser: the demo failed:\n" + demo.stdout.decode()[-3000:])
        demo_traces = sorted(os.path.join(work, f) for f in os.listdir(work) if f.startswith("trace.jsonl"))
        site = site_trace(work)
        subprocess.run([trace_bin, "--lang", "ru", "--html", os.path.join(work, "site-ru.html"), *site], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([trace_bin, "--html", os.path.join(work, "site.html"), *site], check=True,
                       stdout=subprocess.DEVNULL)
        trap = Trap()
        for page, traces, lang in (("report.html", demo_traces, "en"), ("site.html", site, "en"),
                                   ("site-ru.html", site, "ru")):
            page = os.path.join(work, page)
            reader = json.loads(subprocess.run([trace_bin, "--json", *traces], stdout=subprocess.PIPE,
                                               check=True).stdout)
            with open(page, encoding="utf-8") as f:
                source = f.read()
            accepts = sum(1 for t in traces for line in open(t, encoding="utf-8") if '"ev":"accept"' in line)
            dom = render(page, "", work, trap)
            name = os.path.basename(page)
            pages.append((name, dom.ready_ms, len(source.encode())))

            # The overview against the reader's summary.
            s = reader["summary"]
            want = {k: s[k] for k in ("requests", "opened", "refused", "not_answered", "timed_out", "finished",
                                      "errors")}
            want["connections"] = accepts
            for key, value in want.items():
                check(dom.figures.get(key) == str(value),
                      "%s: overview %s: %r, the reader: %r" % (name, key, dom.figures.get(key), value))
            for key in ("card_to_frame", "answer"):
                for p in ("p50", "p99"):
                    shown = re.match(r"([0-9.,]+) (?:ms|мс)$", dom.figures.get(key + "_" + p, ""))
                    check(shown and abs(float(shown.group(1).replace(",", ".")) - s[key][p + "_ms"]) < 0.051,
                          "%s: overview %s %s: %r, the reader: %r" % (name, key, p, dom.figures.get(key + "_" + p),
                                                                      s[key]))

            # A lane per device with its figures, a mark per request with its outcome.
            requests = [r for d in reader["devices"] for r in d["requests"]]
            check(requests, "%s: the trace has no requests" % name)
            for d in reader["devices"]:
                key = d["ip"] + "/" + d["device"]
                lane = dom.lanes.get(key)
                check(lane is not None, "%s: no lane for %s" % (name, key))
                if lane is None:
                    continue
                check(collections.Counter(o for _, o in lane) == collections.Counter(map(outcome, d["requests"])),
                      "%s: lane %s: marks %r, requests %r" % (name, key, lane, [outcome(r) for r in d["requests"]]))
                shown = dom.lane_figures.get(key, {})
                for fig in ("requests", "not_answered", "timed_out", "errors"):
                    check(shown.get(fig, 0) == d["summary"][fig],
                          "%s: lane %s %s: %r, the reader: %r" % (name, key, fig, shown.get(fig, 0), d["summary"][fig]))
            if "site" in name:
                check({outcome(r) for r in requests} == {"opened", "refused", "timedout", "unanswered"} and
                      any(r["opened"] and r["timed_out"] for r in requests) and
                      any(not r["ended"] and outcome(r) == "unanswered" for r in requests),
                      "%s: the site's trace lacks an outcome: %r" % (name, requests))
                check(sum(1 for t in traces for line in open(t, encoding="utf-8") if '"ev":"close"' in line) > 0,
                      "%s: the site's trace has no disconnection" % name)

            # The road of a refused request, opened by its link, is the reader's text.
            key, marks = next(((k, v) for k, v in dom.lanes.items() if any(o == "refused" for _, o in v)),
                              next(iter(dom.lanes.items())))
            mark = next((m for m, o in marks if o == "refused"), marks[0][0])
            road = render(page, "#r=" + mark, work, trap).road or ""
            text = subprocess.run([trace_bin, "--lang", lang, "--device", key, *traces],
                                  stdout=subprocess.PIPE, check=True).stdout.decode("utf-8")
            lines = road.splitlines()
            heading = key.replace("/", " device " if lang == "en" else " устройство ")
            check(len(lines) > 2 and lines[0] == heading and "\n".join(lines[1:]) + "\n" in text,
                  "%s: the road of %s:\n%s\nis not in the reader's text:\n%s" % (name, mark, road, text))

            # Nothing fetched, nothing that would fetch.
            check(not trap.seen, "%s: the browser made requests: %r" % (name, trap.seen))
            check(not re.search(r"""(?:src|href)\s*=\s*["'](?!#)|url\(|@import|<link""", source),
                  "%s: the page refers to something outside itself" % name)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for f in failures:
        print("FAIL: " + f)
    for name, ready, size in pages:
        print("%s: ready in %s ms, %d bytes" % (name, ready, size))
    print("%d pages checked; %d failed" % (len(pages), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
