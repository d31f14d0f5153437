#!/usr/bin/env python3
"""Writes the include file of a manual page: the page's own text (docs/man/NAME.h2m), then
sections made from other sources, so that each text has one home:
  --commands PROGRAM   a COMMANDS section from "PROGRAM --help" (the command list) and
                       "PROGRAM COMMAND --help" for each command (orxadmin)
  --markdown "FILE|HEADING|SECTION"
                       the part of a Markdown file under HEADING (up to the next heading of
                       the same level or above), as the manual section SECTION: paragraphs,
                       lists and tables (a table becomes one indented paragraph per row)
Usage: man-sections.py OUTPUT INCLUDE [--commands PROGRAM] [--markdown "F|H|S"]...
"""
import re
import subprocess
import sys


def roff(text):
    """Markdown inline text to roff: code spans bold, backslashes and leading dots escaped."""
    text = text.replace("\\", "\\e")
    text = re.sub(r"`([^`]*)`", lambda m: "\\fB" + m.group(1).replace("-", "\\-") + "\\fR", text)
    text = re.sub(r"\*\*([^*]*)\*\*", r"\\fB\1\\fR", text)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    if text.startswith(".") or text.startswith("'"):
        text = "\\&" + text
    return text


def table_cells(row):
    """The cells of a Markdown table row: split at "|" outside code spans and not escaped."""
    cells = [""]
    code = False
    i = 0
    row = row.strip()
    if row.startswith("|"):
        row = row[1:]
    if row.endswith("|") and not row.endswith("\\|"):
        row = row[:-1]
    while i < len(row):
        c = row[i]
        if c == "\\" and i + 1 < len(row) and row[i + 1] == "|":
            cells[-1] += "|"
            i += 2
            continue
        if c == "`":
            code = not code
        if c == "|" and not code:
            cells.append("")
        else:
            cells[-1] += c
        i += 1
    return [c.strip() for c in cells]


def markdown_section(path, heading, section):
    lines = open(path, encoding="utf-8").read().split("\n")
    level = None
    body = []
    for line in lines:
        match = re.match(r"^(#+)\s+(.*)$", line)
        if level is None:
            if match and match.group(2).strip() == heading:
                level = len(match.group(1))
            continue
        if match and len(match.group(1)) <= level:
            break
        body.append(line)
    if level is None:
        sys.exit("man-sections: no heading '%s' in %s" % (heading, path))
    out = ["[%s]" % section]
    header = None
    in_code = False
    paragraph = []

    def flush():
        if paragraph:
            out.append(".PP")
            out.append(roff(" ".join(paragraph)))
            paragraph.clear()

    for line in body:
        if line.startswith("```"):
            flush()
            in_code = not in_code
            out.append(".nf" if in_code else ".fi")
            continue
        if in_code:
            out.append(roff(line))
            continue
        stripped = line.strip()
        if stripped.startswith("|"):
            flush()
            cells = table_cells(stripped)
            if all(re.match(r"^:?-+:?$", c) for c in cells):
                continue
            if header is None:
                header = cells
                continue
            out.append(".TP")
            out.append(roff(cells[0]))
            rest = ["%s: %s" % (header[i], cells[i]) if i < len(header) and header[i] else
                    cells[i] for i in range(1, len(cells)) if cells[i] not in ("", "-")]
            out.append(roff("; ".join(rest)))
            continue
        header = None
        match = re.match(r"^#+\s+(.*)$", stripped)
        if match:
            flush()
            out.append(".SS " + roff(match.group(1)))
            continue
        if stripped.startswith("- "):
            flush()
            out.append(".IP \\(bu 2")
            out.append(roff(stripped[2:]))
            continue
        if not stripped:
            flush()
            continue
        paragraph.append(stripped)
    flush()
    return "\n".join(out) + "\n"


def commands_section(program):
    listing = subprocess.run([program, "--help"], capture_output=True, text=True).stdout
    names = []
    in_commands = False
    for line in listing.split("\n"):
        if line.startswith("Commands:"):
            in_commands = True
            continue
        if in_commands:
            match = re.match(r"^  (\S+)", line)
            if not match:
                if names:
                    break
                continue
            names.append(match.group(1))
    out = ["[COMMANDS]"]
    for name in names:
        text = subprocess.run([program, name, "--help"], capture_output=True, text=True).stdout
        lines = text.rstrip("\n").split("\n")
        out.append(".SS " + roff(name))
        usage = lines[0].replace("Usage: ", "")
        out.append(".B " + roff(usage))
        out.append(".PP")
        out.append(roff(lines[1]) if len(lines) > 1 else "")
        options = False
        for line in lines[2:]:
            if line.startswith("Options:"):
                options = True
                continue
            match = re.match(r"^  (\S+(?: V)?)\s{2,}(.*)$", line)
            if options and match:
                out.append(".TP")
                out.append("\\fB" + match.group(1).replace("-", "\\-").replace(" V", "\\fR \\fIV")
                           + "\\fR")
                out.append(roff(match.group(2)))
    return "\n".join(out) + "\n"


def main(argv):
    output, include = argv[1], argv[2]
    text = open(include, encoding="utf-8").read()
    rest = argv[3:]
    i = 0
    while i < len(rest):
        option, value = rest[i], rest[i + 1]
        i += 2
        if option == "--commands":
            text += "\n" + commands_section(value)
        elif option == "--markdown":
            path, heading, section = value.split("|", 2)
            text += "\n" + markdown_section(path, heading, section)
        else:
            sys.exit("man-sections: unknown option " + option)
    with open(output, "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main(sys.argv)
