#!/bin/sh
# Whole-report comparison: runs boardsim as a case says and compares the whole report.txt and
# the run's facts of report.json (command, exit_status, every part) with approved files.
#   report_compare.sh CASE BOARDSIM LUMEND SENSORFLASH COPROCFLASH
# A case is three files in expected/: CASE.args (boardsim's arguments in sh syntax; $lumend,
# $sensorflash, $coprocflash name the programs and $stm32flash Debian's AN3155 host (the case is
# skipped, status 77, without it), and touch.bin (3 packets) and mcu.bin (3000 bytes) are fixed
# images in the working folder), CASE.txt and CASE.json (the approved report). When
# CASE.state exists it is copied to state.json in the working folder first (for --state), and
# when CASE.saved exists, state.json after the run must equal it (JSON values compared). A run
# that writes no report (a refused command line or state) has for its report.txt the line
# "status N" and boardsim's standard error, and no CASE.json.
# What varies from run to run, in one way for every case: the programs' paths are written as
# @LUMEND@, @SENSORFLASH@, @COPROCFLASH@, @STM32FLASH@; times (a decimal before " s" in the text, a value of a
# key ending in "_s" in the JSON) match to the hundredth on the virtual clock (--fast) and
# within 0.5 s on the real one; any other value that depends on the run
# (a process id) is written <any>. Every case but Debian's stm32flash (a real-clock run) runs on
# the virtual clock, where a daemon's register writes are counted exactly. Given
# REPORT_COMPARE_ACCEPT=1, the case's files are written from this run instead, to be reviewed.
set -u
name=$1 boardsim=$2 lumend=$3 sensorflash=$4 coprocflash=$5
expected=$(cd "$(dirname "$0")" && pwd)/expected
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir tmp
export TMPDIR="$work/tmp"
python3 -c '
import sys
open("touch.bin", "wb").write(bytes((i * 7 + i // 129) % 256 for i in range(387)))
open("mcu.bin", "wb").write(bytes((i * 13 + 5) % 256 for i in range(3000)))'
stm32flash=$(command -v stm32flash)
if grep -qF '$stm32flash' "$expected/$name.args" && [ -z "$stm32flash" ]; then
    echo "skip $name: stm32flash is not installed"
    exit 77
fi
[ ! -f "$expected/$name.state" ] || cp "$expected/$name.state" state.json
eval "set -- $(cat "$expected/$name.args")"
board=$1
shift
timeout 120 "$boardsim" "$board" --report rep "$@" >out 2>err
status=$?
[ -z "$(ls tmp)" ] || { echo "FAIL $name: left behind: $(ls tmp)"; exit 1; }

case " $* " in *" --fast "*) tolerance=0.005 ;; *) tolerance=0.5 ;; esac
TOLERANCE=$tolerance STATUS=$status LUMEND=$lumend SENSORFLASH=$sensorflash COPROCFLASH=$coprocflash STM32FLASH=${stm32flash:-@} python3 - "$expected/$name" <<'PY' || exit 1
import json, os, re, sys
base = sys.argv[1]
def dump(v, indent=""):
    # One line per value that fits in 100 columns, so a diff shows the fact that changed.
    flat = json.dumps(v, ensure_ascii=False)
    if len(indent) + len(flat) <= 100 or not isinstance(v, (dict, list)) or not v:
        return flat
    inner = indent + "  "
    items = ([inner + json.dumps(k, ensure_ascii=False) + ": " + dump(x, inner) for k, x in v.items()]
             if isinstance(v, dict) else [inner + dump(x, inner) for x in v])
    return ("{" if isinstance(v, dict) else "[") + "\n" + ",\n".join(items) + "\n" + indent + \
           ("}" if isinstance(v, dict) else "]")
def unpath(text):
    for var in ("LUMEND", "SENSORFLASH", "COPROCFLASH", "STM32FLASH"):
        text = text.replace(os.environ[var], "@" + var + "@")
    return text
if os.path.exists("rep/report.json"):
    report = json.load(open("rep/report.json"))
    facts = {"boardsim_exit_status": int(os.environ["STATUS"]), "command": report["command"],
             "exit_status": report["exit_status"], "parts": report["parts"]}
    actual = {".txt": unpath(open("rep/report.txt").read()),
              ".json": unpath(dump(facts)) + "\n"}
else:
    actual = {".txt": "status " + os.environ["STATUS"] + "\n" + unpath(open("err").read())}
if os.environ.get("REPORT_COMPARE_ACCEPT") == "1":
    for ext, text in actual.items():
        open(base + ext, "w").write(text)
    sys.exit(0)
SPECIAL = re.compile(r'(<any>|\d+\.\d+(?= s\b)|(?<=_s": )-?\d+(?:\.\d+)?)')
def agrees(want, got):
    # The expected line as a pattern: <any> takes any value, times match within 0.5 s.
    parts = SPECIAL.split(want)
    pattern, times = "", []
    for i, p in enumerate(parts):
        if i % 2 == 0:
            pattern += re.escape(p)
        elif p == "<any>":
            pattern += r"(.+?)"
            times.append(None)
        else:
            pattern += r"(-?\d+(?:\.\d+)?)"
            times.append(float(p))
    m = re.fullmatch(pattern, got)
    return bool(m) and all(t is None or abs(float(v) - t) <= float(os.environ["TOLERANCE"]) for t, v in zip(times, m.groups()))
failed = False
for ext, text in actual.items():
    want = open(base + ext).read().splitlines()
    got = text.splitlines()
    if len(want) == len(got):
        got = [w if agrees(w, g) else g for w, g in zip(want, got)]
    if got != want:
        import difflib
        failed = True
        sys.stdout.write("".join(difflib.unified_diff([l + "\n" for l in want], [l + "\n" for l in got],
                                                       base + ext, "this run")))
if os.path.exists(base + ".saved"):
    saved = json.load(open("state.json"))
    if saved != json.load(open(base + ".saved")):
        failed = True
        print("--- " + base + ".saved\n" + open(base + ".saved").read() + "+++ state.json after the run\n" +
              json.dumps(saved))
sys.exit(1 if failed else 0)
PY
echo "ok $name"
