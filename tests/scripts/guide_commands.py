#!/usr/bin/python3
"""Checks that the command lines a document shows in its ```sh blocks still run.

For every line that runs orvendal or stationctl, the `--help` of the command it names must exit 0
and list every option the line uses. A block with `$ ` prompts shows commands on its prompt lines
(`$ ` or `# `) and their output on the others; a block without prompts is all commands.

  guide_commands.py ORVENDAL STATIONCTL DOCUMENT...
"""
import os
import re
import shlex
import subprocess
import sys

PROGRAMS = ("orvendal", "stationctl")
SEPARATORS = {"|", "||", "&", "&&", ";", ";;", "(", ")", "<", ">", ">>"}
# sudo's options that take a value, as in `sudo -u orvendal stationctl ...`.
SUDO_VALUE_OPTIONS = {"-u", "-g", "-C", "-D", "-h", "-p", "-r", "-t", "-U"}


def sh_blocks(text):
    """Yields the ```sh blocks of a Markdown text as lists of (line number, line)."""
    block = None
    for number, line in enumerate(text.splitlines(), 1):
        if block is None:
            if re.fullmatch(r"\s*```sh\s*", line):
                block = []
        elif re.fullmatch(r"\s*```\s*", line):
            yield block
            block = None
        else:
            block.append((number, line))


def shell_words(command):
    """The words of a shell command line, operators apart; None while a quote is still open."""
    lexer = shlex.shlex(command, posix=True, punctuation_chars=True)
    lexer.whitespace_split = True
    try:
        return list(lexer)
    except ValueError:
        return None


def command_lines(block):
    """Yields (line number, command) for the commands of a block, with the lines that a
    backslash or an open quote continues joined."""
    prompted = any(line.startswith("$ ") for _, line in block)
    pending = None
    for number, line in block:
        if pending is not None:
            start, text = pending
            text += line
        elif prompted:
            if not line.startswith(("$ ", "# ")):
                continue
            start, text = number, line[2:]
        else:
            start, text = number, line
        if text.endswith("\\"):
            pending = (start, text[:-1])
        elif shell_words(text) is None:
            pending = (start, text + "\n")
        else:
            pending = None
            yield start, text
    if pending is not None:
        yield pending


def invocation(command):
    """The words of orvendal's or stationctl's invocation in a shell command, or None."""
    words = []
    for word in shell_words(command) or []:
        if word in SEPARATORS:
            break
        words.append(word)
    while words:
        if words[0] == "sudo":
            words.pop(0)
            while words and words[0].startswith("-"):
                option = words.pop(0)
                if option in SUDO_VALUE_OPTIONS and words:
                    words.pop(0)
        elif words[0] == "env" or re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*=.*", words[0]):
            words.pop(0)
        else:
            break
    if not words or os.path.basename(words[0]) not in PROGRAMS:
        return None
    return [os.path.basename(words[0])] + words[1:]


def check(programs, path):
    """The failures of one document's command lines, and how many lines were checked."""
    with open(path, encoding="utf-8") as document:
        text = document.read()
    failures = []
    checked = 0
    for block in sh_blocks(text):
        for number, command in command_lines(block):
            words = invocation(command)
            if words is None:
                continue
            checked += 1
            name = words[0]
            asked = [name]
            if name == "stationctl" and len(words) > 1 and not words[1].startswith("-"):
                asked.append(words[1])
            help_run = subprocess.run([programs[name]] + asked[1:] + ["--help"],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      text=True, errors="replace", check=False)
            where = f"{path}:{number}: {command.strip()}"
            if help_run.returncode != 0:
                failures.append(f"{where}\n  `{' '.join(asked)} --help` exits "
                                f"{help_run.returncode}")
                continue
            for word in words[len(asked):]:
                option = word.split("=", 1)[0]
                if not re.fullmatch(r"--[a-z][a-z0-9-]*|-[A-Za-z]", option):
                    continue
                if not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])",
                                 help_run.stdout):
                    failures.append(f"{where}\n  `{' '.join(asked)} --help` does not list "
                                    f"{option}")
    return failures, checked


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    programs = {"orvendal": argv[1], "stationctl": argv[2]}
    failures = []
    checked = 0
    for path in argv[3:]:
        found, count = check(programs, path)
        failures += found
        checked += count
    for failure in failures:
        print(failure, file=sys.stderr)
    if failures:
        return 1
    print(f"{checked} command lines of {', '.join(argv[3:])} match their --help")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
