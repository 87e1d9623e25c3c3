#!/usr/bin/env python3
"""Writes a C++ source that holds a file's bytes as one base64 text constant."""
import base64
import sys

src, dst, name = sys.argv[1], sys.argv[2], sys.argv[3]
with open(src, "rb") as f:
    text = base64.b64encode(f.read()).decode("ascii")
chunks = [text[i:i + 4000] for i in range(0, len(text), 4000)] or [""]
with open(dst, "w", encoding="ascii") as out:
    out.write("// Generated from %s; do not edit.\n#include <cstddef>\n" % src.split("/")[-1])
    out.write("namespace tb {\nextern const char %s[];\nextern const std::size_t %sLength;\n" % (name, name))
    out.write("const char %s[] =\n" % name)
    for c in chunks:
        out.write('    "%s"\n' % c)
    out.write(";\nconst std::size_t %sLength = %d;\n}  // namespace tb\n" % (name, len(text)))
