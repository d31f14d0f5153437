#!/usr/bin/env python3
"""The manual pages against the programs they describe, as built: every switch a program's
--help lists (for orxadmin also each command's --help) is in its page, and every switch the
page lists under OPTIONS or COMMANDS is one the program's help names; every page has the
sections a reader looks for; the program, its --version and the page's footer show one version.

Usage: manpages_test.py MAN_DIR VERSION ORXSDKD NAME=SECTION=PROGRAM...
Exit 0 when all holds, 1 with the findings listed, 77 (skipped) when the pages were not made.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

SWITCH = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*[a-z0-9]")
REQUIRED = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT",
            "FILES", "SEE ALSO"]
# Daemons, and orxcmd, whose behaviour on signals matters to their users.
NEEDS_SIGNALS = {"orxgui", "orxweb", "orxsdkd", "orxcache", "orxcmd"}
# Switches a program takes whose --help, a fixed text, leaves out: the page documents them.
UNLISTED = {"orxcache": {"--verbose"}}


def run(program, args, env=None):
    result = subprocess.run([program] + args, capture_output=True, text=True, env=env,
                            timeout=60)
    return result.stdout + result.stderr


def helps(name, program, env):
    """The texts of the program's --help, and for orxadmin those of every command."""
    texts = [run(program, ["--help"], env)]
    if name == "orxadmin":
        commands = False
        for line in texts[0].split("\n"):
            if line.startswith("Commands:"):
                commands = True
                continue
            match = re.match(r"^  (\S+)", line)
            if commands and match:
                texts.append(run(program, [match.group(1), "--help"], env))
            elif commands and texts[1:]:
                break
    return texts


def page_text(path):
    """The page as plain text: roff escapes and fonts gone, one section name per .SH line."""
    text = open(path, encoding="utf-8").read()
    text = text.replace("\\-", "-").replace("\\(bu", "*").replace("\\e", "\\")
    text = re.sub(r"\\f[BIRP]", "", text)
    return text


def sections(text):
    """Section name -> its text."""
    found = {}
    current = None
    for line in text.split("\n"):
        match = re.match(r'^\.SH\s+"?([^"]*)"?\s*$', line)
        if match:
            current = match.group(1).strip().upper()
            found[current] = ""
        elif current is not None:
            found[current] += line + "\n"
    return found


def main(argv):
    man_dir, version, orxsdkd = argv[1], argv[2], argv[3]
    pages = [spec.split("=", 2) for spec in argv[4:]]
    if not all(os.path.exists(os.path.join(man_dir, "%s.%s" % (n, s))) for n, s, _ in pages):
        print("manual pages not made in this build (help2man missing, or a sanitizer build)")
        return 77
    findings = []
    with tempfile.TemporaryDirectory() as folder:
        # orxcache reads its command line only once the service answers.
        socket = os.path.join(folder, "socket")
        service = subprocess.Popen([orxsdkd, "--foreground", "--socket", socket],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(300):
                if os.path.exists(socket):
                    break
                time.sleep(0.05)
            env = dict(os.environ, ORXSDKD_SOCKET=socket)
            for name, section, program in pages:
                text = page_text(os.path.join(man_dir, "%s.%s" % (name, section)))
                parts = sections(text)
                for required in REQUIRED + (["SIGNALS"] if name in NEEDS_SIGNALS else []):
                    if required not in parts:
                        findings.append("%s(%s) has no %s section" % (name, section, required))
                if name == "orxadmin" and "COMMANDS" not in parts:
                    findings.append("orxadmin(1) has no COMMANDS section")
                listed = set()
                for help_text in helps(name, program, env):
                    listed |= set(SWITCH.findall(help_text))
                documented = set(SWITCH.findall(text))
                for switch in sorted(listed - documented):
                    findings.append("%s: %s is in --help but not in %s(%s)" %
                                    (name, switch, name, section))
                described = set(SWITCH.findall(parts.get("OPTIONS", "") +
                                               parts.get("COMMANDS", "")))
                for switch in sorted(described - listed - UNLISTED.get(name, set())):
                    findings.append("%s(%s) lists %s, which %s --help does not" %
                                    (name, section, switch, name))
                shown = run(program, ["--version"], env)
                if version not in shown:
                    findings.append("%s --version shows '%s', not %s" %
                                    (name, shown.strip(), version))
                th = next((line for line in text.split("\n") if line.startswith(".TH")), "")
                if version not in th:
                    findings.append("%s(%s): the footer '%s' lacks %s" % (name, section, th,
                                                                           version))
        finally:
            service.terminate()
            service.wait(timeout=30)
    for finding in findings:
        print(finding)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
