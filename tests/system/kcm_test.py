#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The installed control module end to end: a fake machine with the project
installed, a private system bus, polkitd and the real helper. A driver program
(kcmdriver) loads the plug-in by its plug-in ID, as System Settings does, and
works its widgets; stand-ins for the desktop's reboot tool, its session shutdown
service and logind record what they are asked. The "desktop" group starts the
real kcmshell (5 or 6, as the build) and systemsettings under Xvfb."""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fakemachine"))
from fakemachine import Machine, load_profile  # noqa: E402
from helper_test import BUILD_CONFIG, NOBODY, run_groups  # noqa: E402

BUILD = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
DRIVER = BUILD + "/bin/kcmdriver" if BUILD else None
RECORDER = BUILD + "/bin/busrecorder" if BUILD else None
REBOOT_TOOL = "/usr/bin/kiv-wmfunc"
EFIVARS = os.path.join(os.path.dirname(HERE), "fakemachine", "efivars.py")
RECORDS = "/run/kiv-test"
REBOOT_QUESTION = "For correct application, it is recommended to reboot the system.\nReboot now?"


def quoted(command):
    return " ".join("'%s'" % part.replace("'", "'\\''") for part in command)


def shell(*parts):
    return ["sh", "-c", " ".join(parts)]


def events(outcome):
    return [json.loads(line) for line in outcome["stdout"].splitlines() if line.startswith("{")]


def boxes(outcome):
    return [event["box"] for event in events(outcome) if "box" in event]


def shown(outcome):
    return [event for event in events(outcome) if "gpus" in event]


def record(path):
    return "cat %s/%s 2>/dev/null || echo '(nothing)'" % (RECORDS, path)


def switching(checks):
    profile = load_profile("switch-laptop")
    stand_in = "#!/bin/sh\necho \"$*\" XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR >> %s/reboot-tool.log\n" % RECORDS
    session_service = quoted([RECORDER, "--session", "org.kde.Shutdown", "/Shutdown", RECORDS + "/session.log"])
    logind = quoted([RECORDER, "--system", "org.freedesktop.login1", "/org/freedesktop/login1", RECORDS + "/logind.log"])
    # An ordinary user's own caches, as KDE's service lookup writes them.
    as_nobody = NOBODY + ["env", "HOME=/tmp/nobody"]
    commands = [
        # 0: the reboot tool of the desktop, where there is one.
        shell("mkdir -p %s && printf '%%s' '%s' > %s && chmod 755 %s" % (RECORDS, stand_in, REBOOT_TOOL, REBOOT_TOOL)),
        # 1: the NVIDIA GPU to nouveau, Apply, Yes.
        ["env", "SUDO_UID=1000", DRIVER, "wait", "show", "gpu", "1", "show", "module", "nouveau", "answers", "yes", "apply", "show"],
        shell("cat /etc/modprobe.d/*;", record("reboot-tool.log")),                                     # 2
        # 3: a reboot tool that fails: Plasma's session shutdown service.
        shell("printf '#!/bin/sh\\nexit 1\\n' >", REBOOT_TOOL, "; dbus-run-session -- sh -c", quoted([session_service + " & sleep 1; " + quoted(
            [DRIVER, "wait", "gpu", "1", "xorg", "nouveau", "answers", "yes", "apply"]) + "; kill $!"]), ";", record("session.log")),
        # 4: no session service either: logind.
        shell(logind, "& sleep 1;", quoted([DRIVER, "wait", "gpu", "1", "xorg", "nvidia", "answers", "yes", "apply"]), "; kill $!;",
              record("logind.log")),
        # 5: nothing that could reboot.
        [DRIVER, "wait", "gpu", "1", "xorg", "modesetting", "answers", "yes,ok", "apply"],
        # 6: an ordinary user without authorisation.
        shell("mkdir -p /tmp/nobody && chown nobody /tmp/nobody;", quoted(as_nobody + [DRIVER, "wait", "gpu", "1", "module", "nvidia_current",
                                                                                     "answers", "ok", "apply", "show"])),
        # 7: a helper that fails: the alias file cannot be replaced.
        shell("sed -i s/^#alias/alias/ /etc/modprobe.d/nouveau-alias.conf &&",
              "mount --bind /etc/modprobe.d/nouveau-alias.conf /etc/modprobe.d/nouveau-alias.conf &&",
              "mount -o remount,ro,bind /etc/modprobe.d/nouveau-alias.conf;",
              quoted([DRIVER, "wait", "gpu", "1", "module", "nouveau", "answers", "ok", "apply"])),
        # 8: Secure Boot on, and nouveau (which no key signed) chosen: the question, Cancel.
        shell("umount /etc/modprobe.d/nouveau-alias.conf; python3", EFIVARS, "secure-boot on; cat /etc/modprobe.d/* > /tmp/before;",
              quoted([DRIVER, "wait", "gpu", "1", "module", "nouveau", "answers", "no", "apply"]),
              "; cat /etc/modprobe.d/* | cmp -s - /tmp/before && echo unchanged"),
    ]
    machine = Machine(profile, binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)

    found = events(out[1])[0]
    checks.equal("the host finds the module by its plug-in ID", (found.get("service"), found.get("category")), ("Driver Manager", "display"))
    checks.true("the plug-in comes from the modules' plug-in directory",
                found.get("library", "").startswith(BUILD_CONFIG["pluginDirectory"] + "/plasma/kcms/systemsettings_qwidgets/"), found)
    first, nvidia, after = shown(out[1])
    checks.equal("the GPUs", first["gpus"], ["PCI:0@0:2:0: Intel CometLake-U GT2 [UHD Graphics]", "PCI:1@0:0:0: nVidia TU117M [GeForce GTX 1650 Mobile / Max-Q]"])
    checks.equal("the NVIDIA GPU's modules", (nvidia["modules"], nvidia["module"]), (["nvidia_current (current)", "nouveau"], "nvidia_current (current)"))
    checks.equal("the reboot question after the switch", boxes(out[1]), [REBOOT_QUESTION])
    checks.equal("the new module is current", after["module"], "nouveau (current)")
    checks.equal("the helper's files and the reboot tool", out[2]["stdout"],
                 "blacklist nvidia\n#alias nouveau off\n#blacklist nouveau\nKIVWM_REBOOT XDG_RUNTIME_DIR=/run/user/1000\n")
    checks.equal("the tool failed: Plasma's session reboots", out[3]["stdout"].splitlines()[-1:], ["org.kde.Shutdown.logoutAndReboot "])
    checks.equal("without a session, logind reboots (interactively)", out[4]["stdout"].splitlines()[-1:],
                 ["org.freedesktop.login1.Manager.Reboot true"])
    checks.equal("nothing could reboot: the user is told", boxes(out[5])[1:],
                 ["The computer could not be restarted: neither the desktop nor the login manager accepted the request. Please restart it yourself."])
    checks.equal("an ordinary user is refused", boxes(out[6]), ["Kernel module switch error: Authorization denied."])
    checks.equal("refused: nothing changes", shown(out[6])[-1]["module"], "nvidia_current (current)")
    checks.equal("a failing helper's text", boxes(out[7]), ["Kernel module switch error: New driver alias error"])
    checks.equal("Secure Boot: the warning before Apply", boxes(out[8]), [
        "The kernel will not load nouveau after the reboot: Secure Boot is on and the module is not signed.\n\n"
        "Switch anyway? After the reboot the GPU may be left on a fallback driver or a black screen."])
    checks.equal("Secure Boot: Cancel sends nothing", out[8]["stdout"].splitlines()[-1:], ["unchanged"])


def packages(checks):
    status = ["dpkg-query", "-W", "-f", "${Package} ${db:Status-Abbrev}\\n", "nvidia-driver-440", "nvidia-driver-470", "kiv-failing-driver"]
    commands = [
        [DRIVER, "wait", "gpu", "1", "answers", "cancel", "install"],                         # 0
        [DRIVER, "wait", "gpu", "1", "answers", "nvidia-driver-440,no", "install"],           # 1
        status,                                                                                # 2
        [DRIVER, "wait", "gpu", "1", "answers", "nvidia-driver-440,no", "remove"],            # 3
        [DRIVER, "wait", "gpu", "1", "answers", "kiv-failing-driver,ok", "install"],          # 4
        [DRIVER, "wait", "gpu", "0", "answers", "ok", "install"],                             # 5
        status,                                                                                # 6
        [DRIVER, "wait", "gpu", "0", "answers", "cancel", "remove"],                          # 7
    ]
    machine = Machine("helper-laptop", binds=[BUILD], install=BUILD, services=True)
    out = machine.run(commands)
    checks.equal("Cancel starts nothing", (boxes(out[0]), [event for event in events(out[0]) if "progress" in event]), ([], []))
    dialog = [event for event in events(out[1]) if "dialog" in event]
    checks.equal("the install dialog offers what covers the GPU and is not installed", dialog[:1],
                 [{"dialog": "Driver Installation", "label": "Choose a driver to install:",
                   "offered": ["kiv-failing-driver", "nvidia-driver-440"]}])
    progress = [event["progress"] for event in events(out[1]) if "progress" in event]
    checks.true("the progress bar follows the helper to 100", progress and progress[-1] == 100 and progress == sorted(progress), progress)
    checks.equal("a success asks for a reboot", boxes(out[1]), [REBOOT_QUESTION])
    checks.equal("installed", out[2]["stdout"].splitlines()[0], "nvidia-driver-440 ii ")
    dialog = [event for event in events(out[3]) if "dialog" in event]
    # nvidia-driver-470 owns the module in use.
    checks.equal("the remove dialog offers the installed driver packages but the module's own", dialog[:1],
                 [{"dialog": "Driver Removal", "label": "Choose a driver to remove:", "offered": ["nvidia-driver-440"]}])
    checks.equal("a removal asks for a reboot", boxes(out[3]), [REBOOT_QUESTION])
    progress = [event["progress"] for event in events(out[3]) if "progress" in event]
    checks.true("the removal's progress bar reaches 100", progress and progress[-1] == 100 and progress == sorted(progress), progress)
    # No package owns i915.ko: every installed driver package is offered, whatever GPU it is for,
    # the one whose configuration failed included.
    dialog = [event for event in events(out[7]) if "dialog" in event]
    checks.equal("the remove dialog of a module no package owns", dialog[:1],
                 [{"dialog": "Driver Removal", "label": "Choose a driver to remove:", "offered": ["kiv-failing-driver", "nvidia-driver-470"]}])
    failure = boxes(out[4])
    checks.true("a failing package: the transaction's error, no reboot question",
                len(failure) == 1 and failure[0].startswith("Transaction error: "), failure)
    checks.equal("nothing for the Intel GPU", boxes(out[5]), ["No new compatible drivers detected"])
    listed = dict(line.split(" ", 1) for line in out[6]["stdout"].splitlines())
    checks.equal("package states", (listed.get("nvidia-driver-440", "un "), listed.get("nvidia-driver-470")), ("un ", "ii "))

    # Debian's knowledge (AppStream's catalogue, nvidia-detect's lists): the
    # dialogs offer what the command line lists.
    cli = BUILD + "/bin/orlix-admin-driver"
    gpus = ["PCI:0@0:2:0", "PCI:1@0:0:0", "PCI:2@0:0:0", "PCI:3@0:0:0"]
    commands = [[DRIVER, "wait", "gpu", str(i), "answers", "cancel", "install"] for i in range(len(gpus))]
    commands += [[cli, "list-packages", gpu] for gpu in gpus]
    commands += [[DRIVER, "wait", "gpu", "1", "answers", "cancel", "remove"],
                 shell("dpkg -r nvidia-detect >/dev/null;", quoted([DRIVER, "wait", "gpu", "1", "answers", "ok", "install"]))]
    out = Machine("debian12-drivers", binds=[BUILD], install=BUILD, services=True).run(commands)
    for i, gpu in enumerate(gpus):
        offered = [event["offered"] for event in events(out[i]) if "dialog" in event][:1]
        listed = [line for line in out[len(gpus) + i]["stdout"].splitlines() if not line.endswith(" (installed)")]
        checks.equal("Install offers what list-packages lists, not installed, for " + gpu, offered or boxes(out[i]),
                     [listed] if listed else ["No new compatible drivers detected"])
    checks.equal("Remove offers the NVIDIA series installed, never firmware",
                 [event["offered"] for event in events(out[2 * len(gpus)]) if "dialog" in event][:1], [["nvidia-tesla-470-driver"]])
    checks.equal("without nvidia-detect, the box says how to learn the NVIDIA drivers", boxes(out[2 * len(gpus) + 1]),
                 ["No new compatible drivers detected\nWhich NVIDIA drivers support this GPU is known only with nvidia-detect installed, "
                  "which the archive offers."])


def tweaks(checks):
    """The advanced settings dialog: the TearFree snippet through the real helper,
    the picom tweak read by the real picom, the real glmark2."""
    snippet = "/etc/X11/xorg.conf.d/20-amd-tearing.conf"
    commands = [
        [DRIVER, "wait", "answers", "tearing=on,no", "click", "tweaks"],                # 0
        ["cat", snippet],                                                               # 1
        [DRIVER, "wait", "answers", "look", "click", "tweaks"],                         # 2
        [DRIVER, "wait", "answers", "tearing=off,no", "click", "tweaks"],               # 3
        [DRIVER, "wait", "answers", "look", "click", "tweaks"],                         # 4
    ]
    out = Machine("amd-desktop", binds=[BUILD], install=BUILD, services=True).run(commands)
    state = [event["tweaks"] for event in events(out[0]) if "tweaks" in event]
    checks.equal("the AMD GPU's tweak starts off", state[:1], [{"tearing": False, "independent": False, "ok": True,
                                                                 "benchmark": "Measure GPU performance using glmark2", "current": "-", "previous": "-"}])
    checks.equal("on: the reboot question", boxes(out[0]), [REBOOT_QUESTION])
    checks.equal("the helper's TearFree snippet", out[1]["stdout"],
                 'Section "Device"\n    Identifier "Intel Graphics"\n    Driver "amdgpu"\n    Option "TearFree" "true"\nEndSection\n')
    checks.equal("read back: on", [event["tweaks"]["tearing"] for event in events(out[2]) if "tweaks" in event], [True])
    checks.equal("read back: off", [event["tweaks"]["tearing"] for event in events(out[4]) if "tweaks" in event], [False])

    # The Intel GPU's tweak is the picom snippet; picom must accept what it wrote.
    # Started, and waited for until it answers (a loaded machine takes its time).
    xvfb = ("Xvfb :8 -screen 0 1024x768x24 -noreset >/dev/null 2>&1 & xvfb=$!; export DISPLAY=:8;"
            "for i in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done;")
    picom = "timeout 20 picom --config %s --diagnostics 2>&1 | grep -E 'syntax error|cannot open include file' || echo no parse error;"
    glmark2 = ("mv /usr/bin/glmark2 /usr/bin/glmark2.real && printf '#!/bin/sh\\nexec /usr/bin/glmark2.real -b :duration=0.1 \"$@\"\\n'"
               " > /usr/bin/glmark2 && chmod 755 /usr/bin/glmark2;")
    # What picom says of the configuration it reads: a read error, or, as it sets
    # vsync up (which Xvfb cannot do), that vsync is on; nothing when it is off.
    judge = ("timeout 10 picom --diagnostics 2>&1 | grep -o -E 'Error when reading configuration file.*|syntax error.*|"
             "Failed to load a swap control extension|No supported vsync method found|Failed to enable vsync' | sort -u; echo --;")
    configurations = [
        ("Debian's sample configuration", "cp /usr/share/doc/picom/examples/picom.sample.conf /root/.config/picom.conf"),
        ("an empty configuration", ": > /root/.config/picom.conf"),
        ("vsync off", "printf 'vsync = false;\\n' > /root/.config/picom.conf"),
        ("vsync off with a comment and no semicolon", "printf 'vsync = false # tears less\\n' > /root/.config/picom.conf"),
        ("a backend of the user's", "printf 'backend = \"xrender\";\\n' > /root/.config/picom.conf"),
        ("use-damage of the user's", "printf 'use-damage = true;\\n' > /root/.config/picom.conf"),
    ]
    tweak = quoted([DRIVER, "wait", "gpu", "0", "answers", "tearing=%s+independent,no", "click", "tweaks"])
    commands = [
        shell("mkdir -p /root/.config; printf 'shadow = true;\\n' > /root/.config/picom.conf;",
              quoted([DRIVER, "wait", "gpu", "0", "answers", "tearing=on+independent,no", "click", "tweaks"]),
              "; cat /root/.config/picom.conf; echo; cat /root/.config/kiv-admin-driver-picom.conf"),
        shell(xvfb, picom % "/root/.config/picom.conf", "kill $xvfb"),
        # The form earlier versions wrote, as a check that picom is asked at all.
        shell(xvfb, "printf '@include /root/.config/kiv-admin-driver-picom.conf\\n' > /tmp/old.conf;", picom % "/tmp/old.conf", "kill $xvfb"),
        shell(xvfb, glmark2, "QT_QPA_PLATFORM=xcb", quoted([DRIVER, "wait", "gpu", "0", "answers", "bench", "click", "tweaks"]),
              "; cat /root/.config/kiv-admin-driver.score; kill $xvfb"),
    ] + [shell(xvfb, setup, ";", judge, tweak % "on", ">/dev/null;", judge, tweak % "off", ">/dev/null;", judge, "kill $xvfb")
         for _, setup in configurations]
    out = Machine("hybrid-laptop", binds=[BUILD], install=BUILD, env={"HOME": "/root"}).run(commands)
    files = "".join(line + "\n" for line in out[0]["stdout"].splitlines() if not line.startswith("{"))
    header = "# Tearing prevention of the driver manager; the settings your configuration leaves open.\n"
    checks.equal("picom's configuration: the user's, then the include", files,
                 'shadow = true;\n@include "kiv-admin-driver-picom.conf"\n\n' + header + 'backend = "glx";\nvsync = true;\nuse-damage = false;\n')
    checks.equal("the real picom reads it", out[1]["stdout"], "no parse error\n")
    checks.true("the old form is a syntax error for picom", "syntax error" in out[2]["stdout"], out[2]["stdout"])
    # picom 9 and 10 (Debian 12) say the first two, picom 12 (Debian 13) the last.
    vsync_on = ("Failed to load a swap control extension", "No supported vsync method found", "Failed to enable vsync")
    for (name, _), outcome in zip(configurations, out[4:]):
        before, on, off = outcome["stdout"].split("--\n")[:3]
        checks.true("picom starts on %s with prevention on, vsync on" % name,
                    "Error" not in on and "syntax" not in on and any(message in on for message in vsync_on), outcome["stdout"])
        checks.equal("and as before with it off (%s)" % name, off, before)
    scores = [event["tweaks"] for event in events(out[3]) if "tweaks" in event]
    checks.true("the real glmark2 gives a score", len(scores) == 2 and scores[1]["current"].isdigit() and scores[1]["previous"] == "-"
                and out[3]["stdout"].endswith(scores[1]["current"]), out[3]["stdout"][-600:])


def desktop(checks):
    """The real hosts under Xvfb: each shows the module's window."""
    def host(display, command, title):
        # A display of its own; waits for the window (at most a minute on a loaded
        # machine), then lists the titles.
        return shell("Xvfb %s -screen 0 1024x768x24 -noreset >/dev/null 2>&1 & xvfb=$!; sleep 1;" % display,
                     "DISPLAY=%s QT_QPA_PLATFORM=xcb dbus-run-session --" % display, quoted(command), ">/dev/null 2>&1 & host=$!;",
                     "for i in $(seq 120); do DISPLAY=%s xwininfo -root -tree | grep -q %s && break; sleep 0.5; done;" % (display, quoted([title])),
                     "DISPLAY=%s xwininfo -root -tree | grep -o '\"[^\"]*\"' | sort -u; kill $host $xvfb; wait" % display)
    kcmshell = "kcmshell%d" % BUILD_CONFIG["qtMajorVersion"]
    commands = [host(":7", [kcmshell, "kcm_kivdriver"], "Driver Manager"),
                host(":17", ["systemsettings", "kcm_kivdriver"], "Driver Manager \u2014 System Settings")]
    out = Machine("hybrid-laptop", binds=[BUILD], install=BUILD).run(commands)
    # kcmshell6 titles the window with the module's name alone.
    title = "Driver Manager \u2014 System Settings Module" if kcmshell == "kcmshell5" else "Driver Manager"
    checks.true(kcmshell + " shows the module", '"%s"' % title in out[0]["stdout"].splitlines(), out[0]["stdout"][-600:])
    checks.true("System Settings shows the module", any("Driver Manager" in line and "System Settings" in line
                                                       for line in out[1]["stdout"].splitlines()), out[1]["stdout"][-600:])


def main():
    return run_groups("the control module's system tests", {"switching": switching, "packages": packages, "tweaks": tweaks, "desktop": desktop})


if __name__ == "__main__":
    sys.exit(main())
