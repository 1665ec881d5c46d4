"""The mutants of a change: the lines it added or altered, and the small mistakes one could make
on each of them (tools/mutate.py builds and tests them).

Operators, each a mistake a developer makes on one line:
  delete     a statement dropped: a call, an assignment, a return inside a branch
  negate     an if's or a while's condition negated
  compare    < and <=, > and >=, == and !=, && and || (Python: and, or) exchanged
  literal    an integer literal one up or one down (not in a GUID's brace list)
  bool       true and false (TRUE and FALSE, True and False) exchanged
  unchecked  a call's result check dropped: SUCCEEDED(x) -> (x, true), !call(...) -> never
  swap       two neighbouring arguments of one kind (names, numbers, strings) swapped
A mutant changes one line into one other line, so line numbers stay the same in the build.
"""
import re
import subprocess

CXX_SUFFIXES = (".cpp", ".h", ".c")
PY_SUFFIXES = (".py",)

CXX_KEYWORDS = {"return", "if", "else", "while", "for", "switch", "case", "do", "sizeof", "new",
                "delete", "throw", "goto", "default", "break", "continue", "catch", "try",
                "static_assert", "alignof", "decltype", "co_return", "co_await"}
# The opening lines of a block whose statements run only sometimes.
CXX_BRANCH = re.compile(r"^(\}\s*)?(if|else|for|while|do|case|default|switch|catch|try)\b")
PY_BRANCH = re.compile(r"^(if|elif|else|for|while|try|except|finally|with)\b")

CXX_SKIP = re.compile(r"^(#|class\b|struct\b|enum\b|namespace\b|union\b|template\b|using\b|"
                      r"typedef\b|friend\b|extern\b|public:|private:|protected:|static_assert\b)")
# A declaration: two or more words (a type and a name) before the parameters or the end, no
# value given. Function headers and prototypes, members and variables without a value.
CXX_DECLARATION = re.compile(
    r"^[A-Za-z_][\w:<>,\s\*&~]*[\s\*&]+[\*&]*~?[A-Za-z_][\w:]*(\s*\[[^\]]*\])?\s*"
    r"(\(.*\)\s*(const\s*)?(noexcept\s*)?(override\s*)?(final\s*)?(=\s*(0|default|delete)\s*)?)?"
    r"(;|\{|\{\s*\}|:.*|,|\(.*|)$")
PY_SKIP = re.compile(r"^(import\b|from\b.*\bimport\b|def\b|class\b|@|global\b|nonlocal\b|"
                     r"pass$|else:$|try:$|finally:$)")

CXX_COMPARE = [(" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "),
               (" == ", " != "), (" != ", " == "), (" && ", " || "), (" || ", " && ")]
PY_COMPARE = [(" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "),
              (" == ", " != "), (" != ", " == "), (" and ", " or "), (" or ", " and ")]
CXX_BOOLS = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}
PY_BOOLS = {"True": "False", "False": "True"}
LITERAL = re.compile(r"(?<![\w.'])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.'])")


class Mutant:
    """One line of one file, and what it becomes."""

    def __init__(self, path, line, operator, before, after):
        self.path, self.line, self.operator, self.before, self.after = path, line, operator, before, after

    @property
    def key(self):
        return f"{self.path}:{self.line}:{self.operator}:{self.after.strip()}"

    def to_json(self):
        return {"path": self.path, "line": self.line, "operator": self.operator,
                "before": self.before, "after": self.after}

    @staticmethod
    def from_json(data):
        return Mutant(data["path"], data["line"], data["operator"], data["before"], data["after"])


def changed_lines(since, rooms, cwd):
    """{path: sorted line numbers} that the working tree added or altered since the commit."""
    out = subprocess.run(["git", "diff", "-U0", "--no-color", "-M", since, "--", *rooms],
                         cwd=cwd, check=True, capture_output=True, text=True).stdout
    lines, path = {}, None
    for row in out.splitlines():
        if row.startswith("+++ "):
            path = None if row == "+++ /dev/null" else row[6:]
        elif row.startswith("@@") and path:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", row)
            start, count = int(m.group(1)), int(m.group(2) or "1")
            lines.setdefault(path, []).extend(range(start, start + count))
    return {p: sorted(n) for p, n in lines.items() if n}


def mask(text, python):
    """The text with comments and string contents blanked, each character kept in its place,
    so that an operator is looked for in code only."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if python and c == "#":
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i)); i = j
        elif python and text.startswith(('"""', "'''"), i):
            j = text.find(text[i:i + 3], i + 3)
            j = n if j < 0 else j + 3
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif not python and text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i)); i = j
        elif not python and text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif c in "\"'" and not (c == "'" and not python and i and text[i - 1].isalnum()):
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            if j < n and text[j] == c:
                j += 1
                out.append(c + "S" * (j - i - 2) + c)
            else:  # not closed on its line (an apostrophe in an odd place): blank to the end
                j = min(j, n)
                out.append(" " * (j - i))
            i = j
        else:
            out.append(c); i += 1
    return "".join(out)


def matching(code, open_at):
    """The index of the bracket closing the one at open_at, on the same line, or -1."""
    depth = 0
    for j in range(open_at, len(code)):
        if code[j] in "([{":
            depth += 1
        elif code[j] in ")]}":
            depth -= 1
            if depth == 0:
                return j
    return -1


def indent(line):
    return len(line) - len(line.lstrip())


def in_branch(codes, index, branch):
    """Whether the statement on line `index` sits in a block that runs only sometimes: the
    nearest line above it with less indentation opens a branch."""
    own = indent(codes[index])
    for j in range(index - 1, -1, -1):
        if codes[j].strip() and indent(codes[j]) < own:
            return bool(branch.match(codes[j].strip()))
    return False


def starts_statement(codes, index):
    """Whether line `index` begins a statement rather than continuing the one above it."""
    for j in range(index - 1, -1, -1):
        above = codes[j].strip()
        if above:
            return (above.startswith("#") or above.endswith((";", "{", "}", ":")) or
                    re.match(r"^(\}\s*)?(else\b|(if|for|while)\b.*\)$)", above) is not None)
    return True


def split_arguments(code, open_at, close_at):
    """The top-level arguments between the brackets, as (start, end) spans."""
    spans, depth, start = [], 0, open_at + 1
    for j in range(open_at + 1, close_at):
        if code[j] in "([{":
            depth += 1
        elif code[j] in ")]}":
            depth -= 1
        elif code[j] == "," and depth == 0:
            spans.append((start, j)); start = j + 1
    spans.append((start, close_at))
    return spans


def argument_kind(text):
    text = text.strip()
    if re.fullmatch(r"-?(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*", text):
        return "number"
    if re.fullmatch(r'"S*"', text):
        return "string"
    if re.fullmatch(r"[A-Za-z_][\w]*((\.|->|::)[A-Za-z_]\w*)*", text) and text not in CXX_BOOLS \
            and text not in ("nullptr", "NULL", "None", "True", "False"):
        return "name"
    return None


def line_mutants(path, number, line, code, codes, index, python):
    """Every mutant of one line; `code` is the line masked."""
    found = []
    stripped = code.strip()

    def add(operator, start, end, text):
        after = line[:start] + text + line[end:]
        if after != line:
            found.append(Mutant(path, number, operator, line, after))

    if python:
        if not stripped or PY_SKIP.match(stripped):
            return found
    else:
        if not stripped or CXX_SKIP.match(stripped) or stripped in ("{", "}", "};", "});"):
            return found
        first = re.match(r"[A-Za-z_]\w*", stripped)
        if re.search(r"\(\s*(\w+\s*)?\*\s*\w+\s*\)\s*\(", stripped) and "=" not in stripped:
            return found  # a function pointer's declaration
        if CXX_DECLARATION.match(stripped) and "=" not in stripped.split("(")[0] \
                and not (first and first.group(0) in CXX_KEYWORDS) and "." not in stripped.split("(")[0] \
                and "->" not in stripped.split("(")[0]:
            return found

    # delete: the whole statement, where it is one line.
    lead = indent(line)
    if not python and not starts_statement(codes, index):
        pass
    elif python:
        simple = re.match(r"([\w\.\[\]]+(\(.*\))?\s*([-+*/|&]?=)\s*\S|[\w\.]+\(.*\)$|return\b)", stripped)
        if simple and not stripped.endswith((":", ",", "(", "[", "{", "\\")) \
                and (not stripped.startswith("return") or in_branch(codes, index, PY_BRANCH)):
            add("delete", lead, len(line.rstrip()), "pass")
    else:
        one_line = stripped.endswith(";") and matching(code, code.find("(")) != -1 if "(" in code \
            else stripped.endswith(";")
        head = re.match(r"(if|else if)\s*\(", stripped)
        if head and one_line:
            close = matching(code, code.index("(", lead))
            rest = code[close + 1:].strip()
            if rest.startswith(("return", "break", "continue")) or re.match(r"[\w\.\->:]+\s*[\(=]", rest):
                start = close + 1 + (len(code[close + 1:]) - len(code[close + 1:].lstrip()))
                add("delete", start, len(line.rstrip()), ";")
        elif one_line and (
                (stripped.startswith("return") and in_branch(codes, index, CXX_BRANCH)) or
                re.match(r"(\+\+|--)?[\w\.\->:\[\]\*]+(\+\+|--)?;$", stripped) or
                re.match(r"[\w\.\->:\[\]\*\(\)]+\s*([-+*/|&^]|<<|>>)?=[^=]", stripped) or
                (re.match(r"[\w\.\->:\[\]\*]+\s*\(", stripped) and not path.endswith(".h") and
                 stripped.split("(")[0].strip() not in CXX_KEYWORDS)):
            add("delete", lead, len(line.rstrip()), ";")

    # negate: a condition that closes on its own line.
    if python:
        m = re.match(r"(\s*(if|elif|while)\s+)(.*):\s*$", code)
        if m:
            add("negate", m.end(1), m.end(3), "not (" + line[m.end(1):m.end(3)] + ")")
    else:
        for m in re.finditer(r"\b(if|while)\s*\(", code):
            close = matching(code, m.end() - 1)
            if close != -1:
                add("negate", m.end() - 1, close + 1, "(!(" + line[m.end():close] + "))")

    for old, new in (PY_COMPARE if python else CXX_COMPARE):
        for m in re.finditer(re.escape(old), code):
            add("compare", m.start(), m.end(), new)

    # A brace list of four or more hex numbers is an identifier copied from Windows' headers
    # (a GUID), not a figure anyone computes.
    copied = re.search(r"\{\s*0[xX][0-9A-Fa-f]+(\s*,\s*\{?\s*0[xX][0-9A-Fa-f]+){3}", code)
    for m in ([] if copied else LITERAL.finditer(code)):
        digits = m.group(1)
        value = int(digits, 16) if digits[:2] in ("0x", "0X") else int(digits)
        for step in (1, -1):
            if value + step < 0:
                continue
            text = (f"0x{value + step:0{len(digits) - 2}X}" if digits[:2] in ("0x", "0X") else
                    str(value + step))
            add("literal", m.start(1), m.end(1), text)

    for word, other in (PY_BOOLS if python else CXX_BOOLS).items():
        for m in re.finditer(rf"\b{word}\b", code):
            add("bool", m.start(), m.end(), other)

    if not python:
        for m in re.finditer(r"\b(SUCCEEDED|FAILED)\s*\(", code):
            close = matching(code, m.end() - 1)
            if close != -1:
                verdict = "true" if m.group(1) == "SUCCEEDED" else "false"
                add("unchecked", m.start(), close + 1, f"(({line[m.end():close]}), {verdict})")
        for m in re.finditer(r"!\s*([A-Za-z_][\w]*((\.|->|::)[A-Za-z_]\w*)*)\s*\(", code):
            close = matching(code, m.end() - 1)
            chained = re.compile(r"\s*(\.|->)\s*[A-Za-z_]\w*\s*\(")
            while close != -1 and chained.match(code, close + 1):  # f().g(): the whole chain
                close = matching(code, chained.match(code, close + 1).end() - 1)
            if close != -1 and m.group(1) not in CXX_KEYWORDS:
                add("unchecked", m.start(), close + 1, f"!((void){line[m.start() + 1:close + 1]}, true)")

    for m in re.finditer(r"\b([A-Za-z_]\w*)\s*\(", code):
        if m.group(1) in CXX_KEYWORDS or m.group(1) in ("and", "or", "not", "in"):
            continue
        close = matching(code, m.end() - 1)
        if close == -1:
            continue
        spans = split_arguments(code, m.end() - 1, close)
        for (a0, a1), (b0, b1) in zip(spans, spans[1:]):
            kind = argument_kind(code[a0:a1])
            first, second = line[a0:a1], line[b0:b1]
            if kind and kind == argument_kind(code[b0:b1]) and first.strip() != second.strip():
                swapped = (first[:indent(first)] + second.strip() + "," +
                           second[:indent(second)] + first.strip())
                add("swap", a0, b1, swapped)
    return found


def file_mutants(path, text, numbers):
    """Every mutant on the given lines of one file's text."""
    python = path.endswith(PY_SUFFIXES)
    lines = text.split("\n")
    codes = mask(text, python).split("\n")
    found = []
    for number in numbers:
        if 1 <= number <= len(lines):
            found += line_mutants(path, number, lines[number - 1], codes[number - 1], codes,
                                  number - 1, python)
    return found


def mutable(path):
    return path.endswith(CXX_SUFFIXES + PY_SUFFIXES)
