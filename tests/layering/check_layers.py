#!/usr/bin/env python3
"""Fails when an include runs against the layers of the code (docs/layout.md): a lower layer
including a higher one, the simulator including anything of the client, or Qt outside the
windows and the program."""
import pathlib
import re
import sys

RANK = {'platform': 0, 'protocol': 1, 'wire': 2, 'transport': 3, 'camera': 4, 'upgrade': 5,
        'cli': 6, 'ui': 6, 'app': 6}
SIM_MAY_USE = {'sim', 'wire', 'platform'}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)
QT = re.compile(r'^\s*#\s*include\s+<Q', re.M)

src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else 'src')
problems = []
for path in sorted(src.rglob('*')):
    if path.suffix not in ('.h', '.cpp'):
        continue
    layer = path.relative_to(src).parts[0]
    text = path.read_text(errors='replace')
    if QT.search(text) and layer not in ('ui', 'app'):
        problems.append(f'{path}: includes Qt outside src/ui and src/app')
    for used in INCLUDE.findall(text):
        if layer == 'sim':
            if used not in SIM_MAY_USE:
                problems.append(f'{path}: the simulator includes {used}/')
        elif used == 'sim':
            problems.append(f'{path}: includes the simulator')
        elif layer in RANK and used in RANK and RANK[used] > RANK[layer]:
            problems.append(f'{path}: {layer}/ includes the higher layer {used}/')
        elif layer in ('cli', 'ui') and used in ('cli', 'ui') and used != layer:
            problems.append(f'{path}: {layer}/ includes the other front end {used}/')
for line in problems:
    print(line)
sys.exit(1 if problems else 0)
