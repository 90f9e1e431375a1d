#!/usr/bin/env python3
"""Mutation testing for the engine sources.

Finds small, plausible faults in src/ (flipped comparisons, off-by-one bounds, dropped clamps,
changed constants, removed error returns), applies them one at a time, rebuilds, runs the test
suite and reports which mutants the tests kill.  The choice of mutants is fixed by the tree and
the seed, so two runs on the same tree pick the same mutants.

    tools/mutation/mutate.py --list                 the chosen mutants, nothing is built
    tools/mutation/mutate.py --only 3               run mutant number 3 alone
    tools/mutation/mutate.py --report out.txt       run all of them (default 40, seed 1)

Standard library only.  Every mutated file is restored, also on Ctrl-C or an error.
"""

import argparse
import json
import math
import os
import random
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SOURCE_DIR = "src"
SOURCE_SUFFIXES = (".cpp", ".h", ".cc", ".hpp")
UNIT_TEST_BINARY = "zelmar_tests"
BUILD_TARGETS = ["zelmar", "zelmar_core", "zelmar_tests", "zelmar_cli", "zelmar_abi_host"]
GTEST_TIMEOUT_S = 300
CTEST_TIMEOUT_S = 600
BUILD_TIMEOUT_S = 1800

CLASS_COMPARISON = "comparison"
CLASS_OFF_BY_ONE = "off-by-one"
CLASS_CLAMP = "dropped-clamp"
CLASS_CONSTANT = "constant"
CLASS_ERROR_RETURN = "error-return"


# ----------------------------------------------------------------------------------------
# Reading the sources: comments, string and character literals and preprocessor lines are
# blanked out (same length), so the patterns below only ever see code.

def mask_source(text: str) -> List[str]:
    out = []
    i, n = 0, len(text)
    state = "code"  # code, line_comment, block_comment, string, char
    while i < n:
        c = text[i]
        nxt = text[i + 1] if i + 1 < n else ""
        if state == "code":
            if c == "/" and nxt == "/":
                state = "line_comment"
                out.append("  ")
                i += 2
                continue
            if c == "/" and nxt == "*":
                state = "block_comment"
                out.append("  ")
                i += 2
                continue
            if c == '"':
                state = "string"
                out.append('"')
                i += 1
                continue
            if c == "'" and not (i > 0 and text[i - 1].isalnum()):
                state = "char"
                out.append("'")
                i += 1
                continue
            out.append(c)
            i += 1
            continue
        if state == "line_comment":
            if c == "\n":
                state = "code"
                out.append("\n")
            else:
                out.append(" ")
            i += 1
            continue
        if state == "block_comment":
            if c == "*" and nxt == "/":
                state = "code"
                out.append("  ")
                i += 2
                continue
            out.append("\n" if c == "\n" else " ")
            i += 1
            continue
        # string or char literal: contents blanked, quotes kept
        quote = '"' if state == "string" else "'"
        if c == "\\" and i + 1 < n:
            out.append("  " if nxt != "\n" else " \n")
            i += 2
            continue
        if c == quote:
            state = "code"
            out.append(quote)
        elif c == "\n":  # unterminated: give up on this literal at the end of the line
            state = "code"
            out.append("\n")
        else:
            out.append(" ")
        i += 1
    lines = "".join(out).split("\n")
    # Preprocessor lines (with their continuations) and static_assert statements go too.
    in_directive = False
    in_static_assert = False
    for k, line in enumerate(lines):
        stripped = line.strip()
        if in_directive or stripped.startswith("#"):
            in_directive = line.rstrip().endswith("\\")
            lines[k] = " " * len(line)
            continue
        if in_static_assert or "static_assert" in line:
            in_static_assert = ";" not in line
            lines[k] = " " * len(line)
            continue
    return lines


# ----------------------------------------------------------------------------------------
# Mutation sites.

@dataclass
class Site:
    path: str            # relative to ROOT
    line: int            # 1-based
    start: int           # column span in the line, 0-based, end exclusive
    end: int
    original: str
    replacements: List[str]
    kind: str

    def key(self):
        return (self.path, self.line, self.start, self.kind)


@dataclass
class Mutant:
    number: int
    site: Site
    replacement: str
    spare: bool = False


NUMBER_RE = re.compile(
    r"(?<![\w.])"
    r"(0[xX][0-9a-fA-F]+|\d+\.\d*(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?|\d+(?:[eE][+-]?\d+)?)"
    r"([uUlLfF]*)(?![\w.])")
# A comparison in this code base is written with a space on both sides (templates never are).
COMPARISON_RE = re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)")
FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
INT_OPERAND_AFTER_RE = re.compile(r"(<=|>=|==|!=|<|>)(\s+)(-?)(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")
INT_OPERAND_BEFORE_RE = re.compile(r"(?<![\w.])(-?)(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(\s+)(<=|>=|==|!=|<|>)(?=\s)")
ARRAY_DECL_RE = re.compile(
    r"\b(?!return\b|case\b|else\b|delete\b|new\b)[A-Za-z_][\w:]*(?:<[\w:, *]*>)?[&*]?\s+[&*]?"
    r"[A-Za-z_]\w*\s*\[\s*(\d+)([uUlL]*)\s*\]")
CLAMP_CALL_RE = re.compile(r"\b(std::(?:min|max|clamp)(?:<[\w:, ]*>)?|Clamp\w*|\w*Saturat\w*)\(")
ERROR_RETURN_RE = re.compile(r"\breturn\s+(kErr\w+)\s*;")
IF_ERROR_RETURN_RE = re.compile(r"\bif\s*\(")
CASE_LABEL_RE = re.compile(r"\bcase\b[^:]*:")
DATA_LINE_RE = re.compile(r"^[\s\d.,{}()\-+xXa-fA-FuUlL]*$")
KEYWORDS_BEFORE_CALL = {"return", "case", "else", "do", "throw", "co_return"}


def parse_int(text: str) -> Optional[int]:
    """The value of a decimal or hexadecimal literal; None for octal ones (file modes)."""
    if text.lower().startswith("0x"):
        return int(text, 16)
    if len(text) > 1 and text.startswith("0"):
        return None
    return int(text)


def format_int(text: str, value: int) -> str:
    if text.lower().startswith("0x"):
        digits = len(text) - 2
        return "0x%0*X" % (digits, value) if text[2:].isupper() or text[2:].isdigit() else "0x%0*x" % (digits, value)
    return str(value)


def match_paren(line: str, open_index: int) -> int:
    """Index of the parenthesis closing the one at open_index, or -1 if not on this line."""
    depth = 0
    for k in range(open_index, len(line)):
        if line[k] == "(":
            depth += 1
        elif line[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def split_top_level_args(text: str) -> List[Tuple[int, int]]:
    spans, depth, start = [], 0, 0
    for k, ch in enumerate(text):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            spans.append((start, k))
            start = k + 1
    spans.append((start, len(text)))
    return spans


def find_sites(path: str, source_lines: List[str], masked: List[str]) -> List[Site]:
    sites: List[Site] = []
    for index, code in enumerate(masked):
        if not code.strip():
            continue
        src = source_lines[index]
        lineno = index + 1
        taken: List[Tuple[int, int]] = []  # literal spans claimed by off-by-one sites

        def add(start, end, replacements, kind):
            original = src[start:end]
            replacements = [r for r in dict.fromkeys(replacements) if r != original]
            if replacements:
                sites.append(Site(path, lineno, start, end, original, replacements, kind))

        is_template_line = re.match(r"\s*template\s*<", code) is not None
        has_operator_overload = "operator" in code

        # Flipped comparisons.
        if not is_template_line and not has_operator_overload:
            for m in COMPARISON_RE.finditer(code):
                add(m.start(1), m.end(1), [FLIP[m.group(1)]], CLASS_COMPARISON)

        # Off-by-one: an integer literal that is an operand of a comparison, or an array bound.
        if not is_template_line and not has_operator_overload:
            for m in INT_OPERAND_AFTER_RE.finditer(code):
                if m.start(1) == 0 or not code[m.start(1) - 1].isspace():
                    continue
                start, end = m.start(3), m.end(4)
                if parse_int(m.group(4)) is None:
                    continue
                value = parse_int(m.group(4)) * (-1 if m.group(3) else 1)
                unsigned = "u" in m.group(5).lower()
                options = [value + 1] + ([value - 1] if not (unsigned and value == 0) else [])
                add(start, end, [("-" + format_int(m.group(4), -v)) if v < 0 else format_int(m.group(4), v)
                                 for v in options], CLASS_OFF_BY_ONE)
                taken.append((start, end))
            for m in INT_OPERAND_BEFORE_RE.finditer(code):
                start, end = m.start(1), m.end(2)
                if any(s <= start < e for s, e in taken):
                    continue
                if parse_int(m.group(2)) is None:
                    continue
                value = parse_int(m.group(2)) * (-1 if m.group(1) else 1)
                unsigned = "u" in m.group(3).lower()
                options = [value + 1] + ([value - 1] if not (unsigned and value == 0) else [])
                add(start, end, [("-" + format_int(m.group(2), -v)) if v < 0 else format_int(m.group(2), v)
                                 for v in options], CLASS_OFF_BY_ONE)
                taken.append((start, end))
        for m in ARRAY_DECL_RE.finditer(code):
            if re.search(r"\bextern\b", code) or re.match(r"[\[\]\d\s]*=\s*\{", code[m.end():]):
                taken.append((m.start(1), m.end(1)))
                continue  # a table's declared size must match its definition and initialiser
            start, end = m.start(1), m.end(1)
            value = int(m.group(1))
            options = [value + 1] + ([value - 1] if value > 1 else [])
            add(start, end, [str(v) for v in options], CLASS_OFF_BY_ONE)
            taken.append((start, end))

        # Dropped clamps: the call is replaced by its first argument.
        for m in CLAMP_CALL_RE.finditer(code):
            before = code[:m.start()].rstrip()
            previous_word = re.search(r"([\w:]+)$", before)
            if previous_word and previous_word.group(1) not in KEYWORDS_BEFORE_CALL:
                continue  # a declaration or definition, not a call
            if before.endswith("::") or before.endswith("&") and not before.endswith("&&"):
                continue
            close = match_paren(code, m.end() - 1)
            if close < 0:
                continue
            args = split_top_level_args(code[m.end():close])
            if m.group(1).startswith("std::clamp") and len(args) != 3:
                continue
            if m.group(1).startswith("std::m") and len(args) != 2:
                continue
            first = src[m.end() + args[0][0]:m.end() + args[0][1]].strip()
            if not first:
                continue
            add(m.start(), close + 1, ["(" + first + ")"], CLASS_CLAMP)

        # Removed error returns.
        if_match = IF_ERROR_RETURN_RE.search(code)
        if if_match:
            close = match_paren(code, if_match.end() - 1)
            if close > 0 and ERROR_RETURN_RE.match(code[close + 1:].strip()):
                add(if_match.end(), close, ["false"], CLASS_ERROR_RETURN)
                if_match = "done"
        if if_match != "done":
            for m in ERROR_RETURN_RE.finditer(code):
                add(m.start(1), m.end(1), ["kOk"], CLASS_ERROR_RETURN)

        # Changed constants: any other numeric literal in an expression.
        if DATA_LINE_RE.match(code) or is_template_line:
            continue  # rows of a data table, template heads
        case_spans = [(c.start(), c.end()) for c in CASE_LABEL_RE.finditer(code)]
        for m in NUMBER_RE.finditer(code):
            start, end = m.start(1), m.end(1)
            if any(s <= start < e for s, e in taken) or any(s <= start < e for s, e in case_spans):
                continue
            # Literals inside template arguments (std::array<float, 4>) are types, not values.
            if re.search(r"<[\w:, ]*$", code[:start]) and re.match(r"[\w:, ]*>", code[end:]):
                continue
            if re.search(r"\)\s*(const\s*)?(noexcept\s*)?=\s*$", code[:start]):
                continue  # "= 0" of a pure virtual function
            text = m.group(1)
            is_float = ("." in text or "e" in text.lower()) and not text.lower().startswith("0x")
            if is_float:
                value = float(text)
                if value == 0.0:
                    new = "0.1"
                else:
                    new = "%.7g" % (value * 1.2)
                    if not re.search(r"[.eE]", new):
                        new += ".0"
                add(start, end, [new], CLASS_CONSTANT)
            else:
                value = parse_int(text)
                if value is None:
                    continue
                add(start, end, [format_int(text, value + 1 if value <= 1 else value - 1)], CLASS_CONSTANT)
    return sites


def collect_sites(root: str) -> List[Site]:
    sites: List[Site] = []
    base = os.path.join(root, SOURCE_DIR)
    paths = []
    for directory, subdirs, files in os.walk(base):
        subdirs.sort()
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                paths.append(os.path.relpath(os.path.join(directory, name), root))
    for path in sorted(paths):
        with open(os.path.join(root, path), encoding="utf-8") as f:
            text = f.read()
        sites.extend(find_sites(path, text.split("\n"), mask_source(text)))
    return sites


def choose_mutants(sites: List[Site], count: int, seed: int, spares: int) -> List[Mutant]:
    """A file is drawn with weight sqrt(its number of sites), then one of the classes it has,
    then a site of that class; a line is mutated at most once."""
    rng = random.Random(seed)
    by_file = {}
    for site in sorted(sites, key=Site.key):
        by_file.setdefault(site.path, []).append(site)
    used_lines = set()
    mutants: List[Mutant] = []
    while len(mutants) < count + spares:
        files = [f for f in sorted(by_file) if by_file[f]]
        if not files:
            break
        path = rng.choices(files, weights=[math.sqrt(len(by_file[f])) for f in files])[0]
        kinds = sorted({s.kind for s in by_file[path]})
        kind = rng.choice(kinds)
        site = rng.choice([s for s in by_file[path] if s.kind == kind])
        replacement = rng.choice(site.replacements)
        used_lines.add((path, site.line))
        by_file[path] = [s for s in by_file[path] if (s.path, s.line) not in used_lines]
        mutants.append(Mutant(len(mutants) + 1, site, replacement, spare=len(mutants) >= count))
    return mutants


# ----------------------------------------------------------------------------------------
# Applying, building, testing.

def fragment(line: str, start: int, end: int, replacement: Optional[str] = None, width: int = 28) -> str:
    if replacement is not None:
        line = line[:start] + replacement + line[end:]
        end = start + len(replacement)
    left = max(0, start - width)
    right = min(len(line), end + width)
    text = line[left:right].strip()
    return ("..." if left > 0 else "") + text + ("..." if right < len(line) else "")


def describe(mutant: Mutant, root: str) -> str:
    site = mutant.site
    with open(os.path.join(root, site.path), encoding="utf-8") as f:
        line = f.read().split("\n")[site.line - 1]
    before = fragment(line, site.start, site.end)
    after = fragment(line, site.start, site.end, mutant.replacement)
    return "%s:%d %s: %s  ->  %s" % (site.path, site.line, site.kind, before, after)


class Mutation:
    """Context manager: the mutant is in the file inside the block, the original after it."""

    def __init__(self, root: str, mutant: Mutant):
        self.path = os.path.join(root, mutant.site.path)
        self.rel = mutant.site.path
        self.root = root
        self.mutant = mutant
        self.original = None

    def __enter__(self):
        with open(self.path, "rb") as f:
            self.original = f.read()
        lines = self.original.decode("utf-8").split("\n")
        site = self.mutant.site
        line = lines[site.line - 1]
        if line[site.start:site.end] != site.original:
            raise RuntimeError("%s:%d no longer holds %r" % (self.rel, site.line, site.original))
        lines[site.line - 1] = line[:site.start] + self.mutant.replacement + line[site.end:]
        with open(self.path, "wb") as f:
            f.write("\n".join(lines).encode("utf-8"))
        return self

    def __exit__(self, *exc):
        with open(self.path, "wb") as f:
            f.write(self.original)
        if subprocess.run(["git", "diff", "--quiet", "--", self.rel], cwd=self.root).returncode != 0:
            raise RuntimeError("%s differs from git after restoring it" % self.rel)
        return False


def run(cmd, cwd, timeout, env=None, log=None):
    """Runs cmd in its own process group; returns (returncode or None on timeout, output)."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        code = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        code = None
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    text = out.decode("utf-8", "replace")
    if log:
        with open(log, "w", encoding="utf-8") as f:
            f.write(text)
    return code, text


class SoundServer:
    """The private sound server of tests/sound_server.sh, started once for the whole run."""

    def __init__(self, root: str):
        self.root = root
        self.env = dict(os.environ)
        self.started = False

    def start(self):
        script = ("source tests/sound_server.sh; start_sound_server; "
                  "for v in XDG_RUNTIME_DIR PULSE_RUNTIME_PATH ZELMAR_TEST_SINK ZELMAR_TEST_SINK_DESCRIPTION; do "
                  "  [ -n \"${!v:-}\" ] && printf '%s=%s\\n' \"$v\" \"${!v}\"; done; true")
        out = subprocess.run(["bash", "-c", script], cwd=self.root, stdout=subprocess.PIPE, text=True,
                             check=True).stdout
        for line in out.splitlines():
            name, _, value = line.partition("=")
            self.env[name] = value
        self.started = "XDG_RUNTIME_DIR" in self.env and self.env["XDG_RUNTIME_DIR"].startswith("/tmp/zelmar-pulse.")
        if "ZELMAR_TEST_SINK" not in self.env:
            print("warning: no sound server; the sound-device tests will say so", file=sys.stderr)

    def stop(self):
        if self.started:
            subprocess.run(["bash", "-c", "source tests/sound_server.sh; stop_sound_server"], cwd=self.root,
                           env=self.env)
            self.started = False


class Runner:
    def __init__(self, root, build_dir, jobs, env, log_dir):
        self.root = root
        self.build_dir = build_dir
        self.jobs = jobs
        self.env = env
        self.log_dir = log_dir
        self.other_tests = None

    def build(self, log):
        cmd = ["cmake", "--build", self.build_dir, "-j", str(self.jobs), "--target"] + BUILD_TARGETS
        code, out = run(cmd, self.root, BUILD_TIMEOUT_S, self.env, log)
        if code == 0:
            return None
        errors = [l.strip() for l in out.splitlines() if "error:" in l or "error " in l.lower()]
        return errors[0] if errors else ("build timed out" if code is None else "build failed (%s)" % code)

    def discover_other_tests(self):
        """The ctest tests that do not run the unit test binary (and are not labelled slow)."""
        code, out = run(["ctest", "--show-only=json-v1", "-LE", "slow"], self.build_dir, 120, self.env)
        if code != 0:
            raise RuntimeError("ctest --show-only failed:\n" + out)
        data = json.loads(out)
        names = []
        for test in data.get("tests", []):
            command = test.get("command") or []
            if command and os.path.basename(command[0]) == UNIT_TEST_BINARY:
                continue
            names.append(test["name"])
        self.other_tests = names

    def test(self, tag):
        """None if every test passes, else a short description of what failed."""
        log = os.path.join(self.log_dir, tag + "-gtest.log")
        binary = os.path.join(self.build_dir, "bin", UNIT_TEST_BINARY)
        code, out = run([binary, "--gtest_fail_fast", "--gtest_color=no"], os.path.join(self.build_dir, "tests"),
                        GTEST_TIMEOUT_S, self.env, log)
        if code != 0:
            running = re.findall(r"^\[ RUN      \] (\S+)", out, re.M)
            last = running[-1] if running else "?"
            failed = re.findall(r"^\[  FAILED  \] ([^\s,]+)(?:, where .*)? \(\d+ ms\)$", out, re.M)
            if code is None:
                return "timeout in %s" % last
            if code < 0:
                return "crash (%s) in %s" % (signal.Signals(-code).name, last)
            if failed:
                return failed[0]
            return "exit status %d in %s" % (code, last)
        if not self.other_tests:
            return None
        log = os.path.join(self.log_dir, tag + "-ctest.log")
        regex = "^(" + "|".join(re.escape(n) for n in self.other_tests) + ")$"
        code, out = run(["ctest", "-R", regex, "-LE", "slow", "-j", str(self.jobs), "--output-on-failure",
                         "--timeout", str(GTEST_TIMEOUT_S)], self.build_dir, CTEST_TIMEOUT_S, self.env, log)
        if code == 0:
            return None
        if code is None:
            return "ctest timeout"
        failed = re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", out.split("The following tests FAILED:")[-1], re.M)
        if failed:
            return ", ".join(name + ("" if why == "Failed" else " (%s)" % why) for name, why in failed)
        return "ctest exit status %d" % code


class Report:
    def __init__(self, path):
        self.file = open(path, "w", encoding="utf-8") if path else None

    def line(self, text=""):
        print(text, flush=True)
        if self.file:
            self.file.write(text + "\n")
            self.file.flush()

    def close(self):
        if self.file:
            self.file.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Mutation testing of the engine sources.")
    parser.add_argument("--count", type=int, default=40, help="valid mutants to run (default 40)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the choice (default 1)")
    parser.add_argument("--build-dir", default="build", help="configured build directory (default build)")
    parser.add_argument("--report", help="also write the report to this file")
    parser.add_argument("--list", action="store_true", help="list the chosen mutants, build and run nothing")
    parser.add_argument("--only", type=int, metavar="N", help="run mutant number N alone")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="build and ctest parallelism (default 2)")
    parser.add_argument("--spares", type=int, default=20,
                        help="candidates beyond --count that stand in for mutants that do not compile")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the check that the unmutated tree passes every test")
    args = parser.parse_args(argv)

    root = ROOT
    build_dir = os.path.abspath(os.path.join(root, args.build_dir) if not os.path.isabs(args.build_dir)
                                else args.build_dir)
    sites = collect_sites(root)
    mutants = choose_mutants(sites, args.count, args.seed, args.spares)
    counts = {}
    for s in sites:
        counts[s.kind] = counts.get(s.kind, 0) + 1

    if args.list:
        print("%d sites (%s) in %d files; seed %d" % (
            len(sites), ", ".join("%s %d" % kv for kv in sorted(counts.items())),
            len({s.path for s in sites}), args.seed))
        for m in mutants:
            print("%3d%s %s" % (m.number, "*" if m.spare else " ", describe(m, root)))
        print("(* spare: runs in place of a mutant that does not compile)")
        return 0

    if args.only is not None:
        chosen = [m for m in mutants if m.number == args.only]
        if not chosen:
            parser.error("no mutant number %d (there are %d)" % (args.only, len(mutants)))
        wanted = 1
    else:
        chosen = mutants
        wanted = args.count

    dirty = subprocess.run(["git", "status", "--porcelain", "--", SOURCE_DIR], cwd=root, stdout=subprocess.PIPE,
                           text=True).stdout.strip()
    if dirty:
        print("error: src/ has uncommitted changes; mutants are restored against git:\n" + dirty, file=sys.stderr)
        return 2
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        print("error: %s is not a configured build directory" % build_dir, file=sys.stderr)
        return 2

    def on_term(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_term)

    report = Report(args.report)
    server = SoundServer(root)
    log_dir = tempfile.mkdtemp(prefix="zelmar-mutation.")
    head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=root, stdout=subprocess.PIPE,
                          text=True).stdout.strip()
    started = time.monotonic()
    killed = survived = invalid = 0
    survivors = []
    try:
        server.start()
        runner = Runner(root, build_dir, args.jobs, server.env, log_dir)
        report.line("mutation run on %s: %d sites in %d files, seed %d, %s" % (
            head, len(sites), len({s.path for s in sites}), args.seed,
            "mutant %d only" % args.only if args.only is not None else "%d mutants" % args.count))
        report.line("classes: " + ", ".join("%s %d" % kv for kv in sorted(counts.items())))
        error = runner.build(os.path.join(log_dir, "baseline-build.log"))
        if error:
            report.line("error: the unmutated tree does not build: " + error)
            return 2
        runner.discover_other_tests()
        report.line("tests: %s --gtest_fail_fast, then ctest %s" % (UNIT_TEST_BINARY, " ".join(runner.other_tests)))
        if not args.no_baseline:
            t0 = time.monotonic()
            failure = runner.test("baseline")
            if failure:
                report.line("error: the unmutated tree fails: %s (logs in %s)" % (failure, log_dir))
                return 2
            report.line("baseline: all tests pass (%.0f s)" % (time.monotonic() - t0))
        report.line()
        tried = 0
        for mutant in chosen:
            if tried >= wanted:
                break
            text = describe(mutant, root)
            tag = "mutant%03d" % mutant.number
            t0 = time.monotonic()
            with Mutation(root, mutant):
                error = runner.build(os.path.join(log_dir, tag + "-build.log"))
                built = time.monotonic()
                result = None if error else runner.test(tag)
            timing = "build %.0f s" % (built - t0)
            if not error:
                timing += ", tests %.0f s" % (time.monotonic() - built)
            if error:
                invalid += 1
                verdict = "INVALID (%s)" % error[:160]
            elif result:
                tried += 1
                killed += 1
                verdict = "KILLED by %s" % result
            else:
                tried += 1
                survived += 1
                survivors.append(text)
                verdict = "SURVIVED"
            report.line("%3d %s  =>  %s  [%s]" % (mutant.number, text, verdict, timing))
        report.line()
        if survivors:
            report.line("survived:")
            for text in survivors:
                report.line("  " + text)
        minutes = (time.monotonic() - started) / 60
        report.line("%d invalid (did not compile, not counted); %.0f min" % (invalid, minutes))
        report.line("killed %d of %d valid mutants (seed %d)" % (killed, killed + survived, args.seed))
        if tried < wanted:
            report.line("note: only %d valid mutants among %d candidates; raise --spares" % (tried, len(chosen)))
        # Leave the build matching the restored sources.
        runner.build(os.path.join(log_dir, "final-build.log"))
        return 0
    except KeyboardInterrupt:
        report.line("interrupted; sources restored")
        return 130
    finally:
        server.stop()
        report.close()
        print("logs: %s" % log_dir, file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
