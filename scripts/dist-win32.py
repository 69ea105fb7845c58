#!/usr/bin/env python3
"""Writes the package an integrator unpacks on the 1C machine:

    dist-win32.py SOURCE_DIR WIN32_BIN_DIR OUT_DIR

OUT_DIR/ax_gate-<version>-win32.zip with one folder ax_gate-<version>-win32/:
the i686 DLL and tools, the example 1C module in Windows-1251, install.cmd and
uninstall.cmd, and the install guide in Russian and English. Windows text
files get CR LF line ends; the command files are in code page 866, as cmd.exe
reads them on a Russian Windows; the guides are UTF-8 with a byte-order mark,
which Notepad reads from Windows XP on.
"""
import os
import re
import sys
import zipfile

BINARIES = ["ax_gate.dll", "ax_gate-regsvr.exe", "ax_gate-host.exe", "ax_gate-trace.exe", "ax_gate-devsim.exe",
            "ax_gate-serialsim.exe", "ax_gate-serialmon.exe"]


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def version(source):
    with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"^project\(ax_gate VERSION ([0-9.]+)", f.read(), re.M)
    if not m:
        sys.exit("dist-win32: no project version in CMakeLists.txt")
    return m.group(1)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


# The example module's note on its encoding, as the repository keeps it (UTF-8,
# to be converted) and as the package ships it (converted already).
UTF8_NOTE = re.compile(r"^//  The file is UTF-8.*?^//\s+iconv [^\n]*\n", re.M | re.S)
CP1251_NOTE = ("//  The file is in Windows-1251, as 1C 7.7 wants its modules: open it in\n"
               "//  the configurator or in Notepad and copy what you need into the global module.\n")


def example_module(text):
    converted, n = UTF8_NOTE.subn(CP1251_NOTE, text, count=1)
    if n != 1:
        sys.exit("dist-win32: examples/ax_gate_demo.1s has no note on its encoding to replace")
    return converted


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    source, bin_dir, out_dir = (os.path.abspath(a) for a in sys.argv[1:])
    name = "ax_gate-%s-win32" % version(source)
    texts = {
        "ax_gate_demo.1s": crlf(example_module(read(os.path.join(source, "examples", "ax_gate_demo.1s")))).encode("cp1251"),
        "allowed-cards.txt": crlf(read(os.path.join(source, "examples", "allowed-cards.txt"))).encode("cp1251"),
        "install.cmd": crlf(read(os.path.join(source, "dist", "win32", "install.cmd"))).encode("cp866"),
        "uninstall.cmd": crlf(read(os.path.join(source, "dist", "win32", "uninstall.cmd"))).encode("cp866"),
        "INSTALL-ru.txt": crlf(read(os.path.join(source, "dist", "win32", "INSTALL-ru.txt"))).encode("utf-8-sig"),
        "INSTALL-en.txt": crlf(read(os.path.join(source, "dist", "win32", "INSTALL-en.txt"))).encode("utf-8-sig"),
    }
    missing = [b for b in BINARIES if not os.path.isfile(os.path.join(bin_dir, b))]
    if missing:
        sys.exit("dist-win32: missing in %s: %s (run make windows)" % (bin_dir, " ".join(missing)))
    os.makedirs(out_dir, exist_ok=True)
    zip_path = os.path.join(out_dir, name + ".zip")
    tmp = zip_path + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for b in BINARIES:
            z.write(os.path.join(bin_dir, b), name + "/" + b)
        for file_name, data in texts.items():
            z.writestr(zipfile.ZipInfo(name + "/" + file_name, date_time=(2026, 1, 1, 0, 0, 0)), data,
                       zipfile.ZIP_DEFLATED)
    os.replace(tmp, zip_path)
    print(zip_path)


if __name__ == "__main__":
    main()
