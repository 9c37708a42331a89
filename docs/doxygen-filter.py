#!/usr/bin/env python3
"""Reads a header and writes it back with its plain comments made into
documentation comments, for the API reference: the comment that opens the
header documents its class (or the file), a comment line documents what
follows it, a comment after code on the same line documents that code.
Separator lines (// ---- name) end a comment without documenting."""
import re
import sys

CODE_THEN_COMMENT = re.compile(r'^(\s*\S.*?;|\s*\S.*?[,{])(\s+)// (.*)$')
COMMENT = re.compile(r'^(\s*)//( ?)(.*)$')
SEPARATOR = re.compile(r'^\s*// -{4,}')


def opening_block(lines):
    """The comment lines just after `#pragma once`, as (first, end) indexes."""
    first = 1 if lines and lines[0].startswith('#pragma once') else 0
    end = first
    while end < len(lines) and lines[end].startswith('//'):
        end += 1
    return first, end


def main(path):
    with open(path, encoding='utf-8') as source:
        lines = source.read().split('\n')
    text = '\n'.join(lines)
    first, end = opening_block(lines)
    out = lines[:first]
    if end > first:
        name = re.match(r'// (\w+):', lines[first])
        if name and re.search(r'\b(class|struct)\s+(NV\w+_EXPORT\s+)?' + name.group(1) + r'\b', text):
            out.append('/// \\class ' + name.group(1))
        else:
            out.append('/// \\file')
        out += ['///' + line[2:] for line in lines[first:end]]
    for line in lines[end:]:
        if SEPARATOR.match(line):
            out.append('')
            continue
        trailing = CODE_THEN_COMMENT.match(line)
        if trailing and '"' not in trailing.group(1):
            out.append(trailing.group(1) + trailing.group(2) + '///< ' + trailing.group(3))
            continue
        comment = COMMENT.match(line)
        out.append(comment.group(1) + '///' + comment.group(2) + comment.group(3) if comment else line)
    sys.stdout.write('\n'.join(out))


if __name__ == '__main__':
    main(sys.argv[1])
