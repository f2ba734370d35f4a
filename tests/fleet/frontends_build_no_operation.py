#!/usr/bin/python3
"""The front ends (app/, cli/) ask the job service for device work: none of them builds a device
operation itself. Reads their sources and names, file and line, every place that does.

    frontends_build_no_operation.py [ROOT]   ROOT holds app/ and cli/ (default: this tree's root)
    frontends_build_no_operation.py --self-check

Exit status: 0 none found, 1 found, 2 nothing to read."""

import pathlib
import re
import sys

# What only the job service builds: the device operation classes, and the factory of upgrades.
OPERATION_CLASSES = (
    "TControllerUpgrade",
    "TBoardUpgrade",
    "TReadControllerText",
    "TWriteConfig",
    "TReadLogs",
    "TControllerReset",
    "TDeviceCommand",
    "TBatchRun",
)
OPERATION_FACTORIES = ("MakeFirmwareUpgrade",)

FRONT_END_FOLDERS = ("app", "cli")
SOURCE_SUFFIXES = {".cpp", ".h"}

_classes = "|".join(OPERATION_CLASSES)
# (regular expression over code without comments and literals, how a report names the match)
CONSTRUCTIONS = (
    (re.compile(r"\bnew\s+(?:::\s*)?(?P<name>%s)\b" % _classes), "new {name}"),
    (re.compile(r"\bstd\s*::\s*(?P<maker>make_unique|make_shared)\s*<\s*(?P<name>%s)\s*>" % _classes),
     "std::{maker}<{name}>"),
    # "TClass name(...)" or "TClass name{...}": an object of its own in a function.
    (re.compile(r"(?<![\w:<])(?P<name>%s)\s+[A-Za-z_]\w*\s*[({]" % _classes), "a local {name} object"),
    (re.compile(r"(?<![\w:])(?P<name>%s)\s*\(" % "|".join(OPERATION_FACTORIES)), "a call of {name}"),
)

_RAW_STRING = re.compile(r'R"([^()\\\s]{0,16})\(')


def _in_number(text, i):
    """Whether the quote at i is a digit separator (1'000), not a character literal (u'x')."""
    k = i - 1
    while k >= 0 and (text[k].isalnum() or text[k] in "_'."):
        k -= 1
    return i > 0 and text[i - 1].isalnum() and text[k + 1].isdigit()


def blank_comments_and_literals(text):
    """The text with comments, string and character literals turned to spaces, line breaks kept,
    so that what they say is never taken for code and lines keep their numbers."""
    out = []
    i, n = 0, len(text)

    def blank(segment):
        return "".join(c if c == "\n" else " " for c in segment)

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(blank(text[i:end]))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(blank(text[i:end]))
            i = end
        elif c == "R" and _RAW_STRING.match(text, i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            delimiter = _RAW_STRING.match(text, i).group(1)
            end = text.find(")" + delimiter + '"', i)
            end = n if end < 0 else end + len(delimiter) + 2
            out.append(blank(text[i:end]))
            i = end
        elif c in "\"'":
            if c == "'" and _in_number(text, i):
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            end = min(j + 1, n)
            out.append(blank(text[i:end]))
            i = end
        else:
            out.append(c)
            i += 1
    return "".join(out)


def constructions_in(text):
    """(line, name, what) of every operation built directly in one source text, in line order."""
    code = blank_comments_and_literals(text)
    found = set()
    for pattern, how in CONSTRUCTIONS:
        for match in pattern.finditer(code):
            start = match.start("name")
            found.add((code.count("\n", 0, start) + 1, match.group("name"), how.format(**match.groupdict())))
    return sorted(found)


def front_end_sources(root):
    for folder in FRONT_END_FOLDERS:
        base = root / folder
        if base.is_dir():
            yield from sorted(p for p in base.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file())


def check_tree(root):
    sources = list(front_end_sources(root))
    if not sources:
        print("no sources under %s: expected %s" % (root, ", ".join(f + "/" for f in FRONT_END_FOLDERS)))
        return 2
    faults = 0
    for path in sources:
        text = path.read_text(encoding="utf-8", errors="replace")
        for line, _, what in constructions_in(text):
            faults += 1
            print("%s:%d: %s: a front end asks the job service for device work, it builds no operation"
                  % (path.relative_to(root), line, what))
    print("%d sources read, %d operations built outside the job service" % (len(sources), faults))
    return 1 if faults else 0


# The checker's own cases: (source text, the (line, name) it must report).
SELF_CHECK_ROWS = (
    ("heap", "auto *u = new TBoardUpgrade(engine, target, image, timing);", [(1, "TBoardUpgrade")]),
    ("heap, braces", "return new TDeviceCommand{engine};", [(1, "TDeviceCommand")]),
    ("heap, split line", "x = new\n    TReadLogs(engine, target, false, waits);", [(2, "TReadLogs")]),
    ("unique", "m_batch = std::make_unique<TBatchRun>(engine, kind);", [(1, "TBatchRun")]),
    ("unique, spaced", "auto p = std::make_unique< TWriteConfig >(e, t, c, w);", [(1, "TWriteConfig")]),
    ("local", "void f()\n{\n    TWriteConfig write(engine, target, text);\n}", [(3, "TWriteConfig")]),
    ("local, const", "const TControllerReset reset(e, t, m, w);", [(1, "TControllerReset")]),
    ("local, braces", "TReadControllerText read{e, t, k, w};", [(1, "TReadControllerText")]),
    ("factory", "op = MakeFirmwareUpgrade(engine, target, step, image, timing);", [(1, "MakeFirmwareUpgrade")]),
    ("two on a line", "a = new TControllerUpgrade(e); b = new TBoardUpgrade(e);",
     [(1, "TBoardUpgrade"), (1, "TControllerUpgrade")]),
    ("pointer", "TBatchRun *batch() const { return m_batch.get(); }", []),
    ("reference", "void watch(TOperationPool &pool);", []),
    ("owner", "std::unique_ptr<TBatchRun> m_batch;", []),
    ("cast", "if (auto *read = qobject_cast<TReadControllerText *>(operation))", []),
    ("nested name", "case TBatchRun::Kind::Reset: x(TControllerReset::UnansweredText);", []),
    ("nested type", "TBatchRun::Options batchOptions;", []),
    ("forward", "class TOperationPool;", []),
    ("signal", "connect(&pool, &TOperationPool::operationFinished, this, f);", []),
    ("longer name", "auto *x = new TBoardUpgradeDialog(this); TDeviceCommandLine line(a);", []),
    ("line comment", "// new TBoardUpgrade(engine, target)\nint a;", []),
    ("block comment", "/* TOperationPool pool(4);\n   MakeFirmwareUpgrade(x) */", []),
    ("text", 'tr("new TBoardUpgrade(...)"); QStringLiteral("MakeFirmwareUpgrade(");', []),
    ("raw text", 'auto s = R"(TOperationPool pool(1);)";\nnew TReadLogs(e);', [(2, "TReadLogs")]),
    ("quote character", "char q = '\"'; auto *c = new TDeviceCommand(e);", [(1, "TDeviceCommand")]),
    ("digit separator", "int n = 1'000; TReadLogs logs(n);", [(1, "TReadLogs")]),
    ("wide character", "QChar c = u'('; TReadLogs logs(n);", [(1, "TReadLogs")]),
)


def self_check():
    failures = 0
    for name, text, expected in SELF_CHECK_ROWS:
        got = [(line, found) for line, found, _ in constructions_in(text)]
        if got != sorted(expected):
            failures += 1
            print("FAIL %s: expected %s, got %s" % (name, sorted(expected), got))
    print("%d passed, %d failed" % (len(SELF_CHECK_ROWS) - failures, failures))
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-check"]:
        return self_check()
    if len(argv) > 2:
        print(__doc__)
        return 2
    root = pathlib.Path(argv[1]) if len(argv) == 2 else pathlib.Path(__file__).resolve().parents[2]
    return check_tree(root)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
