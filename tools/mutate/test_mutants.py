#!/usr/bin/env python3
"""Checks of the fault generator (python3 tools/mutate/test_mutants.py).

The tokens are compared with clang's raw lexer over every source of the
program; the operators are checked on a small text whose faults were worked
out by hand; the keys of equivalence judgements must survive moved lines.
"""
import os
import re
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mutants  # noqa: E402

TOP = os.path.dirname(os.path.dirname(HERE))
SOURCES = sorted(os.path.join(d, f) for d in ("src", "tools/report") for f in os.listdir(os.path.join(TOP, d))
                 if f.endswith((".cpp", ".hpp")))

SNIPPET = r'''#include <vector>
#define LIMIT(a) ((a) < 3)
// if (a < b) return 1;
namespace n {
bool f(int a, std::vector<int> v) {
    const char* s = "a < b == c"; /* x == y */
    if (a < 2) return true;
    return v.size() >= static_cast<std::size_t>(a);
}
void g(int& x) { x += 1; h(x, 2); }
}
'''

# Every fault of SNIPPET, by hand: (operator, the line after the fault).
EXPECTED = {
    ("boundary", "if (a <= 2) return true;"),
    ("constant", "if (a < 3) return true;"),
    ("constant", "if (a < 1) return true;"),
    ("bool", "if (a < 2) return false;"),
    ("error-branch", ""),
    ("negate", "if (!(a < 2)) return true;"),
    ("return", "return !(v.size() >= static_cast<std::size_t>(a));"),
    ("boundary", "return v.size() > static_cast<std::size_t>(a);"),
    ("return", "void g(int& x) { return; x += 1; h(x, 2); }"),
    ("arith", "void g(int& x) { x -= 1; h(x, 2); }"),
    ("constant", "void g(int& x) { x += 2; h(x, 2); }"),
    ("constant", "void g(int& x) { x += 0; h(x, 2); }"),
    ("delete", "void g(int& x) { h(x, 2); }"),
    ("delete", "void g(int& x) { x += 1; }"),
    ("swap-args", "void g(int& x) { x += 1; h(2, x); }"),
    ("constant", "void g(int& x) { x += 1; h(x, 3); }"),
    ("constant", "void g(int& x) { x += 1; h(x, 1); }"),
}

CASES = [  # (text of a function body, operator, every line the operator makes of it)
    ('std::string t = "a" + s;', "arith", ()),  # concatenation: "-" would not compile
    ("int k = n + 1;", "arith", ("int k = n - 1;",)),
    ("auto v = std::max<long long>(a, b);", "boundary", ()),  # template arguments
    ("auto v = std::max<long long>(a, b);", "swap-args", ("auto v = std::max<long long>(b, a);",)),
    ("if (ok) { go(); } else { stop(1); }", "else", ("if (ok) { go(); }",)),
    ("if (bad) { stop(1); } else { go(); }", "error-branch", ("{ go(); }",)),
    ("if (const auto p = find()) use(*p);", "negate", ()),  # a declaration in the condition
    ("while (a && !b) step();", "logic", ("while (a || !b) step();",)),
    ("while (a && !b) step();", "negate", ("while (!(a && !b)) step();", "while (a && b) step();")),
    ("for (auto& x : xs) x *= 2;", "arith", ("for (auto& x : xs) x /= 2;",)),
    ("for (auto& x : xs) x *= 2;", "delete", ("for (auto& x : xs) {}",)),
    ("const char* p = q;", "arith", ()),  # a pointer, not a product
    ("if (x) *q++ = 0;", "arith", ("if (x) *q-- = 0;",)),  # a dereference opening a statement
]


def lines_after(src, operator=None):
    return {(m.operator, mutants.normalise(m.after)) for m in mutants.generate("t.cpp", src)
            if operator is None or m.operator == operator}


class Operators(unittest.TestCase):
    def test_hand_worked_faults(self):
        self.assertEqual(lines_after(SNIPPET), EXPECTED)

    def test_cases(self):
        for body, operator, lines in CASES:
            with self.subTest(body=body, operator=operator):
                got = {after for _, after in lines_after("void f() {\n" + body + "\n}\n", operator)}
                self.assertEqual(got, set(lines))


class RealSources(unittest.TestCase):
    @unittest.skipUnless(shutil.which("clang++"), "no clang++")
    def test_tokens_agree_with_clang(self):
        token = re.compile(r"^(\w+) '(.*)'\t(.*)Loc=<.*:(\d+):(\d+)>$", re.S)
        for rel in SOURCES:
            with self.subTest(file=rel):
                dump = subprocess.run(["clang++", "-cc1", "-std=c++20", "-dump-raw-tokens", rel], cwd=TOP,
                                      check=True, stderr=subprocess.PIPE, stdout=subprocess.PIPE).stderr.decode()
                theirs, directive = [], False
                for entry in re.split(r"\n(?=\w+ ')", dump):
                    m = token.match(entry)
                    if not m or m.group(1) in ("unknown", "comment", "eof"):
                        continue
                    if "StartOfLine" in m.group(3):
                        directive = m.group(1) == "hash"
                    if not directive:
                        theirs.append((int(m.group(4)), int(m.group(5)), m.group(2)))
                with open(os.path.join(TOP, rel), encoding="utf-8") as f:
                    src = f.read()
                starts = [0] + [m.end() for m in re.finditer("\n", src)]

                def place(offset):
                    line = max(k for k, s in enumerate(starts) if s <= offset)
                    return line + 1, offset - starts[line] + 1

                ours = [(*place(t.start), t.text) for t in mutants.tokenize(src)]
                self.assertEqual(ours, theirs)

    def test_faults_keep_their_keys_when_lines_move(self):
        for rel in SOURCES:
            with open(os.path.join(TOP, rel), encoding="utf-8") as f:
                src = f.read()
            with self.subTest(file=rel):
                before = mutants.generate(rel, src)
                after = mutants.generate(rel, "// moved\n\n" + src)
                self.assertEqual([m.key for m in before], [m.key for m in after])
                self.assertEqual([m.line + 2 for m in before], [m.line for m in after])
                for m in before:
                    self.assertNotEqual(m.original, m.replacement)
                    self.assertEqual(m.apply(src)[:m.start], src[:m.start])


if __name__ == "__main__":
    unittest.main()
