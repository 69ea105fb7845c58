#!/usr/bin/env python3
"""Both Windows builds under Wine, in one fresh temporary 64-bit prefix.

    wine_e2e.py SOURCE_DIR WIN64_BIN_DIR WIN32_BIN_DIR

Runs inside a private network namespace (run_wine_tests.sh wine), or as root
under the port-1001 lock where namespaces are refused, so the add-in's port
1001 is ours alone. The suites that need the Russian ANSI code page (1251), as
the installations have it, run under a Russian locale; the prefix itself, its
services and the other programs under an English one (see SUITES). The x86_64 build runs under wine64; then the i686 build,
the one 1C:Enterprise 7.7 loads, runs in the same prefix under wine32, as on
64-bit Windows (WoW64: its registration lands in the 32-bit registry view,
where 32-bit programs such as 1C look). For each build, in order:
  * the GoogleTest suites built for Windows (platform, transports, the add-in
    object over oleaut32, the Win32 layer);
  * regsvr32 of ax_gate.dll: the five registry keys and their values, read back
    with reg query; regsvr32 /u removes them; per-user registration;
  * ax_gate-host.exe --format jsonl --policy allow with the module registered
    from a directory with a blank in its name (so through its short path),
    driven by a test device on 127.0.0.1:1001 from card to gate, frames checked
    byte for byte; Stop closes everything, Start listens again; the trace
    switched on in the registry (HKCU\\Software\\ax_gate, "Trace") holds the
    road, and ax_gate-trace.exe reads it back;
  * the Win32 serial line: a pseudo-terminal given to Wine as COM9, read by
    ax_gate-serialmon.exe (connector and controller on a serial port);
  * (i686) ax_gate-devsim.exe: two simulated turnstiles from 127.0.0.2 and
    127.0.0.3 against ax_gate-host.exe, every card decided;
  * (i686) install.cmd and uninstall.cmd of the package (make dist);
  * MinGW's shared runtime DLLs loaded before the add-in, whose own exceptions
    must still be caught inside it.
Every wait is bounded; any failure fails the run.
"""
import glob
import json
import os
import pty
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest
import zipfile

SOURCE = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
BIN64 = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
BIN32 = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None
WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"  # wine32 (i386), run through qemu-i386 where the kernel cannot
PORT = 1001
PROGID = "AddIn.ax_gate"
TRACE_KEY = "HKEY_CURRENT_USER\\Software\\ax_gate"
DESCRIPTION = "V7 AddIn 2.0"

# Tests of the shared suites that hold only on Linux, or that Wine cannot pass:
#  - Wine hands a peer's reset (RST) to the program as an orderly close: recv
#    gives 0 and FD_CLOSE carries no error, so the reset tests cannot pass
#    under it (Windows itself reports WSAECONNRESET);
#  - the SocketError tests compare with Linux strerror texts and errno numbers;
#  - a 1 ms timer: Windows timers have a 10 ms minimum (USER_TIMER_MINIMUM), so
#    the 1 ms and 10 ms timers of that test fire in the same tick.
EXCLUDED = [
    "Socket.PeerCloseIsSeenAsReadOfZeroAndOneCloseNotification",
    "Socket.ResetSeenByAReaderWithoutCloseWatchFailsRecv",
    "MonitorSocket.APeerThatResetsIsReportedAndRemoved",
    "SocketError.MessageNamesTheTextTheCodeAndTheCall",
    "SocketError.AddressesThatAreNotDottedIPv4LiteralsAreRejected",
    "MessageLoopTimers.FireInDeadlineOrderAndNeverEarly",
]
# The suites and the locale each runs in. The add-in's suite expects numbers
# turned into text with a decimal point, as with an English user locale; under a
# Russian one oleaut32 writes a decimal comma ("2,5"), as it does in 1C there.
# Wine keeps the user's number format in the prefix's registry and rewrites it
# whenever a program starts under another locale than the last one: a service
# started under the Russian locale while the add-in's suite runs would hand it
# the comma. So the prefix and its services are English, and only the suites
# that need the Russian code page run under a Russian locale.
SUITES = [
    ("wine_platform_tests.exe", "ru_RU.UTF-8"),
    ("wine_transport_tests.exe", "ru_RU.UTF-8"),
    ("wine_win32_tests.exe", "ru_RU.UTF-8"),
    ("wine_addin_tests.exe", "en_US.UTF-8"),
]


def crc8(text):
    crc = 0xFF
    for b in text.encode("cp1251"):
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x31) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return "%02X" % crc


def frame(text):
    return text + crc8(text)


def windows_path(path):
    """Wine's drive Z: is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    """A fresh Wine prefix in a temporary directory, removed at the end."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="axg-wine-")
        self.wineserver = os.path.join(os.path.dirname(WINE64), "wineserver")
        self.env = dict(os.environ, WINEPREFIX=self.dir, WINEDEBUG="-all", WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LANG="en_US.UTF-8", LC_ALL="en_US.UTF-8")
        self.env.pop("DISPLAY", None)
        try:
            self.run("wineboot", "--init", timeout=240, wine=WINE64)
            # The first 32-bit program brings up the prefix's 32-bit side.
            self.run("cmd", "/c", "exit", timeout=240, wine=WINE32)
            # wineboot returns while the prefix's set-up goes on in the background
            # (services, fake DLLs, the 32-bit side): waiting for its server to end
            # lets all of it finish before the first test, which it could race.
            subprocess.run([self.wineserver, "-w"], env=self.env, timeout=240, check=True)
            # A persistent server keeps the prefix's services up between the many
            # short Wine runs; each would otherwise start them afresh.
            subprocess.run([self.wineserver, "-p"], env=self.env, timeout=60, check=True)
            self.drive_c = os.path.join(self.dir, "drive_c")
            if not os.path.isdir(self.drive_c):
                raise AssertionError("wineboot made no drive_c in " + self.dir)
        except BaseException:
            self.close()  # no tearDownClass follows a failed setUpClass
            raise

    # Output goes to files, never to pipes: Wine's services, started by whichever
    # program needs them first and kept by the persistent server, inherit the
    # program's output handles and would hold a pipe open after the program ended.
    def run(self, *args, wine, timeout=120, check=True, locale=None):
        env = dict(self.env, LANG=locale, LC_ALL=locale) if locale else self.env
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run([wine, *args], env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               timeout=timeout)
            out.seek(0)
            err.seek(0)
            p.stdout, p.stderr = out.read(), err.read()
        if check and p.returncode != 0:
            raise AssertionError("%s %s failed with %d:\n%s%s" % (os.path.basename(wine), " ".join(args), p.returncode,
                                 p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")))
        return p

    def popen(self, *args, wine, stderr, stdout=subprocess.PIPE):
        """A program fed on standard input, whose output is read as it comes
        (the services are up by then)."""
        return subprocess.Popen([wine, *args], env=self.env, stdin=subprocess.PIPE, stdout=stdout, stderr=stderr)

    def reg_tree(self, key, wine):
        """The key and its subkeys as reg query /s lists them: {key: {value name: data}},
        the default value under ""; None if the key is absent. One query per tree:
        every Wine start costs time. wine32's reg sees the 32-bit registry view."""
        p = self.run("reg", "query", key, "/s", check=False, wine=wine)
        if p.returncode != 0:
            return None
        tree, current = {}, None
        for line in p.stdout.decode("cp866", "replace").splitlines():
            if line.startswith("HKEY_"):
                current = tree.setdefault(line.strip().upper(), {})
            elif current is not None and line.startswith("    ") and "    REG_" in line:
                name, rest = line[4:].split("    REG_", 1)
                kind, _, data = rest.partition("    ")
                # The default value's label depends on the prefix's language.
                current["" if name.startswith("(") else name] = data
        return tree

    def close(self):
        subprocess.run([self.wineserver, "-k"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)


class Host:
    """ax_gate-host.exe in JSON Lines mode; a thread collects its output."""

    def __init__(self, prefix, build, *args):
        self.errors = tempfile.TemporaryFile()
        self.proc = prefix.popen(os.path.join(build.BIN, "ax_gate-host.exe"), "--format", "jsonl", *args,
                                 wine=build.WINE, stderr=self.errors)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
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

    def wait_for(self, pred, timeout=10.0, start=0, what="a matching line"):
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
                    raise AssertionError("timed out waiting for %s; host output so far:\n%s" % (
                        what, "\n".join(json.dumps(l, ensure_ascii=False) for l in self.lines[-40:])))
                self.cond.wait(left)

    def event(self, name, data, start=0):
        return self.wait_for(lambda l: l.get("type") == "event" and l.get("name") == name and l.get("data") == data,
                             start=start, what="event %s %s" % (name, data))

    def result(self, call, start=0):
        return self.wait_for(lambda l: l.get("type") == "result" and l.get("call") == call,
                             start=start, what="result of " + call)

    def finish(self, timeout=30.0):
        """Ends the host at the end of its input; its exit code."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("ax_gate-host.exe did not end at the end of its input")
        self.errors.seek(0)
        self.stderr = self.errors.read()
        self.errors.close()
        return self.proc.returncode


class Device:
    """A gate controller on the Linux side: a TCP client from its own address."""

    def __init__(self, source, address):
        self.address = address
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind((source, 0))
        self.sock.settimeout(5.0)
        self.sock.connect(("127.0.0.1", PORT))
        self.received = b""

    def send(self, line):
        self.sock.sendall((line + "\r\n").encode("cp1251"))

    def card(self, number):
        self.send(frame("$" + self.address + "RQ" + number))

    def read_until(self, n, timeout=10.0):
        """Everything received once at least n bytes have come (bounded)."""
        deadline = time.monotonic() + timeout
        while len(self.received) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("device %s: %d of %d bytes: %r" % (self.address, len(self.received), n,
                                                                       self.received))
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            if not data:
                raise AssertionError("device %s: closed after %r" % (self.address, self.received))
            self.received += data
        return self.received

    def take(self, n):
        self.read_until(n)
        head, self.received = self.received[:n], self.received[n:]
        return head

    def greeting(self):
        """The server's one-line greeting, which comes first."""
        deadline = time.monotonic() + 10
        while b"\r\n" not in self.received:
            if time.monotonic() > deadline:
                raise AssertionError("device %s: no greeting line: %r" % (self.address, self.received))
            self.read_until(len(self.received) + 1)
        line, self.received = self.received.split(b"\r\n", 1)
        return line

    def expect_closed(self, timeout=10.0):
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
            self.received += data
        raise AssertionError("device %s: the connection is still open" % self.address)

    def close(self):
        self.sock.close()


PREFIX = None
KEEP_OPEN = []  # descriptors closed once the prefix's server is gone


def setUpModule():
    global PREFIX
    t0 = time.monotonic()
    PREFIX = Prefix()
    print("fresh Wine prefix %s in %.1f s" % (PREFIX.dir, time.monotonic() - t0), flush=True)


def tearDownModule():
    if PREFIX:
        PREFIX.close()
    for fd in KEEP_OPEN:
        os.close(fd)


class X8664BuildUnderWine(unittest.TestCase):
    """build-win64 under wine64."""
    BIN = BIN64
    WINE = WINE64
    # Where test_4 installs the DLL: a folder with blanks in its name.
    INSTALL_DIR = ("Program Files", "ax gate")
    # MinGW's shared runtime as Debian's mingw-w64 has it for this architecture.
    TRIPLE = "x86_64-w64-mingw32"
    LIBGCC = "libgcc_s_seh-1.dll"
    # The builds of the add-in that test_8 loads.
    DLLS = ("ax_gate.dll",)

    @classmethod
    def setUpClass(cls):
        cls.prefix = PREFIX
        cls.t_class = time.monotonic()

    @classmethod
    def tearDownClass(cls):
        print("%s: %.1f s" % (cls.__name__, time.monotonic() - cls.t_class), flush=True)

    def setUp(self):
        self.t0 = time.monotonic()

    def tearDown(self):
        print("  (%.1f s)" % (time.monotonic() - self.t0), flush=True)

    def run_wine(self, *args, **kwargs):
        return self.prefix.run(*args, wine=self.WINE, **kwargs)

    def reg_tree(self, key):
        return self.prefix.reg_tree(key, self.WINE)

    def registered(self, root):
        """The ProgID's and the class's trees, and the class identifier."""
        progid = self.reg_tree(root + "\\" + PROGID) or {}
        clsid = progid.get((root + "\\" + PROGID + "\\Clsid").upper(), {}).get("")
        cls = self.reg_tree(root + "\\CLSID\\" + clsid) if clsid else None
        return progid, cls or {}, clsid

    def check_registered(self, dll_value, root="HKEY_CLASSES_ROOT"):
        """The five keys with their values; the class identifier they name."""
        progid, cls, clsid = self.registered(root)
        self.assertIsNotNone(clsid, PROGID + "\\Clsid is not registered: %r" % progid)
        self.assertRegex(clsid, r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")
        base = root + "\\CLSID\\" + clsid
        expected = {
            (root + "\\" + PROGID).upper(): {"": DESCRIPTION},
            (root + "\\" + PROGID + "\\Clsid").upper(): {"": clsid},
        }
        self.assertEqual(progid, expected)
        # The threading model is single: InprocServer32 holds the path and nothing else.
        expected = {
            base.upper(): {"": DESCRIPTION},
            (base + "\\InprocServer32").upper(): {"": dll_value},
            (base + "\\ProgID").upper(): {"": PROGID},
        }
        self.assertEqual(cls, expected)
        return clsid

    def check_unregistered(self, clsid, root="HKEY_CLASSES_ROOT"):
        for key in (root + "\\" + PROGID, root + "\\CLSID\\" + clsid):
            self.assertIsNone(self.reg_tree(key), key + " is still there")

    def test_1_suites(self):
        for suite, locale in SUITES:
            exe = os.path.join(self.BIN, suite)
            self.assertTrue(os.path.isfile(exe), exe + " is missing")
            t0 = time.monotonic()
            p = self.run_wine(exe, "--gtest_filter=-" + ":".join(EXCLUDED), "--gtest_brief=1", timeout=300,
                                check=False, locale=locale)
            out = p.stdout.decode("utf-8", "replace") + p.stderr.decode("utf-8", "replace")
            summary = [l for l in out.splitlines() if l.startswith("[  PASSED  ]") or l.startswith("[  FAILED  ]")]
            print("%s (%.1f s): %s" % (suite, time.monotonic() - t0, "; ".join(summary) or "no summary"),
                  flush=True)
            self.assertEqual(p.returncode, 0, suite + " failed:\n" + out[-6000:])
            self.assertTrue(any(l.startswith("[  PASSED  ]") for l in summary), suite + " ran no tests:\n" + out)

    def test_2_regsvr32_writes_and_removes_the_five_keys(self):
        dll = os.path.join(self.BIN, "ax_gate.dll")
        self.run_wine("regsvr32", "/s", windows_path(dll))
        clsid = self.check_registered(windows_path(dll))
        # Registering again rewrites the same values.
        self.run_wine("regsvr32", "/s", windows_path(dll))
        self.assertEqual(self.check_registered(windows_path(dll)), clsid)
        self.run_wine("regsvr32", "/u", "/s", windows_path(dll))
        self.check_unregistered(clsid)
        # Unregistering with nothing registered succeeds all the same.
        self.run_wine("regsvr32", "/u", "/s", windows_path(dll))

    def test_3_per_user_switches_use_the_current_users_classes(self):
        dll = windows_path(os.path.join(self.BIN, "ax_gate.dll"))
        regsvr = os.path.join(self.BIN, "ax_gate-regsvr.exe")
        user = "HKEY_CURRENT_USER\\Software\\Classes"
        self.run_wine(regsvr, dll, "/REGSERVERPERUSER")
        clsid = self.check_registered(dll, user)
        self.assertIsNone(self.reg_tree("HKEY_LOCAL_MACHINE\\Software\\Classes\\" + PROGID),
                          "per-user registration wrote to the machine-wide classes")
        self.run_wine(regsvr, "/u", dll, "/UNREGSERVERPERUSER")
        self.check_unregistered(clsid, user)

    def test_4_host_drives_a_device_from_card_to_gate(self):
        # Installed where the path has a blank: registered under its short path.
        folder = os.path.join(self.prefix.drive_c, *self.INSTALL_DIR)
        os.makedirs(folder, exist_ok=True)
        shutil.copy(os.path.join(self.BIN, "ax_gate.dll"), folder)
        long_path = "C:\\" + "\\".join(self.INSTALL_DIR) + "\\ax_gate.dll"
        self.run_wine("regsvr32", "/s", long_path)
        _, cls, clsid = self.registered("HKEY_CLASSES_ROOT")
        inproc = cls.get(("HKEY_CLASSES_ROOT\\CLSID\\%s\\InprocServer32" % clsid).upper(), {}).get("")
        self.assertIsNotNone(inproc, cls)
        self.assertNotIn(" ", inproc, "a path with a blank must be registered in its short form")
        self.assertTrue(inproc.upper().startswith("C:\\") and inproc.upper().endswith("\\AX_GATE.DLL"), inproc)
        clsid = self.check_registered(inproc)

        # The trace, switched on as a support engineer does at a site.
        trace_dir = os.path.join(self.prefix.drive_c, "ax gate trace")
        os.makedirs(trace_dir, exist_ok=True)
        trace_file = os.path.join(trace_dir, "trace.jsonl")
        for old in glob.glob(trace_file + "*"):  # the other build's run wrote here too
            os.remove(old)
        # An expandable value, as regedit writes one with a %VARIABLE% in it.
        self.run_wine("reg", "add", TRACE_KEY, "/v", "Trace", "/t", "REG_EXPAND_SZ", "/d",
                      "%SystemDrive%\\ax gate trace\\trace.jsonl", "/f")

        devices = []
        h = Host(self.prefix, self, "--policy", "allow")
        try:
            h.wait_for(lambda l: l.get("type") == "ready", timeout=60, what="ready")
            _, r = h.result("Start")
            self.assertEqual((r["value"], r["hr"]), ("TRUE", 0))

            d = Device("127.0.0.2", "0001")
            devices.append(d)
            self.assertTrue(d.greeting(), "the greeting line is empty")
            d.card("0012345678")
            i, _ = h.event("CHECK", "127.0.0.2;0001;T;0012345678;0")
            i, r = h.result("GateOpen", start=i)
            self.assertEqual((r["value"], r["hr"]), ("TRUE", 0))
            # After the card: "test" to every connection, then the open command
            # as its two frames, nothing else and nothing between.
            expected = b"testBF$0001GO65$0001GR6A"
            self.assertEqual(("test" + crc8("test") + frame("$0001GO") + frame("$0001GR")).encode(), expected)
            self.assertEqual(d.take(len(expected)), expected)
            d.send("#0001GR")  # relay report
            d.send(frame("$0001GR"))  # the pass is done
            i, _ = h.event("STATUS", "127.0.0.2;0001;T;0012345678;FINISH", start=i)
            h.event("CHECK", "127.0.0.2;0001;T;0012345678;2", start=i)
            self.assertEqual(d.take(12), b"testBFtestBF")

            # Stop closes every connection and the listener; Start listens again.
            h.send("Stop")
            i, r = h.result("Stop", start=i)
            self.assertEqual((r["value"], r["hr"]), ("TRUE", 0))
            d.expect_closed()
            self.assertEqual(d.received, b"", "nothing more after the pass")
            with self.assertRaises(ConnectionRefusedError):
                Device("127.0.0.3", "0002").close()
            h.send(["Start"])
            i, r = h.result("Start", start=i + 1)
            self.assertEqual((r["value"], r["hr"]), ("TRUE", 0))
            d2 = Device("127.0.0.3", "0002")
            devices.append(d2)
            d2.greeting()
            d2.card("0087654321")
            h.event("CHECK", "127.0.0.3;0002;T;0087654321;0", start=i)
            expected = ("testBF" + frame("$0002GO") + frame("$0002GR")).encode()
            self.assertEqual(d2.take(len(expected)), expected)
        finally:
            for d in devices:
                d.close()
            rc = h.finish()
        err = h.stderr.decode("utf-8", "replace")
        self.assertEqual(rc, 0, err)
        self.assertNotIn("callback failed", err)
        _, done = h.result("Done")
        self.assertEqual(done["hr"], 0)
        _, counts = h.wait_for(lambda l: l.get("type") == "counts", what="counts")
        self.assertEqual((counts["lost"], counts["errorlog"]), (0, 0), counts)

        self.run_wine("regsvr32", "/u", "/s", long_path)
        self.check_unregistered(clsid)
        self.run_wine("reg", "delete", TRACE_KEY, "/v", "Trace", "/f")
        self.check_trace(trace_file)

    def check_trace(self, trace_file):
        """The road of the first card in the trace, in order, and the reader's account of it."""
        with open(trace_file, encoding="utf-8") as f:
            records = [json.loads(line) for line in f]
        self.assertEqual(records[0]["ev"], "start")
        # The records as written: an entry's later records name only its id, its
        # reports leave out what its first record said (address, device, type, card).
        road = [
            {"ev": "call", "method": "Start", "answer": "TRUE"},
            {"ev": "accept", "a": "127.0.0.2"},
            {"ev": "line", "a": "127.0.0.2", "b": frame("$0001RQ0012345678") + "\r\n"},
            {"ev": "state", "from": "", "to": "NEW", "ip": "127.0.0.2", "d": "0001", "type": "T", "card": "0012345678"},
            {"ev": "CHECK", "rest": "0"},
            {"ev": "call", "method": "GateOpen", "args": ["127.0.0.2", "0001", "TRUE"], "answer": "TRUE"},
            {"ev": "frame", "b": frame("$0001GO")},
            {"ev": "frame", "b": frame("$0001GR")},
            {"ev": "state", "to": "OPEN"},
            {"ev": "line", "a": "127.0.0.2", "b": "#0001GR\r\n"},
            {"ev": "state", "to": "FINISH"},
            {"ev": "CHECK", "rest": "2"},
            {"ev": "state", "to": ""},
            {"ev": "call", "method": "Stop", "answer": "TRUE"},
            {"ev": "close", "a": "127.0.0.2", "why": "closed"},
        ]
        ids = {r["id"] for r in records if r.get("ev") == "state" and r.get("ip") == "127.0.0.2"}
        self.assertEqual(len(ids), 1, ids)
        for want in road[2:13]:  # every record of the request carries its entry's id
            want["id"] = next(iter(ids))
        at = 0
        for want in road:
            while at < len(records) and any(records[at].get(k) != v for k, v in want.items()):
                at += 1
            self.assertLess(at, len(records), "not in the trace after the records before it: %r" % want)
        # As the guides write it: the reader expands the wildcard itself, cmd.exe does not.
        p = self.run_wine(os.path.join(self.BIN, "ax_gate-trace.exe"), windows_path(trace_file) + "*")
        out = p.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        for line in ["127.0.0.2 device 0001: 1 request", "127.0.0.3 device 0002: 1 request",
                     "summary: 2 requests, 2 opened, 0 refused, 0 not answered, 0 timed out"]:
            self.assertIn(line, out)
        self.assertRegex(out, r"card 0012345678 \(T\) #\d+: opened, finished\n")
        steps = re.findall(r"^ +\+[0-9.]+ ms  (\S+)", out.split("127.0.0.3")[0], re.M)
        self.assertEqual(steps, ["CHECK", "GateOpen", "GO", "relay", "line", "finished", "CHECK", "dropped"], out)
        # The same trace as a web page.
        page = trace_file + ".html"
        self.run_wine(os.path.join(self.BIN, "ax_gate-trace.exe"), "--html", windows_path(page),
                      windows_path(trace_file))
        with open(page, encoding="utf-8") as f:
            html = f.read()
        for part in ['data-k="requests"><b>2</b>', '{"ip":"127.0.0.2","dev":"0001"', '{"ip":"127.0.0.3","dev":"0002"']:
            self.assertIn(part, html)

    def test_8_own_exceptions_are_caught_with_mingws_shared_runtime_loaded(self):
        # Another module built with MinGW's default options (an add-in, a driver)
        # has brought the shared libgcc, libstdc++ and winpthread into the process
        # before the add-in. The add-in's own exceptions, which it answers through
        # the result and ErrorMsg, must still be caught inside it: a method before
        # Init, GateOpen with a Null parameter, Start with port 1001 taken.
        gcc = sorted(glob.glob("/usr/lib/gcc/%s/*-posix" % self.TRIPLE))[-1]
        loads = []
        for path in ("/usr/%s/lib/libwinpthread-1.dll" % self.TRIPLE, gcc + "/" + self.LIBGCC,
                     gcc + "/libstdc++-6.dll"):
            loads += ["--load", windows_path(path)]
        for name in self.DLLS:
            with self.subTest(dll=name):
                self.check_own_exceptions(windows_path(os.path.join(self.BIN, name)), loads)

    def check_own_exceptions(self, dll, loads):
        self.run_wine("regsvr32", "/s", dll)
        busy = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            for init in (False, True):
                if init:  # past the earlier tests' connections in TIME_WAIT
                    busy.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                    busy.bind(("0.0.0.0", PORT))
                    busy.listen(1)
                h = Host(self.prefix, self, *loads, *([] if init else ["--no-init"]))
                try:
                    h.wait_for(lambda l: l.get("type") == "ready", timeout=60, what="ready")
                    i, r = h.result("Start")
                    self.assertEqual((r["value"], r["hr"]), ("FALSE" if init else "", 0))
                    h.send(["GateOpen", None, "0001", "TRUE"])
                    i, r = h.result("GateOpen", start=i + 1)
                    self.assertEqual((r["value"], r["hr"]), ("", 0))
                    h.send(["get", "ErrorMsg"])
                    _, r = h.result("get ErrorMsg", start=i + 1)
                    self.assertEqual(r["value"], "Could not convert variant of type (Null) into type (OleStr)"
                                     if init else "The add-in is not initialised")
                finally:
                    rc = h.finish()
                self.assertEqual(rc, 0, h.stderr.decode("utf-8", "replace"))
        finally:
            busy.close()
            self.run_wine("regsvr32", "/u", "/s", dll)

    def test_5_serial_line_through_a_wine_com_port(self):
        # Wine opens COMn through the link dosdevices/comN: here a pseudo-terminal
        # whose other side plays the device.
        master, slave = pty.openpty()
        tty.setraw(slave)
        link = os.path.join(self.prefix.dir, "dosdevices", "com9")
        os.symlink(os.ttyname(slave), link)
        out = tempfile.TemporaryFile()
        mon = self.prefix.popen(os.path.join(self.BIN, "ax_gate-serialmon.exe"), "--device", "COM9", "--answer",
                                "TRUE", wine=self.WINE, stderr=subprocess.STDOUT, stdout=out)
        try:
            def output():
                out.seek(0)
                return out.read().decode("utf-8", "replace").replace("\r\n", "\n")  # text-mode stdout

            def wait_output(text, timeout=30.0):
                deadline = time.monotonic() + timeout
                while text not in output():
                    if time.monotonic() > deadline or mon.poll() is not None:
                        raise AssertionError("no %r from ax_gate-serialmon.exe:\n%s" % (text, output()))
                    time.sleep(0.05)

            wait_output("open     COM9")
            # A card request carrying the whole connector message, split over two
            # writes; then noise before an event packet, and the event's stop in a
            # later chunk.
            request = "$" + frame("$COM9:0001RQ0012345678") + "\r"
            os.write(master, request[:9].encode())
            time.sleep(0.1)
            os.write(master, request[9:].encode())
            wait_output("decision COM9;0001;T;0012345678;0")
            wait_output("answer   COM9;0001;TRUE")
            event = "#" + frame("#COM9:0001Gate-Open")
            os.write(master, b"xx" + event.encode())
            time.sleep(0.1)
            os.write(master, b"\r")
            wait_output("message  " + frame("#COM9:0001Gate-Open") + "\n")
            self.assertIn("message  " + frame("$COM9:0001RQ0012345678") + "\n", output())
            self.assertNotIn("port     ", output(), "the line reported a failure")
        finally:
            mon.stdin.close()
            try:
                rc = mon.wait(30)
            finally:
                if mon.poll() is None:
                    mon.kill()
                os.remove(link)
                # Closed after the prefix's server is gone: the server holds the
                # pseudo-terminal, and its hang-up would reach the server.
                KEEP_OPEN.extend([master, slave])
        self.assertEqual(rc, 0, output())


class I686BuildUnderWine(X8664BuildUnderWine):
    """build-win32 under wine32, in the same prefix: 32-bit programs on 64-bit
    Windows, as 1C:Enterprise 7.7 runs there. Every check of the x86_64 build
    again, and the device simulator against the host."""
    BIN = BIN32
    WINE = WINE32
    INSTALL_DIR = ("Program Files (x86)", "1Cv77", "BIN")
    TRIPLE = "i686-w64-mingw32"
    LIBGCC = "libgcc_s_dw2-1.dll"
    # Also as a build without -s links it: long section names.
    DLLS = ("ax_gate.dll", os.path.join("unstripped", "ax_gate.dll"))

    def test_6_simulated_turnstiles_from_their_own_addresses(self):
        # Two controllers from 127.0.0.2 and 127.0.0.3 (the add-in tells
        # controllers apart by address), one card allowed and one refused each.
        dll = os.path.join(self.BIN, "ax_gate.dll")
        self.run_wine("regsvr32", "/s", windows_path(dll))
        allowed = os.path.join(SOURCE, "examples", "allowed-cards.txt")
        h = Host(self.prefix, self, "--policy", "cards=" + windows_path(allowed))
        out = tempfile.TemporaryFile()
        try:
            h.wait_for(lambda l: l.get("type") == "ready", timeout=60, what="ready")
            _, r = h.result("Start")
            self.assertEqual((r["value"], r["hr"]), ("TRUE", 0))
            sim = subprocess.run([self.WINE, os.path.join(self.BIN, "ax_gate-devsim.exe"), "--devices", "2",
                                  "--card", "0012345678", "--card", "0099999999", "--count", "2", "--rate", "4",
                                  "--pass-delay", "50", "--ping", "0", "--answer-timeout", "8000"],
                                 env=self.prefix.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 timeout=120)
            out.seek(0)
            text = out.read().decode("utf-8", "replace").replace("\r\n", "\n")
            self.assertEqual(sim.returncode, 0, text)
            for source, device in (("127.0.0.2", "0001"), ("127.0.0.3", "0002")):
                h.wait_for(lambda l: l.get("type") == "event" and l.get("name") == "CHECK" and
                           str(l.get("data", "")).startswith("%s;%s;T;" % (source, device)),
                           what="a card request of %s from %s" % (device, source))
        finally:
            rc = h.finish()
            self.run_wine("regsvr32", "/u", "/s", windows_path(dll))
        self.assertEqual(rc, 0, h.stderr.decode("utf-8", "replace"))
        totals = re.search(r"^all +(\d+) +(\d+) +(\d+) +(\d+) ", text, re.M)
        self.assertIsNotNone(totals, text)
        self.assertEqual(tuple(map(int, totals.groups())), (4, 2, 2, 0), "requests, opens, refusals, timeouts:\n" + text)
        self.assertNotIn("note:", text)

    def test_7_install_and_uninstall_commands_of_the_package(self):
        # The package of make dist, unpacked where 1C 7.7 lives on 64-bit Windows,
        # in a folder whose name holds what cmd reads as syntax and Cyrillic
        # letters (which cmd's output, in the console's code page, shows as "?").
        parts = ("Program Files (x86)", "1Cv77 Склад & Касса!", "BIN")
        folder = os.path.join(self.prefix.drive_c, *parts)
        os.makedirs(folder, exist_ok=True)
        with tempfile.TemporaryDirectory() as out:
            made = subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "dist-win32.py"), SOURCE,
                                   self.BIN, out], stdout=subprocess.PIPE, check=True, timeout=120)
            with zipfile.ZipFile(made.stdout.decode().strip()) as z:
                for member in z.namelist():
                    with open(os.path.join(folder, os.path.basename(member)), "wb") as f:
                        f.write(z.read(member))
        install = "C:\\" + "\\".join(parts) + "\\install.cmd"
        shown = b'"C:\\Program Files (x86)\\1Cv77 ????? & ?????!\\BIN\\ax_gate.dll"'

        def run(script, *args, check=True):
            # "call": cmd /c would take the quotes off a path with parentheses.
            return self.prefix.run("cmd", "/c", "call", install.replace("install.cmd", script), *args,
                                   wine=WINE64, check=check, locale="C.UTF-8")

        # Wine's user has no LocalService hive, the mark the commands take for
        # administrator rights: first they must stop and say so, and, started
        # without /q, wait for a key.
        p = run("install.cmd", check=False)
        self.assertEqual(p.returncode, 1, p.stdout)
        self.assertIn(b"needs administrator rights", p.stdout)
        self.assertIn(b"Press any key", p.stdout)
        self.assertEqual(self.registered("HKEY_CLASSES_ROOT")[2], None, "registered without the rights")
        self.prefix.run("reg", "add", "HKU\\S-1-5-19\\axg", "/f", wine=WINE64)
        try:
            p = run("install.cmd", "/q")
            self.assertIn(b"Registered: " + shown, p.stdout)
            self.assertNotIn(b"Press any key", p.stdout)
            # The 32-bit regsvr32 wrote it: the 32-bit view, where 1C looks, has it.
            _, cls, clsid = self.registered("HKEY_CLASSES_ROOT")
            inproc = cls.get(("HKEY_CLASSES_ROOT\\CLSID\\%s\\InprocServer32" % clsid).upper(), {}).get("")
            self.assertIsNotNone(inproc, cls)
            self.check_registered(inproc)
            self.assertTrue(inproc.upper().endswith("\\BIN\\AX_GATE.DLL"), inproc)
            p = run("uninstall.cmd", "/q")
            self.assertIn(b"Unregistered: " + shown, p.stdout)
            self.check_unregistered(clsid)
            # The DLL deleted before its uninstall: it cannot be unregistered, and
            # the port is closed in the firewall all the same.
            os.remove(os.path.join(folder, "ax_gate.dll"))
            p = run("uninstall.cmd", "/q", check=False)
            self.assertEqual(p.returncode, 1, p.stdout)
            self.assertIn(b"failed", p.stdout)
            self.assertIn(b"The firewall rule for TCP port 1001 is removed.", p.stdout)
        finally:
            self.prefix.run("reg", "delete", "HKU\\S-1-5-19", "/f", wine=WINE64, check=False)

if __name__ == "__main__":
    if not SOURCE or not BIN64 or not BIN32:
        sys.exit("usage: wine_e2e.py SOURCE_DIR WIN64_BIN_DIR WIN32_BIN_DIR")
    for wine in (WINE64, WINE32):
        if not os.access(wine, os.X_OK):
            sys.exit("wine_e2e: %s is missing (scripts/install-deps.sh windows)" % wine)
    suite = unittest.TestSuite()
    for case in (X8664BuildUnderWine, I686BuildUnderWine):
        suite.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() and result.testsRun == 14 else 1)
