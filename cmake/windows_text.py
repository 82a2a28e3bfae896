#!/usr/bin/env python3
"""Plain-text files for the Windows .zip, with CR LF line ends.

  windows_text.py readme README.md README.txt BITS
      the README's introduction and its sections for Windows players
      (On Windows, Exit status, Messages), as plain text, after a line
      that says which Pitmix.exe the package holds (BITS: 32 or 64);
  windows_text.py lines IN OUT
      a text file (the manual, as groff writes it) with CR LF line ends.
"""
import re
import sys
import textwrap

SECTIONS = ('On Windows', 'Exit status', 'Messages')
WIDTH = 76
HOLDS = {
    '32': 'This package (win32) holds the 32-bit Pitmix.exe: it runs on every Windows from XP SP3 on, '
          '32-bit or 64-bit, and on Windows on ARM.',
    '64': 'This package (win64) holds the 64-bit Pitmix.exe: it runs on 64-bit Windows 7 and later, and on '
          'Windows 11 on ARM. For 32-bit Windows, Windows XP and Vista, and Windows 10 on ARM, take the win32 '
          'package.',
}


def plain(text):
    """Markdown inline markup as plain text."""
    text = re.sub(r'\[([^\]]*)\]\([^)]*\)', r'\1', text)
    text = re.sub(r'\*\*([^*]*)\*\*', r'\1', text)
    return re.sub(r'`([^`]*)`', r'\1', text)


def table(rows):
    """A Markdown table as one block per row: the first cell, then the
    others under it, each named by its column."""
    cells = [[cell.strip() for cell in row.strip().strip('|').split('|')] for row in rows]
    header, body = cells[0], cells[2:]
    out = []
    for row in body:
        out.append(plain(row[0]))
        for name, cell in zip(header[1:], row[1:]):
            out += textwrap.wrap(f'{name}: {plain(cell)}', WIDTH, initial_indent='    ',
                                 subsequent_indent='        ')
        out.append('')
    return out


def prose(lines):
    """A paragraph or a list, its markup gone, wrapped again."""
    if not lines[0].startswith('- '):
        return textwrap.wrap(plain(' '.join(lines)), WIDTH)
    items = []
    for line in lines:
        if line.startswith('- '):
            items.append(line[2:])
        else:
            items[-1] += ' ' + line.strip()
    out = []
    for item in items:
        out += textwrap.wrap(plain(item), WIDTH, initial_indent='- ', subsequent_indent='  ')
    return out


def readme(markdown, bits):
    # Pointers to the sections left out go; they may span a line break.
    markdown = re.sub(r'\s*\(see\s+\[[^\]]*\]\(#[^)]*\)\)', '', markdown)
    # The introduction, then the chosen sections in the order of SECTIONS.
    title, intro = '', []
    sections, current = {}, intro
    for line in markdown.split('\n'):
        if line.startswith('# '):
            title = line[2:]
        elif line.startswith('## '):
            current = sections.setdefault(line[3:], [])
            current.append(line)
        elif not line.startswith('!['):
            current.append(line)
    chosen = intro + [line for name in SECTIONS for line in sections[name] + ['']]

    out = [f'{title} for Windows', '=' * (len(title) + 12), '']
    out += textwrap.wrap(HOLDS[bits], WIDTH) + ['']
    i = 0
    while i < len(chosen):
        line = chosen[i]
        if line.startswith('|'):
            rows = []
            while i < len(chosen) and chosen[i].startswith('|'):
                rows.append(chosen[i])
                i += 1
            out += table(rows)
            continue
        heading = re.match(r'(#+) (.*)', line)
        if heading:
            name = plain(heading.group(2))
            out += [name, ('-' if len(heading.group(1)) == 2 else '~') * len(name)]
        elif line.startswith('    ') or not line:
            out.append(line)  # commands and examples, as they are
        else:
            paragraph = []
            while i < len(chosen) and chosen[i] and not chosen[i].startswith(('    ', '|', '#')):
                paragraph.append(chosen[i])
                i += 1
            out += prose(paragraph)
            continue
        i += 1
    text = re.sub(r'\n{3,}', '\n\n', '\n'.join(out).strip() + '\n')
    return text


def main():
    mode, source, target, *bits = sys.argv[1:]
    with open(source, encoding='utf-8') as f:
        text = f.read()
    if mode == 'readme':
        text = readme(text, *bits)
    text = text.replace('\r\n', '\n').replace('\n', '\r\n')
    with open(target, 'w', encoding='utf-8', newline='') as f:
        f.write(text)


if __name__ == '__main__':
    main()
