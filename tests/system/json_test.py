#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The command line for scripts. "listings": on sample machines, every
listing's JSON parses and, rendered as the text listing is, gives that listing
line for line; "list-gpus --json" holds each GPU's listings; errors come as JSON
with the text's exit status. "dry-run": on the switch laptop, an ordinary user's
preview of set-module and set-xorg changes nothing, and its diff, applied with
patch to copies of the files, gives byte for byte what the real switch writes
through the helper. Arguments: the group and the build directory."""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fakemachine"))
from fakemachine import Machine  # noqa: E402
sys.path.insert(0, HERE)
from helper_test import Checks  # noqa: E402

BUILD = os.path.abspath(sys.argv[2])
TOOL = BUILD + "/bin/orlix-admin-driver"
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# With a directory of the file a modprobe file links to, which the helper changes through the link.
DIRECTORIES = "/etc/modprobe.d /lib/modprobe.d /etc/X11/xorg.conf.d /usr/share/kiv-test"


def as_text(action, argument, document):
    """The text listing that the JSON document stands for."""
    if action == "list-gpus":
        return "".join("Bus id: %s Model: %s Vendor: %s\n" % (g["busId"], g["model"], g["vendor"]) for g in document["gpus"])
    if action == "list-modules":
        text = "Kernel modules for %s\n" % argument
        text += "".join(m["displayName"] + (" (current)" if m["current"] else "") + "\n" for m in document["modules"])
        if "secureBoot" in document:
            text += document["secureBoot"]["text"] + "\n" + document["secureBoot"]["dkmsKey"] + "\n"
            text += "".join(m["secureBoot"]["text"] + "\n" for m in document["modules"])
        return text
    if action == "list-xorg":
        return "".join(d["name"] + (" (current)" if d["current"] else "") + "\n" for d in document["xorg"]["drivers"])
    packages = document["packages"]
    return "".join(p["name"] + (" (installed)" if p["installed"] else "") + "\n" for p in packages) or \
        "Cannot find any compatible driver packages\n"


def listings(checks):
    for machine in ("hybrid-laptop", "amd-desktop", "debian12-drivers"):
        gpus = Machine(machine, binds=[BUILD]).run([[TOOL, "list-gpus", "--json"]])[0]
        bus_ids = [gpu["busId"] for gpu in json.loads(gpus["stdout"])["gpus"]]
        calls = [("list-gpus", None, [])]
        for bus_id in bus_ids:
            calls += [("list-modules", bus_id, []), ("list-modules", bus_id, ["--secure-boot"]), ("list-xorg", bus_id, []),
                      ("list-packages", bus_id, [])]
        commands = []
        for action, argument, options in calls:
            words = [TOOL, action] + ([argument] if argument else []) + options
            commands += [words, words + ["--json"]]
        commands += [[TOOL, "list-modules", "PCI:9@0:0:0", "--json"], [TOOL, "list-modules", "--json"], [TOOL, "list-xorg", "x", "--nosuch", "--json"]]
        out = Machine(machine, binds=[BUILD]).run(commands)
        documents = {}
        for index, (action, argument, options) in enumerate(calls):
            text, document = out[2 * index], out[2 * index + 1]
            label = "%s: %s" % (machine, " ".join([action] + ([argument] if argument else []) + options))
            parsed = json.loads(document["stdout"])
            documents[(action, argument, tuple(options))] = parsed
            checks.equal(label + " --json holds what the text holds", (document["exit"], parsed["format"], as_text(action, argument, parsed)),
                         (text["exit"], 1, text["stdout"]))
        whole = documents[("list-gpus", None, ())]["gpus"]
        for gpu in whole:
            key = gpu["busId"]
            parts = {"modules": documents[("list-modules", key, ())]["modules"], "xorg": documents[("list-xorg", key, ())]["xorg"],
                     "packages": documents[("list-packages", key, ())]["packages"]}
            checks.equal("%s: list-gpus --json holds the listings of %s" % (machine, key), {k: gpu[k] for k in parts}, parts)
            checks.equal("%s: and its identification" % machine, {k: v for k, v in gpu.items() if k not in ("modules", "xorg", "packages", "nvidiaListsMissing")},
                         documents[("list-modules", key, ())]["gpu"])
        errors = [(o["exit"], json.loads(o["stdout"])) for o in out[-3:]]
        checks.equal(machine + ": errors as JSON, with the text's exit status", [(status, sorted(d)) for status, d in errors],
                     [(255, ["error", "format"]), (1, ["error", "format"]), (1, ["error", "format"])])
        checks.equal(machine + ": which say what went wrong", [d["error"] for _, d in errors][:2],
                     ["Couldn't find GPU by BusID / Model / Vendor using argument PCI:9@0:0:0", "list-modules takes 1 argument"])


def snapshot(name):
    return ["sh", "-c", "find %s -type f -exec md5sum {} + 2>/dev/null | sort > /tmp/%s.sums; ls -d /usr/share/kiv-admin-driver 2>&1 | tail -1" % (DIRECTORIES, name)]


def compare_patched(name):
    """The copies made before the switch, patched with the preview /tmp/NAME.diff,
    against the directories the switch wrote."""
    return ["sh", "-c", "rm -rf /tmp/copy && mkdir /tmp/copy && cp -a /tmp/copy-before/. /tmp/copy && patch -s -p1 -d /tmp/copy < /tmp/%s.diff && "
            "for d in %s; do diff -r /tmp/copy$d $d || echo differs; done; echo compared" % (name, DIRECTORIES)]


COPY_BEFORE = ["sh", "-c", "rm -rf /tmp/copy-before && mkdir /tmp/copy-before && cp -a --parents %s /tmp/copy-before" % DIRECTORIES]


def dry_run(checks):
    module = ["set-module", "PCI:1@0:0:0", "nouveau"]
    xorg = ["set-xorg", "PCI:1@0:0:0", "nouveau"]
    hostile = "/etc/modprobe.d/blocks.conf"
    commands = [
        ["sh", "-c", "mkdir /usr/share/kiv-test && echo 'alias nouveau off' > /usr/share/kiv-test/nv.conf && "
         "ln -s /usr/share/kiv-test/nv.conf /etc/modprobe.d/nv-link.conf && " + snapshot("before")[2]],  # 0
        ["sh", "-c", "%s > /tmp/module.diff" % " ".join(NOBODY + [TOOL] + module + ["--dry-run"])],  # 1
        NOBODY + [TOOL] + module + ["--dry-run", "--json"],                                         # 2
        ["cat", "/tmp/module.diff"],                                                                # 3
        snapshot("after"),                                                                          # 4
        ["cmp", "/tmp/before.sums", "/tmp/after.sums"],                                             # 5
        # The real switches, each right after a preview made as the user.
        COPY_BEFORE,                                                                                # 6
        [TOOL] + module,                                                                            # 7
        compare_patched("module"),                                                                  # 8
        ["sh", "-c", "%s > /tmp/xorg.diff" % " ".join(NOBODY + [TOOL] + xorg + ["--dry-run"])],      # 9
        COPY_BEFORE,                                                                                # 10
        [TOOL] + xorg,                                                                              # 11
        compare_patched("xorg"),                                                                    # 12
        # A block the helper refuses to lift: the preview fails with the helper's words.
        ["sh", "-c", "echo 'install nouveau /bin/false; logger x' > %s; %s; echo exit $?; %s; echo exit $?" % (
            hostile, " ".join(NOBODY + [TOOL, "set-module", "PCI:1@0:0:0", "nouveau", "--dry-run"]), " ".join([TOOL, "set-module", "PCI:1@0:0:0", "nouveau"]))],  # 13
    ]
    machine = Machine("switch-laptop", binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)
    preview = json.loads(out[2]["stdout"])
    checks.equal("the preview needs no authorisation", (out[1]["exit"], out[2]["exit"]), (0, 0))
    checks.equal("and says a backup would be made", out[3]["stdout"].splitlines()[0],
                 "The helper would first back the configuration up to /usr/share/kiv-admin-driver.")
    checks.equal("its JSON holds the same diffs", "".join(f["diff"] for f in preview["files"]),
                 out[3]["stdout"][out[3]["stdout"].index("--- "):])
    checks.equal("and names the files", [(f["path"], f["created"]) for f in preview["files"]],
                 [("/etc/modprobe.d/kiv-admin-driver-blacklists.conf", True), ("/etc/modprobe.d/nouveau-alias.conf", False),
                  ("/etc/modprobe.d/nouveau-off.conf", False), ("/usr/share/kiv-test/nv.conf", False)])
    checks.equal("the preview changes no file and makes no backup", (out[5]["exit"], out[4]["stdout"]),
                 (0, "ls: cannot access '/usr/share/kiv-admin-driver': No such file or directory\n"))
    checks.equal("the real switch succeeds", out[7]["exit"], 0)
    checks.equal("the patched copies are what it wrote", out[8]["stdout"], "compared\n")
    checks.equal("the XOrg preview succeeds", out[9]["exit"], 0)
    checks.equal("the real XOrg switch succeeds", out[11]["exit"], 0)
    checks.equal("the patched copies are what it wrote", out[12]["stdout"], "compared\n")
    refusal = ("New driver blacklists error: line 1 of /etc/modprobe.d/blocks.conf keeps nouveau from loading with a command that does more, "
               "which cannot be undone safely")
    checks.equal("a refused switch: the preview says what the helper says, and fails as it does",
                 [line for line in out[13]["stdout"].splitlines()], [refusal, "exit 255", "exit 255"])
    checks.equal("the helper's words", refusal in out[13]["stderr"], True)


def main():
    if os.geteuid() != 0:
        print("the JSON and dry-run tests need root (namespaces, mounts, a system bus)")
        return 1
    checks = Checks()
    {"listings": listings, "dry-run": dry_run}[sys.argv[1]](checks)
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
