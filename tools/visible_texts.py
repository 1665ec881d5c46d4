#!/usr/bin/env python3
"""Collects every text the installer can show from its sources, and checks that the service
guide's tables give each one a row.

    tools/visible_texts.py [--root DIR]                   lists the texts, one a line
    tools/visible_texts.py [--root DIR] --check GUIDE.md  fails naming each text without a row
    tools/visible_texts.py --self-test                    a text added to each kind of source
                                                          must make --check fail

Where texts come from:
- the resource script's dialogs and menus: captions and control texts (menu accelerators'
  '&' dropped);
- the C++ sources: the string literals in what reaches the window: postStatus (the status
  boxes), setText, addRow (the port list), MessageBoxA and showMessageBox (text and caption),
  the status text of a three-argument ActionSendCommand, WinException (shown by WinMain).
  A name in such an expression is followed to what it stands for: a string constant, the
  return statements of a function of the sources, the right-hand sides assigned to a
  variable (snprintf's format included). A text put together from pieces ("Programming PIC"
  + number + "...") gives its literal pieces; printf conversions (%u, %08X) stand for digits.

A guide row is a markdown table row whose first cell holds the text in backticks; each piece
must appear within one such cell (white space compared loosely).
"""
import argparse
import os
import re
import shutil
import sys
import tempfile

PRODUCT_DIRS = ("engine", "serial", "loader", "firmware", "windows", "updatelog", "faultreport", "ui")
RESOURCE_SCRIPT = os.path.join("resources", "installer.rc")
# Call name -> which arguments are shown (None: all), and how many arguments the call must
# have for the rule to apply (None: any).
SINKS = {
    "postStatus": ((0,), None),
    "setText": ((0,), None),
    "addRow": ((0,), None),
    "showMessageBox": ((0, 1), None),
    "MessageBoxA": ((1, 2), None),
    "MessageBoxW": ((1, 2), None),
    "ActionSendCommand": ((1,), 3),
    "WinException": (None, None),
}
STRING = re.compile(r'"(?:[^"\\\n]|\\.)*"')
CHARACTER = re.compile(r"'(?:[^'\\\n]|\\.)*'")
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
IDENTIFIER = re.compile(r"(?<![\w.>:])(?:::)?([A-Za-z_]\w*)")
KEYWORDS = set("""if else for while do switch case default return new delete throw try catch sizeof
static_cast reinterpret_cast const_cast dynamic_cast const static auto void bool char int unsigned
signed long short float double true false nullptr this std string to_string size_t uint32_t int32_t
uint16_t uint8_t DWORD WORD BOOL UINT HWND operator template typename struct class namespace using
public private protected virtual override explicit inline constexpr""".split())
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\", "'": "'"}


def unescape(text):
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), text)


def strip_comments(source):
    """Comments out, literals kept (a // inside a literal is not a comment)."""
    out = []
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'', re.S)
    last = 0
    for m in pattern.finditer(source):
        out.append(source[last:m.start()])
        token = m.group(0)
        out.append(token if token[0] in "\"'" else " ")
        last = m.end()
    out.append(source[last:])
    return "".join(out)


def past_literal(text, i):
    """Index just past the string or character literal that opens at `i`."""
    m = (STRING if text[i] == '"' else CHARACTER).match(text, i)
    return m.end() if m else i + 1


def closing(text, start):
    """Index of the bracket that closes the one at `start`, skipping literals."""
    pairs = {"(": ")", "{": "}", "[": "]"}
    depth = []
    i = start
    while i < len(text):
        c = text[i]
        if c in "\"'":
            i = past_literal(text, i)
            continue
        if c in pairs:
            depth.append(pairs[c])
        elif depth and c == depth[-1]:
            depth.pop()
            if not depth:
                return i
        i += 1
    return len(text) - 1


def split_arguments(text):
    args, depth, current, i = [], 0, [], 0
    while i < len(text):
        c = text[i]
        if c in "\"'":
            m = (STRING if c == '"' else CHARACTER).match(text, i)
            current.append(text[i:m.end()])
            i = m.end()
            continue
        if c in "([{<" and not (c == "<" and text[i + 1:i + 2] in ("<", "=")):
            depth += 1
        elif c in ")]}>" and depth > 0:
            depth -= 1
        elif c == "," and depth == 0:
            args.append("".join(current))
            current = []
            i += 1
            continue
        current.append(c)
        i += 1
    if "".join(current).strip():
        args.append("".join(current))
    return args


class Sources:
    def __init__(self, root):
        self.files = {}
        for folder in PRODUCT_DIRS:
            for dirpath, _, names in os.walk(os.path.join(root, folder)):
                for name in sorted(names):
                    if name.endswith((".cpp", ".h")):
                        path = os.path.join(dirpath, name)
                        with open(path, encoding="utf-8") as f:
                            self.files[os.path.relpath(path, root)] = strip_comments(f.read())
        self.everything = "\n".join(self.files.values())
        self.bodies = function_bodies(self.everything)
        self.resolving = set()
        self.resolved = {}

    def scope(self, at):
        """The function around position `at`, parameter list included: (start, end), or the
        whole sources outside any function."""
        for begin, end in self.bodies:
            if begin <= at < end:
                return begin, end
        return 0, len(self.everything)

    def calls(self, name):
        """(arguments, scope) of each call of `name`; declarations and definitions left out."""
        for m in re.finditer(r"(?<![\w:~])" + name + r"\s*[({]", self.everything):
            before = self.everything[max(0, m.start() - 80):m.start()].rstrip()
            if before and (before[-1].isalnum() or before[-1] in "_*&") and not before.endswith(("return", "new", "throw")):
                continue  # a type before the name: declaration or definition
            open_at = m.end() - 1
            yield split_arguments(self.everything[open_at + 1:closing(self.everything, open_at)]), self.scope(m.start())

    def resolve(self, expression, scope):
        """The literal pieces an expression within `scope` can show."""
        joined = re.sub(r'"\s+"', "", expression)  # adjacent literals are one text
        pieces = [unescape(m.group(1)) for m in LITERAL.finditer(joined)]
        for name in IDENTIFIER.findall(LITERAL.sub('""', expression)):
            pieces += self.resolve_name(name, scope)
        return pieces

    def resolve_name(self, name, scope):
        if name in KEYWORDS:
            return []
        text = self.everything
        # A name declared in the function is local to it; any other is global.
        local = re.search(r"[\w>&*\]]\s*[&*]?\s*\b" + name + r"\s*[,)=;(\[{]", text[scope[0]:scope[1]]) is not None
        key = (name, scope if local else None)
        if key in self.resolved:
            return self.resolved[key]
        if key in self.resolving:
            return []
        self.resolving.add(key)
        try:
            found = []
            # A string constant.
            for m in re.finditer(r"\bconst\s+char\s*\*\s*const\s+" + name + r"\s*=\s*([^;]*);", text):
                found += self.resolve(m.group(1), self.scope(m.start()))
            # A function: what its return statements give.
            for begin, end in self.bodies:
                header = re.match(r"\s*\(", text[begin:begin + 2])
                before = text[max(0, begin - 80):begin]
                if header and re.search(r"(?:^|[^\w])" + name + r"\s*$", before):
                    for r in re.finditer(r"\breturn\b([^;]*);", text[begin:end]):
                        found += self.resolve(r.group(1), (begin, end))
            # A variable: what is assigned to it, given to its constructor, or printed into it
            # (a store through it, "*name = ...", fills what it points to, not the variable).
            lo, hi = scope if local else (0, len(text))
            region = text[lo:hi]
            for pattern in (r"()(?<![\w.>*])" + name + r"\s*\+?=(?!=)([^;]*);",
                            r"(\w+)[>&*]?\s+" + name + r"\s*\(([^;()]*)\)\s*;",
                            r"()\bsnprintf\s*\(\s*" + name + r"\s*,[^,]*,\s*(\"(?:[^\"\\\n]|\\.)*\")"):
                for m in re.finditer(pattern, region):
                    if m.group(1) not in ("new", "return", "throw", "else"):
                        found += self.resolve(balanced(m.group(2)), self.scope(lo + m.start()))
            self.resolved[key] = found
            return found
        finally:
            self.resolving.discard(key)

    def shown(self):
        pieces = []
        for sink, (indexes, count) in SINKS.items():
            for args, scope in self.calls(sink):
                if count is not None and len(args) != count:
                    continue
                for i, arg in enumerate(args):
                    if indexes is None or i in indexes:
                        pieces += self.resolve(arg, scope)
        return pieces


def function_bodies(text):
    """(start, end) of each outermost function: from its parameter list's '(' to the '}'
    that closes its body. Control statements (if, for, while, switch, catch) are not
    functions; a lambda inside a function belongs to it."""
    spans = []
    i = 0
    while i < len(text):
        c = text[i]
        if c in "\"'":
            i = past_literal(text, i)
            continue
        if c == "{":
            header = text[max(0, i - 400):i]
            # ") {", ") const {", ") override {", or a constructor's ") : a(b), c(d) {".
            m = re.search(r"\)\s*(?:const|override|noexcept|final|\s)*(?::[^;{}]*)?$", header)
            if m:
                close_paren = max(0, i - 400) + m.start()
                open_paren = matching_open(text, close_paren)
                word = re.search(r"(\w+)\s*$", text[max(0, open_paren - 40):open_paren])
                if word and word.group(1) not in ("if", "for", "while", "switch", "catch"):
                    end = closing(text, i)
                    spans.append((open_paren, end + 1))
                    i = end + 1
                    continue
        i += 1
    return spans


def balanced(expression):
    """The expression up to a ')' it did not open: `if (T* v = f())` assigns f() alone."""
    depth = 0
    for i, c in enumerate(LITERAL.sub(lambda m: "_" * len(m.group(0)), expression)):
        depth += {"(": 1, ")": -1}.get(c, 0)
        if depth < 0:
            return expression[:i]
    return expression


def matching_open(text, close_at):
    depth = 0
    for j in range(close_at, -1, -1):
        if text[j] == ")":
            depth += 1
        elif text[j] == "(":
            depth -= 1
            if depth == 0:
                return j
    return 0


def resource_texts(root):
    """Captions and control texts of the dialogs, and the menus' item texts."""
    texts = []
    with open(os.path.join(root, RESOURCE_SCRIPT), encoding="utf-8") as f:
        lines = f.read().splitlines()
    block = None
    for line in lines:
        words = line.split()
        if not words or words[0].startswith("//"):
            continue
        if len(words) > 1 and words[1] in ("DIALOGEX", "DIALOG", "MENU", "MENUEX"):
            block = words[1]
            continue
        if len(words) > 1 and words[1] in ("VERSIONINFO", "ICON", "BITMAP", "RT_MANIFEST"):
            block = None
            continue
        if block is None or words[0] in ("FONT", "STYLE", "EXSTYLE", "CLASS", "#include", "MENU"):
            continue
        # The text is the statement's first argument: CONTROL "text", id, "CLASS", ...
        literal = re.match(r'\s*[A-Z]+\s+' + LITERAL.pattern, line)
        if literal and literal.group(1):
            text = unescape(literal.group(1))
            texts.append(text.replace("&", "") if block.startswith("MENU") else text)
    return texts


def collect(root):
    pieces = resource_texts(root) + Sources(root).shown()
    seen, result = set(), []
    for piece in pieces:
        if re.search(r"[A-Za-z0-9]", piece) and piece not in seen:
            seen.add(piece)
            result.append(piece)
    return result


def loose(text):
    return " ".join(text.split())


def guide_cells(guide):
    cells = []
    with open(guide, encoding="utf-8") as f:
        for line in f:
            if not line.lstrip().startswith("|"):
                continue
            first = line.strip().strip("|").split("|")[0]
            cells += [loose(m) for m in re.findall(r"`([^`]+)`", first)]
    return cells


def pattern(piece):
    """A piece as a regular expression: printf conversions stand for digits."""
    parts = re.split(r"(%0?\d*[udxX])", loose(piece))
    return "".join(("[0-9A-Fa-f]+" if re.fullmatch(r"%0?\d*[udxX]", p) else re.escape(p)) for p in parts)


def missing(root, guide):
    cells = guide_cells(guide)
    return [p for p in collect(root) if not any(re.search(pattern(p), c) for c in cells)]


def self_test(root, guide):
    """A new text in each kind of source makes --check fail, naming it."""
    additions = [
        ("firmware/PicProgramming.cpp", '\nvoid selfTestStatus() { postStatus("Self-test status text"); }\n',
         "Self-test status text"),
        ("ui/InstallerController.cpp",
         '\nconst char* const SelfTestConstant = "Self-test constant text";\n'
         "void selfTestBox() { statusBox->setText(SelfTestConstant); }\n", "Self-test constant text"),
        ("serial/FailureReports.cpp", '\nconst char* selfTestReason() { return "Self-test reason"; }\n'
         'std::string selfTestFailure() { return framed(ConnectionPrefix, selfTestReason()); }\n'
         "void selfTestPost() { postStatus(selfTestFailure()); }\n", "Self-test reason"),
        ("ui/WinMain.cpp", '\nvoid selfTestMessage() { MessageBoxA(nullptr, "Self-test box", "Self-test caption", 0); }\n',
         "Self-test caption"),
        (RESOURCE_SCRIPT, None, "Self-test control"),
    ]
    failures = 0
    for path, addition, text in additions:
        with tempfile.TemporaryDirectory() as copy:
            for folder in PRODUCT_DIRS + ("resources",):
                shutil.copytree(os.path.join(root, folder), os.path.join(copy, folder),
                                ignore=shutil.ignore_patterns("*.hex", "*.bmp", "*.ico"))
            target = os.path.join(copy, path)
            with open(target, encoding="utf-8") as f:
                source = f.read()
            if addition is None:
                source = source.replace('CONTROL "Connect",', 'CONTROL "Self-test control",', 1)
            else:
                source += addition
            with open(target, "w", encoding="utf-8") as f:
                f.write(source)
            if text not in missing(copy, guide):
                print("self-test: a new text in %s was not reported: %r" % (path, text))
                failures += 1
    if missing(root, guide):
        print("self-test: the sources as they stand already fail the check")
        failures += 1
    print("self-test: %s" % ("every new text was reported" if failures == 0 else "FAILED"))
    return failures == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("--check", metavar="GUIDE")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    guide = args.check or os.path.join(args.root, "docs", "service-guide.md")
    if args.self_test:
        sys.exit(0 if self_test(args.root, guide) else 1)
    if args.check:
        lost = missing(args.root, guide)
        for piece in lost:
            print("no row in %s for the text: %r" % (args.check, piece))
        print("%d texts collected, %d without a row" % (len(collect(args.root)), len(lost)))
        sys.exit(1 if lost else 0)
    for piece in collect(args.root):
        print(repr(piece))


if __name__ == "__main__":
    main()
