"""The shell examples of README.md and doc/*.md, run as a reader runs them, each checked against what the text
says it prints. Also: each status message that the README's table "What the messages mean" and the DIAGNOSTICS of
sane-kelvra(5) name is SANE's own text for a status (as libsane.so.1 gives it).

Every fenced code block is looked at. A block tagged sh, bash, shell or console is a shell example, and the
comment right before it (only blank lines between) says what to do with it:

    <!-- run -->                      run it; it must end with exit status 0
    <!-- run
    output: TEXT                      ... and print a line TEXT; several output lines match in their order
    status: N                         ... and end with exit status N instead
    -->
    <!-- not run: REASON -->          leave it out, and say why (it needs root, it is the test suite itself...)

Two comments go before other blocks:

    <!-- output -->                   before a ```text block that follows a run example: each line of the block
                                      is a line the example prints, in this order (blank lines do not count)
    <!-- file: NAME -->               the block's text is saved as NAME in the current folder, for the
                                      examples after it (a scenario file, say)

In TEXT and in output blocks "..." stands for any text within one line; blanks at either end do not count.
A shell block without one of these comments fails the test, and so does a fence without a tag (write ```text,
```xml... for what is not a shell example) and an indented code block (write it as a fence). Comments that
start with any other word are ordinary comments.

How the examples run: the blocks of one file run in order, each in `bash -e -o pipefail` (so it stops at its
first failing command) with at most 120 seconds, in a scratch folder that stands for the top folder of the
sources: each top-level entry of the sources is linked there and build/ is the build under test, so
`$PWD/build/demo` and `scripts/demo.sh` work as written, and the files the examples write stay in the scratch
folder. As in one terminal, exported variables and the current folder carry over from one block to the next.
The environment starts without the variables that the examples set themselves (SANE_CONFIG_DIR,
LD_LIBRARY_PATH, KELVRA_SIM_SCENARIO, KELVRA_SIM_LOG, KELVRA_TRACE, KELVRA_TRACE_IMAGES, KELVRA_SIM_REPLAY,
KELVRA_SIM_REPLAY_SESSION), with KELVRA_BUILD_DIR set to the build and
KELVRA_DEMO_OUTPUT to the scratch folder's demo-output/ (both read by scripts/demo.sh). The demo library's
build/demo/kelvra.conf is put aside while the examples run, so that they start from the file scripts/demo.sh
writes, and put back afterwards.

    KELVRA_BINARY_DIR=build python3 tests/docs/doc_examples.py [FILE.md...]
    python3 tests/docs/doc_examples.py --check-only [FILE.md...]    the comments only, nothing is run
"""
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
SHELL_TAGS = {"sh", "bash", "shell", "console"}
OPENING_FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})\s*([^\s`]*)")
INDENTED = re.compile(r"^( {4}|\t)\S")
LIST_ITEM = re.compile(r"^\s*([-*+]|\d+[.)])\s")
MARKER_WORD = re.compile(r"^(run|not run|output|file)\b")
TIMEOUT_SECONDS = 120
SET_BY_EXAMPLES = ("SANE_CONFIG_DIR", "LD_LIBRARY_PATH", "KELVRA_SIM_SCENARIO", "KELVRA_SIM_LOG", "KELVRA_TRACE",
                   "KELVRA_TRACE_IMAGES", "KELVRA_SIM_REPLAY", "KELVRA_SIM_REPLAY_SESSION")
# The shell's own bookkeeping, which a new shell sets for itself.
NOT_CARRIED = {"SHELLOPTS", "BASHOPTS", "SHLVL", "_", "OLDPWD"}


@dataclass
class Marker:
    line: int
    kind: str  # run, not run, output, file
    value: str = ""  # the reason or the file name
    expected: list = field(default_factory=list)
    status: int = 0


@dataclass
class Block:
    path: Path
    line: int  # of the opening fence
    tag: str
    text: str
    marker: Marker = None

    def where(self):
        return "%s:%d" % (shown(self.path), self.line)


def shown(path):
    return path.relative_to(SOURCE) if path.is_relative_to(SOURCE) else path


def read_marker(line, text, problems, where):
    """The marker a comment holds, or None for an ordinary comment."""
    head, _, rest = text.strip().partition("\n")
    head = head.strip()
    if not MARKER_WORD.match(head):
        return None
    if head == "run":
        marker = Marker(line, "run")
        for entry in filter(None, (entry.strip() for entry in rest.splitlines())):
            key, _, value = entry.partition(":")
            if key == "output" and value.strip():
                marker.expected.append(value.strip())
            elif key == "status" and value.strip().isdigit():
                marker.status = int(value)
            else:
                problems.append("%s: in a run comment, %r is neither 'output: TEXT' nor 'status: N'" % (where, entry))
        return marker
    if head.startswith("not run:") and (head[8:] + rest).strip():
        return Marker(line, "not run", " ".join((head[8:] + " " + rest).split()))
    if head == "output" and not rest.strip():
        return Marker(line, "output")
    name = head[5:].strip() if head.startswith("file:") else ""
    if name and not rest.strip() and not name.startswith("/") and ".." not in Path(name).parts:
        return Marker(line, "file", name)
    problems.append("%s: %r is not a marker: 'run', 'not run: REASON', 'output' or 'file: NAME' (a relative "
                    "path)" % (where, head))
    return None


def parse(path):
    """The fenced blocks of one Markdown file, each with the marker before it, and the problems found."""
    lines = path.read_text(encoding="utf-8").splitlines()
    blocks, problems = [], []
    marker = None
    previous_blank, in_list = True, False
    i = 0

    def unused_marker():
        problems.append("%s:%d: the comment %r is not followed by a code block" % (shown(path), marker.line,
                                                                                    marker.kind))

    while i < len(lines):
        line = lines[i]
        fence = OPENING_FENCE.match(line)
        if fence:
            ticks = fence.group(1)
            closing = re.compile(r"^ {0,3}%s{%d,}\s*$" % (re.escape(ticks[0]), len(ticks)))
            end = next((j for j in range(i + 1, len(lines)) if closing.match(lines[j])), len(lines))
            blocks.append(Block(path, i + 1, fence.group(2).lower(), "".join(l + "\n" for l in lines[i + 1:end]),
                                marker))
            marker, previous_blank, in_list = None, False, False
            i = end + 1
            continue
        if line.lstrip().startswith("<!--"):
            end = next((j for j in range(i, len(lines)) if "-->" in lines[j]), len(lines) - 1)
            text = "\n".join(lines[i:end + 1]).lstrip()[4:].split("-->")[0]
            found = read_marker(i + 1, text, problems, "%s:%d" % (shown(path), i + 1))
            if found is not None:
                if marker is not None:
                    unused_marker()
                marker = found
            i = end + 1
            continue
        if not line.strip():
            previous_blank = True
            i += 1
            continue
        if previous_blank and not in_list and INDENTED.match(line):
            problems.append("%s:%d: an indented code block; write it as a fenced block (```sh, ```text...)"
                            % (shown(path), i + 1))
            while i < len(lines) and (not lines[i].strip() or INDENTED.match(lines[i])):
                i += 1
            continue
        if marker is not None:
            unused_marker()
            marker = None
        in_list = bool(LIST_ITEM.match(line)) or (in_list and line[:1] in (" ", "\t"))
        previous_blank = False
        i += 1
    if marker is not None:
        unused_marker()
    return blocks, problems


def check_blocks(blocks):
    """Problems of the markers against their blocks; output blocks join the run example before them."""
    problems = []
    previous = None
    for block in blocks:
        kind = block.marker.kind if block.marker else None
        shell = block.tag in SHELL_TAGS
        if not block.tag:
            problems.append("%s: a fence without a tag: ```sh for a shell example, ```text, ```xml... otherwise"
                            % block.where())
        elif shell and kind not in ("run", "not run"):
            problems.append("%s: a shell example without a 'run' or 'not run: REASON' comment before it"
                            % block.where())
        elif not shell and kind in ("run", "not run"):
            problems.append("%s: a %r comment before a ```%s block, which is not a shell example"
                            % (block.where(), kind, block.tag))
        if kind == "output":
            if previous is None or previous.marker is None or previous.marker.kind != "run":
                problems.append("%s: an 'output' block that does not follow a run example" % block.where())
            else:
                previous.marker.expected += [l.strip() for l in block.text.splitlines() if l.strip()]
        if kind != "output":
            previous = block
    return problems


def line_pattern(text):
    return re.compile(r"\s*" + ".*".join(re.escape(part) for part in text.split("...")) + r"\s*")


def mismatches(marker, status, output):
    """What the example's status and output lack, in words; empty when they are as the text says."""
    found = []
    if status != marker.status:
        found.append("exit status %s, the text says %d" % (status, marker.status))
    lines, at = output.splitlines(), 0
    for expected in marker.expected:
        pattern = line_pattern(expected)
        match = next((i for i in range(at, len(lines)) if pattern.fullmatch(lines[i])), None)
        if match is None:
            found.append("no line %sreads: %s" % ("after the one before " if at else "", expected))
        else:
            at = match + 1
    return found


def run_block(block, session, state):
    """Runs one example in the session (its environment and folder), which it updates; returns its problems."""
    script = "trap 's=$?; env -0 > %s; exit $s' EXIT\nset -e -o pipefail\n%s" % (state, block.text)
    started = time.monotonic()
    process = subprocess.Popen(["bash", "-c", script], cwd=session["PWD"], env=session, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=TIMEOUT_SECONDS)
        status = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        status = "none: stopped after %d s" % TIMEOUT_SECONDS
    output = output.decode("utf-8", "replace")
    if os.path.exists(state):
        with open(state, "rb") as f:
            entries = [entry.decode("utf-8", "replace").partition("=") for entry in f.read().split(b"\0") if entry]
        os.unlink(state)
        session.clear()
        session.update((key, value) for key, _, value in entries if key not in NOT_CARRIED)
    found = mismatches(block.marker, status, output)
    print("%s %s (%.1f s)" % ("FAIL" if found else "ok  ", block.where(), time.monotonic() - started))
    if found:
        print("".join("    | %s\n" % line for line in output.splitlines()[-60:]), end="")
        for problem in found:
            print("    %s" % problem)
    return ["%s: %s" % (block.where(), problem) for problem in found]


def scratch_top(folder, build):
    """A folder standing for the top of the sources, whose build/ is the build under test."""
    folder.mkdir()
    for entry in SOURCE.iterdir():
        if not entry.name.startswith((".git", "build", "demo-output")):
            (folder / entry.name).symlink_to(entry)
    (folder / "build").symlink_to(build)
    return folder


def run_file(path, blocks, work, build):
    top = scratch_top(work / path.stem, build)
    session = {key: value for key, value in os.environ.items() if key not in SET_BY_EXAMPLES}
    session.update(KELVRA_BUILD_DIR=str(build), KELVRA_DEMO_OUTPUT=str(top / "demo-output"), PWD=str(top))
    failures = []
    for block in blocks:
        kind = block.marker.kind if block.marker else None
        if kind == "file":
            (Path(session["PWD"]) / block.marker.value).write_text(block.text, encoding="utf-8")
        elif kind == "not run" and block.tag in SHELL_TAGS:
            print("skip %s: %s" % (block.where(), block.marker.value))
        elif kind == "run":
            failures += run_block(block, session, work / "session.env")
    return failures


# The marker rules on small documents: each must give the problem named (empty: none), so that a change to the
# parser cannot let unmarked examples through unseen.
RULES = [
    ("<!-- run -->\n```sh\ntrue\n```\n", ""),
    ("<!-- not run: needs root -->\n\n```bash\ntrue\n```\n", ""),
    ("```sh\ntrue\n```\n", "a shell example without"),
    ("<!-- a plain comment -->\n```sh\ntrue\n```\n", "a shell example without"),
    ("<!-- run -->\ntext between\n```sh\ntrue\n```\n", "not followed by a code block"),
    ("<!-- not run: -->\n```sh\ntrue\n```\n", "is not a marker"),
    ("<!-- run\nexpect: x\n-->\n```sh\ntrue\n```\n", "neither 'output: TEXT' nor 'status: N'"),
    ("```\ntrue\n```\n", "a fence without a tag"),
    ("text\n\n    scripts/demo.sh\n", "an indented code block"),
    ("- item\n\n    continued item\n", ""),
    ("<!-- run -->\n```xml\n<a/>\n```\n", "not a shell example"),
    ("<!-- not run: why -->\n```sh\ntrue\n```\n<!-- output -->\n```text\nx\n```\n", "does not follow a run"),
    ("<!-- file: ../x.xml -->\n```xml\n<a/>\n```\n", "is not a marker"),
    ("~~~~sh\n```\n~~~~\n", "a shell example without"),
]
MATCHES = [  # expected lines, output, status the text says, status got, whether they agree
    (["b", "d"], "a\nb\nc\nd\n", 0, 0, True),
    (["d", "b"], "a\nb\nc\nd\n", 0, 0, False),
    (["x ... z"], "  x y z  \n", 0, 0, True),
    (["x ... z"], "x y z!\n", 0, 0, False),
    (["b"], "abc\n", 0, 0, False),
    ([], "", 6, 6, True),
    ([], "", 0, 6, False),
]


def self_test():
    """Problems of the rules above, in words."""
    wrong = []
    with tempfile.TemporaryDirectory() as folder:
        page = Path(folder) / "page.md"
        for text, expected in RULES:
            page.write_text(text)
            blocks, problems = parse(page)
            problems += check_blocks(blocks)
            if (expected and not any(expected in p for p in problems)) or (not expected and problems):
                wrong.append("self-test: %r gives %s, not %r" % (text, problems or "no problem", expected))
    for expected, output, says, got, agree in MATCHES:
        if (not mismatches(Marker(0, "run", expected=expected, status=says), got, output)) != agree:
            wrong.append("self-test: %s against %r (status %d, %d) should %sagree" % (expected, output, says, got,
                                                                                     "" if agree else "not "))
    return wrong


def message_problems():
    """Status texts named in the manual page's DIAGNOSTICS and in the first column of the README's message table
    (a quoted cell is a frontend's own text) that are not the texts SANE gives its statuses."""
    strstatus = ctypes.CDLL("libsane.so.1").sane_strstatus
    strstatus.restype, strstatus.argtypes = ctypes.c_char_p, [ctypes.c_int]
    texts = {strstatus(status).decode() for status in range(12)}
    page = (SOURCE / "doc" / "sane-kelvra.5").read_text(encoding="utf-8")
    named = re.findall(r"^\.TP\n\.B (.+)$", page.partition(".SH DIAGNOSTICS")[2].partition("\n.SH ")[0], re.M)
    readme = (SOURCE / "README.md").read_text(encoding="utf-8")
    table = readme.partition("\n## What the messages mean\n")[2].partition("\n## ")[0]
    rows = [row.split("|")[1].strip() for row in table.splitlines() if row.startswith("|")][2:]
    named += [cell for cell in rows if not cell.startswith('"')]
    if not named:
        return ["no status text found in doc/sane-kelvra.5 (DIAGNOSTICS) nor in README.md (What the messages mean)"]
    return ["%r is not a SANE status text (they are: %s)" % (text, ", ".join(sorted(texts)))
            for text in named if text not in texts]


def main(arguments):
    check_only = "--check-only" in arguments
    files = [Path(a).resolve() for a in arguments if a != "--check-only"]
    files = files or [SOURCE / "README.md"] + sorted((SOURCE / "doc").glob("*.md"))
    parsed, problems = [], self_test() + message_problems()
    for path in files:
        blocks, found = parse(path)
        problems += found + check_blocks(blocks)
        parsed.append((path, blocks))
    examples = [b for _, blocks in parsed for b in blocks if b.tag in SHELL_TAGS and b.marker]
    to_run = sum(b.marker.kind == "run" for b in examples)
    if problems:
        print("\n".join(problems))
        print("doc examples: %d problem(s); the rules are at the top of %s" % (len(problems),
                                                                                 shown(Path(__file__).resolve())))
        return 1
    if not to_run:
        print("doc examples: not one example to run in %s" % " ".join(str(shown(f)) for f in files))
        return 1
    if check_only:
        print("doc examples: %d to run, %d not run, in %d files" % (to_run, len(examples) - to_run, len(files)))
        return 0

    build = Path(os.environ["KELVRA_BINARY_DIR"]).resolve()
    conf = build / "demo" / "kelvra.conf"
    aside = conf.with_name("kelvra.conf.kept-by-doc-examples")
    if aside.exists():  # left by a run that was killed: it holds the user's file
        aside.replace(conf)
    if conf.exists():
        conf.replace(aside)
    work = Path(tempfile.mkdtemp(prefix="kelvra-docs-"))
    failures = []
    try:
        for path, blocks in parsed:
            failures += run_file(path, blocks, work, build)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        conf.unlink(missing_ok=True)
        if aside.exists():
            aside.replace(conf)
    print("doc examples: %d run, %d not run, %d failed" % (to_run, len(examples) - to_run, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
