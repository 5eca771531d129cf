#!/usr/bin/env python3
"""Checks the documents against the tree and the code:

  * every relative link in README.md and docs/*.md names a file or folder
    that exists, and a #fragment names a heading of that document;
  * every option the updater parses (MatchOption in src/control/options.cpp)
    and every exit status it ends with (src/console/exit_status.h) appears in
    docs/operations.md, an option as `/name`, a status as a table row `| N |`.

Prints one line per problem, then `N passed, N failed`.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
LINK = re.compile(r'(?<!!)\[[^\]]*\]\(([^)\s]+)\)')
CODE_SPAN = re.compile(r'`[^`]*`')


def heading_anchors(text: str) -> set:
    """The fragments a heading gets on the usual Markdown hosts: lower case,
    punctuation dropped, blanks as hyphens, repeats numbered."""
    anchors, seen = set(), {}
    in_code = False
    for line in text.splitlines():
        if line.startswith('```'):
            in_code = not in_code
        if in_code or not line.startswith('#'):
            continue
        title = line.lstrip('#').strip().lower()
        slug = re.sub(r'[^\w\- ]', '', title).replace(' ', '-')
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        anchors.add(slug if count == 0 else f'{slug}-{count}')
    return anchors


def link_problems(document: Path) -> list:
    text = document.read_text(encoding='utf-8')
    prose = []
    in_code = False
    for line in text.splitlines():
        if line.startswith('```'):
            in_code = not in_code
            continue
        if not in_code:
            prose.append(CODE_SPAN.sub('', line))
    problems = []
    for target in LINK.findall('\n'.join(prose)):
        if re.match(r'^[a-z]+:', target):
            continue  # an address, not a file of the tree
        path, _, fragment = target.partition('#')
        linked = (document.parent / path).resolve() if path else document
        where = f'{document.relative_to(REPO)}: link {target}'
        if not linked.exists():
            problems.append(f'{where}: no such file')
        elif fragment and linked.suffix == '.md' and fragment not in heading_anchors(
                linked.read_text(encoding='utf-8')):
            problems.append(f'{where}: no heading #{fragment}')
    return problems


def operations_problems() -> list:
    operations = REPO / 'docs' / 'operations.md'
    if not operations.is_file():
        return ['docs/operations.md is missing']
    text = operations.read_text(encoding='utf-8')
    options = re.findall(r'MatchOption\(text, "([^"]+)"',
                         (REPO / 'src/control/options.cpp').read_text(encoding='utf-8'))
    statuses = re.findall(r'kStatus\w+ = (\d+)',
                          (REPO / 'src/console/exit_status.h').read_text(encoding='utf-8'))
    problems = [f'docs/operations.md: option /{o} is not described'
                for o in options if f'`/{o}' not in text]
    problems += [f'docs/operations.md: exit status {s} has no row'
                 for s in statuses if not re.search(rf'^\| {s} \|', text, re.M)]
    if not options or not statuses:
        problems.append('no options or statuses found in the code (has the code moved?)')
    return problems


def main() -> int:
    documents = [REPO / 'README.md', *sorted((REPO / 'docs').glob('*.md'))]
    problems = [p for d in documents for p in link_problems(d)] + operations_problems()
    for problem in problems:
        print('FAIL ' + problem)
    checks = len(documents) + 1
    failed = len({p.split(':')[0] for p in problems})
    print(f'{checks - failed} passed, {failed} failed')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
