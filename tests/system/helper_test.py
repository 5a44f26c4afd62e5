#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The privileged helper through the real stack: the project installed into a
fake machine's throwaway root, a private D-Bus system bus, polkitd, D-Bus
activation of the installed helper as root, and real package transactions
(libqapt's worker in the Qt 5 build, apt-get in the Qt 6 one) against the machine's local archive. A small KAuth client
runs each action and prints its progress and reply."""

import glob
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fakemachine"))
from fakemachine import Machine, load_profile  # noqa: E402

BUILD = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
CLIENT = BUILD + "/bin/kauthclient" if BUILD else None
# Which frameworks the build is of: Qt 5 / KF5 or Qt 6 / KF6.
BUILD_CONFIG = json.load(open(BUILD + "/buildconfig.json")) if BUILD else {}
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
SNIPPET = "/etc/X11/xorg.conf.d/20-kiv-admin-driver.conf"
BLACKLIST = "/etc/modprobe.d/kiv-admin-driver-blacklists.conf"


def client(action, arguments, *options):
    return [CLIENT, action, json.dumps(arguments)] + list(options)


def show(*paths):
    """A command printing each file as "== path" and its content, or "== path (missing)"."""
    script = "; ".join('if [ -e "{0}" ]; then echo "== {0}"; cat "{0}"; else echo "== {0} (missing)"; fi'.format(p) for p in paths)
    return ["sh", "-c", script]


def entry(class_id, bus_id, model, driver, current=("", ""), new=("", "")):
    return {"classId": class_id, "busId": bus_id, "modelName": model, "XOrgDriver": driver,
            "currentKernelModuleRealName": current[0], "currentKernelModuleDisplayName": current[1],
            "newKernelModuleRealName": new[0], "newKernelModuleDisplayName": new[1]}


def lines(outcome):
    return [json.loads(line) for line in outcome["stdout"].splitlines() if line.startswith("{")]


def result(outcome):
    return lines(outcome)[-1] if lines(outcome) else {"result": "none", "stdout": outcome["stdout"], "stderr": outcome["stderr"]}


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def equal(self, label, actual, expected):
        if actual == expected:
            self.passed += 1
            print("PASS " + label)
        else:
            self.failed += 1
            print("FAIL %s\n    expected: %r\n    actual:   %r" % (label, expected, actual))

    def true(self, label, condition, detail=""):
        self.equal(label + (" (%s)" % detail if detail and not condition else ""), bool(condition), True)


NVIDIA = entry("0302", "PCI:1@0:0:0", "nVidia TU117M", "nouveau", ("nvidia_current", "nvidia"), ("nouveau", "nouveau"))
INTEL = entry("0300", "PCI:0@0:2:0", "Intel CometLake-U GT2", "modesetting", ("i915", "i915"), ("i915", "i915"))
NOUVEAU_OFF = "/etc/modprobe.d/nouveau-off.conf"


def switching(checks):
    profile = load_profile("hybrid-laptop")
    profile["files"] = {NOUVEAU_OFF: "blacklist nouveau\nalias nouveau off\n"}
    back = entry("0302", "PCI:1@0:0:0", "nVidia TU117M", "", ("nouveau", "nouveau"), ("nvidia_current", "nvidia"))
    hostile = dict(NVIDIA, newKernelModuleRealName="nouveau\ninstall nvidia /bin/sh -c 'id>/tmp/owned'")
    commands = [
        ["/usr/sbin/kiv-admin-driver-restore", "--yes"],                                         # 0: no backup yet
        NOBODY + client("replace", {"data": [NVIDIA]}),                                         # 1: denied by polkit
        show(NOUVEAU_OFF, BLACKLIST, SNIPPET),                                                  # 2
        client("replace", {"data": [NVIDIA, INTEL]}),                                           # 3: 3D controller last
        show(NOUVEAU_OFF, BLACKLIST, SNIPPET, "/usr/share/kiv-admin-driver/modprobe.d/nouveau-off.conf"),  # 4
        client("replace", {"data": [hostile]}),                                                 # 5
        show(NOUVEAU_OFF, BLACKLIST, SNIPPET, "/tmp/owned"),                                    # 6
        client("tearing", {"vendor": "amd", "driverName": "amdgpu", "shouldEnable": "false"}),  # 7
        client("tearing", {"vendor": "AMD", "driverName": "amdgpu", "shouldEnable": "true"}),   # 8
        show("/etc/X11/xorg.conf.d/20-amd-tearing.conf"),                                       # 9
        NOBODY + ["/usr/sbin/kiv-admin-driver-restore", "--yes"],                                # 10
        ["sh", "-c", "echo n | /usr/sbin/kiv-admin-driver-restore"],                             # 11
        ["/usr/sbin/kiv-admin-driver-restore", "--yes"],                                         # 12
        show(NOUVEAU_OFF, BLACKLIST),                                                           # 13
        client("replace", {"data": [back]}),                                                    # 14: and back
        show(NOUVEAU_OFF, BLACKLIST),                                                           # 15
        ["/usr/sbin/kiv-admin-driver-restore", "--yes"],                                         # 16
        # A backup entry with no content (a dangling link, as older backups held)
        # next to one that can be restored.
        ["sh", "-c", "echo changed > %s && ln -s ../../nowhere.conf /usr/share/kiv-admin-driver/modprobe.d/dangling.conf"
         " && /usr/sbin/kiv-admin-driver-restore --yes" % NOUVEAU_OFF],                        # 17
        show(NOUVEAU_OFF),                                                                      # 18
    ]
    machine = Machine(profile, binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)

    checks.true("restore without a backup refuses", out[0]["exit"] == 1 and "There is no backup" in out[0]["stderr"], out[0]["stderr"])
    checks.equal("a caller without authorisation is denied", result(out[1]).get("error"), 4)
    checks.equal("denied: nothing changed", out[2]["stdout"],
                 "== %s\nblacklist nouveau\nalias nouveau off\n== %s (missing)\n== %s (missing)\n" % (NOUVEAU_OFF, BLACKLIST, SNIPPET))
    checks.equal("replace succeeds", result(out[3]), {"result": "ok", "error": 0, "text": ""})
    checks.equal("replace: files after the switch", out[4]["stdout"],
                 "== {0}\n#blacklist nouveau\n#alias nouveau off\n== {1}\nblacklist nvidia\n== {2}\n"
                 'Section "Device"\n    Identifier "Intel CometLake-U GT2-PCI:0@0:2:0"\n    Driver "modesetting"\n    BusID "PCI:0@0:2:0"\nEndSection\n\n'
                 'Section "Device"\n    Identifier "nVidia TU117M-PCI:1@0:0:0"\n    Driver "nouveau"\n    BusID "PCI:1@0:0:0"\nEndSection\n\n'
                 "== /usr/share/kiv-admin-driver/modprobe.d/nouveau-off.conf\nblacklist nouveau\nalias nouveau off\n".format(
                     NOUVEAU_OFF, BLACKLIST, SNIPPET))
    checks.equal("a module name with an install line is refused", result(out[5])["text"],
                 "Refused request: entry 1 has an invalid newKernelModuleRealName")
    checks.true("refused: the helper error code", result(out[5]).get("error") not in (0, 4), result(out[5]))
    checks.equal("refused: nothing changed", out[6]["stdout"], out[4]["stdout"].split("== /usr/share")[0] + "== /tmp/owned (missing)\n")
    checks.equal("tearing succeeds", result(out[7])["result"], "ok")
    checks.equal("tearing with vendor AMD", result(out[8])["text"], "Did not receive proper GPU vendor")
    checks.equal("tearing snippet", out[9]["stdout"], "== /etc/X11/xorg.conf.d/20-amd-tearing.conf\nSection \"Device\"\n"
                 "    Identifier \"Intel Graphics\"\n    Driver \"amdgpu\"\n    Option \"TearFree\" \"false\"\nEndSection\n")
    checks.true("restore refuses an ordinary user", out[10]["exit"] == 1 and "must be run as root" in out[10]["stderr"], out[10]["stderr"])
    checks.true("restore asks, and no changes nothing", out[11]["exit"] == 1 and "Restore them? [y/N]" in out[11]["stdout"]
                and "Nothing was changed." in out[11]["stdout"] and "  " + NOUVEAU_OFF in out[11]["stdout"], out[11]["stdout"])
    checks.true("restore asks before removing the helper's files", "will be removed:\n  %s\n" % BLACKLIST in out[11]["stdout"], out[11]["stdout"])
    checks.equal("restore reports each file", [line for line in out[12]["stdout"].splitlines() if line.startswith(("Restored", "Removed"))],
                 ["Restored " + NOUVEAU_OFF, "Removed " + BLACKLIST, "Removed " + SNIPPET, "Removed /etc/X11/xorg.conf.d/20-amd-tearing.conf"])
    checks.equal("restored: the configuration of the backup", out[13]["stdout"],
                 "== {0}\nblacklist nouveau\nalias nouveau off\n== {1} (missing)\n".format(NOUVEAU_OFF, BLACKLIST))
    checks.equal("switch back succeeds", result(out[14])["result"], "ok")
    checks.equal("switch back", out[15]["stdout"], "== {0}\nblacklist nouveau\nalias nouveau off\n== {1}\nblacklist nouveau\n".format(NOUVEAU_OFF, BLACKLIST))
    checks.true("restore again removes only the new blacklist file", out[16]["exit"] == 0 and "Removed %s\n" % BLACKLIST in out[16]["stdout"]
                and "Restored" not in out[16]["stdout"], out[16]["stdout"])
    checks.true("restore goes on past a file it cannot restore, names it and exits 2", out[17]["exit"] == 2
                and "Restored %s\n" % NOUVEAU_OFF in out[17]["stdout"]
                and "These files could not be restored:\n  /etc/modprobe.d/dangling.conf: " in out[17]["stderr"]
                and "Done." not in out[17]["stdout"], out[17]["stdout"] + out[17]["stderr"])
    checks.equal("restored despite the failure", out[18]["stdout"], "== {0}\nblacklist nouveau\nalias nouveau off\n".format(NOUVEAU_OFF))
    checks.true("the polkit backend served the helper", "Activating service name='org.kiv.kivadmindriverhelper'" in machine.services_log,
                machine.services_log[-500:])


STOP = ["dbus-send", "--system", "--type=method_call", "--dest=org.kiv.kivadmindriverhelper", "/",
        BUILD_CONFIG.get("kauthInterface", "") + ".stopAction", "string:org.kiv.kivadmindriverhelper.install"]
# Holds APT's locks on its lists and archives the way another package manager
# would, for some seconds.
HOLD_LOCK = ("python3 -c 'import fcntl, time; locks = [open(p, \"w\") for p in (\"/var/lib/apt/lists/lock\", \"/var/cache/apt/archives/lock\")]; "
             "[fcntl.lockf(f, fcntl.LOCK_EX) for f in locks]; time.sleep(20)' &")


def shell(*parts):
    return ["sh", "-c", " ".join(parts)]


def quoted(command):
    return " ".join("'%s'" % part.replace("'", "'\\''") for part in command)


def packages(checks):
    names = ["nvidia-driver-440", "nvidia-driver-390", "kiv-driver-full", "kiv-lib-helper", "kiv-lib-private", "kiv-lib-shared",
             "kiv-tools", "kiv-other", "kiv-slow-driver", "kiv-slow-tools", "kiv-broken-driver"]
    status = ["dpkg-query", "-W", "-f", "${Package} ${db:Status-Abbrev}\\n"] + names
    stop_as_nobody = quoted(NOBODY + STOP)
    commands = [
        client("install", {}),                                                      # 0
        client("install", {"drivers": ["nvidia-driver-440"]}),                      # 1
        client("install", {"drivers": ["nvidia-driver-390", "nosuch"]}),            # 2
        client("remove", {"drivers": ["kiv-driver-full"]}),                         # 3
        status,                                                                     # 4
        # 5: the worker waits for the lock another program holds, and can still
        # cancel: a stop cancels the job, which fails.
        shell(HOLD_LOCK, "sleep 0.5;", quoted(client("install", {"drivers": ["nvidia-driver-390"]}, "--stop-after", "3")), "; kill $!"),
        # 6: once dpkg runs nothing may stop it: neither the caller's stop nor any
        # user's (KAuth takes stops from anyone) ends the job before its packages are in place.
        shell(quoted(client("install", {"drivers": ["kiv-slow-driver"]}, "--stop-at", "55")), "& sleep 1;",
              "for i in 1 2 3 4 5 6; do", stop_as_nobody, "; sleep 0.5; done; wait"),
        # 7: a stop sent between jobs must not touch the next one.
        shell(stop_as_nobody, ";", quoted(client("install", {"drivers": ["kiv-slow-tools"]}))),
        client("tearing", {"vendor": "intel", "driverName": "intel", "shouldEnable": "true"}),  # 8
        # 9: a stop from anyone between jobs, then the caller's own stop while the
        # worker waits for the lock: the caller's stop still cancels.
        shell(stop_as_nobody, "; sleep 0.5;", HOLD_LOCK, "sleep 0.5;",
              quoted(client("install", {"drivers": ["nvidia-driver-390"]}, "--stop-after", "3")), "; kill $!"),
        # 10: killed half-way: libqapt's worker says success, apt-get ends with
        # the signal; dpkg says unpacked.
        client("install", {"drivers": ["kiv-broken-driver"]}),
        status,                                                                     # 11
    ]
    machine = Machine("helper-laptop", binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)
    checks.equal("install without drivers", result(out[0])["text"], "Didn't receive any drivers for installation")
    progress = [line["progress"] for line in lines(out[1]) if "progress" in line]
    checks.equal("install succeeds", result(out[1])["result"], "ok")
    checks.true("install reports progress up to 100", progress and progress[-1] == 100 and progress == sorted(progress), progress)
    checks.equal("an unknown name stops the job", result(out[2])["text"], "Cannot find package nosuch")
    checks.equal("remove succeeds", result(out[3])["result"], "ok")

    def states(outcome):
        # Purged packages are gone from dpkg's database altogether.
        listed = dict(line.split(" ", 1) for line in outcome["stdout"].splitlines())
        return {name: listed.get(name, "un ") for name in names}
    checks.equal("package states", states(out[4]), {
        "nvidia-driver-440": "ii ", "nvidia-driver-390": "un ", "kiv-driver-full": "un ", "kiv-lib-helper": "un ",
        "kiv-lib-private": "un ", "kiv-tools": "un ", "kiv-lib-shared": "ii ", "kiv-other": "ii ", "kiv-slow-driver": "un ",
        "kiv-slow-tools": "un ", "kiv-broken-driver": "un "})
    checks.equal("a stop while the worker waits for the lock cancels the job", result(out[5])["text"], "The package transaction was cancelled")
    checks.true("the client asked to stop", any(line.get("stop") for line in lines(out[5])), out[5]["stdout"][-300:])
    checks.equal("a stop once dpkg runs lets the job finish", result(out[6]), {"result": "ok", "error": 0, "text": ""})
    checks.true("the client asked to stop during dpkg", any(line.get("stop") for line in lines(out[6])), out[6]["stdout"][-300:])
    checks.equal("a stop between jobs does not reach the next", result(out[7]), {"result": "ok", "error": 0, "text": ""})
    checks.equal("the helper serves the next action", result(out[8])["result"], "ok")
    broken = result(out[10])
    checks.true("a package left unconfigured is a failure", broken["result"] == "error" and "kiv-broken-driver" in broken["text"]
                and "unpacked but not configured" in broken["text"], broken)
    after = states(out[11])
    checks.equal("package states after the stops", {name: after[name] for name in ("nvidia-driver-390", "kiv-slow-driver", "kiv-slow-tools")},
                 {"nvidia-driver-390": "un ", "kiv-slow-driver": "ii ", "kiv-slow-tools": "ii "})
    checks.true("the helper never signals the package manager", "Killed" not in machine.services_log, machine.services_log[-800:])
    checks.equal("a stop sent before the job does not silence the caller's own", result(out[9])["text"], "The package transaction was cancelled")


def kmod_blocks(checks):
    """modprobe -c is the judge of what a switch leaves blocking."""
    profile = load_profile("hybrid-laptop")
    blocks = "/etc/modprobe.d/blocks.conf"
    profile["files"] = {
        blocks: "blacklist nvidiafb\n  blacklist nouveau\n\tinstall nouveau /bin/false\nblacklist nouveau # again\nalias nouveau off\n",
        "/lib/modprobe.d/vendor.conf": "install nouveau true\n",
        "/etc/modprobe.d/other.conf": "install radeon /bin/false; logger radeon blocked\n",
    }
    radeon = entry("0300", "PCI:0@0:2:0", "Intel CometLake-U GT2", "", ("i915", "i915"), ("radeon", "radeon"))
    effective = ["sh", "-c", "modprobe -c | grep -E '^(blacklist|install) (nouveau|nvidia|radeon)( |$)' | sort"]
    commands = [
        effective,                                           # 0
        client("replace", {"data": [NVIDIA]}),               # 1
        effective,                                           # 2
        ["cat", blocks],                                     # 3
        client("replace", {"data": [radeon]}),               # 4: a block that does more
        ["cat", "/etc/modprobe.d/other.conf"],               # 5
    ]
    machine = Machine(profile, binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)
    checks.equal("kmod sees the blocks before", out[0]["stdout"],
                 "blacklist nouveau\nblacklist nouveau\ninstall nouveau /bin/false\ninstall nouveau true\ninstall radeon /bin/false; logger radeon blocked\n")
    checks.equal("switch with every kind of block", result(out[1])["result"], "ok")
    checks.equal("kmod sees no block of the new module after it", out[2]["stdout"],
                 "blacklist nvidia\ninstall radeon /bin/false; logger radeon blocked\n")
    checks.equal("only the marks changed", out[3]["stdout"],
                 "blacklist nvidiafb\n#  blacklist nouveau\n#\tinstall nouveau /bin/false\n#blacklist nouveau # again\n#alias nouveau off\n")
    checks.equal("a block that does more fails the switch, naming file and line", result(out[4])["text"],
                 "New driver blacklists error: line 1 of /etc/modprobe.d/other.conf keeps radeon from loading with a command that does more, "
                 "which cannot be undone safely")
    checks.equal("and is left as it was", out[5]["stdout"], "install radeon /bin/false; logger radeon blocked\n")


# Reads what the helper writes to the system log into /run/syslog.txt.
SYSLOG = ("python3 -c 'import socket; s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(\"/dev/log\"); "
          "f = open(\"/run/syslog.txt\", \"ab\", 0)\nwhile True: f.write(s.recv(65536) + b\"\\n\")' </dev/null >/dev/null 2>&1 & echo $! > /run/syslog.pid;")
# Prints every signal the helper sends, as an ordinary user receives them, with
# byte arrays decoded from UTF-16 (as KAuth serialises texts) and UTF-8.
LISTEN = quoted(NOBODY + ["gdbus", "monitor", "--system", "--dest", "org.kiv.kivadmindriverhelper"]) + " </dev/null > /run/heard.txt 2>&1 & echo $! > /run/heard.pid;"


def bytes_heard(text):
    import re
    heard = text
    for array in re.findall(r"\[byte ([^\]]*)\]", text):
        data = bytes(int(value, 16) for value in re.findall(r"0x([0-9a-f]{2})", array))
        heard += "\n" + data.decode("utf-16-be", "replace") + "\n" + data.decode("utf-8", "replace")
    return heard


def backup(checks):
    """The backup precedes root's first change whatever other users do, and the
    restore trusts nothing they could have written."""
    profile = load_profile("hybrid-laptop")
    profile["files"] = {NOUVEAU_OFF: "blacklist nouveau\nalias nouveau off\n"}
    copy = "/usr/share/kiv-admin-driver/modprobe.d/nouveau-off.conf"
    commands = [
        # 0: a user re-creates the /tmp marker as fast as they can during root's first change.
        shell(quoted(NOBODY + ["sh", "-c", "while :; do rm -f /tmp/driver-root.mark; : > /tmp/driver-root.mark; done"]), "</dev/null >/dev/null 2>&1 &",
              "sleep 0.3;", quoted(client("replace", {"data": [NVIDIA]})), "; kill $!"),
        ["cat", copy],                                                                                  # 1
        ["stat", "-c", "%U %a", "/usr/share/kiv-admin-driver", copy],                                  # 2
        # 3: a copy a user could have written is not restored, nor anything else.
        shell("chown nobody", copy, "; /usr/sbin/kiv-admin-driver-restore --yes; echo exit $?; cat", NOUVEAU_OFF),
        # 4: after a reboot (an empty /run), with /tmp out of inodes. The client
        # is taken out of /tmp first, where a build tree may be.
        shell("chown root", copy, "; rm -r /run/kiv-admin-driver; cp", CLIENT, "/run/kauthclient; mount -t tmpfs -o nr_inodes=4 tmpfs /tmp;",
              "for i in 1 2 3 4 5 6; do touch /tmp/f$i 2>/dev/null; done;", quoted(["/run/kauthclient"] + client("replace", {"data": [INTEL]})[1:]),
              "2>&1; cat", copy),
    ]
    machine = Machine(profile, binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)
    checks.equal("the first change succeeds while a user races for the marker", result(out[0])["result"], "ok")
    checks.equal("and was backed up before", out[1]["stdout"], "blacklist nouveau\nalias nouveau off\n")
    checks.equal("the backup is root's, readable by root only", out[2]["stdout"], "root 700\nroot 600\n")
    checks.true("the restore refuses a copy of a user's, naming it", "exit 2" in out[3]["stdout"]
                and "The backup cannot be trusted, nothing was restored:\n  %s: belongs to user 65534" % copy in out[3]["stderr"],
                out[3]["stdout"] + out[3]["stderr"])
    checks.equal("and changes nothing", out[3]["stdout"].split("exit 2\n")[-1], "#blacklist nouveau\n#alias nouveau off\n")
    checks.true("with /tmp out of inodes the first change of a boot is backed up", out[4]["stdout"].endswith(
        "#blacklist nouveau\n#alias nouveau off\n") and result(out[4])["result"] == "ok", out[4]["stdout"] + out[4]["stderr"])


def disclosure(checks):
    """What any user on the bus hears of root's requests, and what a busy helper tells."""
    profile = load_profile("helper-laptop")
    secret = "/etc/modprobe.d/secret.d/hidden-name-1234.conf"
    slow = quoted(client("install", {"drivers": ["kiv-slow-driver"]}))
    racing = " ".join("(%s > /run/race-%d.txt) &" % (quoted(client("replace", {"data": [NVIDIA]})), i) for i in range(6))
    commands = [
        # 0: a file only root may read, holding a block the helper will not lift.
        ["sh", "-c", "mkdir -m 700 /etc/modprobe.d/secret.d && echo 'install nouveau /bin/false; logger x' > %s && chmod 600 %s" % (secret, secret)],
        shell(SYSLOG, LISTEN, "sleep 1;", quoted(client("replace", {"data": [NVIDIA]})), "; sleep 1; kill $(cat /run/heard.pid) $(cat /run/syslog.pid)"),  # 1
        ["sh", "-c", "cat /run/heard.txt"],                                                                    # 2
        ["sh", "-c", "cat /run/syslog.txt"],                                                                   # 3
        ["rm", "-r", "/etc/modprobe.d/secret.d"],                                                             # 4
        # 5: six switches and an installation while a slow installation runs: each
        # learns that its own request was not made.
        shell("(", slow, "> /run/slow.txt) & sleep 2;", racing,
              "(", quoted(client("install", {"drivers": ["kiv-slow-tools"]})), "> /run/race-install.txt) &",
              "(/usr/bin/orlix-admin-driver set-module PCI:1@0:0:0 nouveau > /run/race-cli.txt 2>&1; echo exit $? >> /run/race-cli.txt) &",
              # Arguments that would make Qt's reader ask for gigabytes, sent while the helper works.
              quoted(NOBODY + [CLIENT, "--raw", "org.kiv.kivadmindriverhelper.install", "{}", "--nested", "-1"]), "> /dev/null &",
              "sleep 1; cat /run/race-*.txt; echo ==; wait; cat /run/slow.txt"),
        ["dpkg-query", "-W", "-f", "${Package} ${db:Status-Abbrev}\\n", "kiv-slow-driver", "kiv-slow-tools"],  # 6
    ]
    machine = Machine(profile, binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)
    checks.equal("the secret file is made", out[0]["exit"], 0)
    checks.equal("a file only root may read is not named in the reply", result(out[1])["text"],
                 "New driver blacklists error: line 1 of a file only root can read (named in the system log) keeps nouveau from loading "
                 "with a command that does more, which cannot be undone safely")
    heard = bytes_heard(out[2]["stdout"])
    checks.true("an ordinary user heard the helper's signals", "remoteSignal" in heard, heard[-300:])
    checks.true("but not the file's name", "hidden-name" not in heard, heard[-600:])
    checks.true("the system log names it", "secret.d/hidden-name-1234.conf" in out[3]["stdout"], out[3]["stdout"][-500:])
    racers, _, slow_out = out[5]["stdout"].partition("==\n")
    replies = [json.loads(line) for line in racers.splitlines() if line.startswith('{"error"') or line.startswith('{"result"')]
    checks.equal("every racing request is told the helper is busy, before the slow one ends",
                 [(r.get("result"), r.get("text")) for r in replies], [("error", "Another change is being made by the helper: this one was not made. "
                                                                        "Try again when it has finished.")] * 7)
    checks.true("the command line says so and fails", "Another change is being made by the helper" in racers and "exit 0" not in racers, racers)
    checks.equal("the slow installation gets its own reply", json.loads(slow_out.splitlines()[-1]), {"result": "ok", "error": 0, "text": ""})
    checks.equal("only the slow one was installed", out[6]["stdout"], "kiv-slow-driver ii \n")


def package_safety(checks):
    names = ["kiv-uses-base", "hostname", "gzip", "findutils", "sed", "kiv-important-lib", "kiv-uses-important", "kiv-provider",
             "kiv-wants-virtual", "kiv-also-wants-virtual", "kiv-shared", "kiv-needs-shared", "kiv-conflicting", "kiv-failing", "kiv-plain"]
    status = ["dpkg-query", "-W", "-f", "${Package} ${db:Status-Abbrev}\\n"] + names
    commands = [
        client("remove", {"drivers": ["kiv-uses-base"]}),          # 0: Essential dependencies stay
        client("remove", {"drivers": ["sed"]}),                    # 1
        client("remove", {"drivers": ["kiv-uses-important"]}),     # 2: Priority important stays
        client("remove", {"drivers": ["kiv-wants-virtual"]}),      # 3: a provider another package needs stays
        client("remove", {"drivers": ["kiv-shared"]}),             # 4: APT would take kiv-needs-shared too
        client("install", {"drivers": ["kiv-conflicting"]}),       # 5: APT would take kiv-needs-shared
        status,                                                    # 6
        client("install", {"drivers": ["kiv-failing"]}),           # 7
        client("install", {"drivers": ["kiv-plain"]}),             # 8: an unrelated job after it
        status,                                                    # 9
    ]
    machine = Machine("package-laptop", binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)

    def states(outcome):
        listed = dict(line.split(" ", 1) for line in outcome["stdout"].splitlines())
        return {name: listed.get(name, "un ").strip() for name in names}
    checks.equal("removal keeps Essential dependencies", result(out[0])["result"], "ok")
    checks.equal("an Essential package named is refused", result(out[1])["text"], "Refused request: sed must not be removed, the system needs it")
    checks.equal("removal keeps a Priority important dependency", result(out[2])["result"], "ok")
    checks.equal("removal through a virtual package", result(out[3])["result"], "ok")
    checks.equal("a removal that takes another package is refused", result(out[4])["text"], "Refused request: it would also remove kiv-needs-shared")
    checks.equal("an installation that removes a package is refused", result(out[5])["text"],
                 "Refused request: it would also remove kiv-needs-shared")
    checks.equal("package states after the refusals", states(out[6]), {
        "kiv-uses-base": "un", "hostname": "ii", "gzip": "ii", "findutils": "ii", "sed": "ii", "kiv-important-lib": "ii", "kiv-uses-important": "un",
        "kiv-provider": "ii", "kiv-wants-virtual": "un", "kiv-also-wants-virtual": "ii", "kiv-shared": "ii", "kiv-needs-shared": "ii",
        "kiv-conflicting": "un", "kiv-failing": "un", "kiv-plain": "un"})
    checks.true("a failing maintainer script fails the job", result(out[7])["text"].endswith(
        "\nUnfinished: package kiv-failing is half-configured. The packages of this request are not in place."), result(out[7]))
    checks.true("the next job names the unfinished package and has its own in place", result(out[8])["text"].endswith(
        "\nUnfinished: package kiv-failing is half-configured. The packages of this request are in place."), result(out[8]))
    checks.equal("package states after it", {name: states(out[9])[name] for name in ("kiv-failing", "kiv-plain")},
                 {"kiv-failing": "iF", "kiv-plain": "ii"})


def authorization(checks):
    service = "/usr/share/dbus-1/system-services/org.kiv.kivadmindriverhelper.service"
    commands = [
        # A lower limit than the helper's own, as only root can set it.
        ["sed", "-i", r"s|^Exec=\(.*\)$|Exec=\1 --authorization-limit 3|", service],   # 0
        # 1: an action ID that polkit does not know: its check never ends in KAuth.
        NOBODY + [CLIENT, "--raw", "org.kiv.kivadmindriverhelper.nosuch", "{}", "--timeout", "30"],
        client("tearing", {"vendor": "intel", "driverName": "intel", "shouldEnable": "true"}, "--timeout", "30"),  # 2
        # 3: any user sends unknown action IDs over and over while root works.
        shell("(for i in $(seq 16); do", quoted(NOBODY + [CLIENT, "--raw", "org.kiv.kivadmindriverhelper.nosuch", "{}", "--timeout", "5"]),
              "> /dev/null & sleep 0.25; done; wait) & for i in 1 2 3 4 5 6; do",
              quoted(client("tearing", {"vendor": "intel", "driverName": "intel", "shouldEnable": "true"}, "--timeout", "20")), "; sleep 0.3; done; wait"),
        # 4, 5, 6: arguments no request has, from any user (nested deep, over the
        # size limit, a count that claims 2^31 elements): the helper ends before
        # KAuth reads them, and a fresh one serves the next request.
        NOBODY + [CLIENT, "--raw", "org.kiv.kivadmindriverhelper.tearing", "{}", "--nested", "100000"],
        NOBODY + [CLIENT, "--raw", "org.kiv.kivadmindriverhelper.tearing", "{}", "--nested", "200000"],
        NOBODY + [CLIENT, "--raw", "org.kiv.kivadmindriverhelper.tearing", "{}", "--nested", "-1"],
        client("tearing", {"vendor": "intel", "driverName": "intel", "shouldEnable": "true"}),  # 7
        # 8: a request with its arguments as the clients send them still passes.
        NOBODY + [CLIENT, "--raw", "org.kiv.kivadmindriverhelper.tearing", '{"vendor": "intel", "driverName": "intel", "shouldEnable": "true"}'],
    ]
    machine = Machine("hybrid-laptop", binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)
    checks.equal("the service file takes the limit", out[0]["exit"], 0)
    checks.equal("the stuck request fails", result(out[1])["result"], "error")
    checks.equal("a fresh helper serves the next request", result(out[2])["result"], "ok")
    flood = [reply for reply in (json.loads(line) for line in out[3]["stdout"].splitlines() if line.startswith("{")) if "result" in reply]
    checks.equal("root's requests during a flood of unknown action IDs all end", len(flood), 6)
    checks.true("and are served, or fail with a text", all(r["result"] == "ok" or r["text"] for r in flood), flood)
    checks.true("most are served", sum(r["result"] == "ok" for r in flood) >= 4, flood)
    checks.equal("arguments nested 100 000 deep end the helper before they are read", result(out[4])["result"], "error")
    checks.equal("and 200 000 deep, over the size limit", result(out[5])["result"], "error")
    checks.equal("and a count beyond the data", result(out[6])["result"], "error")
    checks.equal("a fresh helper serves the next request", result(out[7])["result"], "ok")
    checks.equal("real arguments pass, and the caller is refused by polkit", result(out[8])["result"], "reply")


# Prints the checksum of every modprobe file that mkinitramfs copies, as the
# system has it and as the running kernel's initramfs holds it (unpacked with
# Debian's own unmkinitramfs), then whether the two agree.
SAME_MODPROBE = ("sums() { (cd \"$1\" && for f in etc/modprobe.d/*.conf usr/lib/modprobe.d/*.conf; do [ -f \"$f\" ] && md5sum \"$f\"; done); };"
                 "d=$(mktemp -d); unmkinitramfs /boot/initrd.img-$(uname -r) $d; r=$d; [ -d $d/main ] && r=$d/main;"
                 "sums $r > /tmp/held; sums / > /tmp/system; rm -r $d; cat /tmp/held; diff /tmp/held /tmp/system && echo same")
IMAGE_SUM = "md5sum < /boot/initrd.img-$(uname -r)"


def initramfs(checks):
    """Debian's initramfs-tools and plymouth put the modprobe files and the drm
    modules into the initramfs: a switch must rebuild it, and only then."""
    cache = os.environ.get("KIV_TEST_CACHE", "/var/cache/kiv-admin-driver-tests")
    # Debian 13's kernel keeps its tree in /usr/lib only.
    tree = (glob.glob(cache + "/linux-image/lib/modules/*") + glob.glob(cache + "/linux-image/usr/lib/modules/*"))[0]
    # update-initramfs wants the kernel's configuration next to the image.
    build = "cp %s/linux-image/boot/config-* /boot/config-$(uname -r) && update-initramfs -c -k $(uname -r) >/dev/null 2>&1 && %s" % (cache, IMAGE_SUM)
    profile = load_profile("hybrid-laptop")
    profile["files"] = {NOUVEAU_OFF: "blacklist nouveau\nalias nouveau off\n"}
    commands = [
        ["sh", "-c", build],                                                         # 0: as Debian builds it: MODULES=most
        ["/usr/bin/orlix-admin-driver", "set-module", "PCI:1@0:0:0", "nouveau"],     # 1
        ["sh", "-c", SAME_MODPROBE],                                                 # 2
        # Compressed in Debian 13's kernel (nouveau.ko.xz), plain in Debian 12's.
        ["sh", "-c", "lsinitramfs /boot/initrd.img-$(uname -r) | grep -c -E '/nouveau/nouveau\\.ko(\\.xz)?$'"],  # 3
        ["/usr/sbin/kiv-admin-driver-restore", "--yes"],                             # 4
        ["sh", "-c", SAME_MODPROBE],                                                 # 5
    ]
    machine = Machine(profile, binds=[BUILD, cache], install=BUILD, services=True, real_modules=tree)
    out = machine.run(commands)
    checks.equal("the initramfs is built", out[0]["exit"], 0)
    checks.true("the switch says it rebuilds the initramfs, then that it did", out[1]["exit"] == 0
                and "Updating the initramfs /boot/initrd.img-" in out[1]["stderr"] and "was updated." in out[1]["stdout"],
                out[1]["stdout"] + out[1]["stderr"])
    checks.equal("the initramfs holds the modprobe files of the system", out[2]["stdout"].splitlines()[-1:], ["same"])
    checks.true("and the changed ones among them", "etc/modprobe.d/kiv-admin-driver-blacklists.conf" in out[2]["stdout"]
                and "etc/modprobe.d/nouveau-off.conf" in out[2]["stdout"], out[2]["stdout"])
    checks.equal("which is why: it holds nouveau", out[3]["stdout"], "1\n")
    checks.true("the restore rebuilds it too", out[4]["exit"] == 0 and "holds a copy of /etc/modprobe.d/" in out[4]["stdout"]
                and "was updated." in out[4]["stdout"], out[4]["stdout"] + out[4]["stderr"])
    checks.equal("the initramfs holds the restored files", out[5]["stdout"].splitlines()[-1:], ["same"])
    checks.true("and not the removed one", "kiv-admin-driver-blacklists" not in out[5]["stdout"], out[5]["stdout"])

    # Only the listed modules (none), and no modprobe file that the switch changes.
    failing = "#!/bin/sh\necho 'stand-in: no space left' >&2\nexit 1\n"
    commands = [
        ["sh", "-c", "sed -i 's/^MODULES=.*/MODULES=list/' /etc/initramfs-tools/initramfs.conf && " + build],  # 0
        client("replace", {"data": [NVIDIA]}),                                      # 1: only writes our new blacklist file
        ["sh", "-c", IMAGE_SUM],                                                     # 2
        # 3: nouveau taken in, then updates turned off.
        ["sh", "-c", "echo nouveau >> /etc/initramfs-tools/modules && update-initramfs -u -k $(uname -r) >/dev/null 2>&1 && "
         "sed -i 's/^update_initramfs=.*/update_initramfs=no/' /etc/initramfs-tools/update-initramfs.conf && " + IMAGE_SUM],
        client("replace", {"data": [entry("0302", "PCI:1@0:0:0", "nVidia TU117M", "", ("nouveau", "nouveau"), ("nvidia_current", "nvidia"))]}),  # 4
        # 5: updates on again, and a tool that fails.
        shell("sed -i 's/^update_initramfs=.*/update_initramfs=yes/' /etc/initramfs-tools/update-initramfs.conf && printf \"%s\" > /usr/sbin/update-initramfs;"
              % failing, SYSLOG, quoted(client("replace", {"data": [NVIDIA]})), "; kill $(cat /run/syslog.pid)"),
        ["sh", "-c", "cat %s; %s; cat /run/syslog.txt" % (BLACKLIST, IMAGE_SUM)],   # 6
    ]
    machine = Machine("hybrid-laptop", binds=[BUILD, cache], install=BUILD, services=True, real_modules=tree)
    out = machine.run(commands)
    checks.equal("a small initramfs is built", out[0]["exit"], 0)
    checks.equal("a switch the initramfs does not see succeeds", result(out[1]), {"result": "ok", "error": 0, "text": ""})
    checks.equal("and says the initramfs needs nothing", [line["data"]["initramfs"] for line in lines(out[1]) if "data" in line], ["current"])
    checks.true("without a word of a rebuild", not any("step" in line for line in lines(out[1])), out[1]["stdout"])
    checks.equal("and leaves it as it was", out[2]["stdout"], out[0]["stdout"])
    checks.true("a rebuild that the configuration turns off is no success", "(update-initramfs succeeded but left the image as it was;"
                in result(out[4])["text"], result(out[4]))
    checks.true("a failing rebuild fails the request, says what was done and what finishes it", result(out[5])["text"].startswith(
        "The driver configuration was changed, but the initramfs /boot/initrd.img-") and "(update-initramfs exited with status 1)" in result(out[5])["text"]
        and result(out[5])["text"].endswith("Run \"update-initramfs -u -k %s\" as root to finish the change." % os.uname().release), result(out[5]))
    checks.true("after telling that it was rebuilding", any(line.get("step", {}).get("initramfs") == "updating" for line in lines(out[5])), out[5]["stdout"])
    checks.equal("and the reply says the files were changed all the same",
                 [(line["data"]["initramfs"], line["data"]["changed"]) for line in lines(out[5]) if "data" in line], [("failed", True)])
    checks.equal("the configuration stays as written", out[6]["stdout"].splitlines()[:2], ["blacklist nvidia", "#blacklist nouveau"])
    checks.equal("and the initramfs as it was", out[6]["stdout"].splitlines()[2:3], out[3]["stdout"].splitlines())
    checks.true("the tool's words are in the system log", "stand-in: no space left" in out[6]["stdout"], out[6]["stdout"][-800:])


def initramfs_dracut(checks):
    """Where dracut builds the images (in place of initramfs-tools), its own tools
    list and rebuild them."""
    cache = os.environ.get("KIV_TEST_CACHE", "/var/cache/kiv-admin-driver-tests")
    # Debian 13's kernel keeps its tree in /usr/lib only.
    tree = (glob.glob(cache + "/linux-image/lib/modules/*") + glob.glob(cache + "/linux-image/usr/lib/modules/*"))[0]
    profile = load_profile("hybrid-laptop")
    profile["files"] = {NOUVEAU_OFF: "blacklist nouveau\nalias nouveau off\n",
                        # Host-only images take /etc/modprobe.d in; few dracut modules keep the build short.
                        "/etc/dracut.conf.d/90-test.conf": 'hostonly="yes"\ndracutmodules="base kernel-modules"\n'}
    held = "lsinitrd -f etc/modprobe.d/nouveau-off.conf /boot/initrd.img-$(uname -r); lsinitrd -f %s /boot/initrd.img-$(uname -r)" % BLACKLIST[1:]
    commands = [
        # dpkg takes the packages in name order, so a pre-dependency on one named
        # later (e2fsprogs, where a minimal root lacks it) needs a second pass.
        ["sh", "-c", "dpkg --remove --force-depends initramfs-tools initramfs-tools-core >/dev/null 2>&1"
         " && { dpkg -i %(cache)s/dracut/*.deb >/dev/null 2>&1 || dpkg -i %(cache)s/dracut/*.deb >/dev/null 2>&1; }"
         " && cp %(cache)s/linux-image/boot/config-* /boot/config-$(uname -r) && dracut -q --force /boot/initrd.img-$(uname -r) $(uname -r) >/dev/null 2>&1"
         " && %(held)s" % {"cache": cache, "held": held}],                                                      # 0
        shell(SYSLOG, "/usr/bin/orlix-admin-driver set-module PCI:1@0:0:0 nouveau; kill $(cat /run/syslog.pid)"),  # 1
        ["sh", "-c", held + "; cat /run/syslog.txt"],                               # 2
    ]
    machine = Machine(profile, binds=[BUILD, cache], install=BUILD, services=True, real_modules=tree)
    out = machine.run(commands)
    checks.equal("dracut builds an image with the modprobe file", out[0]["stdout"], "blacklist nouveau\nalias nouveau off\n")
    checks.true("the switch rebuilds it with dracut", out[1]["exit"] == 0 and "was updated." in out[1]["stdout"], out[1]["stdout"] + out[1]["stderr"])
    checks.true("because lsinitrd's listing holds the changed file", "holds a copy of /etc/modprobe.d/nouveau-off.conf" in out[2]["stdout"],
                out[2]["stdout"][-600:])
    checks.true("the image holds the files as the switch wrote them", out[2]["stdout"].startswith("#blacklist nouveau\n#alias nouveau off\nblacklist nvidia\n"),
                out[2]["stdout"][:300])


def run_groups(what, groups):
    """Runs the groups named in the first argument (comma-separated; all without
    one) and returns the exit status."""
    if os.geteuid() != 0:
        print("%s need root (namespaces, mounts, a system bus)" % what)
        return 1
    checks = Checks()
    for name in (sys.argv[1].split(",") if len(sys.argv) > 1 else groups):
        started = time.monotonic()
        groups[name](checks)
        print("-- %s: %.1f s" % (name, time.monotonic() - started))
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 1 if checks.failed else 0


def main():
    return run_groups("the helper's system tests", {"switching": switching, "kmod": kmod_blocks, "backup": backup, "packages": packages, "package-safety": package_safety,
                                                    "disclosure": disclosure,
                                                    "authorization": authorization, "initramfs": initramfs,
                                                    "initramfs-dracut": initramfs_dracut})


if __name__ == "__main__":
    sys.exit(main())
