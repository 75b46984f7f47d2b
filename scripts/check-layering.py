#!/usr/bin/env python3
"""Folder-to-folder include check: every quoted include of the product code (src/,
runtime/, tools/) must name a folder its own folder may build on (cmake/layering.txt),
so that every arrow between folders points down.

Usage: check-layering.py [ROOT] [RULES]   (defaults: the checkout, ROOT/cmake/layering.txt)
Exit status: 0 when every include is allowed; 1 with one line per wrong include (file,
line, header, and what the folder may include); 2 when the rules cannot be read.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SOURCE_SUFFIXES = ('.h', '.cpp')


def folder_of(path):
    """The layer a file belongs to: src/<dir>, tools/<dir>, or runtime."""
    parts = path.split('/')
    if parts[0] in ('src', 'tools') and len(parts) > 2:
        return parts[0] + '/' + parts[1]
    if parts[0] == 'runtime':
        return 'runtime'
    return None


def target_folder(header):
    """The folder a quoted include names ("composer/image.h" -> "composer"), or None for
    an include beside the file ("image.h")."""
    return header.split('/')[0] if '/' in header else None


def read_rules(path):
    allowed, exceptions = {}, set()
    with open(path, encoding='utf-8') as rules:
        for number, raw in enumerate(rules, 1):
            line = raw.split('#', 1)[0].strip()
            if not line:
                continue
            if '>' in line:
                source, header = (side.strip() for side in line.split('>', 1))
                exceptions.add((source, header))
            elif ':' in line:
                folder, names = line.split(':', 1)
                allowed[folder.strip()] = set(names.split())
            else:
                raise ValueError(f'{path}:{number}: neither "folder: folders" nor "file > header": {raw.strip()}')
    return allowed, exceptions


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    rules_path = argv[2] if len(argv) > 2 else os.path.join(root, 'cmake', 'layering.txt')
    try:
        allowed, exceptions = read_rules(rules_path)
    except (OSError, ValueError) as error:
        print(f'layering: cannot read the rules: {error}')
        return 2

    problems, used_exceptions, files = [], set(), 0
    for top in ('src', 'runtime', 'tools'):
        for directory, _, names in sorted(os.walk(os.path.join(root, top))):
            for name in sorted(names):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.relpath(os.path.join(directory, name), root).replace(os.sep, '/')
                folder = folder_of(path)
                if folder is None:
                    continue
                files += 1
                if folder not in allowed:
                    problems.append(f'{path}: its folder {folder} has no line in {rules_path}')
                    continue
                own = folder.split('/')[-1]
                with open(os.path.join(root, path), encoding='utf-8', errors='replace') as source:
                    for number, text in enumerate(source, 1):
                        match = INCLUDE.match(text)
                        if not match:
                            continue
                        header = match.group(1)
                        target = target_folder(header)
                        if target is None or target == own or target in allowed[folder]:
                            continue
                        if (path, header) in exceptions:
                            used_exceptions.add((path, header))
                            continue
                        may = ' '.join(sorted(allowed[folder])) or 'nothing'
                        problems.append(f'{path}:{number}: includes "{header}", but {folder} may include only from: {may}')
    for source, header in sorted(exceptions - used_exceptions):
        problems.append(f'{rules_path}: the kept include {source} > {header} is gone: take its line out')

    for problem in problems:
        print(problem)
    if problems:
        print(f'layering: {len(problems)} include(s) point the wrong way ({files} files read)')
        return 1
    print(f'layering: every include of {files} files points down')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
