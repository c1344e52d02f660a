"""Automatic mutants: one-line faults generated from a room's sources.

Kinds (the faults a careless edit brings):
  rel    a relational operator moved by one (<  <=, >  >=) or negated (==  !=)
  arith  an arithmetic operator swapped (+ -, * /, += -=)
  const  a number changed: an integer by +1 and by -1, a real number doubled
  del    a whole statement removed (an assignment, an increment or a call)
  index  an index moved by one (a[i] -> a[i + 1])

Only code is mutated: comments, string and character literals, preprocessor
lines and static_asserts are left alone. Binary operators are recognised by
the spaces the project's layout puts around them, which keeps template
brackets, pointers and references out.

The sample is deterministic: the candidates of each kind are ordered by a hash
of (file, fragment, mutated fragment) and taken in turn from each kind, so a
change elsewhere in the room does not reshuffle it, and the same mutant keeps
its id from one run to the next.
"""
import hashlib
import os
import re

KINDS = ("rel", "arith", "const", "del", "index")

REL_SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
ARITH_SWAP = {"+": "-", "-": "+", "*": "/", "/": "*", "+=": "-=", "-=": "+=", "*=": "/=", "/=": "*="}

REL_RE = re.compile(r"(?<=[\w)\]]) (<=|>=|==|!=|<|>) (?=[\w(!\-.:\[*&])")
ARITH_RE = re.compile(r"(?<=[\w)\]]) (\+|-|\*|/|\+=|-=|\*=|/=) (?=[\w(\-.:\[*&])")
NUM_RE = re.compile(
    r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+\.\d*(?:[eE][-+]?\d+)?|\.\d+(?:[eE][-+]?\d+)?|\d+(?:[eE][-+]?\d+)?)"
    r"([fFuUlL]*)(?![\w.])")
INDEX_RE = re.compile(r"(?<=[\w\])])\[([^\[\]]+)\]")
DECL_START = re.compile(
    r"^\s*(?:(?:const|constexpr|static|inline|auto|unsigned|signed|struct|class|enum|typename)\b|"
    r"(?:[A-Za-z_][\w:]*(?:<[^;=]*>)?[\s*&]+)[A-Za-z_]\w*\s*(?:=|\{|;|\[|\())")
STATEMENT = re.compile(
    r"^\s*(?:[\w.\->\[\]()*:]+\s*(?:=|\+=|-=|\*=|/=|\|=|&=|\^=|<<=|>>=)\s.*|"
    r"(?:\+\+|--)[\w.\->\[\]]+|[\w.\->\[\]]+(?:\+\+|--)|"
    r"[\w:.\->]+(?:<[^;]*>)?\(.*\));\s*$")
KEYWORDS = ("return", "break", "continue", "case", "default", "goto", "using", "typedef",
            "template", "namespace", "public", "private", "protected", "friend", "delete",
            "throw", "co_return", "if", "for", "while", "switch", "else", "do")


def mask(lines):
    """The lines with comments blanked and literals' contents replaced by '_'
    (same length, so that positions carry over), and a flag per line: whether
    it is code that may be mutated."""
    out, usable = [], []
    in_block = False
    for line in lines:
        m, i, n = [], 0, len(line)
        while i < n:
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    m.append("  ")
                    i += 2
                else:
                    m.append(" ")
                    i += 1
            elif line.startswith("//", i):
                m.append(" " * (n - i))
                break
            elif line.startswith("/*", i):
                in_block = True
                m.append("  ")
                i += 2
            elif c in "\"'":
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                m.append(c + "_" * (min(j, n) - i - 1) + (c if j < n else ""))
                i = j + 1
            else:
                m.append(c)
                i += 1
        masked = "".join(m)[:n]
        stripped = masked.strip()
        ok = bool(stripped) and not stripped.startswith("#") and "static_assert" not in masked \
            and "\"" not in masked and "'" not in masked
        out.append(masked)
        usable.append(ok)
    return out, usable


def bumps(token, suffix):
    """The changed numbers: an integer +1 and -1 (not below zero), a real
    number doubled."""
    if token.lower().startswith("0x"):
        v = int(token, 16)
        return [hex(v + 1) + suffix] + ([hex(v - 1) + suffix] if v > 0 else [])
    if re.fullmatch(r"\d+", token):
        v = int(token)
        return [str(v + 1) + suffix] + ([str(v - 1) + suffix] if v > 0 else [])
    doubled = repr(float(token) * 2)
    if "e" not in doubled and "." not in doubled:
        doubled += ".0"
    return [doubled + suffix]


def candidates_in_line(masked, line):
    """(kind, mutated line) for every mutant of one line."""
    found = []
    code = masked.rstrip("\n")
    first = code.strip().split("(")[0].split(" ")[0]
    for m in REL_RE.finditer(code):
        op = m.group(1)
        a, b = m.start(1), m.end(1)
        found.append(("rel", line[:a] + REL_SWAP[op] + line[b:]))
    if not code.lstrip().startswith(("template", "#")):
        for m in ARITH_RE.finditer(code):
            op = m.group(1)
            a, b = m.start(1), m.end(1)
            found.append(("arith", line[:a] + ARITH_SWAP[op] + line[b:]))
    # Numbers, but not in declarations of sizes ([N], <T, N>) or enum values
    # where a change only renumbers.
    if "enum" not in code and "alignas" not in code:
        for m in NUM_RE.finditer(code):
            before = code[:m.start()].rstrip()
            if before.endswith(("[", "<", ",")) and re.search(r"<[^>]*$", before):
                continue
            a, b = m.start(1), m.end(2)
            for changed in bumps(m.group(1), m.group(2)):
                found.append(("const", line[:a] + changed + line[b:]))
    for m in INDEX_RE.finditer(code):
        inner = m.group(1).strip()
        if not inner or inner in ("&", "=", "this", "&&") or "," in inner or inner.startswith(("&", "=")):
            continue
        if DECL_START.match(code) and "=" not in code[: m.start()]:
            continue  # an array declaration's size
        if re.search(r"\bnew\s+[\w:]+$", code[: m.start()]):
            continue  # an allocation's size
        a, b = m.start(1), m.end(1)
        found.append(("index", line[:a] + line[a:b] + " + 1" + line[b:]))
    if (first not in KEYWORDS and STATEMENT.match(code) and not DECL_START.match(code)
            and code.count("(") == code.count(")")):
        found.append(("del", "\n" if line.endswith("\n") else ""))
    return found


def unique_context(text_lines, idx, replacement):
    """find/replace fragments around line idx, widened upwards until the
    fragment occurs once in the file."""
    whole = "".join(text_lines)
    lo = idx
    while True:
        find = "".join(text_lines[lo:idx + 1])
        if whole.count(find) == 1 or lo == 0:
            return find, "".join(text_lines[lo:idx]) + replacement
        lo -= 1


def room_sources(tree, room):
    base = os.path.join(tree, "src", room)
    files = []
    for root, _, names in os.walk(base):
        for n in names:
            # The Windows forms are not built here: no test of this build could catch their faults.
            if n.endswith((".cpp", ".h")) and not n.endswith("_win32.cpp"):
                files.append(os.path.relpath(os.path.join(root, n), tree))
    return sorted(files)


def windows_only(lines):
    """Indices of the lines inside `#if defined(_WIN32)` / `#ifdef _WIN32` branches."""
    stack, out = [], []  # per open #if: [its current branch is the Windows one, it tests _WIN32]
    for i, line in enumerate(lines):
        d = line.strip()
        if d.startswith("#if"):
            win = "_WIN32" in d
            stack.append([win and "!" not in d and not d.startswith("#ifndef"), win])
        elif d.startswith("#else") and stack:
            stack[-1][0] = stack[-1][1] and not stack[-1][0]
        elif d.startswith("#elif") and stack:
            stack[-1][0] = False
        elif d.startswith("#endif") and stack:
            stack.pop()
        elif any(b[0] for b in stack):
            out.append(i)
    return out


def key_of(rel, find, replace):
    return hashlib.sha1(f"{rel}\0{find.strip()}\0{replace.strip()}".encode()).hexdigest()


def generate(tree, room, count):
    """Up to `count` mutants of the room, in the faults.json format."""
    by_kind = {k: [] for k in KINDS}
    for rel in room_sources(tree, room):
        with open(os.path.join(tree, rel), encoding="utf-8") as f:
            lines = f.readlines()
        masked, usable = mask(lines)
        for i in windows_only(lines):
            usable[i] = False
        # Statements continued from the line above are not removed alone.
        prev_code = ""
        for i, line in enumerate(lines):
            if not usable[i]:
                if masked[i].strip():
                    prev_code = masked[i].strip()
                continue
            starts_statement = prev_code == "" or prev_code.endswith((";", "{", "}", ":"))
            for kind, mutated in candidates_in_line(masked[i], line):
                if kind == "del" and not starts_statement:
                    continue
                if mutated == line:
                    continue
                find, replace = unique_context(lines, i, mutated)
                k = key_of(rel, find, replace)
                shown = mutated.strip() or "(removed)"
                by_kind[kind].append({
                    "id": f"{room}-{kind}-{k[:6]}", "room": room, "file": rel,
                    "find": find, "replace": replace, "key": k,
                    "original": line.strip(), "mutated": mutated.strip(),
                    "note": f"{kind} {os.path.basename(rel)}:{i + 1}: {line.strip()}  =>  {shown}",
                })
            prev_code = masked[i].strip()
    for kind in KINDS:
        by_kind[kind].sort(key=lambda m: m["key"])
    picked, pos = [], {k: 0 for k in KINDS}
    while len(picked) < count and any(pos[k] < len(by_kind[k]) for k in KINDS):
        for k in KINDS:
            if pos[k] < len(by_kind[k]) and len(picked) < count:
                picked.append(by_kind[k][pos[k]])
                pos[k] += 1
    total = sum(len(v) for v in by_kind.values())
    return picked, total
