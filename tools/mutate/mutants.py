"""Generated faults: every place in a C++ source where a mutation operator applies.

The sources are read as tokens (comments, string and character literals and
preprocessor lines are never changed), and a light parse finds what the
statement-level operators need: function bodies and their return types,
statements, if/else, conditions, calls and their arguments.  No compiler is
involved; a mutant the parse got wrong simply fails to compile, and the
check counts it as such.

A mutant is (file, offset span, original text, replacement, operator); its
key (file, operator, original lines, mutated lines) names it without line
numbers, so that a judgement about it survives unrelated edits.
"""
import bisect
import re

OPERATORS = {
    "boundary": "< <=, > >= swapped",
    "relational": "== != swapped",
    "constant": "integer constant +1 or -1",
    "bool": "true false swapped",
    "return": "bool result negated, or an early return at the top of a void function",
    "delete": "an expression statement (a call, an assignment, a throw, a break) removed",
    "swap-args": "two neighbouring arguments of a call swapped",
    "error-branch": "an if that stops, throws, returns or says ERROR removed",
    "else": "an else branch dropped",
    "arith": "+ -, * /, ++ --, += -=, *= /= swapped",
    "logic": "&& || swapped",
    "negate": "an if or while condition negated, or a ! removed",
}

PUNCT = sorted(["<<=", ">>=", "<=>", "->*", "...", "::", "->", "++", "--", "<<", ">>", "<=", ">=", "==", "!=", "&&",
                "||", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", ".*"], key=len, reverse=True)

# Words after which a token starts an operand rather than ends one.
NOT_OPERAND = {"return", "case", "throw", "co_return", "new", "delete", "else", "do", "sizeof", "alignof",
               "decltype", "typeid", "noexcept", "not", "and", "or", "if", "while", "for", "switch", "catch",
               "operator", "template", "typename", "const", "constexpr", "static", "inline", "auto", "volatile",
               "struct", "class", "enum", "union", "using", "goto", "public", "private", "protected"}
TYPE_WORDS = {"void", "bool", "char", "int", "long", "short", "unsigned", "signed", "double", "float", "auto",
              "size_t", "wchar_t", "char8_t", "char16_t", "char32_t"}
DECL_START = TYPE_WORDS | {"const", "constexpr", "static", "thread_local", "volatile", "struct", "class", "enum",
                           "using", "typedef", "static_assert", "extern", "inline", "register", "typename"}
NOT_CALL = {"if", "while", "for", "switch", "catch", "sizeof", "alignof", "decltype", "return", "typeid",
            "noexcept", "static_assert", "operator", "alignas", "throw", "case", "co_return", "requires"}
STOPPING = {"stop", "io_failure", "exit", "abort", "_exit", "throw", "return"}
INT_RE = re.compile(r"^(0[xX][0-9a-fA-F']+|[0-9][0-9']*)([uUlLzZ]*)$")


class Tok:
    __slots__ = ("kind", "text", "start", "end")

    def __init__(self, kind, text, start, end):
        self.kind, self.text, self.start, self.end = kind, text, start, end

    def __repr__(self):
        return f"{self.kind}:{self.text}"


def tokenize(src):
    """Tokens of C++ text, without comments and preprocessor lines."""
    toks, i, n = [], 0, len(src)
    line_start = True
    while i < n:
        c = src[i]
        if c == "\n":
            line_start, i = True, i + 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "\\" and i + 1 < n and src[i + 1] == "\n":
            i += 2
            continue
        if line_start and c == "#":  # preprocessor line, with its continuations
            while i < n and src[i] != "\n":
                i += 2 if src[i] == "\\" and i + 1 < n else 1
            continue
        line_start = False
        if src.startswith("//", i):
            while i < n and src[i] != "\n":
                i += 1
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            i = n if j < 0 else j + 2
            continue
        m = re.match(r'(?:u8|u|U|L)?R"([^()\\ ]{0,16})\(', src[i:i + 40])
        if m:  # raw string
            close = ")" + m.group(1) + '"'
            j = src.find(close, i + m.end())
            j = n if j < 0 else j + len(close)
            toks.append(Tok("str", src[i:j], i, j))
            i = j
            continue
        m = re.match(r"(?:u8|u|U|L)?(['\"])", src[i:i + 3])
        if m:  # string or character literal
            q = m.group(1)
            j = i + m.end()
            while j < n and src[j] != q and src[j] != "\n":
                j += 2 if src[j] == "\\" else 1
            j = min(j + 1, n)
            toks.append(Tok("str" if q == '"' else "chr", src[i:j], i, j))
            i = j
            continue
        if c.isalpha() or c == "_":
            j = i + 1
            while j < n and (src[j].isalnum() or src[j] == "_"):
                j += 1
            toks.append(Tok("id", src[i:j], i, j))
            i = j
            continue
        if c.isdigit() or (c == "." and i + 1 < n and src[i + 1].isdigit()):
            j = i + 1
            while j < n:
                if src[j] in "eEpP" and j + 1 < n and src[j + 1] in "+-":
                    j += 2
                elif src[j].isalnum() or src[j] in "_.":
                    j += 1
                elif src[j] == "'" and j + 1 < n and src[j + 1].isalnum():
                    j += 1
                else:
                    break
            toks.append(Tok("num", src[i:j], i, j))
            i = j
            continue
        for p in PUNCT:
            if src.startswith(p, i):
                break
        else:
            p = c
        toks.append(Tok("op", p, i, i + len(p)))
        i += len(p)
    return toks


class Mutant:
    __slots__ = ("path", "start", "end", "original", "replacement", "operator", "line", "col", "before", "after",
                 "unit", "suffix")

    def __init__(self, path, src, lines, start, end, replacement, operator):
        self.path, self.start, self.end = path, start, end
        self.original, self.replacement, self.operator = src[start:end], replacement, operator
        self.line = bisect.bisect_right(lines, start)
        self.col = start - lines[self.line - 1] + 1
        ls = lines[self.line - 1]
        last = max(start, end - 1)
        le = src.find("\n", last)
        le = len(src) if le < 0 else le
        self.before = src[ls:le]
        self.after = src[ls:start] + replacement + src[end:le]
        self.unit = unit_of(path)
        self.suffix = ""

    @property
    def key(self):
        return (self.path, self.operator, normalise(self.before), normalise(self.after))

    @property
    def ident(self):
        return f"{self.path}:{self.line}:{self.col}:{self.operator}{self.suffix}"

    def apply(self, text):
        if text[self.start:self.end] != self.original:
            raise ValueError(f"{self.ident}: the text at the mutant's place has changed")
        return text[:self.start] + self.replacement + text[self.end:]

    def to_json(self):
        return {"id": self.ident, "file": self.path, "line": self.line, "column": self.col, "operator": self.operator,
                "unit": self.unit, "original": self.original, "replacement": self.replacement,
                "before": self.before, "after": self.after}


def normalise(text):
    """Text compared for equivalence judgements: blanks collapsed, lines joined."""
    return " ".join(text.split())


def unit_of(path):
    """A unit is a source file together with its header: src/text_fields for both."""
    return path.rsplit(".", 1)[0]


def generate_all(top, paths):
    """Every mutant of the files (paths relative to top), in a fixed order."""
    sources = {}
    for rel in paths:
        with open(f"{top}/{rel}", encoding="utf-8") as f:
            sources[rel] = f.read()
    functions = set().union(*(text_functions(s) for s in sources.values()))
    out = []
    for rel, src in sources.items():
        out.extend(generate(rel, src, functions))
    out.sort(key=lambda m: (m.path, m.start, m.end, m.operator, m.replacement))
    seen = {}
    for m in out:
        n = seen[m.ident] = seen.get(m.ident, 0) + 1
        if n > 1:
            m.suffix = f"#{n}"
    return out


class _Parse:
    """Statement structure of one file, as far as the operators need it."""

    def __init__(self, toks):
        self.t = toks
        self.n = len(toks)
        self.match = {}
        stack = []
        for k, tok in enumerate(toks):
            if tok.kind != "op":
                continue
            if tok.text in "([{":
                stack.append(k)
            elif tok.text in ")]}" and stack:
                o = stack.pop()
                self.match[o], self.match[k] = k, o
        self.tmpl_open, self.tmpl_close = set(), set()
        self._templates()
        self.functions = []  # (kind, open brace, close brace); kind: bool, void, other, lambda
        self.ifs = []  # dicts: start, cond, then, else, end, sub
        self.loops = []  # while conditions: (open paren, close paren)
        self.statements = []  # (start, end, sub, kind)
        self.returns = []  # (expr start, expr end, function kind)
        self.bodies = []  # (open, close) of every function or lambda body
        self.starts = set()  # first tokens of statements (a "*" there is a dereference)
        self.decls(0, self.n)

    # ------------------------------------------------------------ helpers
    def text(self, k):
        return self.t[k].text if 0 <= k < self.n else ""

    def is_op(self, k, s):
        return 0 <= k < self.n and self.t[k].kind == "op" and self.t[k].text == s

    def operand_end(self, k):
        if k < 0:
            return False
        tok = self.t[k]
        if tok.kind in ("num", "str", "chr"):
            return True
        if tok.kind == "id":
            return tok.text not in NOT_OPERAND
        return tok.text in (")", "]") or k in self.tmpl_close

    def _templates(self):
        for k, tok in enumerate(self.t):
            if tok.kind != "op" or tok.text != "<" or k == 0:
                continue
            prev = self.t[k - 1]
            if prev.kind != "id" or self.text(k - 2) == "operator":
                continue
            close = self._template_close(k)
            if close is not None:
                self.tmpl_open.add(k)
                self.tmpl_close.add(close)

    def _template_close(self, k):
        """The ">" that closes the template argument list opened at k, or None for a comparison."""
        depth, paren = 1, 0
        for j in range(k + 1, min(self.n, k + 60)):
            tok = self.t[j]
            s = tok.text
            if tok.kind != "op":
                if tok.kind == "id" and s in ("return", "if", "while", "for") and paren == 0:
                    return None
                continue
            if s in "([":
                paren += 1
            elif s in ")]":
                if paren == 0:
                    return None
                paren -= 1
            elif paren > 0:
                continue
            elif s in ("{", "}", ";", "&&", "||", "?", "=", "==", "!=", "<=", ">=", "+=", "-=", "*=", "/=", "<<",
                       "|", "^", "!", "%"):
                return None
            elif s == "<":
                if self.t[j - 1].kind != "id":
                    return None
                depth += 1
            elif s == ">":
                depth -= 1
                if depth == 0:
                    return j
            elif s == ">>":
                depth -= 2
                if depth <= 0:
                    return j
        return None

    def skip_to_semicolon(self, i, end):
        while i < end:
            s = self.text(i)
            if self.t[i].kind == "op" and s in "([{" and i in self.match:
                i = self.match[i] + 1
                continue
            if s == ";" and self.t[i].kind == "op":
                return i + 1
            i += 1
        return end

    # --------------------------------------------------- declaration scope
    def decls(self, i, end):
        while i < end:
            tok = self.t[i]
            s = tok.text
            if tok.kind == "op" and s == ";":
                i += 1
            elif s == "namespace":
                j = i + 1
                while j < end and self.text(j) not in ("{", ";", "="):
                    j += 1
                if self.text(j) == "{" and j in self.match:
                    self.decls(j + 1, self.match[j])
                    i = self.match[j] + 1
                else:
                    i = self.skip_to_semicolon(i, end)
            elif s == "extern" and self.t[i + 1].kind == "str" and self.is_op(i + 2, "{"):
                close = self.match[i + 2]
                self.decls(i + 3, close)
                i = close + 1
            elif s in ("public", "private", "protected") and self.is_op(i + 1, ":"):
                i += 2
            elif s == "template" and self.is_op(i + 1, "<"):
                close = self._template_close(i + 1)
                i = (close + 1) if close is not None else i + 2
            elif s in ("using", "typedef", "static_assert", "friend"):
                i = self.skip_to_semicolon(i, end)
            else:
                i = self.declaration(i, end)

    def declaration(self, i, end):
        j = i
        while j < end:
            tok = self.t[j]
            s = tok.text
            if tok.kind == "op" and s in ("(", "[") and j in self.match:
                j = self.match[j] + 1
                continue
            if tok.kind == "op" and s == ";":
                return j + 1
            if tok.kind == "op" and s == "{" and j in self.match:
                head = [x.text for x in self.t[i:j]]
                close = self.match[j]
                if "enum" in head:
                    j = close + 1
                elif any(w in head for w in ("struct", "class", "union")) and "(" not in head:
                    self.decls(j + 1, close)
                    j = close + 1
                elif "=" in head:
                    self.expression(j, close + 1)
                    j = close + 1
                elif "(" in head:
                    return self.function(i, end)
                else:
                    self.expression(j, close + 1)
                    j = close + 1
                continue
            j += 1
        return end

    def function(self, i, end):
        # the parameter list: the first top-level "(" not part of "operator()"
        k = i
        while k < end and not (self.is_op(k, "(") and self.text(k - 1) != "operator"):
            if self.is_op(k, "(") or self.is_op(k, "["):
                k = self.match[k] + 1
                continue
            k += 1
        name_at = k - 1
        while name_at > i and self.text(name_at - 1) in ("::", "~"):
            name_at -= 2
        head = [x.text for x in self.t[i:name_at]]
        if k >= end or k not in self.match:
            return self.skip_to_semicolon(i, end)
        k = self.match[k] + 1
        while k < end and not self.is_op(k, "{") and not self.is_op(k, ";") and not self.is_op(k, ":"):
            k = self.match[k] + 1 if self.text(k) in ("(", "[") and k in self.match else k + 1
        if self.is_op(k, ";"):
            return k + 1
        if self.is_op(k, ":"):  # constructor initialisers: name(...) or name{...}, then the body
            k += 1
            while k < end:
                if self.is_op(k, "(") or (self.is_op(k, "{") and self.text(k - 1) not in (")", "}")):
                    k = self.match[k] + 1
                elif self.is_op(k, "{"):
                    break
                else:
                    k += 1
        if not self.is_op(k, "{") or k not in self.match:
            return end
        words = [w for w in head if w not in ("static", "inline", "constexpr", "virtual", "explicit", "friend",
                                              "extern", "[", "]", "nodiscard", "maybe_unused")]
        words = [w for w in words if not w.startswith('"')]
        if not words:
            kind = "ctor"
        elif words == ["bool"]:
            kind = "bool"
        elif words == ["void"]:
            kind = "void"
        else:
            kind = "other"
        close = self.match[k]
        self.functions.append((kind, k, close))
        self.body(k, close, kind)
        return close + 1

    # ----------------------------------------------------- function bodies
    def body(self, open_, close, kind):
        self.bodies.append((open_, close))
        i = open_ + 1
        while i < close:
            i = self.statement(i, kind, False)

    def statement(self, i, fn, sub):
        self.starts.add(i)
        tok = self.t[i]
        s = tok.text
        if tok.kind == "op":
            if s == "{" and i in self.match:
                close = self.match[i]
                j = i + 1
                while j < close:
                    j = self.statement(j, fn, False)
                return close + 1
            if s == ";":
                return i + 1
        if tok.kind == "id":
            if s == "if":
                k = i + 1
                if self.text(k) == "constexpr":
                    k += 1
                if not self.is_op(k, "(") or k not in self.match:
                    return self.simple(i, fn, sub)
                cond_close = self.match[k]
                self.expression(k + 1, cond_close)
                then_end = self.statement(cond_close + 1, fn, True)
                rec = {"start": i, "cond": (k, cond_close), "then": (cond_close + 1, then_end), "else": None,
                       "end": then_end, "sub": sub, "constexpr": k != i + 1}
                if self.text(then_end) == "else":
                    else_end = self.statement(then_end + 1, fn, True)
                    rec["else"] = (then_end, else_end)
                    rec["end"] = else_end
                self.ifs.append(rec)
                return rec["end"]
            if s in ("for", "while", "switch") and self.is_op(i + 1, "("):
                close = self.match[i + 1]
                self.expression(i + 2, close)
                if s == "while":
                    self.loops.append((i + 1, close))
                return self.statement(close + 1, fn, True)
            if s == "do":
                j = self.statement(i + 1, fn, True)
                return self.skip_to_semicolon(j, self.n)
            if s in ("case", "default"):
                j = i + 1
                while j < self.n and not self.is_op(j, ":"):
                    j += 1
                return j + 1
            if s == "try":
                j = self.statement(i + 1, fn, False)
                while self.text(j) == "catch" and self.is_op(j + 1, "("):
                    j = self.statement(self.match[j + 1] + 1, fn, False)
                return j
            if s == "return":
                end = self.expression(i + 1, self.n)
                if self.is_op(end - 1, ";"):
                    self.returns.append((i + 1, end - 1, fn))
                    if end - 1 == i + 1:
                        self.statements.append((i, end, sub, "return"))
                return end
            if s in ("break", "continue", "throw"):
                end = self.expression(i + 1, self.n)
                self.statements.append((i, end, sub, s))
                return end
            if s in ("using", "typedef", "static_assert", "goto", "struct", "class", "enum", "union"):
                return self.skip_to_semicolon(i, self.n)
        return self.simple(i, fn, sub)

    def simple(self, i, fn, sub):
        end = self.expression(i, self.n)
        if self.is_op(end - 1, ";") and self.is_expression_statement(i, end - 1):
            self.statements.append((i, end, sub, "expr"))
        return end

    def is_expression_statement(self, i, end):
        tok = self.t[i]
        if tok.kind == "op":
            return tok.text in ("++", "--", "*", "(", "::")
        if tok.kind != "id" or tok.text in DECL_START or tok.text in NOT_OPERAND:
            return False
        # a name, possibly qualified and with template arguments
        k = i + 1
        while k < end:
            if self.is_op(k, "::") and self.t[k + 1].kind == "id":
                k += 2
            elif k in self.tmpl_open:
                k = self._close_of(k) + 1
            else:
                break
        nxt = self.t[k] if k < end else None
        if nxt is None:
            return False
        if nxt.kind == "id":
            return False  # Type name
        if nxt.kind == "op" and nxt.text in ("*", "&", "&&") and k + 1 < end and self.t[k + 1].kind == "id" and \
                self.text(k + 2) in ("=", ";", "{", "(", ",", "["):
            return False  # Type* name = ...
        return True

    def _close_of(self, k):
        depth = 0
        for j in range(k, self.n):
            if j in self.tmpl_open:
                depth += 1
            elif j in self.tmpl_close:
                depth -= 2 if self.t[j].text == ">>" else 1
                if depth <= 0:
                    return j
        return k

    def expression(self, i, end):
        """Walks an expression up to its ";" (or end), parsing the bodies of lambdas in it."""
        depth = 0
        while i < end:
            tok = self.t[i]
            s = tok.text
            if tok.kind == "op":
                if s == "[" and not self.operand_end(i - 1) and i in self.match and not self.is_op(i + 1, "["):
                    j = self.match[i] + 1
                    if self.is_op(j, "(") and j in self.match:
                        j = self.match[j] + 1
                    while j < end and self.t[j].kind == "id" and self.text(j) in ("mutable", "constexpr",
                                                                                  "noexcept"):
                        j += 1
                    if self.is_op(j, "->"):
                        while j < end and not self.is_op(j, "{"):
                            j += 1
                    if self.is_op(j, "{") and j in self.match:
                        self.body(j, self.match[j], "lambda")
                        i = self.match[j] + 1
                        continue
                if s in "([{":
                    depth += 1
                elif s in ")]}":
                    depth -= 1
                    if depth < 0:
                        return i
                elif s == ";" and depth == 0:
                    return i + 1
            i += 1
        return end


def _int_variants(text):
    m = INT_RE.match(text)
    if not m:
        return []
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    value = int(digits, 16) if digits[:2].lower() == "0x" else int(digits, 10)
    out = []
    for v in (value + 1, value - 1):
        if v < 0:
            continue
        out.append((hex(v) if digits[:2].lower() == "0x" else str(v)) + suffix)
    return out


TEXT_DECL = re.compile(r"\b(?:std::)?(?:string|string_view|ostringstream)\b\s*[&*]?\s+(\w+)")


def text_names(src):
    """Names declared in the text as strings (variables, parameters, functions returning one).

    A "+" between texts is a concatenation, and its flip to "-" would not
    compile: such places are left out (by name, so a name that is a text in
    one function and a number in another loses its flips everywhere)."""
    return set(TEXT_DECL.findall(src)) | {"string", "to_string"}


TEXT_FUNCTION = re.compile(r"\b(?:std::)?string\s+(?:\w+::)*(\w+)\s*\(")


def text_functions(src):
    """Functions of the text that return a string (for the other files' "+" places)."""
    return set(TEXT_FUNCTION.findall(src))


def _joins_texts(p, k, texts):
    """Whether the "+" or "+=" at k belongs to an expression with a text in it."""
    stop = {",", ";", "=", "+=", "-=", "?", ":", "<<", "return", "{", "}", "&&", "||", "(", "[", ")", "]"}
    for step in (-1, 1):
        j, depth = k + step, 0
        while 0 <= j < p.n:
            tok = p.t[j]
            s = tok.text
            if tok.kind in ("str", "chr") or (tok.kind == "id" and s in texts and p.text(j + 1) != "::"):
                return True
            if tok.kind == "op":
                opening, closing = ("(", "[", "{"), (")", "]", "}")
                if s in (closing if step > 0 else opening):
                    if depth == 0:
                        break
                    depth -= 1
                elif s in (opening if step > 0 else closing):
                    depth += 1
                elif depth == 0 and s in stop and j != k:
                    break
            elif depth == 0 and s == "return":
                break
            j += step
    return False


def generate(path, src, extra_text_names=None):
    """Every mutant of one source file."""
    toks = tokenize(src)
    p = _Parse(toks)
    lines = [0] + [m.end() for m in re.finditer("\n", src)]
    out = []

    def add(start, end, replacement, op):
        out.append(Mutant(path, src, lines, start, end, replacement, op))

    def span(a, b):  # source text of tokens a..b-1
        return src[toks[a].start:toks[b - 1].end]

    texts = text_names(src) | (extra_text_names or set())
    in_body = [False] * len(toks)
    for o, c in p.bodies:
        for k in range(o, c + 1):
            in_body[k] = True

    # ------------------------------------------------- token-level operators
    for k, tok in enumerate(toks):
        s = tok.text
        if tok.kind == "num":
            for v in _int_variants(s):
                add(tok.start, tok.end, v, "constant")
        elif tok.kind == "id" and s in ("true", "false"):
            add(tok.start, tok.end, "false" if s == "true" else "true", "bool")
        elif tok.kind == "op":
            if p.text(k - 1) == "operator":
                continue
            if s in ("<", ">") and k not in p.tmpl_open and k not in p.tmpl_close and p.operand_end(k - 1):
                add(tok.start, tok.end, s + "=", "boundary")
            elif s in ("<=", ">="):
                add(tok.start, tok.end, s[0], "boundary")
            elif s in ("==", "!="):
                add(tok.start, tok.end, "!=" if s == "==" else "==", "relational")
            elif s in ("&&", "||") and p.operand_end(k - 1) and in_body[k]:
                nxt = toks[k + 1] if k + 1 < len(toks) else None
                if s == "&&" and (nxt is None or nxt.kind == "id" and p.text(k + 2) in ("=", ")", ",", ";")):
                    continue  # an rvalue reference
                add(tok.start, tok.end, "||" if s == "&&" else "&&", "logic")
            elif k in p.starts and s in ("*", "+", "-"):
                pass  # a unary operator opening a statement
            elif s in ("+", "-") and p.operand_end(k - 1):
                if s == "-" or not _joins_texts(p, k, texts):
                    add(tok.start, tok.end, "-" if s == "+" else "+", "arith")
            elif s == "/":
                add(tok.start, tok.end, "*", "arith")
            elif s == "*" and p.operand_end(k - 1) and in_body[k] and not _pointer_star(p, k):
                add(tok.start, tok.end, "/", "arith")
            elif s in ("++", "--"):
                add(tok.start, tok.end, "--" if s == "++" else "++", "arith")
            elif s in ("+=", "-=", "*=", "/=") and not (s == "+=" and _joins_texts(p, k, texts)):
                add(tok.start, tok.end, {"+=": "-=", "-=": "+=", "*=": "/=", "/=": "*="}[s], "arith")
            elif s == "!" and in_body[k]:
                add(tok.start, tok.end, "", "negate")

    # --------------------------------------------- statement-level operators
    for kind, o, c in p.functions:
        if kind == "void" and c > o + 1:
            add(toks[o].end, toks[o].end, " return;", "return")
    for a, b, fn in p.returns:
        if fn == "bool" and b > a and not (b == a + 1 and toks[a].text in ("true", "false")):
            add(toks[a].start, toks[b - 1].end, "!(" + span(a, b) + ")", "return")

    for a, b, sub, kind in p.statements:
        add(toks[a].start, toks[b - 1].end, "{}" if sub else "", "delete")

    for rec in p.ifs:
        a, end = rec["start"], rec["end"]
        t0, t1 = rec["then"]
        then_words = {x.text for x in toks[t0:t1] if x.kind == "id"}
        says_error = any(x.kind == "str" and "ERROR" in x.text for x in toks[t0:t1])
        co, cc = rec["cond"]
        if rec["constexpr"]:
            continue
        if then_words & STOPPING or says_error:
            if rec["else"] is None:
                add(toks[a].start, toks[end - 1].end, "{}" if rec["sub"] else "", "error-branch")
            else:
                e0, e1 = rec["else"]
                add(toks[a].start, toks[end - 1].end, span(e0 + 1, e1), "error-branch")
        if rec["else"] is not None:
            e0, e1 = rec["else"]
            add(toks[e0].start, toks[e1 - 1].end, "", "else")
        if _plain_condition(p, co + 1, cc):
            add(toks[co + 1].start, toks[cc - 1].end, "!(" + span(co + 1, cc) + ")", "negate")
    for co, cc in p.loops:
        if _plain_condition(p, co + 1, cc):
            add(toks[co + 1].start, toks[cc - 1].end, "!(" + span(co + 1, cc) + ")", "negate")

    for k, tok in enumerate(toks):
        if not (in_body[k] and tok.kind == "op" and tok.text == "(" and k in p.match):
            continue
        prev = toks[k - 1]
        if not ((prev.kind == "id" and prev.text not in NOT_CALL and prev.text not in TYPE_WORDS)
                or k - 1 in p.tmpl_close or prev.text == ")"):
            continue
        args = _arguments(p, k + 1, p.match[k])
        for (a0, a1), (b0, b1) in zip(args, args[1:]):
            first, second = span(a0, a1), span(b0, b1)
            if first != second:
                between = src[toks[a1 - 1].end:toks[b0].start]
                add(toks[a0].start, toks[b1 - 1].end, second + between + first, "swap-args")
    return out


def _pointer_star(p, k):
    prev, nxt = p.t[k - 1], p.t[k + 1] if k + 1 < p.n else None
    if prev.text in TYPE_WORDS or k - 1 in p.tmpl_close:
        return True
    if nxt is None or nxt.text in (")", ",", ">", "const", "&", "*", ">>"):
        return True
    return prev.kind == "id" and prev.text[:1].isupper() and len(prev.text) > 1 and nxt.kind == "id" and \
        p.text(k + 2) in ("=", ";", "{", "[", ",", ")")


def _plain_condition(p, a, b):
    """A condition that can be negated as it stands: no init-statement, no declaration."""
    if b <= a:
        return False
    depth = 0
    for k in range(a, b):
        s = p.text(k)
        if s in "([{":
            depth += 1
        elif s in ")]}":
            depth -= 1
        elif s == ";" and depth == 0:
            return False
    first = p.t[a]
    if first.kind == "id" and first.text in DECL_START:
        return False
    return not (first.kind == "id" and b > a + 1 and p.t[a + 1].kind == "id")


def _arguments(p, a, b):
    """Token spans of the top-level arguments between a and b."""
    args, depth, start = [], 0, a
    for k in range(a, b):
        s = p.text(k)
        if p.t[k].kind != "op":
            continue
        if s in "([{" or k in p.tmpl_open:
            depth += 1
        elif s in ")]}" or k in p.tmpl_close:
            depth -= 2 if (k in p.tmpl_close and s == ">>") else 1
        elif s == "," and depth == 0:
            args.append((start, k))
            start = k + 1
    if start < b:
        args.append((start, b))
    return [x for x in args if x[1] > x[0]]
