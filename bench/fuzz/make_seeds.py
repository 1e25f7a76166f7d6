#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (bench/fuzz/corpus/TARGET/) from the tests' inputs.

The inputs are the first column of the test tables (and the file texts the tests write): the
C++ expressions are evaluated for the few forms they use (string literals joined with "+", the
plan compiler tests' entry()/md5()/packedEntry() helpers and their named row texts). Run it again
when the tests change; every seed is named after the SHA-1 of its bytes, as libFuzzer does.
"""
import hashlib
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

# The file contents of tests/update/tst_plancompiler.cpp (and of fuzz_plan_compiler's fixture).
CONTENTS = {
    "alpha": b"alpha file\n",
    "beta": b"beta file, a different one\n",
    "packedAlpha": b"\x1f\x8b packed alpha",
}

LITERAL = r'"(?:[^"\\\n]|\\.)*"'
SIMPLE_ESCAPES = {"n": b"\n", "r": b"\r", "t": b"\t", "0": b"\0", "\\": b"\\", '"': b'"', "'": b"'"}


def unescape(literal):
    body = literal[1:-1]
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        nxt = body[i + 1]
        if nxt == "x":
            m = re.match(r"[0-9a-fA-F]+", body[i + 2:])
            out.append(int(m.group(0), 16) & 0xFF)
            i += 2 + len(m.group(0))
        elif nxt in "01234567" and re.match(r"[0-7]{1,3}", body[i + 1:]).group(0) != "0":
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(int(m.group(0), 8) & 0xFF)
            i += 1 + len(m.group(0))
        else:
            out += SIMPLE_ESCAPES.get(nxt, nxt.encode())
            i += 2
    return bytes(out)


def md5(name):
    return hashlib.md5(CONTENTS[name]).hexdigest().encode()


def entry(name):
    return md5(name) + b"::" + str(len(CONTENTS[name])).encode()


def split_top(text, sep, opening="({[", closing=")}]"):
    """Splits at sep outside brackets and literals."""
    parts, depth, start, i = [], 0, 0, 0
    while i < len(text):
        c = text[i]
        if c in "\"'":
            m = re.match(LITERAL if c == '"' else r"'(?:[^'\\]|\\.)*'", text[i:])
            i += len(m.group(0)) if m else 1
            continue
        if c in opening:
            depth += 1
        elif c in closing:
            depth -= 1
        elif depth == 0:
            matched = next((x for x in sep if text.startswith(x, i)), None)
            if matched:
                parts.append(text[start:i])
                start = i + len(matched)
                i += len(matched)
                continue
        i += 1
    parts.append(text[start:])
    return parts


def evaluate(expression, names):
    """The bytes of a "+"-joined expression, or None when a term is not understood."""
    result = b""
    for term in split_top(expression.strip(), ["+"]):
        term = term.strip()
        m = re.fullmatch(r"(?:QStringLiteral|QByteArray|QLatin1String)?\(?\s*((?:%s\s*)+)(?:,\s*(\d+))?\)?" % LITERAL, term)
        if m:
            text = b"".join(unescape(x) for x in re.findall(LITERAL, m.group(1)))
            result += text[: int(m.group(2))] if m.group(2) else text
            continue
        m = re.fullmatch(r"QLatin1Char\('(\\?.)'\)", term)
        if m:
            result += unescape('"%s"' % m.group(1))
            continue
        m = re.fullmatch(r"entry\((\w+)\)", term)
        if m and m.group(1) in CONTENTS:
            result += entry(m.group(1))
            continue
        m = re.fullmatch(r"md5\((\w+)\)(\.toUpper\(\))?", term)
        if m and m.group(1) in CONTENTS:
            result += md5(m.group(1)).upper() if m.group(2) else md5(m.group(1))
            continue
        m = re.fullmatch(r'packedEntry\((\w+),\s*(\w+),\s*(%s)\)' % LITERAL, term)
        if m:
            result += entry(m.group(1)) + b"::" + entry(m.group(2)) + b"::" + unescape(m.group(3))
            continue
        if term in names:
            result += names[term]
            continue
        return None
    return result


def statements(source):
    source = re.sub(r"^\s*//.*$", "", source, flags=re.M)
    # Braces end statements too: a table's rows stand inside its function's body.
    return split_top(source, [";", "{", "}"], opening="([", closing=")]")


def inputs(path, pattern):
    """First columns of the test tables, named row texts, and literal arguments that match pattern."""
    source = open(os.path.join(ROOT, path), encoding="utf-8").read()
    names, found = {}, []
    for statement in statements(source):
        s = " ".join(statement.split())
        m = re.match(r".*?\bconst (?:QString|QByteArray) (\w+)\s*=\s*(.*)$", s)
        if m:
            value = evaluate(m.group(2), names)
            if value is not None:
                names[m.group(1)] = value
                continue
        m = re.match(r".*?QTest::newRow\(%s\)\s*<<(.*)$" % LITERAL, s)
        if m:
            value = evaluate(split_top(m.group(1), ["<<"])[0], names)
            if value is not None:
                found.append(value)
            continue
        for literal in re.findall(r"(?:%s\s*)+" % LITERAL, s):
            value = b"".join(unescape(x) for x in re.findall(LITERAL, literal))
            if re.search(pattern, value):
                found.append(value)
    return found


def replies(path):
    """The datagrams of the banner tests' scripted replies ("Replies {{...}}")."""
    source = " ".join(open(os.path.join(ROOT, path), encoding="utf-8").read().split())
    found = []
    for m in re.finditer(r"Replies \{\{(.*?)\}\}", source):
        value = evaluate(split_top(m.group(1), [","])[0], {})
        if value is not None:
            found.append(value)
    return found


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    unique = {hashlib.sha1(seed).hexdigest(): seed for seed in seeds}
    for name, seed in unique.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed)
    print("%s: %d seeds" % (target, len(unique)), file=sys.stderr)


def main():
    write("version_reply", inputs("tests/config/tst_updatechecker.cpp", rb"^$|[0-9]"))
    write("banner_reply", replies("tests/update/tst_banner.cpp"))
    mirrors = inputs("tests/download/tst_mirrors.cpp", rb"\[|url=|retries=")
    # The tests put a lone group's keys below one listed mirror.
    mirrors += [b"[mirrors]\nsize=1\n1\\mirror=m\n\n[m]\n" + seed for seed in mirrors if b"[" not in seed]
    write("mirrors_ini", mirrors)
    update_ini = []
    for test in ("tst_settings", "tst_updateinidata", "tst_updateiniwrite"):
        update_ini += inputs("tests/config/%s.cpp" % test, rb"\[|=")
    write("update_ini", update_ini)
    write("plan_compiler", inputs("tests/update/tst_plancompiler.cpp", rb"\[\w+\]"))


if __name__ == "__main__":
    main()
