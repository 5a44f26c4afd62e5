#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs orlix-admin-driver in a fake machine and compares every invocation's
exit status and whole standard output with the expectations of the profile.

Expectation files hold blocks like

    $ list-modules "PCI:1@0:0:0"
    ? 0
    Kernel modules for PCI:1@0:0:0
    nvidia (current)

The command line is split like a shell's; the lines after the status are the
expected standard output, up to the next "$ " line. Lines starting with "#"
("# " and a text) between blocks are comments. "$ !" runs the rest of the line with sh -c instead
(to look at files, or to change the machine between steps); "?? text" lines
right after the status list texts that standard error must contain. A file
whose first line is "#! services" gets the project installed into the machine
and a system bus with polkitd, so that the helper can be reached; one whose first
line is "#! install" and VAR=value words gets the project installed and runs
with those environment variables.
"""

import difflib
import functools
import glob
import json
import os
import re
import shlex
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fakemachine"))
from fakemachine import Machine  # noqa: E402


def is_comment(line):
    return line == "#" or line.startswith("# ") or line.startswith("#! ")


def parse_expectations(path):
    cases = []
    with open(path, encoding="utf-8") as f:
        for line in f.read().split("\n"):
            if line.startswith("$ !"):
                cases.append({"args": ["sh", "-c", line[3:]], "shell": True, "exit": None, "stdout": [], "stderr": []})
            elif line.startswith("$ "):
                cases.append({"args": shlex.split(line[2:]), "shell": False, "exit": None, "stdout": [], "stderr": []})
            elif not cases:
                continue
            elif cases[-1]["exit"] is None:
                if is_comment(line) or not line.strip():
                    continue
                if not line.startswith("? "):
                    raise SyntaxError("%s: expected '? <status>' after %s" % (path, cases[-1]["args"]))
                cases[-1]["exit"] = int(line[2:])
            elif line.startswith("?? ") and not cases[-1]["stdout"]:
                cases[-1]["stderr"].append(line[3:])
            else:
                cases[-1]["stdout"].append(line)
    for case in cases:
        # Comments ("# ...") before the next block, then the empty line that ends
        # a block; an output that itself ends in an empty line is followed by two.
        while case["stdout"] and is_comment(case["stdout"][-1]):
            case["stdout"].pop()
        if case["stdout"] and case["stdout"][-1] == "":
            case["stdout"].pop()
        case["stdout"] = "".join(l + "\n" for l in case["stdout"])
    return cases


@functools.lru_cache(maxsize=None)
def qt_major_version(binary):
    config = os.path.join(os.path.dirname(os.path.dirname(binary)), "buildconfig.json")
    with open(config, encoding="utf-8") as f:
        return json.load(f)["qtMajorVersion"]


def substitute(text, binary):
    # Qt's usage line names the program as it was started; @SOURCE@ is the source
    # tree, which an installing machine shows at the same path. Qt 6 words its
    # own option's help otherwise.
    text = text.replace("@BINARY@", binary).replace("@SOURCE@", os.path.dirname(os.path.dirname(HERE)))
    if qt_major_version(binary) >= 6:
        text = re.sub(r"(--help-all +)Displays help including Qt specific options\.", r"\1Displays help, including generic Qt options.", text)
    return text


def main():
    profile, binary = sys.argv[1], os.path.abspath(sys.argv[2])
    expectations = os.path.join(HERE, "expected", (sys.argv[3] if len(sys.argv) > 3 else profile) + ".txt")
    cases = parse_expectations(expectations)
    with open(expectations, encoding="utf-8") as f:
        header = f.readline()
    services = header.startswith("#! services")
    # "#! install VAR=value ...": the project installed (for its translations), with
    # these environment variables.
    installed = header.startswith("#! install")
    env = dict(word.split("=", 1) for word in header.split()[2:]) if installed else {}
    # Where the tests keep what they download (the kernel's sign-file).
    if "KIV_TEST_CACHE" in os.environ:
        env["KIV_TEST_CACHE"] = os.environ["KIV_TEST_CACHE"]
    build = os.path.dirname(os.path.dirname(binary))
    # KIV_MODULE_COMPRESSION: the same expectations with the modules compressed
    # as Debian 13 (xz) or Ubuntu (zstd) ship them.
    # KIV_REAL_KERNEL: a kernel unpacked into KIV_TEST_CACHE (linux-image,
    # linux-image-trixie) whose module tree lies under the profile's modules.
    real_modules = None
    if os.environ.get("KIV_REAL_KERNEL"):
        image = os.path.join(os.environ["KIV_TEST_CACHE"], os.environ["KIV_REAL_KERNEL"])
        real_modules = (glob.glob(image + "/lib/modules/*") + glob.glob(image + "/usr/lib/modules/*"))[0]
    machine = Machine(profile, binds=[build], install=build if services or installed else None, services=services, env=env,
                      compression=os.environ.get("KIV_MODULE_COMPRESSION"), real_modules=real_modules)
    outcomes = machine.run([[substitute(a, binary) for a in case["args"]] if case["shell"] else [binary] + case["args"] for case in cases])
    failures = 0
    for case, outcome in zip(cases, outcomes):
        label = "%s: %s" % (profile, shlex.join(case["args"]))
        problems = []
        if outcome["exit"] != case["exit"]:
            problems.append("exit status %d, expected %d" % (outcome["exit"], case["exit"]))
        for text in case["stderr"]:
            if text not in outcome["stderr"]:
                problems.append("standard error lacks %r" % text)
        expected = substitute(case["stdout"], binary)
        if outcome["stdout"] != expected:
            diff = difflib.unified_diff(expected.splitlines(), outcome["stdout"].splitlines(),
                                        "expected", "actual", lineterm="")
            problems.append("standard output differs:\n" + "\n".join(diff))
        if problems:
            failures += 1
            print("FAIL " + label)
            for problem in problems:
                print("    " + problem.replace("\n", "\n    "))
            if outcome["stderr"]:
                print("    standard error:\n    " + outcome["stderr"].replace("\n", "\n    "))
        else:
            print("PASS " + label)
    print("%d passed, %d failed" % (len(cases) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
