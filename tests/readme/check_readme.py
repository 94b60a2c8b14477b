#!/usr/bin/python3
# Runs every command shown in README.md and checks its output, so the README cannot drift.
#
# A checked example is an indented code block whose first line starts with "$ ". Each
# "$ COMMAND" line runs in one bash session per block (so a background job or a file made
# by one line is there for the next), from the repository root, with the programs'
# directory first on PATH and "scripts/run" standing for "kvmon-sim run". The lines after a
# command are its expected output, standard error included. A line "..." stands for any
# number of lines; "<...>" inside a line stands for any text. A block right after the
# comment "<!-- readme-check: skip REASON -->" is not run (REASON says why).
#
# It also compares the table under "### Exit codes" with the "Exit status:" sentence of every
# program's --help (each code a program names is in the table, each code of the table is
# named by some program), and checks that every --help states the command-line rules the
# README lists last under "### Command lines".
#
# Usage: check_readme.py README TOOLS_DIR        exit 0 when every example and check matches
import os
import re
import subprocess
import sys
import tempfile

SKIP = re.compile(r"<!-- readme-check: skip (.+) -->")


def blocks(lines):
    """(line number, skip reason or None, [block lines without their indent])"""
    i = 0
    skip = None
    while i < len(lines):
        line = lines[i]
        m = SKIP.search(line)
        if m:
            skip = m.group(1)
        if line.startswith("    $ ") and (i == 0 or lines[i - 1].strip() == "" or SKIP.search(lines[i - 1])):
            start = i
            body = []
            while i < len(lines) and (lines[i].startswith("    ") or lines[i].strip() == ""):
                body.append(lines[i][4:])
                i += 1
            while body and body[-1].strip() == "":
                body.pop()
            yield start + 1, skip, body
            skip = None
            continue
        if line.strip() and not m and not line.startswith("    "):
            skip = None if not SKIP.search(line) else skip
        i += 1


def commands(body):
    """[(command, [expected lines])]"""
    out = []
    for line in body:
        if line.startswith("$ "):
            out.append((line[2:], []))
        elif out:
            out[-1][1].append(line)
    return out


def line_matches(expected, actual):
    parts = [re.escape(p) for p in expected.split("<...>")]
    return re.fullmatch(".*".join(parts), actual) is not None


def output_matches(expected, actual):
    """Segments between "..." lines appear in order; the ends are anchored unless "..." is there."""
    expected = [e.rstrip() for e in expected]
    actual = [a.rstrip() for a in actual]
    segments = [[]]
    for e in expected:
        if e.strip() == "...":
            segments.append([])
        else:
            segments[-1].append(e)
    pos = 0
    for n, seg in enumerate(segments):
        first, last = n == 0, n == len(segments) - 1
        if not seg:
            continue
        found = None
        starts = [pos] if first else range(pos, len(actual) - len(seg) + 1)
        for s in starts:
            if s + len(seg) <= len(actual) and all(line_matches(e, a) for e, a in zip(seg, actual[s:s + len(seg)])):
                if last and len(segments) == 1 and s + len(seg) != len(actual):
                    continue
                found = s
                break
        if found is None:
            return False
        pos = found + len(seg)
    if segments[-1] and pos != len(actual):
        return False
    return True


def run_block(root, tools, cmds):
    marker = "@@readme-%d@@"
    script = ["set +e", "scripts/run() { kvmon-sim run \"$@\"; }", "cd %s" % sh_quote(root)]
    for n, (cmd, _) in enumerate(cmds):
        script.append("printf '\\n%s\\n'" % (marker % n))
        script.append("{ %s\n} 2>&1" % cmd)
    script.append("wait")
    env = dict(os.environ, PATH=tools + os.pathsep + os.environ.get("PATH", ""))
    with tempfile.TemporaryDirectory(prefix="kvmon-readme-") as tmp:
        env["TMPDIR"] = tmp
        proc = subprocess.run(["bash", "-c", "\n".join(script)], capture_output=True, env=env, timeout=300)
    text = proc.stdout.decode("utf-8", "replace")
    outputs = []
    for n in range(len(cmds)):
        start = text.find("\n" + marker % n + "\n")
        end = text.find("\n" + marker % (n + 1) + "\n") if n + 1 < len(cmds) else len(text)
        chunk = text[start + len(marker % n) + 2:end] if start >= 0 else ""
        lines = chunk.split("\n")
        while lines and lines[-1] == "":
            lines.pop()
        outputs.append(lines)
    return outputs


# The programs' own descriptions of their command lines, compared with the README's.
HELPS = [["kvmon-sim", "run", "--help"], ["kvmon-sim", "explore", "--help"], ["kvmon-sim", "decode", "--help"],
         ["kvmon-sim", "codes", "--help"], ["kvmon-sim", "generate", "--help"], ["kvmon-sim", "shrink", "--help"],
         ["kvmon-stat", "--help"]]
RULES = ["--NAME=VALUE is --NAME VALUE", "-- ends the options"]


def table_codes(lines):
    """The codes in the table of the section "### Exit codes"."""
    start = lines.index("### Exit codes")
    codes = set()
    for line in lines[start + 1:]:
        if line.startswith("#"):
            break
        m = re.match(r"\| ([0-9 /]+) \|", line)
        if m:
            codes |= {int(c) for c in m.group(1).split("/")}
    return codes


def help_codes(text):
    """The codes of a --help's "Exit status:" sentence: each number that opens one of its items."""
    m = re.search(r"Exit status:(.*?)\.\n", text, re.S)
    if not m:
        return None
    return {int(c) for c in re.findall(r"(?:^|[,;/])\s*(\d+)\b", m.group(1))}


def check_command_lines(lines, tools):
    """Problems: a code a program exits with that the table lacks or the reverse, a rule a
    --help leaves out."""
    problems = []
    table = table_codes(lines)
    seen = set()
    for argv in HELPS:
        name = " ".join(argv)
        text = subprocess.run([os.path.join(tools, argv[0])] + argv[1:], capture_output=True).stdout.decode()
        codes = help_codes(text)
        if codes is None:
            problems.append("%s: no \"Exit status:\" sentence" % name)
            continue
        seen |= codes
        if codes - table:
            problems.append("%s: exit codes %s are not in the README's table" % (name, sorted(codes - table)))
        for rule in RULES:
            if rule not in text:
                problems.append("%s: does not say \"%s\"" % (name, rule))
    if table - seen:
        problems.append("README's exit codes %s: no program's --help lists them" % sorted(table - seen))
    return problems


def sh_quote(s):
    return "'" + s.replace("'", "'\\''") + "'"


def main():
    readme, tools = sys.argv[1], os.path.abspath(sys.argv[2])
    root = os.path.dirname(os.path.abspath(readme))
    with open(readme, encoding="utf-8") as f:
        lines = f.read().split("\n")
    failures = 0
    checked = 0
    for line_no, skip, body in blocks(lines):
        cmds = commands(body)
        if skip:
            print("README.md:%d: not checked: %s" % (line_no, skip))
            continue
        outputs = run_block(root, tools, cmds)
        for (cmd, expected), actual in zip(cmds, outputs):
            checked += 1
            if not output_matches(expected, actual):
                failures += 1
                print("README.md:%d: $ %s" % (line_no, cmd))
                print("  expected:\n    " + "\n    ".join(expected))
                print("  actual:\n    " + "\n    ".join(actual))
    for problem in check_command_lines(lines, tools):
        failures += 1
        print("README.md: exit codes and command lines: " + problem)
    print("%d commands checked, %d differ" % (checked, failures))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
