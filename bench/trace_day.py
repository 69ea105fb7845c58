#!/usr/bin/env python3
"""Writes a day-long trace of a large site, as the add-in's trace would hold it,
to measure ax_gate-trace and its web page report (--html) at that size.

  bench/trace_day.py OUT.jsonl [--devices 1000] [--requests 100] [--ping 120]

Controllers with two devices each connect at midnight and send a keep-alive
every --ping seconds; every device presents about --requests cards over the
day (busiest at 8, 13 and 17:30). Most cards open the gate, some
are refused, a few the script never answers or the device never reports the
pass; the script answers slowly from 14:00 to 15:00, a few controllers
reconnect every hour, and one goes quiet at 10:30. Only the records that the
reader and the report read are written (no STATUS or LOG events). The same
seed gives the same trace.
"""
import argparse
import calendar
import random

DAY = 86400 * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--devices", type=int, default=1000)
    ap.add_argument("--requests", type=int, default=100, help="cards per device over the day")
    ap.add_argument("--ping", type=int, default=120, help="keep-alive interval, seconds")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--date", default="2026-12-09", help="the day (UTC midnight)")
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    y, m, d = map(int, a.date.split("-"))
    t0 = calendar.timegm((y, m, d, 0, 0, 0)) * 1000
    us0 = 5_000_000_000
    out = []

    def rec(ms, ev, fields):
        us = us0 + int(ms * 1000)
        out.append((us, '{"t":%d,"us":%d,"ev":"%s"%s}\n' % (t0 + int(ms), us, ev, fields)))

    def state(ms, ip, dev, card, frm, to):
        rec(ms, "state", ',"ip":"%s","device":"%s","type":"T","card":"%s","from":"%s","to":"%s"'
            % (ip, dev, card, frm, to))

    def check(ms, ip, dev, card, kind):
        rec(ms, "event", ',"name":"CHECK","data":"%s;%s;T;%s;%d","hr":"0x00000000"' % (ip, dev, card, kind))

    def wire(ms, ev, ip, port, text):
        rec(ms, ev, ',"addr":"%s","port":"%d","bytes":"%s"' % (ip, port, text))

    rec(0, "start", ',"files":4,"limit":8388608')
    controllers = (a.devices + 1) // 2
    peaks = [(8 * 3600e3, 1.0), (13 * 3600e3, 0.6), (17.5 * 3600e3, 0.9)]
    quiet = {5}  # goes quiet at 10:30
    flaky = set(range(10, 10 + max(1, controllers // 100)))  # reconnect every hour
    for c in range(controllers):
        ip = "127.%d.%d.%d" % (1 + c // 65025, (c // 255) % 255, 1 + c % 255)
        port = 40000 + c % 20000
        start = rnd.uniform(0, 2000)
        rec(start, "accept", ',"addr":"%s","port":"%d"' % (ip, port))
        cuts = [h * 3600e3 + rnd.uniform(0, 600e3) for h in range(1, 24)] if c in flaky else []
        for cut in cuts:
            rec(cut, "close", ',"addr":"%s","port":"%d","why":"10054 connection reset by peer"' % (ip, port))
            port += 1
            rec(cut + 3000, "accept", ',"addr":"%s","port":"%d"' % (ip, port))
        end = 10.5 * 3600e3 if c in quiet else DAY - 1000
        t = start + rnd.uniform(0, a.ping * 1000)
        while t < end:
            wire(t, "line", ip, port, "$0001PING\\u000D\\u000A")
            t += a.ping * 1000
        if c % 97 == 3:
            rec(rnd.uniform(9 * 3600e3, 18 * 3600e3), "error", ',"text":"Line limit exceeded from %s/%d"' % (ip, port))
        for dev in ("0001", "0002")[: min(2, a.devices - 2 * c)]:
            for _ in range(a.requests):
                peak, weight = rnd.choices(peaks, weights=[p[1] for p in peaks])[0]
                ms = min(DAY - 30000, max(0, rnd.gauss(peak, 1.5 * 3600e3)))
                if c in quiet and ms > end:
                    continue
                card = "%010d" % rnd.randrange(10 ** 9)
                slow = 14 * 3600e3 <= ms < 15 * 3600e3
                answer = rnd.lognormvariate(1.2, 0.6) * (25 if slow else 1)  # ms
                wire(ms, "line", ip, port, "$%sRQ%s4A\\u000D\\u000A" % (dev, card))
                state(ms + 0.02, ip, dev, card, "", "NEW")
                check(ms + 0.04, ip, dev, card, 0)
                state(ms + 0.05, ip, dev, card, "NEW", "WAIT")
                fate = rnd.random()
                if fate < 0.01:  # the script never answers
                    state(ms + 7000, ip, dev, card, "WAIT", "TIMEOUT")
                    check(ms + 7000.1, ip, dev, card, 1)
                    state(ms + 7000.2, ip, dev, card, "TIMEOUT", "")
                    continue
                yes = fate > 0.12
                word = "TRUE" if yes else "FALSE"
                sent = ms + answer + rnd.uniform(0.2, 10)  # the next sweep pass
                state(ms + answer, ip, dev, card, "WAIT", word)
                rec(ms + answer + 0.01, "call", ',"method":"GateOpen","args":["%s","%s","%s"],"answer":"TRUE"'
                    % (ip, dev, word))
                if not yes:
                    wire(sent, "frame", ip, port, "$%sPH32" % dev)
                    state(sent + 0.01, ip, dev, card, "FALSE", "CLOSE")
                    state(sent + 0.02, ip, dev, card, "CLOSE", "")
                    continue
                wire(sent, "frame", ip, port, "$%sGO65" % dev)
                wire(sent + 0.01, "frame", ip, port, "$%sGR6A" % dev)
                state(sent + 0.02, ip, dev, card, "TRUE", "OPEN")
                if fate < 0.14:  # the device never reports the pass
                    state(ms + 1010, ip, dev, card, "OPEN", "NOANSWER")
                    state(ms + 1010.1, ip, dev, card, "NOANSWER", "")
                    continue
                wire(sent + rnd.uniform(0.3, 2), "line", ip, port, "#%sGR\\u000D\\u000A" % dev)
                done = sent + rnd.uniform(1500, 6000)
                wire(done, "line", ip, port, "$%sGR6A\\u000D\\u000A" % dev)
                state(done + 0.01, ip, dev, card, "OPEN", "FINISH")
                check(done + 10, ip, dev, card, 2)
                state(done + 10.01, ip, dev, card, "FINISH", "")
    out.sort(key=lambda r: r[0])
    with open(a.out, "w", encoding="utf-8") as f:
        f.writelines(line for _, line in out)
    print("%s: %d records, %d controllers, %d devices" % (a.out, len(out), controllers, a.devices))


if __name__ == "__main__":
    main()
