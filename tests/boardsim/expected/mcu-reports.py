#!/usr/bin/env python3
"""Whole-report comparison of `boardsim mcu` runs: each run's report.txt, whole, and its
report.json's command, exit status and MCU part, one fact a line (JSON values), against the files kept beside
this script (mcu-NAME.txt, mcu-NAME.json). A difference fails with a unified diff.

    mcu-reports.py BOARDSIM COPROCFLASH [--update]   (--update rewrites the expected files)

Run-dependent values are masked in one way, before comparing and before --update writes:
the path of COPROCFLASH (and of stm32flash) becomes "COPROCFLASH" ("STM32FLASH"), and a time
in seconds ("1.25 s") becomes "<time> s". Each run happens in a fresh folder with the image
mcu.bin (3000 bytes, i * 7 + 3), so no temporary path appears. Top-level report.json keys
other than command, exit_status and timed_out belong to the report as a whole and are not
compared here. The runs also hold the fault options at their bounds (and counts of one stage
adding up: --nack-erase with --nack erase-pages): --silent-bootloader one
past the three passes, --drop-answer-byte at the first byte and at the last byte the MCU sends
in an update (88), --power-cut-after-bytes at 0 and at the image's exact size (never cut).
"""
import difflib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
STM32FLASH = shutil.which("stm32flash")
UPDATE = ["--app-version", "2.0.9", "--new-version", "2.0.13"]
# name: (options, COMMAND after "--"; "C" stands for COPROCFLASH, "S" for stm32flash)
RUNS = {
    "update": (["--fast"] + UPDATE + ["--image", "mcu.bin"], ["C", "mcu.bin", "2.0.13"]),
    "nack-erase": (["--fast", "--nack-erase", "5", "--nack", "erase-pages=1", "--nack", "write-data=1", "--new-version",
                    "2.0.13", "--image", "mcu.bin"], ["C", "mcu.bin"]),
    "already-new": (["--fast", "--app-version", "2.0.13", "--split-answer", "3,4@5", "--answer-surplus", "0x55,0xAA"],
                    ["C", "mcu.bin", "2.0.13"]),
    "silent-past-all": (["--fast", "--silent-bootloader", "4"], ["C", "mcu.bin", "2.0.13"]),
    "drop-first-byte": (["--fast", "--drop-answer-byte", "1", "--power-cut-after-bytes", "3000"] + UPDATE,
                        ["C", "mcu.bin", "2.0.13"]),
    "drop-last-byte": (["--fast", "--drop-answer-byte", "88"] + UPDATE, ["C", "mcu.bin", "2.0.13"]),
    "power-cut-first-byte": (["--fast", "--power-cut-after-bytes", "0", "--image", "mcu.bin"] + UPDATE,
                             ["C", "mcu.bin", "2.0.13"]),
    "stm32flash": (["--new-version", "2.0.13", "--image", "mcu.bin"],
                   ["S", "-b", "115200", "-m", "8e1", "-i", "119,117,-117:-119,117,-117", "-w", "mcu.bin", "-v",
                    "/dev/ttyS1"]),
}


def mask(text, coprocflash):
    text = text.replace(coprocflash, "COPROCFLASH")
    if STM32FLASH:
        text = text.replace(STM32FLASH, "STM32FLASH")
    return re.sub(r"\b\d+\.\d+ s\b", "<time> s", text)


def run(boardsim, coprocflash, name):
    options, command = RUNS[name]
    command = [coprocflash if a == "C" else STM32FLASH if a == "S" else a for a in command]
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "mcu.bin"), "wb") as f:
            f.write(bytes((i * 7 + 3) & 0xFF for i in range(3000)))
        subprocess.run([boardsim, "mcu", "--report", "rep"] + options + ["--"] + command, cwd=work,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=150, check=False)
        with open(os.path.join(work, "rep", "report.txt")) as f:
            text = mask(f.read(), coprocflash)
        with open(os.path.join(work, "rep", "report.json")) as f:
            report = json.load(f)
    mcu = next((p for p in report.get("parts", []) if p.get("part") == "mcu"), {})
    # One fact a line: the whole run's three, then the part's (its "text" is report.txt's lines).
    facts = [(k, report.get(k)) for k in ("command", "exit_status", "timed_out")]
    facts += [("mcu." + k, v) for k, v in mcu.items() if k != "text"]
    return text, mask("".join("%s: %s\n" % (k, json.dumps(v)) for k, v in facts), coprocflash)


def main():
    boardsim, coprocflash = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    update = "--update" in sys.argv[3:]
    failed = []
    for name in RUNS:
        if RUNS[name][1][0] == "S" and not STM32FLASH:
            print("skip mcu-%s: stm32flash is not installed" % name)
            continue
        for suffix, got in zip((".txt", ".json"), run(boardsim, coprocflash, name)):
            path = os.path.join(HERE, "mcu-" + name + suffix)
            if update:
                with open(path, "w") as f:
                    f.write(got)
                continue
            with open(path) as f:
                want = f.read()
            if got != want:
                failed.append(name + suffix)
                sys.stdout.writelines(difflib.unified_diff(want.splitlines(True), got.splitlines(True),
                                                           "expected/mcu-" + name + suffix, "this run"))
    if failed:
        print("FAIL: the reports differ from the expected ones: " + ", ".join(failed))
        return 1
    print("the reports of %d runs are as expected" % len(RUNS) if not update else "expected files written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
