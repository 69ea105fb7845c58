#!/usr/bin/env python3
"""A site of N controllers against the Windows build under Wine.

    wine_site.py WIN64_BIN_DIR NATIVE_BIN_DIR [--devices 200,500,1000] [--seconds 60]
                 [--rate 0.1] [--json FILE]

Runs inside a private network namespace (make bench-wine starts it there):
the x86_64 ax_gate.dll is registered in a fresh wine64 prefix, ax_gate-host.exe
(--policy allow) serves port 1001 through its WSAAsyncSelect loop, and the
Linux ax_gate-devsim brings N controllers from their own 127.0.0.x addresses,
each with a PING a second and a card every 1/RATE seconds. A step holds when
every controller connected, every PING was answered (one still in flight per
controller at the end aside), every card was opened (one still waiting per
controller aside), and the add-in closed none. The steps run in increasing
order and stop at the first that does not hold; the highest N that held is
the figure.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="axg-wine-site-")
        self.env = dict(os.environ, WINEPREFIX=self.dir, WINEDEBUG="-all", WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LANG="en_US.UTF-8", LC_ALL="en_US.UTF-8")
        self.env.pop("DISPLAY", None)
        self.run("wineboot", "--init", timeout=300)
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=300, check=True)
        subprocess.run([WINESERVER, "-p"], env=self.env, timeout=60, check=True)

    def run(self, *args, timeout=120):
        subprocess.run([WINE64, *args], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=True)

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)


class Host:
    """ax_gate-host.exe in JSON Lines mode; a thread drains its output and keeps
    what the run needs (its readiness, Start's result, the callback figures)."""

    def __init__(self, prefix, bin_dir):
        self.proc = subprocess.Popen([WINE64, os.path.join(bin_dir, "ax_gate-host.exe"), "--format", "jsonl",
                                      "--policy", "allow"], env=prefix.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.cond = threading.Condition()
        self.started = None
        self.loop = None
        self.events = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            try:
                obj = json.loads(raw.decode("utf-8"))
            except ValueError:
                continue
            with self.cond:
                if obj.get("type") == "result" and obj.get("call") == "Start":
                    self.started = obj.get("value")
                elif obj.get("type") == "event":
                    self.events += 1
                elif obj.get("type") == "loop":
                    self.loop = obj
                self.cond.notify_all()

    def wait(self, pred, timeout):
        with self.cond:
            return self.cond.wait_for(pred, timeout)

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def finish(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(60)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def run_step(prefix, args, n):
    host = Host(prefix, args.win64)
    try:
        if not host.wait(lambda: host.started is not None, 120) or host.started != "TRUE":
            raise SystemExit("ax_gate-host.exe did not start listening under Wine")
        t0 = time.monotonic()
        sim = subprocess.run([os.path.join(args.native, "ax_gate-devsim"), "--devices", str(n), "--random",
                              "--rate", str(args.rate), "--ping", "1000", "--duration", str(args.seconds),
                              "--connect-timeout", str(args.seconds * 1000), "--answer-timeout", "10000",
                              "--quiet", "--progress", "0"], stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=args.seconds + 300)
        took = time.monotonic() - t0
        host.command("loop")
        host.wait(lambda: host.loop is not None, 30)
    finally:
        host.finish()
    text = sim.stdout
    row = re.search(r"^all +(\d+) +(\d+) +(\d+) +(\d+) +(\S+) +(\S+) +(\S+) +(\d+) +(\d+) +(\S+) +(\S+)", text, re.M)
    if not row:
        raise SystemExit("no summary from ax_gate-devsim:\n" + text + sim.stderr)
    requests, opens, refusals, timeouts = map(int, row.group(1, 2, 3, 4))
    pings, echoes = int(row.group(8)), int(row.group(9))
    notes = re.findall(r"^note: (.*)$", text, re.M)
    # Up to 100 controllers the simulator names each one; past that it counts them.
    never = sum(int(m) for m in re.findall(r"(\d+) controller\(s\) never connected", text))
    never += sum(1 for n in notes if n.endswith(" never connected") and "controller(s)" not in n)
    waiting = sum(int(m) for m in re.findall(r"(\d+) controller\(s\) still waited", text))
    waiting += sum(1 for n in notes if "still waited" in n and "controller(s)" not in n)
    dropped = sum(int(m) for m in re.findall(r"(\d+) connection\(s\) closed by the add-in", text))
    result = {"devices": n, "seconds": round(took, 1), "never_connected": never, "requests": requests,
              "opened": opens, "refused": refusals, "timed_out": timeouts, "pings": pings, "echoes": echoes,
              "echo_p99_ms": row.group(11), "dropped": dropped, "notes": notes}
    if host.loop:
        result["longest_callback_ms"] = host.loop.get("max_ms")
    result["holds"] = (never == 0 and dropped == 0 and timeouts == 0 and refusals == 0 and
                       opens >= requests - waiting and echoes >= pings - n)
    return result


def main():
    p = argparse.ArgumentParser()
    p.add_argument("win64")
    p.add_argument("native")
    p.add_argument("--devices", default="200,300,450,500,700,1000")
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--rate", type=float, default=0.1)
    p.add_argument("--json")
    args = p.parse_args()
    steps = [int(x) for x in args.devices.split(",")]
    prefix = Prefix()
    results = []
    try:
        prefix.run("regsvr32", "/s", windows_path(os.path.join(args.win64, "ax_gate.dll")))
        for n in steps:
            r = run_step(prefix, args, n)
            results.append(r)
            print("%5d controllers, %3d s: %s; never connected %d, cards %d/%d opened (%d timed out), "
                  "PINGs %d/%d answered (ECHO p99 %s ms), closed by the add-in %d" % (
                      n, args.seconds, "holds" if r["holds"] else "DOES NOT HOLD", r["never_connected"],
                      r["opened"], r["requests"], r["timed_out"], r["echoes"], r["pings"], r["echo_p99_ms"],
                      r["dropped"]), flush=True)
            if not r["holds"]:
                break
    finally:
        prefix.close()
    held = [r["devices"] for r in results if r["holds"]]
    best = max(held) if held else 0
    print("Windows build under Wine: the highest site that held: %d controllers" % best)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"wine_site": results, "highest_holding": best}, f, indent=1)
    return 0 if best == steps[-1] else 1


if __name__ == "__main__":
    sys.exit(main())
