#!/usr/bin/env python3
"""Plant small faults in a private copy of the source tree and see which the tests catch.

Reads a bug list (tests/planted-bugs.txt by default), copies the committed tree
(git archive HEAD) or the working tree (--working-tree) ONCE into a temporary
directory, configures one build there with the sim preset, and then for every
selected bug: replaces the exact `old` text (which must occur exactly once) by
`new`, rebuilds incrementally, runs the bug's ctest regex (or the whole suite
with --all-tests), records the outcome and puts the file back.

Outcomes: CAUGHT (a test failed), NOT-CAUGHT (all selected tests passed),
NOT-COMPILED (the build failed: fix the bug's text), NO-TESTS (the regex
matched no test), BAD-TEXT (`old` does not occur exactly once).

The real working tree is never written to (--check reads it: it checks the
`old` texts against the files as they are now). A run killed midway leaves
the copy planted; a later run with the same --workdir puts the file back first. Exit status: 0, or 1 when a bug
named by --expect-caught (or every bug, with --expect-caught all) was not
caught, or 2 on a usage or set-up error.

Bug list format: blocks separated by blank lines; fields are `key: value`
lines. `old:` and `new:` take a one-line value, or a multi-line value given as
`old: |` followed by lines each starting with `| ` (the text after `| `; a
bare `|` is an empty line). Lines starting with `#` outside a text are
comments. Keys: id, subsystem, desc, file (relative to the repository root),
tests (ctest -R regex), old, new.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEYS = ("id", "subsystem", "desc", "file", "tests", "old", "new")


def parse_bug_list(path):
    bugs = []
    current = {}
    pending_key = None  # a multi-line text being read
    pending_lines = []

    def finish_text():
        nonlocal pending_key, pending_lines
        if pending_key is not None:
            current[pending_key] = "\n".join(pending_lines)
            pending_key, pending_lines = None, []

    def finish_bug(line_no):
        nonlocal current
        finish_text()
        if current:
            missing = [k for k in KEYS if k not in current]
            if missing:
                raise ValueError("%s:%d: bug %s lacks %s" %
                                 (path, line_no, current.get("id", "?"), ", ".join(missing)))
            bugs.append(current)
        current = {}

    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        if pending_key is not None:
            if line == "|" or line.startswith("| "):
                pending_lines.append(line[2:])
                continue
            finish_text()
        if line.strip() == "":
            finish_bug(number)
            continue
        if line.startswith("#"):
            continue
        key, sep, value = line.partition(":")
        key = key.strip()
        if not sep or key not in KEYS:
            raise ValueError("%s:%d: expected one of %s" % (path, number, ", ".join(KEYS)))
        if key in current:
            raise ValueError("%s:%d: %s given twice" % (path, number, key))
        value = value[1:] if value.startswith(" ") else value
        if key in ("old", "new") and value == "|":
            pending_key = key
        else:
            current[key] = value
    finish_bug(len(lines))
    ids = [b["id"] for b in bugs]
    dupes = sorted({i for i in ids if ids.count(i) > 1})
    if dupes:
        raise ValueError("%s: ids given twice: %s" % (path, ", ".join(dupes)))
    return bugs


def run(cmd, cwd, log, timeout=None):
    """Runs cmd, appends its output to log, returns its exit code (-9 on time-out)."""
    with open(log, "a", encoding="utf-8") as out:
        out.write("\n$ %s\n" % " ".join(cmd))
        out.flush()
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            out.write("\n(timed out)\n")
            return -9


def prepare_tree(work, working_tree, log):
    """Copies the sources into work/src and configures work/src/build/sim there."""
    src = os.path.join(work, "src")
    if os.path.isdir(os.path.join(src, "build", "sim")):
        print("reusing %s" % src, flush=True)
        return src
    os.makedirs(src, exist_ok=True)
    if working_tree:
        files = subprocess.run(["git", "-C", REPO, "ls-files", "-z", "--cached", "--others",
                                "--exclude-standard"], check=True,
                               capture_output=True).stdout.split(b"\0")
        for name in files:
            name = name.decode()
            if not name or not os.path.isfile(os.path.join(REPO, name)):
                continue
            os.makedirs(os.path.dirname(os.path.join(src, name)), exist_ok=True)
            shutil.copy2(os.path.join(REPO, name), os.path.join(src, name))
    else:
        archive = subprocess.Popen(["git", "-C", REPO, "archive", "HEAD"], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", src], stdin=archive.stdout, check=True)
        if archive.wait() != 0:
            raise RuntimeError("git archive failed")
    if run(["cmake", "--preset", "sim"], src, log) != 0:
        raise RuntimeError("configuring failed, see %s" % log)
    return src


def restore_interrupted(work):
    """Puts back a file a killed earlier run left planted in a reused copy."""
    marker = os.path.join(work, "planted-file")
    if not os.path.exists(marker):
        return
    with open(marker, encoding="utf-8") as f:
        path = f.read()
    shutil.copyfile(marker + ".orig", path)
    os.remove(marker + ".orig")
    os.remove(marker)
    print("restored %s left planted by an interrupted run" % path, flush=True)


def plant(work, path, original, planted):
    marker = os.path.join(work, "planted-file")
    with open(marker + ".orig", "w", encoding="utf-8") as f:
        f.write(original)
    with open(marker, "w", encoding="utf-8") as f:
        f.write(path)
    with open(path, "w", encoding="utf-8") as f:
        f.write(planted)


def unplant(work, path, original):
    with open(path, "w", encoding="utf-8") as f:
        f.write(original)
    marker = os.path.join(work, "planted-file")
    os.remove(marker + ".orig")
    os.remove(marker)


def build(src, jobs, log):
    return run(["cmake", "--build", os.path.join(src, "build", "sim"), "-j", str(jobs)], src, log)


def run_tests(src, regex, jobs, log):
    """Returns (outcome, number of tests run)."""
    cmd = ["ctest", "--test-dir", os.path.join(src, "build", "sim"), "-j", str(jobs),
           "--timeout", "120", "--output-on-failure"]
    if regex:
        cmd += ["-R", regex]
    before = os.path.getsize(log) if os.path.exists(log) else 0
    code = run(cmd, src, log, timeout=3600)
    with open(log, encoding="utf-8", errors="replace") as f:
        f.seek(before)
        output = f.read()
    if "No tests were found" in output:
        return "NO-TESTS", 0
    total = 0
    for line in output.splitlines():
        if "tests passed," in line and "out of" in line:
            total = int(line.rsplit("out of", 1)[1].strip())
    return ("CAUGHT" if code != 0 else "NOT-CAUGHT"), total


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bugs", default=os.path.join(REPO, "tests", "planted-bugs.txt"))
    parser.add_argument("--only", help="comma-separated bug ids (default: all)")
    parser.add_argument("--all-tests", action="store_true",
                        help="run the whole suite for each bug instead of its regex")
    parser.add_argument("--expect-caught",
                        help="comma-separated ids, or 'all': exit 1 if one is not caught")
    parser.add_argument("--out", help="write id, subsystem, outcome, tests, seconds as TSV")
    parser.add_argument("--workdir", help="keep the copy here (reused when it holds a build)")
    parser.add_argument("--working-tree", action="store_true",
                        help="copy the working tree (tracked and untracked files) instead of HEAD")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--check", action="store_true",
                        help="only check that every old text occurs exactly once")
    args = parser.parse_args()

    try:
        bugs = parse_bug_list(args.bugs)
    except (OSError, ValueError) as error:
        print("plant-bugs: %s" % error, file=sys.stderr)
        return 2
    if args.only:
        wanted = [i.strip() for i in args.only.split(",") if i.strip()]
        unknown = [i for i in wanted if i not in {b["id"] for b in bugs}]
        if unknown:
            print("plant-bugs: unknown ids: %s" % ", ".join(unknown), file=sys.stderr)
            return 2
        bugs = [b for b in bugs if b["id"] in wanted]

    if args.check:
        bad = 0
        for bug in bugs:
            with open(os.path.join(REPO, bug["file"]), encoding="utf-8") as f:
                count = f.read().count(bug["old"])
            if count != 1:
                bad += 1
                print("%s: old text occurs %d times in %s" % (bug["id"], count, bug["file"]))
        print("%d bugs, %d with a bad old text" % (len(bugs), bad))
        return 1 if bad else 0

    work = args.workdir or tempfile.mkdtemp(prefix="plant-bugs-")
    os.makedirs(work, exist_ok=True)
    log = os.path.join(work, "plant-bugs.log")
    print("work dir %s, log %s" % (work, log), flush=True)
    # A plain kill still puts the planted file back (through the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    restore_interrupted(work)
    try:
        src = prepare_tree(work, args.working_tree, log)
    except (RuntimeError, subprocess.CalledProcessError) as error:
        print("plant-bugs: %s" % error, file=sys.stderr)
        return 2
    print("building the unchanged copy ...", flush=True)
    if build(src, args.jobs, log) != 0:
        print("plant-bugs: the unchanged copy does not build, see %s" % log, file=sys.stderr)
        return 2

    results = []
    for bug in bugs:
        path = os.path.join(src, bug["file"])
        started = time.monotonic()
        with open(path, encoding="utf-8") as f:
            original = f.read()
        tests = 0
        if original.count(bug["old"]) != 1:
            outcome = "BAD-TEXT"
        else:
            plant(work, path, original, original.replace(bug["old"], bug["new"], 1))
            try:
                with open(log, "a", encoding="utf-8") as out:
                    out.write("\n===== %s: %s\n" % (bug["id"], bug["desc"]))
                if build(src, args.jobs, log) != 0:
                    outcome = "NOT-COMPILED"
                else:
                    outcome, tests = run_tests(src, None if args.all_tests else bug["tests"],
                                               args.jobs, log)
            finally:
                unplant(work, path, original)
        seconds = time.monotonic() - started
        results.append((bug, outcome, tests, seconds))
        print("%-28s %-10s %-12s %4d tests %6.0f s" %
              (bug["id"], bug["subsystem"], outcome, tests, seconds), flush=True)
    # Leave the copy built as committed, so a reused work dir starts clean.
    build(src, args.jobs, log)

    counts = {}
    for _, outcome, _, _ in results:
        counts[outcome] = counts.get(outcome, 0) + 1
    print("\n" + ", ".join("%d %s" % (n, o) for o, n in sorted(counts.items())))
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write("id\tsubsystem\toutcome\ttests\tseconds\tdescription\n")
            for bug, outcome, tests, seconds in results:
                f.write("%s\t%s\t%s\t%d\t%.0f\t%s\n" %
                        (bug["id"], bug["subsystem"], outcome, tests, seconds, bug["desc"]))
    if not args.workdir:
        shutil.rmtree(work, ignore_errors=True)

    if args.expect_caught:
        if args.expect_caught == "all":
            expected = {b["id"] for b in bugs}
        else:
            expected = {i.strip() for i in args.expect_caught.split(",") if i.strip()}
        missed = [b["id"] for b, o, _, _ in results if b["id"] in expected and o != "CAUGHT"]
        if missed:
            print("not caught but expected: %s" % ", ".join(missed), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
