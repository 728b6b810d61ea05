#!/usr/bin/env python3
"""Runs every command the README, docs/*.md and the manual pages' EXAMPLES give for our programs.

A command is a line of a shell block (```sh, or a `$ ` line of a transcript, or a line of a manual
page's .EX block under EXAMPLES) whose program, after any VAR=value, is QuorbelHelper,
quorbel-status or quorbel-tray (by name or by a path ending in one). It runs through bash against
a prepared home with two accounts and a service status, without network, and must exit 0 unless
a comment at its end says otherwise:
    # exits N              the status it must end with
    # runs until stopped   still running after a moment on a terminal; SIGTERM then ends it
                           with status 0
    # not run: why         skipped and listed (needs a terminal, a bus, a server, the network)
"""

import argparse
import datetime
import json
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PROGRAMS = ("QuorbelHelper", "quorbel-status", "quorbel-tray")
SHELL_LANGUAGES = ("sh", "bash", "shell", "console")
MARK = re.compile(r"#[^#\n]*?\b(exits (\d+)|runs until stopped|not run)\b[^\n]*$")
ASSIGNMENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*=\S*\s+")
CONTINUED = re.compile(r"(\\|&&|\|\||\|)\s*$")
RUN_SECONDS = 30
SETTLE_SECONDS = 1.5


def program_of(line):
    rest = line
    while ASSIGNMENT.match(rest):
        rest = rest[ASSIGNMENT.match(rest).end():]
    word = rest.split(maxsplit=1)[0] if rest.split() else ""
    return word.rsplit("/", 1)[-1] if word.rsplit("/", 1)[-1] in PROGRAMS else None


def joined(lines):
    """Physical lines to (first line number, command), continuations joined."""
    pending, start = [], 0
    for number, text in lines:
        if not pending:
            start = number
        pending.append(text.rstrip())
        if not CONTINUED.search(text):
            yield start, "\n".join(pending)
            pending = []
    if pending:
        yield start, "\n".join(pending)


def markdown_commands(path):
    block, language = None, ""
    for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        fence = re.match(r"\s*```(\S*)", text)
        if fence:
            if block is None:
                block, language = [], fence.group(1)
                continue
            yield from commands_in(path, block, transcript=language not in SHELL_LANGUAGES)
            block = None
        elif block is not None:
            block.append((number, text))


def man_commands(path):
    section, block = "", None
    for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if text.startswith(".SH "):
            section = text[4:].strip().strip('"')
        elif text.startswith(".EX") and section == "EXAMPLES":
            block = []
        elif text.startswith(".EE") and block is not None:
            yield from commands_in(path, block, transcript=False)
            block = None
        elif block is not None:
            plain = text.replace("\\-", "-").replace("\\(aq", "'").replace("\\(dq", '"')
            block.append((number, plain.replace("\\e", "\\")))


def commands_in(path, block, transcript):
    # In a transcript only the prompted lines are commands; the others are what they printed.
    if transcript:
        block = [(n, t[2:]) for n, t in block if t.startswith("$ ")]
    for number, command in joined(block):
        if program_of(command.lstrip()):
            yield f"{path.name}:{number}", command.strip()


def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def prepare(root, bin_dir):
    """A home as two running helpers and the status page check would leave it."""
    home = root / "home"
    data = home / ".local/share/QuorbelHelper"
    (data / "accounts/work").mkdir(parents=True)
    (home / ".local/bin").mkdir(parents=True)
    for program in PROGRAMS:
        (home / ".local/bin" / program).symlink_to(bin_dir / program)
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    hours = datetime.timedelta(hours=1)

    def snapshot(status, session, weekly, models=()):
        return {"status": status, "fetchedAt": iso(now - datetime.timedelta(minutes=2)),
                "subscriptionType": "max", "rateLimitTier": "default_claude_max_20x",
                "session": {"percent": session, "resetsAt": iso(now + 2 * hours)},
                "allModels": {"percent": weekly, "resetsAt": iso(now + 76 * hours)},
                "modelWindows": [{"model": m, "percent": p, "resetsAt": iso(now + 30 * hours)}
                                 for m, p in models]}

    (data / "plan-snapshot.json").write_text(json.dumps(snapshot("active", 41, 14)))
    (data / "accounts/work/plan-snapshot.json").write_text(
        json.dumps(snapshot("rateLimited", 88, 20, [("Opus", 100)])))
    (data / "service-status.json").write_text(json.dumps({
        "checkedAt": iso(now - datetime.timedelta(minutes=1)), "indicator": "major",
        "description": "Partial System Outage",
        "components": [{"name": "Claude Code", "status": "major_outage"}],
        "incidents": [{"id": "x1", "impact": "major", "link": "https://stspg.io/xyz",
                       "name": "Elevated errors on Claude Code", "status": "identified"}]}))
    work = root / "work"
    work.mkdir()
    environment = {"HOME": str(home), "PATH": f"{home}/.local/bin:/usr/bin:/bin",
                   "TMPDIR": str(root), "TZ": "UTC", "COLUMNS": "100", "LANG": "C.UTF-8",
                   "TERM": "xterm-256color"}
    return work, environment


def run(command, mark, work, environment, build_dir):
    # A command written for the source tree names the programs under build/.
    command = re.sub(r"(^|\s)build/(?=(" + "|".join(PROGRAMS) + r")\b)",
                     lambda m: m.group(1) + str(build_dir) + "/", command)
    shell = ["bash", "-o", "pipefail", "-c", command]
    if mark == "runs until stopped":
        # A long-running mode gets a terminal, as the dashboard needs and a person has.
        controller, terminal = pty.openpty()
        process = subprocess.Popen(shell, cwd=work, env=environment, stdin=terminal,
                                   stdout=terminal, stderr=subprocess.PIPE,
                                   start_new_session=True)
        os.close(terminal)
        time.sleep(SETTLE_SECONDS)
        running = process.poll() is None
        if running:
            os.killpg(process.pid, 15)
        _, err = process.communicate(timeout=RUN_SECONDS)
        os.close(controller)
        if not running:
            return f"ended with status {process.returncode} instead of running\n{err.decode()}"
        return None if process.returncode == 0 else f"SIGTERM gave status {process.returncode}"
    process = subprocess.Popen(shell, cwd=work, env=environment, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=RUN_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        process.communicate()
        return f"still running after {RUN_SECONDS} s"
    expected = int(mark.split()[1]) if mark and mark.startswith("exits") else 0
    if process.returncode != expected:
        return (f"exit status {process.returncode}, the text says {expected}\n"
                f"stdout: {out.decode(errors='replace')[:300]}\n"
                f"stderr: {err.decode(errors='replace')[:300]}")
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=Path, required=True)
    parser.add_argument("--bin", type=Path, required=True, help="folder of the built programs")
    parser.add_argument("--minimum", type=int, default=20,
                        help="fewer commands than this means the extraction broke")
    arguments = parser.parse_args()
    source, build_dir = arguments.source, arguments.bin.resolve()

    commands = []
    for page in [source / "README.md", *sorted((source / "docs").glob("*.md"))]:
        commands += markdown_commands(page)
    for page in sorted((source / "man").glob("*.1.in")):
        commands += man_commands(page)

    root = Path(tempfile.mkdtemp(prefix="quorbel-docs-"))
    failures, ran, skipped = [], 0, []
    try:
        work, environment = prepare(root, build_dir)
        for where, command in commands:
            found = MARK.search(command)
            mark = found.group(1) if found else None
            if mark and mark.startswith("not run"):
                skipped.append(f"{where}: {command}")
                continue
            ran += 1
            problem = run(command, mark, work, environment, build_dir)
            print(f"{'FAIL' if problem else 'ok  '} {where}: {command}")
            if problem:
                failures.append(f"{where}: {command}\n  {problem}")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    for line in skipped:
        print(f"skip {line}")
    print(f"{ran} commands run, {len(skipped)} marked not run, {len(failures)} failed")
    for failure in failures:
        print(f"\n{failure}", file=sys.stderr)
    if ran < arguments.minimum:
        print(f"only {ran} commands found; expected at least {arguments.minimum}", file=sys.stderr)
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
