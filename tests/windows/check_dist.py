#!/usr/bin/env python3
"""Checks the package of `make dist`:

    check_dist.py ZIP SOURCE_DIR WIN32_BIN_DIR

One folder named as the archive; exactly the DLL and tools of the i686 tree,
byte for byte and 32-bit; the example module in Windows-1251 with CR LF line
ends and the same text as in the repository; install.cmd and uninstall.cmd in
code page 866 with CR LF, taking the 32-bit regsvr32 on 64-bit Windows,
refusing without administrator rights, handling the firewall rule for port
1001 (on Windows XP and Server 2003 for every profile, the version told by
ver), safe with any folder name and waiting for a key unless /q; the guides
in Russian and English.
"""
import os
import struct
import sys
import zipfile

BINARIES = {"ax_gate.dll", "ax_gate-regsvr.exe", "ax_gate-host.exe", "ax_gate-trace.exe", "ax_gate-devsim.exe",
            "ax_gate-serialsim.exe", "ax_gate-serialmon.exe"}
TEXTS = {"ax_gate_demo.1s", "allowed-cards.txt", "install.cmd", "uninstall.cmd", "INSTALL-ru.txt", "INSTALL-en.txt"}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def windows_lines(name, data):
    check(b"\r\n" in data and b"\n" not in data.replace(b"\r\n", b""), name + ": lines must end in CR LF")


def machine(data):
    """The PE header's machine field."""
    if data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, pe + 4)[0]


def main():
    zip_path, source, bin_dir = sys.argv[1:4]
    top = os.path.basename(zip_path)[:-len(".zip")]
    with zipfile.ZipFile(zip_path) as z:
        names = z.namelist()
        files = {n[len(top) + 1:]: z.read(n) for n in names if n.startswith(top + "/") and not n.endswith("/")}
        check(len(files) == len(names), "everything lies in the one folder %s/: %s" % (top, names))
    check(set(files) == BINARIES | TEXTS, "contents: %s" % sorted(files))
    for b in BINARIES & set(files):
        with open(os.path.join(bin_dir, b), "rb") as f:
            check(files[b] == f.read(), b + " differs from the i686 tree's")
        check(machine(files[b]) == 0x14C, b + " is not a 32-bit (i386) Windows image")

    module = files.get("ax_gate_demo.1s", b"")
    windows_lines("ax_gate_demo.1s", module)
    try:
        module.decode("utf-8")
        failures.append("ax_gate_demo.1s is still UTF-8, not Windows-1251")
    except UnicodeDecodeError:
        pass
    shipped = module.decode("cp1251", "replace").replace("\r\n", "\n")
    check("iconv" not in shipped and "UTF-8" not in shipped, "ax_gate_demo.1s still says to convert it from UTF-8")
    with open(os.path.join(source, "examples", "ax_gate_demo.1s"), encoding="utf-8") as f:
        body = f.read()
    code = lambda text: text[text.index("\nПерем "):]
    check(code(shipped) == code(body), "ax_gate_demo.1s does not say what examples/ax_gate_demo.1s says")
    check('СоздатьОбъект("AddIn.ax_gate")'.encode("cp1251") in module, "ax_gate_demo.1s creates no AddIn.ax_gate")

    for cmd in ("install.cmd", "uninstall.cmd"):
        data = files.get(cmd, b"")
        windows_lines(cmd, data)
        text = data.decode("cp866", "replace")
        check(text.startswith("@echo off"), cmd + " does not start with @echo off")
        check("%SystemRoot%\\SysWOW64\\regsvr32.exe" in text, cmd + " does not use the 32-bit regsvr32 on 64-bit Windows")
        check('reg query "HKU\\S-1-5-19"' in text and "администратора" in text,
              cmd + " does not refuse clearly without administrator rights")
        check("advfirewall firewall delete rule name=ax_gate" in text, cmd + " does not handle the firewall rule")
        # XP and Server 2003 (told by ver): every profile's rule. Delayed expansion
        # off before the folder's path is taken (it eats a "!"), the path only in
        # quotes (a "&" cuts the command, a ")" ends a block). A pause unless /q.
        xp = [line for line in text.splitlines() if line.lstrip().startswith("netsh firewall")]
        check(xp and all("profile=ALL" in line for line in xp) and 'ver | find " 5." >nul' in text,
              cmd + " does not open or close the XP firewall rule of every profile, chosen by ver")
        check(0 < text.find("setlocal DisableDelayedExpansion") < text.find("%~dp0") and
              "EnableDelayedExpansion" not in text and text.count("%DLL%") == text.count('"%DLL%"'),
              cmd + " takes or uses its folder's path unsafely")
        check('if /i "%~1"=="/q" set "QUIET=1"' in text and "if not defined QUIET pause" in text,
              cmd + " does not wait for a key at the end unless /q")
    install = files.get("install.cmd", b"").decode("cp866", "replace")
    check("localport=1001" in install and "portopening protocol=TCP port=1001" in install,
          "install.cmd does not open TCP port 1001 (Vista and later, and XP)")
    check('"%REGSVR%" /s "%DLL%"' in install, "install.cmd does not register the DLL next to it")
    check('"%REGSVR%" /u /s "%DLL%"' in files.get("uninstall.cmd", b"").decode("cp866", "replace"),
          "uninstall.cmd does not unregister the DLL next to it")

    for guide, words in (("INSTALL-ru.txt", ["Установка", "install.cmd", "Windows XP SP3", "127.0.0.2"]),
                         ("INSTALL-en.txt", ["Installing", "install.cmd", "Windows XP SP3", "127.0.0.2"])):
        data = files.get(guide, b"")
        windows_lines(guide, data)
        check(data.startswith(b"\xef\xbb\xbf"), guide + " has no UTF-8 byte-order mark")
        text = data.decode("utf-8-sig", "replace")
        for w in words:
            check(w in text, "%s does not mention %s" % (guide, w))

    if failures:
        print("\n".join("check_dist: " + f for f in failures), file=sys.stderr)
        sys.exit(1)
    print("%s: %d files checked" % (zip_path, len(files)))


if __name__ == "__main__":
    main()
