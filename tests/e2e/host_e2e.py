#!/usr/bin/env python3
"""End-to-end: ax_gate-host --format jsonl with the add-in loaded by ProgID, and
test devices on loopback port 1001 walking the road from card to gate.

Run inside a private network namespace (run_in_netns.sh) or as root under the
"port1001" lock. AXG_BIN names the directory with ax_gate.so and the tools.
Every wait is bounded.
"""
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("AXG_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
PORT = 1001


def crc8(text):
    crc = 0xFF
    for b in text.encode("cp1251"):
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x31) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return "%02X" % crc


def frame(text):
    return text + crc8(text)


class Host:
    """ax_gate-host in JSON Lines mode; its output is collected by a thread."""

    def __init__(self, registry, *args):
        env = dict(os.environ, AX_GATE_REGISTRY=registry)
        self.proc = subprocess.Popen(
            [os.path.join(BIN, "ax_gate-host"), "--format", "jsonl", *args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.stderr = b""

    def _read(self):
        for raw in self.proc.stdout:
            try:
                obj = json.loads(raw.decode("utf-8"))
            except ValueError:
                obj = {"type": "unparsed", "text": raw.decode("utf-8", "replace")}
            with self.cond:
                self.lines.append(obj)
                self.cond.notify_all()
        with self.cond:
            self.lines.append({"type": "eof"})
            self.cond.notify_all()

    def send(self, command):
        line = command if isinstance(command, str) else json.dumps(command, ensure_ascii=False)
        self.proc.stdin.write((line + "\n").encode("utf-8"))
        self.proc.stdin.flush()

    def wait_for(self, pred, timeout=5.0, start=0, what="a matching line"):
        """The first line from index start on that satisfies pred; its index too."""
        deadline = time.monotonic() + timeout
        with self.cond:
            i = start
            while True:
                while i < len(self.lines):
                    if pred(self.lines[i]):
                        return i, self.lines[i]
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("timed out waiting for %s; output so far:\n%s" %
                                         (what, "\n".join(json.dumps(l, ensure_ascii=False) for l in self.lines[-40:])))
                self.cond.wait(left)

    def event(self, name, data, timeout=5.0, start=0):
        return self.wait_for(lambda l: l.get("type") == "event" and l.get("name") == name and l.get("data") == data,
                             timeout, start, "event %s %s" % (name, data))

    def result(self, call, timeout=5.0, start=0):
        return self.wait_for(lambda l: l.get("type") == "result" and l.get("call") == call,
                             timeout, start, "result of %s" % call)

    def count(self, pred):
        with self.cond:
            return sum(1 for l in self.lines if pred(l))

    def finish(self, timeout=10.0):
        """Ends the host as the user does (end of input) and returns its exit code."""
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        if not self.proc.stderr.closed:
            self.stderr = self.proc.stderr.read()
            self.proc.stderr.close()
        return self.proc.returncode


class Device:
    """A gate controller: a TCP client from its own loopback address."""

    def __init__(self, source="127.0.0.2", address="0001", timeout=3.0):
        self.address = address
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind((source, 0))
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", PORT))
        self.received = ""

    def send(self, line):
        self.sock.sendall((line + "\r\n").encode("cp1251"))

    def card(self, number):
        self.send(frame("$" + self.address + "RQ" + number))

    def expect(self, text, timeout=5.0):
        deadline = time.monotonic() + timeout
        while text not in self.received:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("device %s: no %r; received %r" % (self.address, text, self.received))
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            if not data:
                raise AssertionError("device %s: connection closed before %r; received %r" %
                                     (self.address, text, self.received))
            self.received += data.decode("cp1251")
        at = self.received.index(text)
        self.received = self.received[at + len(text):]

    def expect_closed(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except ConnectionResetError:
                return
            if not data:
                return
            self.received += data.decode("cp1251")
        raise AssertionError("device %s: connection still open" % self.address)

    def close(self):
        self.sock.close()


class HostE2E(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="axg-e2e-")
        self.registry = os.path.join(self.dir, "registry")
        env = dict(os.environ, AX_GATE_REGISTRY=self.registry)
        subprocess.run([os.path.join(BIN, "ax_gate-regsvr"), os.path.join(BIN, "ax_gate.so")],
                       env=env, check=True, stdout=subprocess.DEVNULL, timeout=30)
        self.hosts = []
        self.devices = []

    def tearDown(self):
        for d in self.devices:
            d.close()
        try:
            # Every host must end cleanly at the end of its input, whatever the
            # test did: exit code 0 and nothing from the sanitizers.
            for h in self.hosts:
                rc = h.finish()
                err = h.stderr.decode("utf-8", "replace")
                self.assertEqual(rc, 0, err)
                self.assertNotIn("Sanitizer", err)
                self.assertNotIn("runtime error", err)
        finally:
            for h in self.hosts:
                if h.proc.poll() is None:
                    h.proc.kill()
                    h.proc.wait()
            shutil.rmtree(self.dir, ignore_errors=True)

    def start_host(self, *args, started=True):
        h = Host(self.registry, *args)
        self.hosts.append(h)
        h.wait_for(lambda l: l.get("type") == "ready", 10, what="ready")
        if started:
            _, r = h.result("Start")
            self.assertEqual(r["value"], "TRUE")
        return h

    def device(self, *args, **kw):
        d = Device(*args, **kw)
        self.devices.append(d)
        return d

    def test_allow_opens_and_the_pass_finishes(self):
        h = self.start_host("--policy", "allow")
        d = self.device("127.0.0.2", "0001")
        d.card("0012345678")
        i, _ = h.event("CHECK", "127.0.0.2;0001;T;0012345678;0")
        i, r = h.result("GateOpen", start=i)
        self.assertEqual((r["value"], r["hr"]), ("TRUE", 0))
        d.expect(frame("$0001GO"))
        d.expect(frame("$0001GR"))
        d.send("#0001GR")  # relay report
        d.send(frame("$0001GR"))  # the pass is done
        i, _ = h.event("STATUS", "127.0.0.2;0001;T;0012345678;FINISH", start=i)
        i, _ = h.event("CHECK", "127.0.0.2;0001;T;0012345678;2", start=i)
        self.assertNotIn("PH", d.received)

        # An operator's manual opening and an exit button wait for the script
        # like a card; "allow" opens both.
        for press, card in ((lambda: h.send(["GateOpen", "127.0.0.2", "0001", "TRUE"]), "-1-1-1-1-1"),
                            (lambda: d.send("#0001BT"), "-2-2-2-2-2")):
            press()
            i, _ = h.event("CHECK", "127.0.0.2;0001;T;%s;0" % card, start=i)
            d.expect(frame("$0001GO"), timeout=2.0)
            d.send("#0001GR")
            d.send(frame("$0001GR"))
            i, _ = h.event("CHECK", "127.0.0.2;0001;T;%s;2" % card, start=i)
        self.assertNotIn("PH", d.received)
        self.assertEqual(h.finish(), 0)

    def test_deny_keeps_the_gate_closed(self):
        h = self.start_host("--policy", "deny")
        d = self.device("127.0.0.2", "0001")
        d.card("0012345678")
        i, _ = h.event("CHECK", "127.0.0.2;0001;T;0012345678;0")
        d.expect("$0001PH32")
        h.event("STATUS", "127.0.0.2;0001;T;0012345678;CLOSE", start=i)
        self.assertNotIn("GO", d.received)

    def test_card_list_and_routing_by_address(self):
        cards = os.path.join(self.dir, "cards.txt")
        with open(cards, "w") as f:
            f.write("# allowed\n0012345678\n")
        h = self.start_host("--policy", "cards=" + cards)
        allowed = self.device("127.0.0.2", "0001")
        refused = self.device("127.0.0.3", "0002")
        reader = self.device("127.0.0.4", "000I")
        allowed.card("0012345678")
        refused.card("0099999999")
        reader.card("0099999999")
        t0 = time.monotonic()
        h.event("CHECK", "127.0.0.2;0001;T;0012345678;0")
        h.event("CHECK", "127.0.0.3;0002;T;0099999999;0")
        allowed.expect(frame("$0001GO"))
        refused.expect(frame("$0002PH"))
        time.sleep(max(0.2, 3.0 - (time.monotonic() - t0)))  # a reader's request: unanswered, then nothing
        self.assertNotIn("PH", allowed.received)
        self.assertNotIn("GO", refused.received)
        checks = [l["data"] for l in list(h.lines) if l.get("name") == "CHECK" and l["data"].startswith("127.0.0.4;")]
        self.assertEqual(checks, ["127.0.0.4;000I;I;0099999999;0", "127.0.0.4;000I;I;0099999999;3"])
        self.assertEqual(h.count(lambda l: "came after its request ended" in str(l.get("data"))), 0)

    def test_no_answer_times_out_and_a_typed_answer_opens(self):
        h = self.start_host("--policy", "none")
        d = self.device("127.0.0.2", "0001")
        d.card("0012345678")
        h.event("CHECK", "127.0.0.2;0001;T;0012345678;0")
        h.send("GateOpen 127.0.0.2 0001 TRUE")  # the operator answers by hand
        d.expect(frame("$0001GO"))
        d.send("#0001GR")
        d.send(frame("$0001GR"))
        i, _ = h.event("CHECK", "127.0.0.2;0001;T;0012345678;2")
        # Nobody answers the next card: it times out after TimeOut + 2 seconds.
        t0 = time.monotonic()
        d.card("0087654321")
        i, _ = h.event("CHECK", "127.0.0.2;0001;T;0087654321;0", start=i)
        h.event("CHECK", "127.0.0.2;0001;T;0087654321;1", timeout=15, start=i)
        self.assertGreaterEqual(time.monotonic() - t0, 7.0)
        self.assertNotIn("PH", d.received)

    def test_ping_is_answered_with_echo(self):
        h = self.start_host()
        d = self.device("127.0.0.2", "0001")
        d.send("$0001PING")
        d.expect("$0001ECHOF3")
        d.expect("testBF")
        h.event("STATUS", "127.0.0.2;0001;T;NOCARDNUMBER;HardReset")

    def test_stop_then_start_again_with_russian_names(self):
        h = self.start_host()
        d = self.device("127.0.0.2", "0001")
        h.send("Стоп")
        _, r = h.result("Стоп")
        self.assertEqual(r["value"], "TRUE")
        d.expect_closed()
        with self.assertRaises(OSError):
            Device("127.0.0.3", "0002", timeout=1.0)
        h.send(["Старт"])
        _, r = h.result("Старт")
        self.assertEqual(r["value"], "TRUE")
        d2 = self.device("127.0.0.3", "0002")
        d2.card("0012345678")
        h.event("CHECK", "127.0.0.3;0002;T;0012345678;0")
        h.send(["get", "Порт"])
        _, r = h.result("get Порт")
        self.assertEqual(r["value"], 1001)
        h.send("Версия")
        _, r = h.result("Версия")
        self.assertEqual(r["value"], "Kavreno v.1.0")

    def test_null_parameter_goes_to_the_error_log(self):
        h = self.start_host("--no-start", started=False)
        self.assertEqual(h.count(lambda l: l.get("call") == "Start"), 0)
        h.send(["GateOpen", None, "0001", "TRUE"])
        i, r = h.result("GateOpen")
        self.assertEqual((r["value"], r["hr"]), ("", 0))
        message = "Could not convert variant of type (Null) into type (OleStr)"
        _, e = h.wait_for(lambda l: l.get("type") == "errorlog", what="errorlog")
        self.assertEqual((e["code"], e["source"], e["description"]), (1006, "ax_gate", message))
        h.send(["get", "ErrorMsg"])
        _, r = h.result("get ErrorMsg", start=i)
        self.assertEqual(r["value"], message)
        h.send("quit")
        i, _ = h.result("Done")
        _, c = h.wait_for(lambda l: l.get("type") == "counts", start=i, what="counts")
        self.assertEqual(c["errorlog"], 1)
        self.assertEqual(h.finish(), 0)

    def test_a_failing_event_sink_fails_the_call_not_the_host(self):
        h = self.start_host("--event-fail")
        h.send(["GateOpen", "127.0.0.2", "0001", "TRUE"])
        _, r = h.result("GateOpen")
        self.assertEqual(r["value"], "")
        _, e = h.wait_for(lambda l: l.get("type") == "errorlog", what="errorlog")
        self.assertIn("ExternalEvent", e["description"])
        h.send("counts")
        _, c = h.wait_for(lambda l: l.get("type") == "counts", what="counts")
        self.assertGreater(c["refused"], 0)
        self.assertEqual(c["received"], 0)

    def test_queue_of_depth_one_loses_events_when_the_depth_cannot_be_set(self):
        h = self.start_host("--depth-fail", "--policy", "allow")
        h.send(["get", "ErrorMsg"])
        _, r = h.result("get ErrorMsg")
        self.assertIn("SetEventBufferDepth", r["value"])
        d = self.device("127.0.0.2", "0001")
        d.card("0012345678")
        # The card request raises several events in one go: only the first fits.
        h.wait_for(lambda l: l.get("type") == "lost", what="a lost event")
        h.send("quit")
        _, c = h.wait_for(lambda l: l.get("type") == "counts", timeout=10, what="counts")
        self.assertGreater(c["lost"], 0)
        self.assertEqual(c["received"], c["delivered"] + c["lost"])

    def test_end_of_input_and_stop_signals_call_done_and_exit(self):
        # Ended at once after a device connected, well within the trace writer's
        # 200 ms: the accept record is in the file only if Done wrote it out.
        for how in ("end of input", signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            with self.subTest(how=str(how)):
                trace = os.path.join(self.dir, "trace-%s.jsonl" % how)
                h = self.start_host("--trace", trace, *(() if how == "end of input" else ("--no-input",)))
                d = self.device("127.0.0.2", "0001")
                time.sleep(0.05)
                if how == "end of input":
                    h.proc.stdin.close()
                else:
                    h.proc.send_signal(how)
                i, r = h.result("Done", timeout=10)
                self.assertEqual(r["hr"], 0)
                h.wait_for(lambda l: l.get("type") == "counts", start=i, what="counts")
                self.assertEqual(h.finish(), 0)
                d.expect_closed()
                with open(trace, encoding="utf-8") as f:
                    self.assertIn('"ev":"accept"', f.read())

    def test_devsim_walks_the_road(self):
        cards = os.path.join(self.dir, "cards.txt")
        with open(cards, "w") as f:
            f.write("0012345678\n")
        h = self.start_host("--policy", "cards=" + cards)
        out = subprocess.run(
            [os.path.join(BIN, "ax_gate-devsim"), "--devices", "2", "--card", "0012345678",
             "--card", "0099999999", "--count", "2", "--rate", "5", "--pass-delay", "100",
             "--ping", "200"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        text = out.stdout.decode("utf-8", "replace")
        self.assertEqual(out.returncode, 0, text)
        row = [l.split() for l in text.splitlines() if l.startswith("all ")]
        self.assertEqual(len(row), 1, text)
        requests, opens, refusals, timeouts = map(int, row[0][1:5])
        self.assertEqual((requests, opens, refusals, timeouts), (4, 2, 2, 0), text)
        self.assertNotIn("note:", text)
        h.send("quit")
        self.assertEqual(h.finish(), 0)


if __name__ == "__main__":
    unittest.main()
