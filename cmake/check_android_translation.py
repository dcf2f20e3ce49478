#!/usr/bin/env python3
"""Run as a test: the platform's own tools read the device build files alike.
- bpfmt (package blueprint-tools) parses Android.bp and finds it in its canonical format;
- androidmk (package soong) translates Android.mk into blueprint modules, which must match
  Android.bp's: the same modules and types, sources, include dirs, flags, libraries and
  multilib. The only translation error allowed is the API-level guard around the modules.
Usage: check_android_translation.py SOURCE_DIR"""
import re
import subprocess
import sys

# The guard that keeps Android.mk's modules out of Soong trees (ifneq on PLATFORM_SDK_VERSION):
# Soong has no conditionals, so androidmk reports it and translates what is inside.
REPORT = re.compile(r"// ANDROIDMK TRANSLATION ERROR: ([^\n]*)\n// ([^\n]*)")
GUARD_REPORTS = [("unsupported conditional", re.compile(r"ifneq \(\$\(filter [0-9 ]+,\$\(PLATFORM_SDK_VERSION\)\),\)")),
                 ("endif from unsupported conditional", re.compile(r"endif"))]
# Properties compared between the two files (Android.bp's own extras, such as stl, rtti and
# strip, have no Android.mk counterpart in these modules).
COMPARED = ("srcs", "local_include_dirs", "cflags", "cppflags", "shared_libs", "static_libs", "whole_static_libs",
            "compile_multilib")

TOKEN = re.compile(r'\s+|//[^\n]*|/\*.*?\*/|"(?:[^"\\]|\\.)*"|[A-Za-z_][A-Za-z0-9_]*|-?[0-9]+|[{}\[\]:,=+()]', re.S)


def tokens(text):
    out, pos = [], 0
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m:
            raise ValueError("cannot read blueprint text at: " + text[pos:pos + 40])
        t = m.group(0)
        pos = m.end()
        if not t.isspace() and not t.startswith("//") and not t.startswith("/*"):
            out.append(t)
    return out


class Blueprint:
    """The subset of the blueprint language these files use: variables, modules, lists, maps."""

    def __init__(self, text):
        self.toks, self.i, self.vars, self.modules = tokens(text), 0, {}, []
        while self.i < len(self.toks):
            name = self.next()
            if self.peek() == "=":
                self.next()
                self.vars[name] = self.value()
            elif self.peek() == "+":  # name += value
                self.next(), self.expect("=")
                self.vars[name] = self.vars[name] + self.value()
            else:
                self.modules.append((name, self.map_value()))

    def peek(self):
        return self.toks[self.i] if self.i < len(self.toks) else None

    def next(self):
        self.i += 1
        return self.toks[self.i - 1]

    def expect(self, t):
        if self.next() != t:
            raise ValueError("expected " + t)

    def value(self):
        v = self.single()
        while self.peek() == "+":
            self.next()
            v = v + self.single()
        return v

    def single(self):
        t = self.peek()
        if t == "[":
            self.next()
            items = []
            while self.peek() != "]":
                items.append(self.value())
                if self.peek() == ",":
                    self.next()
            self.next()
            return items
        if t == "{":
            return self.map_value()
        self.next()
        if t.startswith('"'):
            return t[1:-1]
        if t in ("true", "false"):
            return t == "true"
        if re.fullmatch(r"-?[0-9]+", t):
            return int(t)
        return self.vars[t]

    def map_value(self):
        self.expect("{")
        props = {}
        while self.peek() != "}":
            key = self.next()
            self.expect(":")
            props[key] = self.value()
            if self.peek() == ",":
                self.next()
        self.next()
        return props


def modules(bp):
    """name -> (type, properties), with cc_defaults merged in and cpp_std read as a flag."""
    defaults = {p["name"]: p for t, p in bp.modules if t == "cc_defaults"}
    out = {}
    for kind, props in bp.modules:
        if kind == "cc_defaults":
            continue
        merged = {}
        for d in props.get("defaults", []):
            for k, v in defaults[d].items():
                merged[k] = merged.get(k, []) + v if isinstance(v, list) else v
        for k, v in props.items():
            merged[k] = merged.get(k, []) + v if isinstance(v, list) and k in merged else v
        if "cpp_std" in merged:
            merged["cppflags"] = ["-std=" + merged.pop("cpp_std")] + merged.get("cppflags", [])
        out[props["name"]] = (kind, {k: merged.get(k) for k in COMPARED})
    return out


PACKAGES = {"bpfmt": "blueprint-tools", "androidmk": "soong"}


def run(cmd, cwd):
    try:
        return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    except FileNotFoundError:
        sys.exit("%s not found: install the Debian package %s (scripts/install-deps.sh)" % (cmd[0], PACKAGES[cmd[0]]))


def main(src):
    errors = []
    fmt = run(["bpfmt", "-d", "Android.bp"], src)
    if fmt.returncode != 0 or fmt.stdout or fmt.stderr:
        errors.append("bpfmt cannot read Android.bp, or formats it otherwise (bpfmt -w Android.bp):\n"
                      + fmt.stdout + fmt.stderr)
    tr = run(["androidmk", "Android.mk"], src)
    if tr.returncode != 0:
        errors.append("androidmk cannot translate Android.mk:\n" + tr.stderr)
        return errors
    text = tr.stdout
    reports = REPORT.findall(text)
    if len(reports) != len(GUARD_REPORTS) or text.count("ANDROIDMK TRANSLATION ERROR") != len(reports) or not all(
            what == want and line.fullmatch(code) for (what, code), (want, line) in zip(reports, GUARD_REPORTS)):
        errors.append("androidmk reports translation errors beyond the API-level guard:\n" +
                      "\n".join("%s: %s" % r for r in reports))
    try:
        mk = modules(Blueprint(text))
        bp = modules(Blueprint(open(src + "/Android.bp").read()))
    except (ValueError, KeyError, IndexError) as e:
        errors.append("cannot read the blueprint modules: %r" % e)
        return errors
    for name in sorted(set(mk) | set(bp)):
        if name not in bp:
            errors.append("module %s is in Android.mk but not in Android.bp" % name)
        elif name not in mk:
            errors.append("module %s is in Android.bp but not in Android.mk" % name)
        elif mk[name][0] != bp[name][0]:
            errors.append("module %s: %s from Android.mk, %s in Android.bp" % (name, mk[name][0], bp[name][0]))
        else:
            for prop in COMPARED:
                a, b = mk[name][1][prop], bp[name][1][prop]
                if a != b:
                    errors.append("module %s, %s: Android.mk gives %s, Android.bp %s" % (name, prop, a, b))
    return errors


if __name__ == "__main__":
    problems = main(sys.argv[1])
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print("Android.mk (through androidmk) and Android.bp (through bpfmt) declare the same modules")
    sys.exit(1 if problems else 0)
