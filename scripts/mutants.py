#!/usr/bin/env python3
"""Mutation testing of the port driver against its host suites.

Each mutant is one plausible breakage of one driver source (a comparison
flipped, a constant off by one, a call or a break dropped, a status swapped
for its neighbour, a condition negated, a lock pair dropped, an early return,
two statements swapped). The tool applies them one at a time to a scratch
copy of the tree (build/mutants/<build>/w<n>; the work tree is untouched),
rebuilds only the driver image there, and runs every host suite that loads
the driver, from the host build given (build/host64 by default), against that
image (ZQ_DRIVER_IMAGE). A suite that fails or does not end within its time
limit kills the mutant; a mutant that does not compile is discarded.

    scripts/mutants.py [--build DIR] [-j N] [--survivors | --survivors-of BUILD] [--new]
                       [--killed-by TEST] [--match TEXT] [--op OP] [--list] [FILE...]

Mutants judged equivalent to the driver (no behaviour can tell them apart)
are listed with the reason in scripts/mutants-equivalent.txt, by key, and
left out of the score. The results go to build/mutants/<build>/results.json;
with --survivors only the mutants that survived the last run, and are not
listed as equivalent, are tried again
(--survivors-of host64 --build build/host64-asan: the x86-64 build's
survivors against the sanitizer build); --new adds the mutants the last run
never tried (code changed since); --killed-by TEST those the last run's
killer ("suite: test") names, to check that trimming a test lost no kill.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# build/mutants/<host build's folder name>: the scratch copies and results.
WORK = None
EQUIVALENT = os.path.join(ROOT, "scripts", "mutants-equivalent.txt")
# Test programs of a host build that do not load the port driver.
NOT_DRIVER_SUITES = ("kernel_model_tests", "modem_sim_tests")

# ------------------------------------------------------------------ sources


class Source:
    """A driver source with a mask of what is code (not comment, string,
    character literal or preprocessor line)."""

    def __init__(self, path):
        self.path = path
        with open(os.path.join(ROOT, path)) as f:
            self.text = f.read()
        self.code = self._mask()
        self.funcs = self._functions()

    def _mask(self):
        t, n, i = self.text, len(self.text), 0
        mask = [True] * n
        line_start = True
        while i < n:
            c = t[i]
            if line_start and t[i:].lstrip(" ").startswith("#"):
                j = t.find("\n", i)
                j = n if j < 0 else j
                # A #define's value is code; the rest of the line is not.
                m = re.match(r"[ ]*#define\s+\w+(\([^)]*\))?", t[i:j])
                end = i + m.end() if m else j
                mask[i:end] = [False] * (end - i)
                i = end
                line_start = False
                continue
            line_start = c == "\n"
            if t.startswith("//", i):
                j = t.find("\n", i)
                j = n if j < 0 else j
                mask[i:j] = [False] * (j - i)
                i = j
            elif t.startswith("/*", i):
                j = t.find("*/", i) + 2
                mask[i:j] = [False] * (j - i)
                i = j
            elif c in "\"'":
                j = i + 1
                while t[j] != c:
                    j += 2 if t[j] == "\\" else 1
                mask[i:j + 1] = [False] * (j + 1 - i)
                i = j + 1
            else:
                i += 1
        return mask

    def _functions(self):
        """(name, return type, body start, body end) of each function: its
        body opens with a brace alone at the start of a line."""
        funcs = []
        for m in re.finditer(r"^\{\n", self.text, re.M):
            header = self.text[:m.start()].rstrip()
            head = header[header.rfind("\n\n") + 1:] if "\n\n" in header else header
            head = re.sub(r"^\s*//.*$", "", head, flags=re.M).strip()
            name = re.search(r"(\w+)\s*\([^()]*(\([^()]*\)[^()]*)*\)\s*$", head, re.S)
            rtype = re.match(r"(?:static\s+|inline\s+)*(\w+)", head)
            close = self.text.find("\n}\n", m.end())
            funcs.append((name.group(1) if name else "?", rtype.group(1) if rtype else "?", m.end(), close + 1))
        return funcs

    def function_at(self, pos):
        for name, rtype, start, end in self.funcs:
            if start <= pos < end:
                return name, rtype, start, end
        return None

    def is_code(self, start, end):
        return all(self.code[start:end])

    def line_of(self, pos):
        return self.text.count("\n", 0, pos) + 1

    def statements(self, start, end):
        """Spans (start, end) of the statements of a function body, each
        ending with a semicolon at parenthesis depth 0, and the brace depth
        they sit at."""
        spans, depth, parens, begin = [], 0, 0, None
        i = start
        while i < end:
            c = self.text[i]
            if not self.code[i] or c.isspace():
                i += 1
                continue
            if c == "(":
                parens += 1
            elif c == ")":
                parens -= 1
            elif parens == 0 and c in "{}":
                depth += 1 if c == "{" else -1
                begin = None
                i += 1
                continue
            elif parens == 0 and c == ":" and begin is not None and \
                    re.match(r"(case\b[^?]*|default)$", self.text[begin:i].strip()):
                begin = None
                i += 1
                continue
            if begin is None:
                begin = i
            if c == ";" and parens == 0:
                spans.append((begin, i + 1, depth))
                begin = None
            i += 1
        return spans


# ------------------------------------------------------------------ operators

# Neighbours a slip of the pen would give.
STATUS_SWAPS = {
    "STATUS_SUCCESS": "STATUS_UNSUCCESSFUL",
    "STATUS_UNSUCCESSFUL": "STATUS_SUCCESS",
    "STATUS_CANCELLED": "STATUS_DELETE_PENDING",
    "STATUS_DELETE_PENDING": "STATUS_CANCELLED",
    "STATUS_PENDING": "STATUS_SUCCESS",
    "STATUS_TIMEOUT": "STATUS_SUCCESS",
    "STATUS_INSUFFICIENT_RESOURCES": "STATUS_UNSUCCESSFUL",
    "STATUS_INVALID_PARAMETER": "STATUS_BUFFER_TOO_SMALL",
    "STATUS_BUFFER_TOO_SMALL": "STATUS_INVALID_PARAMETER",
    "STATUS_INVALID_DEVICE_REQUEST": "STATUS_INVALID_PARAMETER",
    "STATUS_DEVICE_BUSY": "STATUS_SUCCESS",
    "STATUS_ACCESS_DENIED": "STATUS_DEVICE_BUSY",
    "STATUS_MORE_PROCESSING_REQUIRED": "STATUS_SUCCESS",
    "STATUS_OBJECT_NAME_NOT_FOUND": "STATUS_SUCCESS",
    "STATUS_OBJECT_NAME_COLLISION": "STATUS_SUCCESS",
    "STATUS_DEVICE_CONFIGURATION_ERROR": "STATUS_SUCCESS",
    "STATUS_NOT_SUPPORTED": "STATUS_SUCCESS",
    "TRUE": "FALSE",
    "FALSE": "TRUE",
}
COMPARISONS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
# Lock acquisitions and the releases that pair with them: (acquire, release).
LOCKS = (
    (r"KeAcquireSpinLock\((&[^,]+), (&\w+)\);", r"KeReleaseSpinLock\({0}, \w+\);"),
    (r"ExAcquireFastMutex\((&[^)]+)\);", r"ExReleaseFastMutex\({0}\);"),
)
# Statements not worth dropping alone: a release without its acquisition, or
# a local list never initialised, stops the first test at once.
NOT_DROPPED = re.compile(r"(KeReleaseSpinLock|ExReleaseFastMutex|Release|InitializeListHead)\((&done|&own|[^)]*irql|&\w+->\w*Mutex)\)?")
LOCK_EDGE = re.compile(r"(KeAcquireSpinLock|KeReleaseSpinLock|ExAcquireFastMutex|ExReleaseFastMutex|Release)\(|"
                       r"KIRQL irql = Acquire\(")
DECLARATION = re.compile(r"(const\s+)?[A-Za-z_]\w*(\s*\*)*\s+\*?[A-Za-z_]\w*\s*(=|;|\[)")


def token_mutants(src):
    """Replacements of one token in code: comparisons, && and ||, literals,
    sizes, status codes and booleans."""
    t = src.text
    patterns = (
        ("cmp", r"(?<= )(<=|>=|==|!=|<|>)(?= )", lambda m: COMPARISONS[m.group(1)]),
        ("logic", r"(?<= )(&&|\|\|)(?= )", lambda m: "||" if m.group(1) == "&&" else "&&"),
        ("status", r"\b(STATUS_\w+|TRUE|FALSE)\b", lambda m: STATUS_SWAPS.get(m.group(1))),
        ("size", r"\bsizeof\((?:[^()]|\([^()]*\))*\)", lambda m: "(" + m.group(0) + " - 1)"),
    )
    for op, pattern, replace in patterns:
        for m in re.finditer(pattern, t):
            repl = replace(m)
            if repl is not None and src.is_code(m.start(), m.end()):
                yield op, m.start(), m.end(), repl
    # Literals one up; named constants one up and one down.
    for m in re.finditer(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)(?![\w.])", t):
        if not src.is_code(m.start(), m.end()):
            continue
        line = t[t.rfind("\n", 0, m.start()) + 1:m.start()]
        named = re.match(r"\s*(#define\s+\w+\s+\(?|static const \w+ \w+ = )$", line)
        value = int(m.group(1), 0)
        for new in (value + 1, value - 1) if named and value > 0 else (value + 1,):
            yield "const", m.start(), m.end(), hex(new) if m.group(1).startswith("0x") else str(new)


def condition_mutants(src):
    """if and while conditions negated."""
    t = src.text
    for m in re.finditer(r"\b(if|while) \(", t):
        if not src.is_code(m.start(), m.end()):
            continue
        open_at = m.end() - 1
        depth, i = 0, open_at
        while True:
            depth += {"(": 1, ")": -1}.get(t[i], 0) if src.code[i] else 0
            if depth == 0:
                break
            i += 1
        yield "negate", open_at, i + 1, "(!" + t[open_at:i + 1] + ")"


def statement_mutants(src):
    """Statements dropped (calls, assignments, breaks, returns from a VOID
    routine), adjacent statements swapped, lock pairs dropped, early returns."""
    t = src.text
    for name, rtype, start, end in src.funcs:
        spans = src.statements(start, end)
        for k, (a, b, depth) in enumerate(spans):
            text = t[a:b]
            if text == "break;" or text == "continue;":
                yield "break", a, b, ""
            elif text == "return;" or not (text.startswith("return") or DECLARATION.match(text) or
                                           NOT_DROPPED.match(text)):
                yield "drop", a, b, ""
            if k + 1 < len(spans):
                a2, b2, depth2 = spans[k + 1]
                between = t[b:a2]
                text2 = t[a2:b2]
                simple = lambda s: not (s.startswith(("return", "break", "continue")) or DECLARATION.match(s))
                # Two plain assignments rarely depend on each other's order.
                # Moving a statement across a lock's edge is a finer cut of
                # the lock operator's fault, except a completion under a lock.
                calls = re.search(r"\w\(", text + text2)
                edge = LOCK_EDGE.match(text) and "Complete" not in text2 or \
                    LOCK_EDGE.match(text2) and "Complete" not in text
                if depth == depth2 and between.strip() == "" and simple(text) and simple(text2) and calls and not edge:
                    yield "swap", a, b2, text2 + between + text
        for acquire, release in LOCKS:
            for m in re.finditer(acquire, t[start:end]):
                a = start + m.start()
                if not src.is_code(a, a + 1):
                    continue
                lock = m.group(1)
                again = re.compile(acquire.replace(r"(&[^,]+)", re.escape(lock)).replace(r"(&[^)]+)", re.escape(lock)))
                stop = again.search(t, start + m.end(), end)
                stop = stop.start() if stop else end
                rel = [r for r in re.finditer(release.format(re.escape(lock)), t[start + m.end():stop])]
                if not rel:
                    continue
                # The acquisition leaves a use of the IRQL variable, so that
                # the mutant still compiles without warnings.
                keep = "(void)(%s);" % m.group(2) if m.lastindex >= 2 else ""
                pieces = [(a, start + m.end(), keep)]
                pieces += [(start + m.end() + r.start(), start + m.end() + r.end(), "") for r in rel]
                yield "lock", pieces
        early = {"VOID": "return;", "NTSTATUS": "return STATUS_SUCCESS;", "BOOLEAN": "return FALSE;"}.get(rtype)
        if early and spans:
            yield "return", start, start, "    " + early + "\n"


def mutants_of(path):
    src = Source(path)
    raw = []
    for op, a, b, repl in token_mutants(src):
        raw.append((op, [(a, b, repl)]))
    if path.endswith(".h"):
        # A header's mutants rebuild every source: only its constants.
        raw = [(op, pieces) for op, pieces in raw if op == "const" and
               src.text[src.text.rfind("\n", 0, pieces[0][0]) + 1:].startswith("#define")]
        src.funcs = []
    for op, a, b, repl in condition_mutants(src):
        raw.append((op, [(a, b, repl)]))
    for item in statement_mutants(src):
        raw.append((item[0], item[1]) if len(item) == 2 else (item[0], [item[1:]]))
    seen = {}
    result = []
    for op, pieces in raw:
        a = pieces[0][0]
        func = src.function_at(a)
        scope = func[0] if func else "<file>"
        text = src.text
        for start, end, repl in sorted(pieces, reverse=True):
            text = text[:start] + repl + text[end:]
        before = " | ".join(src.text[s:e].strip() for s, e, _ in pieces)
        after = " | ".join(r.strip() for _, _, r in pieces)
        ident = "%s:%s:%s:%s->%s" % (path, scope, op, before, after)
        n = seen.get(ident, 0)
        seen[ident] = n + 1
        digest = hashlib.sha1(("%s#%d" % (ident, n)).encode()).hexdigest()[:10]
        key = "%s:%s:%s:%s" % (path, scope, op, digest)
        squeeze = lambda s: re.sub(r"\s+", " ", s).strip()[:100]
        if op in ("cmp", "logic", "status", "size", "const"):
            # The line, with the token and its replacement in brackets.
            (s0, e0, r0), = pieces
            line_start = src.text.rfind("\n", 0, s0) + 1
            line_end = src.text.find("\n", e0)
            desc = squeeze(src.text[line_start:s0] + "[" + src.text[s0:e0] + " => " + r0 + "]" + src.text[e0:line_end])
        else:
            desc = "%s => %s" % (squeeze(before), squeeze(after) or "(dropped)")
        result.append(dict(key=key, file=path, line=src.line_of(a), op=op, desc=desc, text=text, original=src.text))
    return result


# ------------------------------------------------------------------ running


def run(cmd, timeout=None, **kw):
    """Runs cmd in a process group of its own; returns (exit code or None on
    timeout, output)."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True,
                         text=True, errors="replace", **kw)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return None, out


class Worker:
    """A scratch copy of the tree and a build folder in which only the
    driver image is built."""

    def __init__(self, n, build):
        self.dir = os.path.join(WORK, "w%d" % n)
        self.src = os.path.join(self.dir, "src")
        self.bld = os.path.join(self.dir, "build")
        files = subprocess.check_output(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT, text=True).split()
        for f in files:
            a, b = os.path.join(ROOT, f), os.path.join(self.src, f)
            if os.path.isfile(a) and not (os.path.exists(b) and open(a, "rb").read() == open(b, "rb").read()):
                os.makedirs(os.path.dirname(b), exist_ok=True)
                # With a fresh time stamp, so that restoring a file that a
                # stopped run left mutated rebuilds what was built from it.
                shutil.copy(a, b)
        cache = open(os.path.join(build, "CMakeCache.txt")).read()
        setting = lambda name, default: (re.search(r"^%s:\w+=(.*)$" % name, cache, re.M) or [None, default])[1]
        subprocess.check_call(["cmake", "-S", self.src, "-B", self.bld, "-DCMAKE_BUILD_TYPE=Debug",
                               "-DZQ_HOST_ARCH=" + setting("ZQ_HOST_ARCH", "x86_64"),
                               "-DZQ_SANITIZE=" + setting("ZQ_SANITIZE", "OFF")], stdout=subprocess.DEVNULL)
        self.image = os.path.join(self.bld, "driver", "zqevdodiag_host.so")
        code, out = self.build()
        if code != 0:
            sys.exit("the unmutated driver does not build in %s:\n%s" % (self.bld, out))

    def build(self):
        return run(["cmake", "--build", self.bld, "--target", "zqevdodiag_host"])

    def apply(self, path, text):
        with open(os.path.join(self.src, path), "w") as f:
            f.write(text)

    def restore(self, path, text):
        self.apply(path, text)


class Suites:
    """The driver's test programs, tried most recent killer first."""

    def __init__(self, build):
        out = subprocess.check_output(["bash", os.path.join(ROOT, "scripts", "test-programs.sh"), build], text=True)
        self.programs = [p for p in out.split() if not p.endswith(NOT_DRIVER_SUITES)]
        self.limits = {}
        self.lock = threading.Lock()

    def measure(self, image):
        for p in self.programs:
            start = time.time()
            code, out = run([p, "--gtest_brief=1"], env=dict(os.environ, ZQ_DRIVER_IMAGE=image))
            if code != 0:
                sys.exit("%s fails without a mutant:\n%s" % (p, out[-3000:]))
            # Generous: the machine is shared, and a hang counts as a kill.
            self.limits[p] = 20 + 5 * (time.time() - start)

    def kill(self, image):
        """The suite and test that failed, or None when all passed."""
        with self.lock:
            order = list(self.programs)
        for p in order:
            code, out = run([p, "--gtest_brief=1", "--gtest_fail_fast"], timeout=self.limits[p],
                            env=dict(os.environ, ZQ_DRIVER_IMAGE=image))
            if code != 0:
                with self.lock:
                    self.programs.remove(p)
                    self.programs.insert(0, p)
                failed = re.search(r"^\[  FAILED  \] (\S+)", out, re.M)
                what = "hung" if code is None else failed.group(1) if failed else "exit %d" % code
                return "%s: %s" % (os.path.basename(p), what)
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", help="driver sources (default: all of driver/)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "host64"), help="host build with the suites")
    parser.add_argument("-j", "--jobs", type=int, default=int(os.environ.get("JOBS", 2)))
    parser.add_argument("--survivors", action="store_true", help="only the survivors of the last run")
    parser.add_argument("--survivors-of", metavar="BUILD", help="only the survivors of another build's last run")
    parser.add_argument("--new", action="store_true", help="only mutants the last run did not try (with --survivors: and its survivors)")
    parser.add_argument("--killed-by", action="append", metavar="TEST",
                        help="only mutants the last run killed with this test (after trimming it; repeatable)")
    parser.add_argument("--match", help="only mutants whose key or description contains this")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    parser.add_argument("--op", action="append", help="only mutants of this operator (repeatable)")
    args = parser.parse_args()

    global WORK
    build = os.path.abspath(args.build)
    WORK = os.path.join(ROOT, "build", "mutants", os.path.basename(build))
    results_path = os.path.join(WORK, "results.json")
    files = args.files or sorted(subprocess.check_output(["git", "ls-files", "driver/*.cpp", "driver/*.h"],
                                                         cwd=ROOT, text=True).split())
    mutants = [m for f in files for m in mutants_of(os.path.relpath(os.path.abspath(f), ROOT))]
    if args.op:
        mutants = [m for m in mutants if m["op"] in args.op]
    results = json.load(open(results_path)) if os.path.exists(results_path) else {}
    if args.match:
        mutants = [m for m in mutants if args.match in m["key"] or args.match in m["desc"]]
    equivalent = {}
    if os.path.exists(EQUIVALENT):
        for line in open(EQUIVALENT):
            if line.strip() and not line.startswith("#"):
                key, _, why = line.partition(" ")
                equivalent[key] = why.strip()
    if args.killed_by:
        killer = lambda m: results.get(m["key"], {}).get("killer") or ""
        mutants = [m for m in mutants if any(t in killer(m) for t in args.killed_by)]
    if args.survivors or args.survivors_of or args.new:
        path = os.path.join(ROOT, "build", "mutants", args.survivors_of, "results.json") if args.survivors_of \
            else results_path
        last = json.load(open(path)) if os.path.exists(path) else {}
        again = args.survivors or args.survivors_of
        mutants = [m for m in mutants if args.new and m["key"] not in last or again and m["key"] not in equivalent and
                   last.get(m["key"], {}).get("status") == "survived"]
    if args.list:
        for m in mutants:
            print("%s:%d %-7s %s  [%s]" % (m["file"], m["line"], m["op"], m["desc"], m["key"]))
        print("%d mutants" % len(mutants))
        return

    os.makedirs(WORK, exist_ok=True)
    subprocess.check_call(["cmake", "--build", build, "-j%d" % args.jobs], stdout=subprocess.DEVNULL)
    workers = [Worker(n, build) for n in range(max(1, args.jobs))]
    suites = Suites(build)
    suites.measure(workers[0].image)
    print("%d mutants, %d workers; suites: %s" % (len(mutants), len(workers),
                                                  ", ".join(os.path.basename(p) for p in suites.programs)))
    free = list(workers)
    free_lock = threading.Lock()
    started = time.time()
    done = [0]

    def one(m):
        with free_lock:
            w = free.pop()
        try:
            w.apply(m["file"], m["text"])
            code, _ = w.build()
            if code != 0:
                status, killer = "uncompilable", None
            else:
                killer = suites.kill(w.image)
                status = "killed" if killer else "survived"
            w.restore(m["file"], m["original"])
        finally:
            with free_lock:
                free.append(w)
        with free_lock:
            done[0] += 1
            results[m["key"]] = dict(status=status, file=m["file"], line=m["line"], op=m["op"], desc=m["desc"],
                                     killer=killer)
            if status != "killed" or m["key"] in equivalent:
                print("[%d/%d %ds] %s %s:%d %s %s  [%s]" % (done[0], len(mutants), time.time() - started, status,
                                                           m["file"], m["line"], m["op"], m["desc"], m["key"]),
                      flush=True)
            if done[0] % 20 == 0:
                json.dump(results, open(results_path, "w"), indent=1)

    with concurrent.futures.ThreadPoolExecutor(len(workers)) as pool:
        list(pool.map(one, mutants))
    for w in workers:
        w.build()  # back to the unmutated image
    json.dump(results, open(results_path, "w"), indent=1)
    report(mutants, results, equivalent)


def report(mutants, results, equivalent):
    per_file = {}
    for m in mutants:
        r = results[m["key"]]
        row = per_file.setdefault(m["file"], dict(killed=0, survived=0, equivalent=0, uncompilable=0))
        row["equivalent" if m["key"] in equivalent and r["status"] == "survived" else r["status"]] += 1
    print("\n%-40s %7s %7s %9s %5s %6s" % ("file", "killed", "survived", "equivalent", "n/c", "score"))
    total = dict(killed=0, survived=0, equivalent=0, uncompilable=0)
    for f, row in sorted(per_file.items()):
        for k in total:
            total[k] += row[k]
        scored = row["killed"] + row["survived"]
        print("%-40s %7d %7d %9d %5d %5.1f%%" % (f, row["killed"], row["survived"], row["equivalent"],
                                                 row["uncompilable"], 100.0 * row["killed"] / scored if scored else 100))
    scored = total["killed"] + total["survived"]
    print("%-40s %7d %7d %9d %5d %5.1f%%" % ("total", total["killed"], total["survived"], total["equivalent"],
                                             total["uncompilable"], 100.0 * total["killed"] / scored if scored else 100))
    wrong = [m for m in mutants if m["key"] in equivalent and results[m["key"]]["status"] == "killed"]
    for m in wrong:
        print("listed as equivalent but killed: %s (%s)" % (m["key"], results[m["key"]]["killer"]))
    survivors = [m for m in mutants if results[m["key"]]["status"] == "survived" and m["key"] not in equivalent]
    if survivors:
        print("\nsurvivors:")
        for m in survivors:
            print("  %s:%d %s %s  [%s]" % (m["file"], m["line"], m["op"], m["desc"], m["key"]))


if __name__ == "__main__":
    main()
