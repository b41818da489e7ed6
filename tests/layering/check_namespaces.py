#!/usr/bin/env python3
"""Fails when code under src/<layer>/ puts a name outside velmora::<layer> (docs/layout.md).

Headers: everything they declare sits in `namespace velmora::<layer>` or a namespace nested in
it. Allowed at file scope besides: forward declarations of Qt and FFmpeg types (`class QLabel;`,
`struct AVFrame;`), Qt's Q_DECLARE_... macros, and blocks that only forward-declare a class of
another layer (`namespace velmora::camera { class CameraDirectory; }`).
Sources: the same for namespaces (an anonymous namespace at file scope is not allowed, it goes
inside the layer's one); at file scope only main(), the fuzzers' LLVMFuzzerTestOneInput, a
function that calls Q_INIT_RESOURCE (Qt does not allow it inside a namespace), `extern "C"`
include blocks, using-directives and namespace aliases.

`check_namespaces.py SRC` checks a tree; `check_namespaces.py --self-test` checks the checker.
"""
import pathlib
import re
import sys
import tempfile

FOREIGN_FORWARD = re.compile(r'^(class|struct)\s+(Q[A-Z]\w*|AV\w+|Sws\w+)$')
FORWARD_ONLY = re.compile(r'^((class|struct)\s+\w+|enum\s+class\s+\w+\s*:\s*[\w:]+)$')
FILE_SCOPE_OK_CPP = re.compile(r'^(using\s+namespace\s+[\w:]+|namespace\s+\w+\s*=\s*[\w:]+)$')
ENTRY_POINT = re.compile(r'\b(main|LLVMFuzzerTestOneInput)\s*\(')


def strip(text):
    """The code without comments, string and character literals and preprocessor lines."""
    text = re.sub(r'\\\n', ' ', text)
    out = []
    i, n = 0, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == '#':
            j = text.find('\n', i)
            i = n if j < 0 else j
            continue
        if c == '\n':
            at_line_start = True
            out.append(c)
            i += 1
            continue
        if not c.isspace():
            at_line_start = False
        if text.startswith('//', i):
            j = text.find('\n', i)
            i = n if j < 0 else j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            i = n if j < 0 else j + 2
            out.append(' ')
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(')' + m.group(1) + '"', i) if m else -1
            i = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""')
        elif c in '"\'' and not (c == "'" and i > 0 and text[i - 1].isalnum()):
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            i = j + 1
            out.append('""')
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def top_level_statements(code):
    """The statements and block heads at file scope, with their block body (None for a statement)."""
    out = []
    depth = 0
    stmt_start = 0
    block_open = None
    for i, c in enumerate(code):
        if c == '{':
            if depth == 0:
                block_open = i
            depth += 1
        elif c == '}':
            depth -= 1
            if depth == 0:
                head = code[stmt_start:block_open].strip()
                out.append((head, code[block_open + 1:i]))
                stmt_start = i + 1
                # a class definition's closing "};" belongs to it
                rest = code[i + 1:].lstrip()
                if rest.startswith(';'):
                    stmt_start = code.index(';', i + 1) + 1
        elif c == ';' and depth == 0 and i >= stmt_start:
            text = code[stmt_start:i].strip()
            if text:
                out.append((text, None))
            stmt_start = i + 1
    return out


def check_file(path, layer, header):
    own = f'velmora::{layer}'
    problems = []
    code = strip(path.read_text(errors='replace'))
    for head, body in top_level_statements(code):
        head = ' '.join(head.split())
        m = re.fullmatch(r'namespace\s*([\w:]*)', head)
        if m:
            name = m.group(1)
            if name == own or name.startswith(own + '::'):
                continue
            inner = [s.strip() for s in (body or '').split(';') if s.strip()]
            if header and name.startswith('velmora::') and inner and all(FORWARD_ONLY.match(' '.join(s.split())) for s in inner):
                continue  # forward declarations of another layer's classes
            problems.append(f'{path}: namespace {name or "{ (anonymous)"} at file scope, outside {own}')
        elif head == 'extern ""' and not (body or '').strip():
            continue  # extern "C" { #include <libav...> }
        elif header:
            if body is None and (FOREIGN_FORWARD.match(head) or head.startswith('Q_DECLARE_')):
                continue
            if head.startswith('Q_DECLARE_'):
                continue
            problems.append(f'{path}: declares "{head[:60]}" outside namespace {own}')
        else:
            if body is not None and ENTRY_POINT.search(head):
                continue
            if body is not None and re.search(r'\bQ_INIT_RESOURCE\s*\(', body):
                continue  # Qt's resource initialiser cannot be called from inside a namespace
            if body is None and FILE_SCOPE_OK_CPP.match(head):
                continue
            problems.append(f'{path}: "{head[:60]}" at file scope, outside namespace {own}')
    return problems


def check_tree(src):
    problems = []
    for path in sorted(src.rglob('*')):
        if path.suffix not in ('.h', '.cpp'):
            continue
        layer = path.relative_to(src).parts[0]
        problems += check_file(path, layer, path.suffix == '.h')
    return problems


def self_test():
    cases = {
        # file: expected number of problems
        'camera/good.h': ('#pragma once\n#include <string>\nclass QLabel;\nstruct AVFrame;\n'
                          'namespace velmora::transport { class CUSBDevice; }\n'
                          'namespace velmora::camera {\nstruct A { int b{0}; };  // "}" { \n'
                          'namespace detail { inline const char* k = "}{"; }\n}  // namespace velmora::camera\n'
                          'Q_DECLARE_METATYPE(velmora::camera::A)\n', 0),
        'camera/good.cpp': ('#include "camera/good.h"\nextern "C" {\n#include <libavutil/frame.h>\n}\n'
                            'using namespace velmora::camera;\nnamespace velmora::camera {\nnamespace {\n'
                            'int f() { return \'{\'; }\n}  // namespace\n}  // namespace velmora::camera\n'
                            'static void Init() { Q_INIT_RESOURCE(res); }\n'
                            'int main(int argc, char** argv) { return argc > 5 ? 1 : 0; }\n', 0),
        'camera/global.h': ('#pragma once\nstruct Loose { int a; };\nint Free();\n', 2),
        'camera/other_layer.h': ('#pragma once\nnamespace velmora::ui {\nstruct W {};\n}\n', 1),
        'camera/old_name.h': ('#pragma once\nnamespace netwire {\nint X();\n}\n', 1),
        'camera/bare.h': ('#pragma once\nnamespace velmora {\nint X();\n}\n', 1),
        'camera/anon.cpp': ('namespace {\nint f() { return 1; }\n}\nint g() { return f(); }\n', 2),
        'camera/forward_and_code.h': ('#pragma once\nnamespace velmora::ui { class W; int f(); }\n', 1),
    }
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp)
        (src / 'camera').mkdir()
        for name, (text, _) in cases.items():
            (src / name).write_text(text)
        for name, (_, want) in cases.items():
            path = src / name
            got = check_file(path, 'camera', path.suffix == '.h')
            if len(got) != want:
                failures.append(f'{name}: want {want} problem(s), got {got}')
    return failures


if __name__ == '__main__':
    if len(sys.argv) > 1 and sys.argv[1] == '--self-test':
        lines = self_test()
    else:
        lines = check_tree(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else 'src'))
    for line in lines:
        print(line)
    sys.exit(1 if lines else 0)
