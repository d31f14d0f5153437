#!/usr/bin/env python3
"""Holds toolkit/src to the folder table of toolkit/README.md ("Sources").

Every source file sits in a folder the table lists; a file includes files of its own folder by
name and another folder only through that folder's own header F/F.h; and a folder includes only
the folders its row allows. Code outside src (the service daemon, the network library) reaches
src only through own headers too. Prints every breach and exits 1 when there is any.

    layout_test.py TOOLKIT_FOLDER
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
ROW = re.compile(r'^\| `src/([a-z_]+)/` \| .* \| (.+) \|$', re.M)


def table(readme):
    allowed = {}
    for folder, may in ROW.findall(readme):
        allowed[folder] = set(re.findall(r'`([a-z_]+)`', may))
    return allowed


def breaches(toolkit):
    src = os.path.join(toolkit, 'src')
    with open(os.path.join(toolkit, 'README.md'), encoding='utf-8') as f:
        allowed = table(f.read())
    found = []
    if not allowed:
        return ['README.md: no folder table under "Sources"']
    on_disk = {e for e in os.listdir(src) if os.path.isdir(os.path.join(src, e))}
    for stray in sorted(set(os.listdir(src)) - on_disk):
        found.append(f'src/{stray}: a file outside every folder')
    for folder in sorted(on_disk ^ set(allowed)):
        found.append(f'src/{folder}/: in the folder table or on disk, not both')

    def check(path, folder, names):
        with open(path, encoding='utf-8') as f:
            text = f.read()
        shown = os.path.relpath(path, toolkit)
        for target in INCLUDE.findall(text):
            parts = target.split('/')
            if len(parts) == 1:
                if target not in names:
                    found.append(f'{shown}: "{target}" is not a file of its own folder')
            elif len(parts) == 2 and parts[0] in on_disk:
                other, name = parts
                if other == folder:
                    found.append(f'{shown}: "{target}" names its own folder; include by name')
                elif name != other + '.h':
                    found.append(f'{shown}: "{target}" reaches past {other}/{other}.h')
                elif not os.path.isfile(os.path.join(src, other, name)):
                    found.append(f'{shown}: {other}/ has no own header')
                elif folder is not None and other not in allowed.get(folder, set()):
                    found.append(f'{shown}: {folder}/ may not include {other}/')
            elif folder is not None:
                found.append(f'{shown}: "{target}" is no toolkit path')

    for folder in sorted(on_disk):
        names = set(os.listdir(os.path.join(src, folder)))
        for name in sorted(names):
            check(os.path.join(src, folder, name), folder, names)
    for outside in ('service', 'net'):
        base = os.path.join(toolkit, outside)
        names = set(os.listdir(base))
        for name in sorted(names):
            if name.endswith(('.h', '.cpp')):
                check(os.path.join(base, name), None, names)
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    found = breaches(sys.argv[1])
    for line in found:
        print(line)
    print(f'layout: {len(found)} breaches')
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main())
