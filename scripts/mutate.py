#!/usr/bin/env python3
"""Mechanical mutation testing of src/ against the unit tests (brindlecap_tests).

Mutation sites come from simple token rules over src/**/*.cpp and *.hpp: flipped comparisons
(< <=, > >=, == !=), integer literals off by one in comparisons and index/size arithmetic,
negated if/while conditions, && <-> ||, true <-> false. A deterministic sample of them is run
one at a time:

  1. every translation unit of the test binary that includes the mutated file is compiled with
     its compile_commands.json command, and each object is compared with the original's;
     a compile error makes the mutant "not_compiling", identical objects make it "equivalent";
  2. the changed objects are dropped into the build tree (the source keeps its mtime, so ninja
     only re-archives and relinks) and the test binary runs with --gtest_fail_fast;
     a failure, crash or timeout kills the mutant, a pass lets it survive;
  3. the source and the original objects are put back, whatever happened.

Usage:
  scripts/mutate.py --list
  nice -n 19 scripts/mutate.py --count 400 --seed 1 --log /tmp/mutation/run.jsonl
  scripts/mutate.py --resume /tmp/mutation/run.jsonl      # continues an interrupted run
  scripts/mutate.py --summary-only --log /tmp/mutation/run.jsonl
"""
import argparse
import base64
import bisect
import collections
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
TEST_TARGET = "brindlecap_tests"
# One object per source file and no precompiled headers: a mutant recompiles only what includes
# the mutated file, and a mutated header is never read from a stale precompiled copy.
CONFIGURE_ARGS = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g0",
                  "-DBRINDLECAP_BUILD_BENCH=OFF", "-DBRINDLECAP_UNITY_BUILD=OFF",
                  "-DBRINDLECAP_PRECOMPILE_HEADERS=OFF"]

# ---- Lexing ------------------------------------------------------------------------------------

PUNCTUATORS = sorted(
    ["<=>", "<<=", ">>=", "...", "->*", "->", "++", "--", "<<", ">>", "<=", ">=", "==", "!=",
     "&&", "||", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "::", ".*"]
    + list("{}[]()<>;:,.?~!+-*/%^&|=#"), key=len, reverse=True)
PUNCT_RE = re.compile("|".join(re.escape(p) for p in PUNCTUATORS))
NUMBER_RE = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*")
IDENT_RE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
RAW_STRING_RE = re.compile(r'(?:u8|u|U|L)?R"([^ ()\\\t\n]*)\(')
STRING_RE = re.compile(r'(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*"')
CHAR_RE = re.compile(r"(?:u8|u|U|L)?'(?:\\.|[^'\\\n])*'")
DECIMAL_RE = re.compile(r"([1-9][0-9']*|0)([uUlLzZ]*)$")
HEX_RE = re.compile(r"(0[xX])([0-9A-Fa-f']+)([uUlLzZ]*)$")


class Token:
    __slots__ = ("kind", "text", "start", "end")

    def __init__(self, kind, text, start, end):
        self.kind, self.text, self.start, self.end = kind, text, start, end

    def __repr__(self):
        return f"{self.kind}:{self.text}"


def tokenize(src):
    """Tokens of C++ source; comments and preprocessor lines are dropped, literals kept whole."""
    toks = []
    i, n = 0, len(src)
    line_start = True  # only blanks since the last newline
    while i < n:
        c = src[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if src.startswith("//", i):
            j = src.find("\n", i)
            i = n if j < 0 else j
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            i = n if j < 0 else j + 2
            continue
        if c == "#" and line_start:
            # A directive runs to the end of the line, with backslash continuations.
            j = i
            while True:
                k = src.find("\n", j)
                if k < 0:
                    j = n
                    break
                if src[k - 1] == "\\" or src[k - 2:k] == "\\\r":
                    j = k + 1
                    continue
                j = k
                break
            i = j
            continue
        line_start = False
        m = RAW_STRING_RE.match(src, i)
        if m:
            close = ")" + m.group(1) + '"'
            j = src.find(close, m.end())
            j = n if j < 0 else j + len(close)
            toks.append(Token("str", src[i:j], i, j))
            i = j
            continue
        m = STRING_RE.match(src, i) or CHAR_RE.match(src, i)
        if m:
            toks.append(Token("str" if m.group(0).endswith('"') else "chr", m.group(0), i, m.end()))
            i = m.end()
            continue
        m = NUMBER_RE.match(src, i)
        if m:
            toks.append(Token("num", m.group(0), i, m.end()))
            i = m.end()
            continue
        m = IDENT_RE.match(src, i)
        if m:
            toks.append(Token("id", m.group(0), i, m.end()))
            i = m.end()
            continue
        m = PUNCT_RE.match(src, i)
        if m:
            toks.append(Token("op", m.group(0), i, m.end()))
            i = m.end()
            continue
        toks.append(Token("op", c, i, i + 1))  # stray character (`@`, `$`, ...)
        i += 1
    return toks


# ---- Site selection ----------------------------------------------------------------------------

ANGLE_ARG_OK = {"::", ",", "*", "&", "...", "=", "[", "]"}
ANGLE_STOP = {";", "{", "}", "&&", "||", "?", ".", "->", "==", "!=", "<=", ">=", "+", "-", "/", "%",
              "!", "<<", "<=>", "|", "^", "~", "+=", "-=", "++", "--", ":"}
COMPARISONS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
COND_KEYWORDS = {"if", "while", "for", "switch"}
TYPE_PREFIX = {"auto", "const", "volatile", "decltype", "typename"}
STATEMENT_KEYWORDS = {"return", "case", "throw", "co_return", "co_yield", "else", "do"}


def match_angle(toks, i):
    """Index of the `>` closing a template argument list opened at toks[i], or None."""
    depth, parens = 1, 0
    k = i + 1
    while k < len(toks):
        t = toks[k].text
        if toks[k].kind in ("str", "chr"):
            return None
        if parens:
            # Inside parentheses anything but a statement boundary goes (function types, casts).
            if t in ("(", "["):
                parens += 1
            elif t in (")", "]"):
                parens -= 1
            elif t in (";", "{", "}"):
                return None
        elif t in ("(", "["):
            parens += 1
        elif t in (")", "]"):
            return None
        elif t == "<":
            if toks[k - 1].kind != "id":
                return None
            depth += 1
        elif t in (">", ">>"):
            depth -= 1 if t == ">" else 2
            if depth <= 0:
                return k
        elif t in ANGLE_STOP:
            return None
        elif toks[k].kind not in ("id", "num") and t not in ANGLE_ARG_OK:
            return None
        k += 1
    return None


def template_spans(toks):
    """Indices of template angle brackets and the (open, close) pairs."""
    marked, spans = set(), []
    for i, t in enumerate(toks):
        if t.text != "<" or i == 0:
            continue
        prev = toks[i - 1]
        if prev.text == "operator":
            marked.add(i)
            continue
        if prev.kind != "id" and prev.text != "template":
            continue
        j = match_angle(toks, i)
        if j is not None:
            marked.update((i, j))
            spans.append((i, j))
    return marked, spans


def matching(toks, i, open_="(", close=")"):
    depth = 0
    for k in range(i, len(toks)):
        if toks[k].text == open_:
            depth += 1
        elif toks[k].text == close:
            depth -= 1
            if depth == 0:
                return k
    return None


def integer_variants(text):
    """Off-by-one replacements of an integer literal (never negative)."""
    m = DECIMAL_RE.match(text)
    if m:
        value = int(m.group(1).replace("'", ""))
        suffix = m.group(2)
        out = [("int_plus1", f"{value + 1}{suffix}")]
        if value > 0:
            out.append(("int_minus1", f"{value - 1}{suffix}"))
        return out
    m = HEX_RE.match(text)
    if m:
        digits = m.group(2).replace("'", "")
        value = int(digits, 16)
        fmt = "X" if digits.upper() == digits else "x"
        out = [("int_plus1", f"{m.group(1)}{value + 1:{fmt}}{m.group(3)}")]
        if value > 0:
            out.append(("int_minus1", f"{m.group(1)}{value - 1:{fmt}}{m.group(3)}"))
        return out
    return []  # floats, octal, binary, user-defined literals


def find_sites(src):
    """Candidate mutants of one file: dicts with start, end, operator, original, mutated."""
    toks = tokenize(src)
    marked, spans = template_spans(toks)
    in_template = [0] * (len(toks) + 1)
    for a, b in spans:
        in_template[a + 1] += 1
        in_template[b] -= 1
    depth = 0
    for k in range(len(toks)):
        depth += in_template[k]
        in_template[k] = depth > 0

    # Per token: the innermost enclosing `(` and where its statement starts.
    paren_of = [None] * len(toks)
    stmt_start = [0] * len(toks)
    stack, starts = [], [0]
    for k, t in enumerate(toks):
        paren_of[k] = stack[-1] if stack else None
        stmt_start[k] = starts[-1]
        if t.text == "(":
            stack.append(k)
            starts.append(starts[-1])
        elif t.text == ")" and stack:
            opener = stack.pop()
            starts.pop()
            if opener > 0 and toks[opener - 1].text in COND_KEYWORDS:
                starts[-1] = k + 1  # the body of `if (...)` is a statement of its own
        elif t.text in (";", "{", "}", "else", "do"):
            starts[-1] = k + 1

    def prev_text(k):
        return toks[k - 1].text if k > 0 else ""

    def is_comparison(k):
        return toks[k].kind == "op" and toks[k].text in COMPARISONS and k not in marked \
            and prev_text(k) != "operator"

    def operand_end(t):
        return (t.kind in ("id", "num", "str", "chr") and t.text not in STATEMENT_KEYWORDS) \
            or t.text in (")", "]")

    def paren_kind(p):
        before = toks[p - 1] if p > 0 else None
        if before is None:
            return "call"
        if before.text in COND_KEYWORDS:
            return "cond"
        if before.text == "]" or (before.text == ">" and (p - 1) in marked):
            return "params"
        return "call"

    def in_expression(k):
        """True when toks[k] sits where only an expression can (condition, return, initializer)."""
        p = paren_of[k]
        while p is not None:
            kind = paren_kind(p)
            if kind == "cond":
                return True
            if kind == "params":
                return False
            p = paren_of[p]
        s = stmt_start[k]
        if toks[s].text == "return":
            return True
        for j in range(s, k):
            if toks[j].text in ("=", "?") and prev_text(j) != "operator":
                return True
        return False

    sites = []

    def add(tok_or_span, op, mutated):
        start, end = tok_or_span
        sites.append({"start": start, "end": end, "operator": op,
                      "original": src[start:end], "mutated": mutated})

    for k, t in enumerate(toks):
        if t.kind == "op":
            if is_comparison(k) and not in_template[k]:
                op = "equality" if t.text in ("==", "!=") else "relational"
                add((t.start, t.end), op, COMPARISONS[t.text])
            elif t.text == "||" and not in_template[k]:
                add((t.start, t.end), "or_and", "&&")
            elif t.text == "&&" and not in_template[k] and k + 1 < len(toks):
                nxt, prv = toks[k + 1], toks[k - 1]
                if prv.text in TYPE_PREFIX or (k - 1) in marked:
                    continue
                if nxt.text in (")", ",", "...", ">", "=", ";", "[", "{"):
                    continue
                if (prv.text in (")", "]") or prv.kind in ("num", "str", "chr")
                        or prv.text in ("true", "false", "nullptr")
                        or nxt.text in ("!", "(") or nxt.kind in ("num", "str", "chr")
                        or in_expression(k)):
                    add((t.start, t.end), "and_or", "||")
        elif t.kind == "id":
            if t.text in ("true", "false") and not in_template[k]:
                add((t.start, t.end), "bool_swap", "false" if t.text == "true" else "true")
            elif t.text in ("if", "while") and k + 1 < len(toks) and toks[k + 1].text == "(":
                close = matching(toks, k + 1)
                if close is None or close == k + 2:
                    continue
                first = k + 2
                depth = 0
                declares = False
                for j in range(k + 2, close):
                    x = toks[j].text
                    if x in ("(", "[", "{"):
                        depth += 1
                    elif x in (")", "]", "}"):
                        depth -= 1
                    elif depth == 0 and x == ";":
                        first = j + 1
                        declares = False
                    elif depth == 0 and x == "=":
                        declares = True
                if declares or first >= close:
                    continue
                a, b = toks[first].start, toks[close - 1].end
                add((a, b), "negate_" + t.text, "!(" + src[a:b] + ")")
        elif t.kind == "num" and k > 0 and k + 1 < len(toks) and not in_template[k]:
            variants = integer_variants(t.text)
            if not variants:
                continue
            prv, nxt = toks[k - 1], toks[k + 1]
            binary_prev = prv.text in ("+", "-") and k >= 2 and operand_end(toks[k - 2])
            context = (is_comparison(k - 1) or is_comparison(k + 1)
                       or prv.text == "[" or nxt.text == "]"
                       or binary_prev or nxt.text in ("+", "-"))
            if context:
                for op, mutated in variants:
                    add((t.start, t.end), op, mutated)
    return sites


def line_col(line_starts, offset):
    line = bisect.bisect_right(line_starts, offset)
    return line, offset - line_starts[line - 1] + 1


def source_files():
    out = []
    for dirpath, dirnames, filenames in os.walk(os.path.join(ROOT, "src")):
        dirnames.sort()
        for f in sorted(filenames):
            if f.endswith((".cpp", ".hpp")):
                out.append(os.path.relpath(os.path.join(dirpath, f), ROOT))
    return sorted(out)


def enumerate_mutants(files):
    mutants = []
    for rel in files:
        with open(os.path.join(ROOT, rel), encoding="utf-8") as fh:
            src = fh.read()
        line_starts = [0] + [m.end() for m in re.finditer("\n", src)]
        for s in find_sites(src):
            line, col = line_col(line_starts, s["start"])
            s.update(file=rel, line=line, column=col)
            s["key"] = f"{rel}:{s['start']}:{s['operator']}:{s['mutated']}"
            mutants.append(s)
    return mutants


def sample(mutants, count, seed):
    """Deterministic sample spread over files: one per file first, the rest in proportion."""
    by_file = collections.defaultdict(list)
    for m in mutants:
        by_file[m["file"]].append(m)
    rng = random.Random(seed)
    files = sorted(by_file)
    for f in files:
        by_file[f].sort(key=lambda m: (m["start"], m["operator"], m["mutated"]))
        rng.shuffle(by_file[f])
    total = sum(len(v) for v in by_file.values())
    if count >= total:
        quota = {f: len(by_file[f]) for f in files}
    else:
        quota = {f: 0 for f in files}
        if count >= len(files):
            quota = {f: 1 for f in files}
        left = count - sum(quota.values())
        rest = {f: len(by_file[f]) - quota[f] for f in files}
        rest_total = sum(rest.values())
        shares = {f: left * rest[f] / rest_total for f in files} if rest_total else {}
        for f in files:
            quota[f] += int(shares.get(f, 0))
        left = count - sum(quota.values())
        for f in sorted(files, key=lambda f: (-(shares.get(f, 0) % 1), f))[:left]:
            quota[f] += 1
    picked = {f: by_file[f][:quota[f]] for f in files}
    # Round-robin over files so that a partial run is spread too.
    order = []
    for r in range(max(quota.values(), default=0)):
        for f in files:
            if r < len(picked[f]):
                order.append(picked[f][r])
    return order


# ---- Building ----------------------------------------------------------------------------------

def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


class Build:
    def __init__(self, build_dir, jobs):
        self.dir = build_dir
        self.jobs = jobs
        self.binary = os.path.join(build_dir, "tests", TEST_TARGET)

    def configure_and_build(self):
        if not os.path.exists(os.path.join(self.dir, "build.ninja")):
            r = run(["cmake", "-S", ROOT, "-B", self.dir] + CONFIGURE_ARGS)
            if r.returncode:
                sys.exit("configure failed:\n" + r.stdout[-4000:])
        self.ninja()

    def ninja(self):
        r = run(["ninja", "-C", self.dir, f"-j{self.jobs}", TEST_TARGET])
        if r.returncode:
            raise RuntimeError("ninja failed:\n" + r.stdout[-4000:])
        return r.stdout

    def load_units(self):
        """Translation units of the test binary and the src/ files each one reads."""
        with open(os.path.join(self.dir, "compile_commands.json"), encoding="utf-8") as fh:
            entries = json.load(fh)
        inputs = run(["ninja", "-C", self.dir, "-t", "inputs", f"tests/{TEST_TARGET}"]).stdout.split()
        wanted = {os.path.normpath(os.path.join(self.dir, p)) for p in inputs if p.endswith(".o")}
        self.units = {}
        for e in entries:
            args = shlex.split(e["command"])
            obj = os.path.normpath(os.path.join(e["directory"], args[args.index("-o") + 1]))
            if obj in wanted:
                self.units[obj] = {"dir": e["directory"], "args": args, "source": e["file"]}
        deps = run(["ninja", "-C", self.dir, "-t", "deps"]).stdout
        self.dependents = collections.defaultdict(list)
        src_root = os.path.join(ROOT, "src") + os.sep
        obj = None
        for line in deps.splitlines():
            if line and not line.startswith(" "):
                obj = os.path.normpath(os.path.join(self.dir, line.split(":")[0]))
            elif line.strip() and obj in self.units:
                # ccache with a base_dir records paths relative to the build directory.
                dep = os.path.normpath(os.path.join(self.dir, line.strip()))
                if dep.startswith(src_root):
                    self.dependents[os.path.relpath(dep, ROOT)].append(obj)
        seen = {o for objs in self.dependents.values() for o in objs}
        missing = [o for o in self.units if o not in seen and self.units[o]["source"].startswith(src_root)]
        if missing:
            raise RuntimeError(f"no deps recorded for {sorted(missing)[:3]}; rebuild {self.dir}")
        # Own source first: a compile error shows up soonest there.
        for rel, objs in self.dependents.items():
            objs.sort(key=lambda o: (os.path.normpath(self.units[o]["source"]) != os.path.join(ROOT, rel), o))

    def deps_mtimes(self, objs):
        out = run(["ninja", "-C", self.dir, "-t", "deps"] + [os.path.relpath(o, self.dir) for o in objs]).stdout
        found = {}
        for m in re.finditer(r"^(\S+): #deps \d+, deps mtime (\d+) \((\w+)\)", out, re.M):
            obj = os.path.normpath(os.path.join(self.dir, m.group(1)))
            if m.group(3) != "VALID":
                raise RuntimeError(f"ninja's deps for {obj} are {m.group(3)}; rebuild {self.dir}")
            found[obj] = int(m.group(2))
        if set(objs) - set(found):
            raise RuntimeError(f"ninja has no deps for {sorted(set(objs) - set(found))[0]}; rebuild {self.dir}")
        return found

    def consumers(self, obj):
        """Files built from the object (its archive or the test binary), found once per unit."""
        u = self.units[obj]
        if "consumers" not in u:
            q = run(["ninja", "-C", self.dir, "-t", "query", os.path.relpath(obj, self.dir)]).stdout
            outs = q.split("outputs:", 1)[1].split() if "outputs:" in q else []
            u["consumers"] = [os.path.normpath(os.path.join(self.dir, o)) for o in outs]
        return u["consumers"]

    def replace_object(self, obj, src, mtime_ns):
        put_object(src, obj, mtime_ns)
        # The binary goes too: after a failed ninja run, its presence then means the link worked.
        for c in self.consumers(obj) + [self.binary]:
            if os.path.exists(c):
                os.remove(c)

    def compile(self, obj, out):
        u = self.units[obj]
        args = list(u["args"])
        args[args.index("-o") + 1] = out
        return run(args, cwd=u["dir"])

    def original_object(self, obj):
        """The unit's object compiled from the pristine tree (cached across runs of one HEAD)."""
        path = os.path.join(self.cache, hashlib.sha1(obj.encode()).hexdigest()[:16] + ".o")
        if not os.path.exists(path):
            r = self.compile(obj, path + ".tmp")
            if r.returncode:
                raise RuntimeError(f"the pristine tree does not compile ({obj}):\n{r.stdout[-4000:]}")
            os.replace(path + ".tmp", path)
        return path


def put_object(src, dst, mtime_ns):
    """Copies an object into the build tree.

    It gets the mtime ninja's deps log holds for it: newer, and ninja would drop the recorded
    deps and compile the unit again. What consumes it (archive, test binary) is removed instead,
    so that the next ninja run re-archives and relinks.
    """
    tmp = dst + ".mutate-tmp"
    shutil.copyfile(src, tmp)
    os.utime(tmp, ns=(mtime_ns, mtime_ns))
    os.replace(tmp, dst)


def same_file(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def file_digest(path):
    with open(path, "rb") as fh:
        return hashlib.sha1(fh.read()).hexdigest()


def git_clean(paths):
    return subprocess.run(["git", "-C", ROOT, "diff", "--quiet", "--"] + paths).returncode == 0


# ---- Running one mutant ------------------------------------------------------------------------

class Deferred:
    """Turns SIGINT/SIGTERM into KeyboardInterrupt, held back while files are being put back."""

    def __init__(self):
        self.holding = False
        self.pending = False
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, self.handler)

    def handler(self, signum, frame):
        if self.holding:
            self.pending = True
        else:
            raise KeyboardInterrupt

    def __enter__(self):
        self.holding = True

    def __exit__(self, *exc):
        self.holding = False
        if self.pending and exc[0] is None:
            self.pending = False
            raise KeyboardInterrupt


def run_tests(build, timeout, run_dir):
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    out_path = os.path.join(run_dir, "..", "test_output.txt")
    with open(out_path, "w") as out:
        p = subprocess.Popen([build.binary, "--gtest_fail_fast", "--gtest_brief=1"], cwd=run_dir,
                             stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            return None, "timeout"
        except BaseException:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            raise
    with open(out_path, errors="replace") as fh:
        text = fh.read()
    failed = re.findall(r"^\[  FAILED  \] (\S+)", text, re.M)
    if rc == 0:
        return rc, ""
    if rc < 0:
        return rc, f"signal {-rc}" + (f" in {failed[0]}" if failed else "")
    return rc, failed[0] if failed else f"exit {rc}"


def mutated_line(text, m):
    new = text[:m["start"]] + m["mutated"] + text[m["end"]:]
    a = new.rfind("\n", 0, m["start"]) + 1
    b = new.find("\n", m["start"])
    return new[a:b if b >= 0 else len(new)].strip()


def run_mutant(m, build, timeout, args, guard, state_path):
    path = os.path.join(ROOT, m["file"])
    with open(path, "rb") as fh:
        original = fh.read()
    text = original.decode("utf-8")
    if text[m["start"]:m["end"]] != m["original"]:
        raise RuntimeError(f"{m['file']} changed since the sites were listed")
    st = os.stat(path)
    objs = build.dependents[m["file"]]
    originals = {o: build.original_object(o) for o in objs}
    mtimes = build.deps_mtimes(objs)
    touched = []
    t0 = time.monotonic()
    record = {k: m[k] for k in ("file", "line", "column", "operator", "original", "mutated")}
    record["mutated_line"] = mutated_line(text, m)
    with open(state_path, "w") as fh:
        json.dump({"file": m["file"], "content": base64.b64encode(original).decode(),
                   "atime_ns": st.st_atime_ns, "mtime_ns": st.st_mtime_ns, "objects": objs}, fh)
    try:
        with open(path, "wb") as fh:
            fh.write((text[:m["start"]] + m["mutated"] + text[m["end"]:]).encode("utf-8"))
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        changed, outcome, detail = [], None, ""
        for i, o in enumerate(objs):
            out = os.path.join(args.work_dir, f"mutant{i}.o")
            r = build.compile(o, out)
            if r.returncode:
                err = next((ln for ln in r.stdout.splitlines() if "error" in ln), r.stdout[:200])
                outcome, detail = "not_compiling", err.strip()[:300]
                break
            if not same_file(out, originals[o]):
                changed.append((o, out))
        if outcome is None and not changed:
            outcome, detail = "equivalent", f"{len(objs)} identical object(s)"
        if outcome is None:
            for o, out in changed:
                touched.append(o)
                build.replace_object(o, out, mtimes[o])
            try:
                log = build.ninja()
            except RuntimeError as e:
                # The link step also lists the tests (gtest_discover_tests): a mutant that hangs
                # or crashes there leaves a linked binary behind, and the test run judges it.
                if not os.path.exists(build.binary):
                    outcome, detail = "not_compiling", "link: " + str(e).splitlines()[-1][:300]
                else:
                    record["warning"] = "listing the tests after the link failed"
            else:
                # Only archiving and linking are expected here; say so when that was not the case.
                if "Building CXX" in log:
                    record["warning"] = "ninja recompiled: " + " ".join(re.findall(r"Building CXX object (\S+)", log))
                if file_digest(build.binary) == build.clean_digest:
                    record["warning"] = "test binary unchanged"
        if outcome is None:
            rc, why = run_tests(build, timeout, os.path.join(args.work_dir, "run"))
            outcome, detail = ("survived", "") if rc == 0 else ("killed", why)
        record["objects_changed"] = len(changed)
    finally:
        with guard:
            with open(path, "wb") as fh:
                fh.write(original)
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
            for o in objs:
                try:
                    if o in touched or not same_file(o, originals[o]):
                        build.replace_object(o, originals[o], mtimes[o])
                except OSError:
                    os.remove(o)  # ninja compiles it again
            os.remove(state_path)
            for i in range(len(objs)):
                out = os.path.join(args.work_dir, f"mutant{i}.o")
                if os.path.exists(out):
                    os.remove(out)
    if not git_clean([m["file"]]):
        raise RuntimeError(f"{m['file']} is not back to HEAD after a mutant")
    record.update(outcome=outcome, detail=detail, seconds=round(time.monotonic() - t0, 2))
    return record


def recover(state_path):
    """Puts back a file left mutated by a killed run; its objects are removed so ninja rebuilds them."""
    if not os.path.exists(state_path):
        return
    with open(state_path) as fh:
        st = json.load(fh)
    path = os.path.join(ROOT, st["file"])
    with open(path, "wb") as fh:
        fh.write(base64.b64decode(st["content"]))
    os.utime(path, ns=(st["atime_ns"], st["mtime_ns"]))
    for o in st["objects"]:
        if os.path.exists(o):
            os.remove(o)
    os.remove(state_path)
    print(f"restored {st['file']} left over from an interrupted run", flush=True)


# ---- Reporting ---------------------------------------------------------------------------------

def read_log(path):
    records = []
    if os.path.exists(path):
        with open(path, encoding="utf-8") as fh:
            for line in fh:
                line = line.strip()
                if line:
                    try:
                        records.append(json.loads(line))
                    except json.JSONDecodeError:
                        pass  # a line cut short by a kill
    return records


def pct(a, b):
    return f"{100.0 * a / b:5.1f}%" if b else "    -"


def summary(records, header):
    out = [header, ""]
    c = collections.Counter(r["outcome"] for r in records)
    killed, survived, equiv, broken = c["killed"], c["survived"], c["equivalent"], c["not_compiling"]
    compiled = killed + survived + equiv
    timeouts = sum(1 for r in records if r["outcome"] == "killed" and r["detail"] == "timeout")
    secs = [r["seconds"] for r in records]
    out += [
        f"mutants            {len(records)}",
        f"not compiling      {broken}",
        f"compiled           {compiled}",
        f"  killed           {killed}  ({timeouts} by timeout)",
        f"  survived         {survived}",
        f"  equivalent       {equiv}  (objects byte-identical to the original's)",
        f"kill rate          {killed}/{compiled} = {pct(killed, compiled).strip()}",
        f"of behaviour-changing mutants  {killed}/{killed + survived} = "
        f"{pct(killed, killed + survived).strip()}",
    ]
    if secs:
        out.append(f"seconds per mutant mean {statistics.mean(secs):.1f}, median "
                   f"{statistics.median(secs):.1f}, max {max(secs):.1f}, total {sum(secs) / 3600:.2f} h")
    for title, key in (("file", "file"), ("operator", "operator")):
        groups = collections.defaultdict(collections.Counter)
        for r in records:
            groups[r[key]][r["outcome"]] += 1
        width = max([len(title)] + [len(g) for g in groups])
        out += ["", f"{title:<{width}}  total  no-compile  equiv  killed  survived  kill rate  of changing"]
        for g in sorted(groups):
            x = groups[g]
            comp = x["killed"] + x["survived"] + x["equivalent"]
            out.append(f"{g:<{width}}  {sum(x.values()):5}  {x['not_compiling']:10}  {x['equivalent']:5}  "
                       f"{x['killed']:6}  {x['survived']:8}  {pct(x['killed'], comp):>9}  "
                       f"{pct(x['killed'], x['killed'] + x['survived']):>11}")
    surv = sorted((r for r in records if r["outcome"] == "survived"), key=lambda r: (r["file"], r["line"], r["column"]))
    out += ["", f"survivors ({len(surv)})"]
    last = None
    for r in surv:
        if r["file"] != last:
            out.append(f"  {r['file']}")
            last = r["file"]
        out.append(f"    {r['line']}:{r['column']}  {r['operator']:<12} {r['original']!s:.40} -> "
                   f"{r['mutated']!s:.44}   | {r['mutated_line']}")
    eq = sorted((r for r in records if r["outcome"] == "equivalent"), key=lambda r: (r["file"], r["line"]))
    out += ["", f"equivalent ({len(eq)})"]
    for r in eq:
        out.append(f"  {r['file']}:{r['line']}  {r['operator']:<12} | {r['mutated_line']}")
    return "\n".join(out) + "\n"


# ---- Main --------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--count", type=int, default=400)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, help="seconds per test run (default 4x the clean run, >= 60)")
    ap.add_argument("--log", help="JSON lines output (default /tmp/mutation/mutants.jsonl)")
    ap.add_argument("--resume", metavar="LOG", help="continue the run logged in LOG")
    ap.add_argument("--summary", help="also write the summary to this file")
    ap.add_argument("--summary-only", action="store_true", help="summarise --log and stop")
    ap.add_argument("--list", action="store_true", help="print candidate counts and stop")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build", "mutation"))
    ap.add_argument("--work-dir", default="/tmp/mutation/work")
    ap.add_argument("-j", "--jobs", type=int, default=1, help="ninja jobs for relinking")
    args = ap.parse_args()
    log_path = args.resume or args.log or "/tmp/mutation/mutants.jsonl"

    if args.summary_only:
        text = summary(read_log(log_path), f"log {log_path}")
        sys.stdout.write(text)
        if args.summary:
            with open(args.summary, "w") as fh:
                fh.write(text)
        return 0

    build = Build(os.path.abspath(args.build_dir), args.jobs)
    files = source_files()
    have_deps = os.path.exists(os.path.join(build.dir, ".ninja_deps"))
    if args.list:
        mutants = enumerate_mutants(files)
        if have_deps:
            build.load_units()
        by_file = collections.Counter(m["file"] for m in mutants)
        by_op = collections.Counter(m["operator"] for m in mutants)
        picked = collections.Counter(m["file"] for m in sample(
            [m for m in mutants if not have_deps or build.dependents.get(m["file"])], args.count, args.seed))
        for f in files:
            note = "" if not have_deps or build.dependents.get(f) else "  (not in the test binary)"
            units = f"{len(build.dependents.get(f, [])):4} units" if have_deps else ""
            print(f"{by_file[f]:5} {picked[f]:4} sampled {units}  {f}{note}")
        print()
        for op, n in sorted(by_op.items()):
            print(f"{n:5}  {op}")
        print(f"{len(mutants):5}  candidates in {len(by_file)} files")
        return 0

    os.makedirs(args.work_dir, exist_ok=True)
    os.makedirs(os.path.dirname(os.path.abspath(log_path)), exist_ok=True)
    state_path = os.path.join(args.work_dir, "pending.json")
    guard = Deferred()
    recover(state_path)
    if not git_clean(["src"]):
        sys.exit("src/ has local changes; commit or stash them first")
    head = run(["git", "-C", ROOT, "rev-parse", "HEAD"]).stdout.strip()

    print("building", build.dir, flush=True)
    build.configure_and_build()
    build.load_units()
    # Original objects are reused across runs of the same tree (HEAD plus local changes).
    tree = hashlib.sha1((head + run(["git", "-C", ROOT, "status", "--porcelain"]).stdout
                         + run(["git", "-C", ROOT, "diff", "HEAD"]).stdout).encode()).hexdigest()
    build.cache = os.path.join(args.work_dir, "objects-" + tree[:12])
    os.makedirs(build.cache, exist_ok=True)

    build.clean_digest = file_digest(build.binary)
    t0 = time.monotonic()
    rc, why = run_tests(build, 1800, os.path.join(args.work_dir, "run"))
    clean = time.monotonic() - t0
    if rc != 0:
        sys.exit(f"the tests fail without any mutant ({why})")
    timeout = args.timeout or max(60.0, 4 * clean)

    mutants = [m for m in enumerate_mutants(files) if build.dependents.get(m["file"])]
    chosen = sample(mutants, args.count, args.seed)
    done = {r["key"] for r in read_log(log_path) if "key" in r} if args.resume else set()
    if not args.resume and os.path.exists(log_path):
        os.remove(log_path)
    todo = [m for m in chosen if m["key"] not in done]
    print(f"HEAD {head[:12]}: {len(mutants)} candidates, {len(chosen)} sampled (seed {args.seed}), "
          f"{len(chosen) - len(todo)} already logged; clean tests {clean:.1f} s, timeout {timeout:.0f} s",
          flush=True)

    interrupted = False
    try:
        for n, m in enumerate(todo, 1):
            rec = run_mutant(m, build, timeout, args, guard, state_path)
            rec.update(key=m["key"], head=head, seed=args.seed)
            with open(log_path, "a", encoding="utf-8") as fh:
                fh.write(json.dumps(rec) + "\n")
            print(f"[{len(chosen) - len(todo) + n}/{len(chosen)}] {rec['outcome']:<13} {rec['seconds']:6.1f}s "
                  f"{m['file']}:{m['line']}:{m['column']} {m['operator']} {rec['detail'][:80]}", flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print("interrupted; rerun with --resume " + log_path, flush=True)
    finally:
        recover(state_path)
        clean_tree = git_clean(["src"])
        print("src/ clean" if clean_tree else "WARNING: src/ differs from HEAD", flush=True)
    try:
        build.ninja()  # relink the unmutated binary
    except RuntimeError as e:
        print(e, flush=True)

    chosen_keys = {m["key"] for m in chosen}
    records = [r for r in read_log(log_path) if r.get("key") in chosen_keys]
    text = summary(records, f"HEAD {head}, {len(mutants)} candidates in {len(set(m['file'] for m in mutants))} "
                            f"files, sample of {len(chosen)} (seed {args.seed}), {len(records)} run; "
                            f"clean tests {clean:.1f} s, timeout {timeout:.0f} s"
                            + (" (INTERRUPTED)" if interrupted else ""))
    sys.stdout.write(text)
    if args.summary:
        with open(args.summary, "w") as fh:
            fh.write(text)
    return 1 if interrupted or not clean_tree else 0


if __name__ == "__main__":
    sys.exit(main())
