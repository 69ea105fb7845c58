#!/usr/bin/env python3
"""Checks the README and the guides against the tree they describe.

  check_docs.py SOURCE_DIR links      every relative link and its #anchor resolves
  check_docs.py SOURCE_DIR commands   every make target, tool and --option named in a
                                      command of the README or a guide exists
  check_docs.py SOURCE_DIR install    the zip's install guides (dist/win32/INSTALL-*.txt)
                                      say what the integrator's guide says

Each prints what it found wrong, one line each, and exits 1 if anything was.
"""
import os
import re
import sys

DOCS = ["README.md", "docs/integrator-guide.md", "docs/trace.md", "docs/performance.md",
        "docs/windows.md", "docs/design.md", "tools/serial/README.md"]
INTEGRATOR = "docs/integrator-guide.md"
INSTALL = ["dist/win32/INSTALL-en.txt", "dist/win32/INSTALL-ru.txt"]
# Words that stand for what the reader types, in each guide's own language.
PLACEHOLDERS = {"ADDRESS", "АДРЕС"}
UNITS = {"с": "s", "мс": "ms"}
# Tool name -> the folder whose sources must know each of its options.
TOOLS = {
    "ax_gate-host": "tools/host",
    "ax_gate-devsim": "tools/devsim",
    "ax_gate-trace": "tools/trace",
    "ax_gate-regsvr": "tools/regsvr",
    "ax_gate-serialsim": "tools/serial",
    "ax_gate-serialmon": "tools/serial",
    "axg_bench": "bench",
    "axg_trace_day": "bench/trace_day",
}


def read(root, rel):
    with open(os.path.join(root, rel), encoding="utf-8") as f:
        return f.read()


def prose_and_code(text):
    """(prose lines, code block lines), fences removed."""
    prose, code, fenced = [], [], False
    for line in text.split("\n"):
        if line.startswith("```"):
            fenced = not fenced
        elif fenced:
            code.append(line)
        else:
            prose.append(line)
    return prose, code


def slug(heading):
    """The anchor a Markdown renderer (GitHub's rule) gives a heading."""
    s = heading.strip().lower().replace("`", "")
    s = re.sub(r"[^\w\- ]", "", s)
    return s.replace(" ", "-")


def anchors(text):
    prose, _ = prose_and_code(text)
    return {slug(m.group(1)) for line in prose for m in [re.match(r"^#{1,6} (.*)$", line)] if m}


def check_links(root):
    faults = []
    for doc in DOCS:
        prose, _ = prose_and_code(read(root, doc))
        for line in prose:
            for target in re.findall(r"\]\(([^)\s]+)\)", line):
                if re.match(r"^[a-z]+:", target):
                    faults.append(f"{doc}: link leaves the tree: {target}")
                    continue
                path, _, anchor = target.partition("#")
                rel = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
                if not os.path.exists(os.path.join(root, rel)):
                    faults.append(f"{doc}: no such file: {target}")
                elif anchor and (not rel.endswith(".md") or anchor not in anchors(read(root, rel))):
                    faults.append(f"{doc}: no such section: {target}")
    return faults


def make_targets(root):
    targets = set()
    for line in read(root, "Makefile").split("\n"):
        m = re.match(r"^([A-Za-z0-9_. -]+):(?!=)", line)
        if m:
            targets.update(m.group(1).split())
    return targets


def tool_sources(root, folder):
    text = []
    for base, _, files in os.walk(os.path.join(root, folder)):
        for name in files:
            if name.endswith((".cpp", ".h")):
                with open(os.path.join(base, name), encoding="utf-8") as f:
                    text.append(f.read())
    return "\n".join(text)


def commands(text):
    """Each command line of a code block, and each inline code span that starts with a command."""
    prose, code = prose_and_code(text)
    spans = [s for line in prose for s in re.findall(r"`([^`]+)`", line)]
    return [c.strip() for c in code + spans if c.strip()]


def check_commands(root):
    faults = []
    targets = make_targets(root)
    sources = {}
    for doc in DOCS:
        for cmd in commands(read(root, doc)):
            words = cmd.split()
            for i, word in enumerate(words):
                if word == "make" and i + 1 < len(words) and re.match(r"^[a-z][a-z0-9-]*$", words[i + 1]):
                    if words[i + 1] not in targets:
                        faults.append(f"{doc}: no make target '{words[i + 1]}': {cmd}")
            tool = os.path.basename(words[0]).removesuffix(".exe")
            if tool.startswith(("ax_gate-", "axg_")) and "<" not in tool:
                if tool not in TOOLS:
                    faults.append(f"{doc}: no such tool '{tool}': {cmd}")
                    continue
                if tool not in sources:
                    sources[tool] = tool_sources(root, TOOLS[tool])
                for opt in re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", cmd):
                    if f'"{opt}"' not in sources[tool] and f'"{opt}=' not in sources[tool]:
                        faults.append(f"{doc}: {tool} has no option {opt}: {cmd}")
    return faults


def terms(text):
    """What two guides of the same content must both say: the system's own words and figures."""
    found = set()
    found.update(re.findall(r"\$\d{4}[A-Z]+[0-9A-F]{2}", text))           # frames
    found.update(re.findall(r"-[12](?:-[12]){4}", text))                  # placeholder cards
    found.update(re.findall(r"[\w-]+\.(?:exe|cmd|dll|1s|txt|jsonl)\b", text))
    found.update(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text))
    found.update(re.findall(r"/[A-Z]{8,}", text))                        # regsvr switches
    found.update(re.findall(r"\b[A-Z][A-Z_-]{2,}[A-Z]\b", text))          # event and state words
    found.update(re.findall(r"\bAX_GATE_[A-Z_]+", text))
    found.update(re.findall(r"\b\d+\b", text))                             # limits, ports, counts
    # Durations, with the Russian units read as the English ones.
    for number, unit in re.findall(r"\b(\d+) (s|ms|с|мс)\b", text):
        found.add(f"{number} {UNITS.get(unit, unit)}")
    return found


def check_install(root):
    faults = []
    en, ru = (read(root, p) for p in INSTALL)
    guide = read(root, INTEGRATOR)
    ru_terms, guide_terms = terms(ru), terms(guide)
    # The English text's Cyrillic words are 1C's own names (methods, procedures):
    # the Russian text and the guide must name them too.
    needed = (terms(en) | set(re.findall(r"[А-Яа-яЁё][А-Яа-яЁё]{3,}", en))) - PLACEHOLDERS
    for word in sorted(needed):
        if word not in ru and word not in ru_terms:
            faults.append(f"INSTALL-ru.txt does not say what INSTALL-en.txt says: {word}")
        if word not in guide and word not in guide_terms:
            faults.append(f"{INTEGRATOR} does not say what INSTALL-en.txt says: {word}")
    for word in sorted(ru_terms - terms(en) - PLACEHOLDERS):
        faults.append(f"INSTALL-en.txt does not say what INSTALL-ru.txt says: {word}")
    return faults


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ("links", "commands", "install"):
        print(__doc__, file=sys.stderr)
        return 2
    root, what = sys.argv[1], sys.argv[2]
    faults = {"links": check_links, "commands": check_commands, "install": check_install}[what](root)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
