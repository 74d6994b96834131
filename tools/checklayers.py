#!/usr/bin/env python3
"""Fails when an include points the wrong way between the program's folders.

- The core (everything without a window) includes no Qt.
- Nothing below the window (the core, ostrellectl, radiosim) includes panel/
  or app/.
- The program's own headers are named by their folder ("protocol/radiolink.h"),
  so that each arrow shows in review and in this check.
- No two folders include each other, directly or round a longer loop.

Run from anywhere; prints each finding and the folder graph's size.
"""
import os
import re
import subprocess
import sys

CORE = ['serial', 'protocol', 'transfer', 'config', 'activity', 'control', 'audio', 'station']
BELOW_WINDOW = CORE + ['cli', 'sim']
WINDOW = ['panel', 'app']
FOLDERS = BELOW_WINDOW + WINDOW

here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.chdir(here)
listed = subprocess.run(['git', 'ls-files', *(f'{d}/*' for d in FOLDERS)],
                        capture_output=True, text=True, check=True).stdout.split()
sources = [f for f in listed if f.endswith(('.cpp', '.h'))]

local_include = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
system_include = re.compile(r'^\s*#\s*include\s*<([^>]+)>', re.M)
findings = []
edges = {d: set() for d in FOLDERS}

for path in sources:
    folder = path.split('/')[0]
    with open(path, encoding='utf-8', errors='replace') as f:
        text = f.read()
    if folder in CORE:
        for name in system_include.findall(text):
            if name.startswith(('Q', 'qt', 'Qt')):
                findings.append(f'{path}: the core includes Qt <{name}>')
    for name in local_include.findall(text):
        if '/' not in name:
            findings.append(f'{path}: "{name}" does not name its folder')
            continue
        target = name.split('/')[0]
        if target not in edges:
            continue  # generated headers and the like, found through the build
        if folder in BELOW_WINDOW and target in WINDOW:
            findings.append(f'{path}: below the window, yet includes "{name}"')
        if target != folder:
            edges[folder].add(target)

# Tarjan's strongly connected components: any with more than one folder is a cycle.
index, low, stack, on_stack, cycles = {}, {}, [], set(), []
counter = [0]


def visit(v):
    index[v] = low[v] = counter[0]
    counter[0] += 1
    stack.append(v)
    on_stack.add(v)
    for w in sorted(edges[v]):
        if w not in index:
            visit(w)
            low[v] = min(low[v], low[w])
        elif w in on_stack:
            low[v] = min(low[v], index[w])
    if low[v] == index[v]:
        component = []
        while True:
            w = stack.pop()
            on_stack.discard(w)
            component.append(w)
            if w == v:
                break
        if len(component) > 1:
            cycles.append(sorted(component))


for v in FOLDERS:
    if v not in index:
        visit(v)
for c in cycles:
    findings.append('folders that include each other: ' + ' <-> '.join(c))

for line in findings:
    print(line)
arrows = sum(len(t) for t in edges.values())
print(f'== include layers: {len(sources)} files, {arrows} arrows between {len(FOLDERS)} folders, '
      f'{len(findings)} finding(s)')
sys.exit(1 if findings else 0)
