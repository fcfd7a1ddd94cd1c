#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Checks the shape of the tree: includes against the floors of docs/architecture.md and no
include circle, the format of .clang-format, shellcheck on every shell script, and the length
of every product function. Prints each finding as FILE:LINE: RULE: WHAT, one summary line per
rule, and exits 1 on any finding.

Usage: tools/ci/shape.py [--root DIR] [--report]
  --report  prints the longest functions and files and the counts of include edges and of
            findings per rule instead, and exits 0 (for before-and-after tables).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

# A product function may span this many lines, from its signature to its closing brace. Past
# that a function no longer fits a screen beside its caller, and each one longer in the tree held
# two or three jobs (phases marked by comments, an option loop beside the work it configures).
FUNCTION_LINES_MAX = 70

# Folders of the product whose functions are measured; tools/ counts only its own sources.
PRODUCT_FOLDERS = ("base", "cache", "config", "service", "daemon", "client")
SOURCE_SUFFIXES = (".c", ".h", ".cpp")
CLANG_FORMAT = "clang-format-14"
ARCHITECTURE = "docs/architecture.md"


@dataclass
class Finding:
    rule: str
    path: str
    line: int
    what: str

    def __str__(self):
        return f"{self.path}:{self.line}: {self.rule}: {self.what}"


@dataclass
class Function:
    path: str
    line: int
    name: str
    lines: int


@dataclass
class Shape:
    findings: list = field(default_factory=list)
    edges: int = 0
    module_edges: int = 0
    functions: list = field(default_factory=list)
    file_lines: dict = field(default_factory=dict)

    def add(self, rule, path, line, what):
        self.findings.append(Finding(rule, path, line, what))


def tracked(root):
    out = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True, capture_output=True)
    paths = out.stdout.decode().split("\0")
    # A file deleted but not yet committed is still listed; it has nothing to check.
    return [p for p in paths if p and os.path.isfile(os.path.join(root, p))]


def read_lines(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        return f.read().split("\n")


def top(path):
    return path.split("/", 1)[0] if "/" in path else ""


# --- Floors ------------------------------------------------------------------------------------


def table_rows(lines, start):
    """Yields (line number, cells) of the first Markdown table at or after line index start."""
    seen = False
    for i in range(start, len(lines)):
        text = lines[i].strip()
        if not text.startswith("|"):
            if seen:
                return
            continue
        seen = True
        cells = [c.strip() for c in text.strip("|").split("|")]
        if all(set(c) <= set("-: ") for c in cells):
            continue
        yield i + 1, cells


def heading(lines, title):
    for i, text in enumerate(lines):
        if text.strip() == f"## {title}":
            return i
    return None


def folders_in(cell):
    return re.findall(r"`([a-z_]+)/`", cell)


@dataclass
class Floors:
    floor: dict  # folder -> floor number, or None for a folder beside the floors
    reach: dict  # folder -> the folders it may include, or None for any
    headers: dict  # folder -> the installed headers it may include by <...>
    order: dict  # folder -> its modules in the order they may include each other


def read_floors(root, shape):
    """Reads the floors, the reach of each folder and the inner orders from the architecture
    page, so that the page and this check cannot drift apart. A page the check cannot read is a
    finding, never a pass."""
    lines = read_lines(root, ARCHITECTURE)
    floors = Floors({}, {}, {}, {})
    at = heading(lines, "Floors")
    if at is not None:
        for number, cells in table_rows(lines, at):
            if len(cells) < 2 or cells[0] == "Floor":
                continue
            for folder in folders_in(cells[1]):
                floors.floor[folder] = int(cells[0]) if cells[0].isdigit() else None
    at = heading(lines, "What CI checks about the shape")
    if at is not None:
        for number, cells in table_rows(lines, at):
            if len(cells) < 2 or cells[0] == "Folder":
                continue
            reach = None if cells[1] == "anything" else folders_in(cells[1])
            for folder in folders_in(cells[0]):
                floors.reach[folder] = reach
                floors.headers[folder] = re.findall(r"`<([^>]+)>`", cells[1])
                check_reach(floors, folder, number, shape)
    text = " ".join(lines)
    for folder, names in re.findall(r"Within `([a-z_]+)/` the order is (.*?): each includes", text):
        floors.order[folder] = re.findall(r"`([a-z_]+)`", names)
    if not floors.floor or not floors.reach:
        shape.add("floors", ARCHITECTURE, 1, "cannot read the table of floors or of what each "
                  "folder may include")
    return floors


def check_reach(floors, folder, number, shape):
    """A folder's reach may only go down: what it lists sits on a lower floor than its own."""
    own = floors.floor.get(folder)
    for other in floors.reach[folder] or []:
        below = floors.floor.get(other)
        if own is not None and (below is None or below >= own):
            shape.add("floors", ARCHITECTURE, number,
                      f"{folder}/ on floor {own} may not include {other}/ (floor {below})")


INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def module_of(path):
    """The module a file belongs to: its folder and its name without suffix."""
    return os.path.splitext(path)[0]


def check_includes(root, files, floors, shape):
    graph = {}
    where = {}
    for path in files:
        folder = top(path)
        if not path.endswith(SOURCE_SUFFIXES) or floors.reach.get(folder, ()) is None:
            continue
        for number, text in enumerate(read_lines(root, path), 1):
            match = INCLUDE.match(text)
            if not match:
                continue
            quoted, name = match.group(1) == '"', match.group(2)
            if not quoted:
                if name.startswith("vrell/") and name not in floors.headers.get(folder, [name]):
                    shape.add("floors", path, number, f"{folder}/ may not include <{name}>")
                continue
            if "/" not in name:
                name = os.path.join(os.path.dirname(path), name)
            shape.edges += 1
            check_include(path, number, folder, name, floors, shape)
            a, b = module_of(path), module_of(name)
            if a != b and b not in graph.setdefault(a, set()):
                graph[a].add(b)
                where[(a, b)] = (path, number)
    shape.module_edges = sum(len(v) for v in graph.values())
    for circle in circles(graph):
        path, number = where[(circle[0], circle[1])]
        shape.add("circle", path, number, "include circle " + " -> ".join(circle + circle[:1]))


def check_include(path, number, folder, name, floors, shape):
    other = top(name)
    if folder not in floors.floor and folder not in floors.reach:
        shape.add("floors", path, number, f"{folder}/ has no floor in {ARCHITECTURE}")
        return
    if other != folder:
        reach = floors.reach.get(folder, "floors")
        if reach == "floors":
            own, below = floors.floor.get(folder), floors.floor.get(other)
            allowed = own is not None and below is not None and below < own
        else:
            allowed = reach is None or other in reach
        if allowed:
            return
        if reach == "floors":
            what = (f"{folder}/ on floor {floors.floor[folder]} includes {name} on floor "
                    f"{floors.floor.get(other)}, not a lower one")
        else:
            others = ", ".join(f"{r}/" for r in reach) or "no other folder"
            what = f"{folder}/ includes {name}; it may include only {others}"
        shape.add("floors", path, number, what)
        return
    order = floors.order.get(folder)
    if not order:
        return
    a = os.path.basename(module_of(path))
    b = os.path.basename(module_of(name))
    if a == b:
        return
    if a not in order or b not in order:
        missing = a if a not in order else b
        shape.add("floors", path, number, f"{folder}/{missing} is not in the order of {folder}/")
    elif order.index(b) > order.index(a):
        shape.add("floors", path, number, f"{folder}/{a} includes {name}, which comes after it")


def circles(graph):
    """Returns one circle of each strongly connected group of more than one module."""
    index, low, stack, on, groups = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(set(group))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    found = []
    for group in groups:
        start = min(group)
        path, seen, v = [start], {start}, start
        while True:
            v = min(w for w in graph[v] if w in group)
            if v in seen:
                found.append(path[path.index(v):])
                break
            path.append(v)
            seen.add(v)
    return found


# --- Format and lint ---------------------------------------------------------------------------


def check_format(root, files, shape):
    sources = [p for p in files if p.endswith(SOURCE_SUFFIXES)]
    tool = shutil.which(CLANG_FORMAT)
    if tool is None:
        shape.add("format", ".clang-format", 1, f"{CLANG_FORMAT} is not installed")
        return
    out = subprocess.run([tool, "--dry-run", "--Werror", *sources], cwd=root,
                         capture_output=True, text=True)
    seen = set()
    for text in out.stderr.splitlines():
        match = re.match(r"(.+?):(\d+):\d+: (?:error|warning): code should be clang-formatted",
                         text)
        if match and (match.group(1), match.group(2)) not in seen:
            seen.add((match.group(1), match.group(2)))
            shape.add("format", match.group(1), int(match.group(2)),
                      "not formatted by .clang-format (clang-format-14 -i fixes it)")
    if out.returncode != 0 and not seen:
        shape.add("format", ".clang-format", 1, f"{CLANG_FORMAT} failed: {out.stderr.strip()}")


def shell_scripts(root, files):
    found = []
    for path in files:
        if path.endswith(".sh"):
            found.append(path)
            continue
        with open(os.path.join(root, path), "rb") as f:
            first = f.readline(200)
        if re.match(rb"#!.*\b(ba|da)?sh\b", first):
            found.append(path)
    return found


def check_shell(root, files, shape):
    scripts = shell_scripts(root, files)
    if shutil.which("shellcheck") is None:
        shape.add("shellcheck", scripts[0], 1, "shellcheck is not installed")
        return scripts
    # -x follows what a script sources, so that the variables a library sets are known; paths
    # are the checkout's, as the scripts source them from its root.
    out = subprocess.run(["shellcheck", "-x", "-S", "warning", "-f", "gcc", *scripts], cwd=root,
                         capture_output=True, text=True)
    for text in sorted(set(out.stdout.splitlines())):
        match = re.match(r"(.+?):(\d+):\d+: (\w+): (.*)", text)
        if match:
            shape.add("shellcheck", match.group(1), int(match.group(2)),
                      f"{match.group(3)}: {match.group(4)}")
    if out.returncode not in (0, 1) or (out.returncode == 1 and not out.stdout.strip()):
        shape.add("shellcheck", scripts[0], 1, f"shellcheck failed: {out.stderr.strip()}")
    return scripts


# --- Function length ---------------------------------------------------------------------------


def product(path):
    if not path.endswith(SOURCE_SUFFIXES):
        return False
    if top(path) in PRODUCT_FOLDERS:
        return True
    return path.startswith("tools/") and path.count("/") == 1 and path.endswith(".cpp")


def functions(path, lines):
    """Finds the function definitions of a clang-formatted file: a definition starts at column 0
    and its body ends with a '}' at column 0. Namespaces and extern "C" are transparent; the
    bodies of structs, enums and tables are passed over."""
    found = []
    header, start, body, depth = "", None, None, 0
    for number, text in enumerate(lines, 1):
        if body is not None:
            if text.startswith("}"):
                found.append(Function(path, start, body, number - start + 1))
                body, start = None, None
            continue
        if depth > 0:
            depth += braces(text)
            continue
        if start is None:
            if not text or text[0] in " \t#}/" or text.startswith("*"):
                continue
            start, header = number, ""
        header += " " + re.sub(r"//.*", "", text)
        if "{" not in header and not header.rstrip().endswith(";"):
            continue
        opened = braces(header) > 0
        head = header.split("{", 1)[0].strip()
        if not opened or re.fullmatch(r'namespace( \w+)?|extern "C"', head):
            start = None
            continue
        name = re.search(r"([A-Za-z_][\w:~]*)\s*\(", head)
        if name and "=" not in head.split("(", 1)[0]:
            body = name.group(1)
        else:
            depth, start = braces(header), None
    return found


def braces(text):
    """The braces text opens less those it closes, outside strings and characters."""
    text = re.sub(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'', "", text)
    return text.count("{") - text.count("}")


def measure(root, files, shape):
    for path in files:
        if not product(path):
            continue
        lines = read_lines(root, path)
        shape.file_lines[path] = len(lines) - (1 if lines and lines[-1] == "" else 0)
        for f in functions(path, lines):
            shape.functions.append(f)
            if f.lines > FUNCTION_LINES_MAX:
                shape.add("length", path, f.line,
                          f"{f.name} is {f.lines} lines, over {FUNCTION_LINES_MAX}")


# --- Output ------------------------------------------------------------------------------------

RULES = (
    ("floors", "includes against the floors of " + ARCHITECTURE),
    ("circle", "include circles between modules"),
    ("format", "places in C and C++ files not formatted by .clang-format"),
    ("shellcheck", "shellcheck warnings and errors"),
    ("length", f"product functions over {FUNCTION_LINES_MAX} lines"),
)


def summary(shape, scripts, sources):
    counts = {rule: 0 for rule, _ in RULES}
    for f in shape.findings:
        counts[f.rule] += 1
    scope = {
        "floors": f"{shape.edges} includes, {shape.module_edges} module edges",
        "circle": f"{shape.module_edges} module edges",
        "format": f"{sources} files",
        "shellcheck": f"{len(scripts)} scripts",
        "length": f"{len(shape.functions)} functions",
    }
    return [f"shape: {rule}: {counts[rule]} {what} (of {scope[rule]})" for rule, what in RULES]


def report(shape, lines):
    print(f"Longest product functions (limit {FUNCTION_LINES_MAX} lines):")
    print("| lines | function | where |")
    print("|---:|---|---|")
    for f in sorted(shape.functions, key=lambda f: (-f.lines, f.path, f.line))[:15]:
        print(f"| {f.lines} | `{f.name}` | {f.path}:{f.line} |")
    print()
    print("Longest product files:")
    print("| lines | file |")
    print("|---:|---|")
    for path, n in sorted(shape.file_lines.items(), key=lambda kv: (-kv[1], kv[0]))[:15]:
        print(f"| {n} | {path} |")
    print()
    for text in lines:
        print(text)
    for finding in shape.findings:
        print("  " + str(finding))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--report", action="store_true")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    files = tracked(root)
    shape = Shape()
    floors = read_floors(root, shape)
    check_includes(root, files, floors, shape)
    # clang-format and shellcheck take most of the time; they run side by side.
    with ThreadPoolExecutor(2) as pool:
        formatted = pool.submit(check_format, root, files, shape)
        linted = pool.submit(check_shell, root, files, shape)
        formatted.result()
        scripts = linted.result()
    measure(root, files, shape)
    sources = sum(1 for p in files if p.endswith(SOURCE_SUFFIXES))
    lines = summary(shape, scripts, sources)
    order = [rule for rule, _ in RULES]
    shape.findings.sort(key=lambda f: (order.index(f.rule), f.path, f.line))
    if args.report:
        report(shape, lines)
        return 0
    for finding in shape.findings:
        print(finding)
    for text in lines:
        print(text)
    return 1 if shape.findings else 0


if __name__ == "__main__":
    sys.exit(main())
