#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The Debian packages: built from the source tree (tools/package.sh, with
lintian), installed by APT into a fake machine with what they depend on, and
used there: a listing, a switch through the packaged helper, the restore
command, the manual pages, the bash completion (in real bash, as an ordinary
user) and the German catalogue. Usage: package_test.py BUILD_DIR"""

import glob
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fakemachine"))
from fakemachine import Machine  # noqa: E402
from helper_test import Checks, NOBODY  # noqa: E402

COMPLETE = r'''
source /usr/share/bash-completion/bash_completion
source /usr/share/bash-completion/completions/orlix-admin-driver
complete_line() {
    COMP_LINE="$1"; COMP_POINT=${#COMP_LINE}
    read -ra COMP_WORDS <<< "$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _orlix_admin_driver orlix-admin-driver "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    echo "$1|$(printf '%s ' "${COMPREPLY[@]}")"
}
complete_line "orlix-admin-driver set-m"
complete_line "orlix-admin-driver list-modules "
complete_line "orlix-admin-driver set-module PCI:1@0:0:0 "
complete_line "orlix-admin-driver set-xorg PCI:0@0:2:0 mo"
complete_line "orlix-admin-driver set-module PCI:1@0:0:0 nouveau --i"
'''


def main():
    if os.geteuid() != 0:
        print("the package test needs root (namespaces, mounts, a system bus)")
        return 1
    build = os.path.abspath(sys.argv[1])
    debs_dir = os.path.join(build, "debs")
    subprocess.run([os.path.join(TOP, "tools", "package.sh")], check=True, env=dict(os.environ, DEB_DIR=debs_dir))
    debs = sorted(d for d in glob.glob(debs_dir + "/*.deb") if "-dbgsym_" not in d)
    checks = Checks()
    checks.equal("three packages", [os.path.basename(d).split("_")[0] for d in debs],
                 ["kde-config-kivdriver", "kiv-admin-driver-helper", "orlix-admin-driver"])
    modprobe = ["sh", "-c", "cat /etc/modprobe.d/*"]
    commands = [
        ["dpkg-query", "-W", "-f", "${Package} ${db:Status-Abbrev}\\n", "orlix-admin-driver", "kiv-admin-driver-helper", "kde-config-kivdriver"],
        ["orlix-admin-driver", "list-gpus"],                                                # 1
        ["orlix-admin-driver", "set-module", "PCI:1@0:0:0", "nouveau"],                      # 2
        modprobe,                                                                            # 3
        ["kiv-admin-driver-restore", "--yes"],                                               # 4
        modprobe,                                                                            # 5
        ["sh", "-c", "for page in /usr/share/man/man1/orlix-admin-driver.1.gz /usr/share/man/man8/kiv-admin-driver-restore.8.gz; do"
                     " zcat $page | LC_ALL=C.UTF-8 groff -ww -z -man 2>&1; done; MANWIDTH=80 man 8 kiv-admin-driver-restore | head -4"],
        NOBODY + ["bash", "-c", COMPLETE],                                                   # 7
        ["env", "LC_ALL=de_DE.UTF-8", "LANGUAGE=de", "orlix-admin-driver", "list-modules", "PCI:1@0:0:0"],         # 8
        [os.path.join(build, "bin", "kcmdriver"), "wait", "gpu", "1", "show"],               # 9
    ]
    out = Machine("switch-laptop", binds=[build], services=True, debs=debs).run(commands)
    checks.equal("installed by APT", sorted(out[0]["stdout"].splitlines()),
                 ["kde-config-kivdriver ii ", "kiv-admin-driver-helper ii ", "orlix-admin-driver ii "])
    checks.equal("the listing", out[1]["stdout"].splitlines()[1],
                 "Bus id: PCI:1@0:0:0 Model: nVidia TU117M [GeForce GTX 1650 Mobile / Max-Q] Vendor: nVidia Corporation")
    checks.equal("a switch through the packaged helper", (out[2]["exit"], out[3]["stdout"]),
                 (0, "blacklist nvidia\n#alias nouveau off\n#blacklist nouveau\n"))
    checks.true("the restore command", out[4]["exit"] == 0 and "Done." in out[4]["stdout"], out[4]["stdout"] + out[4]["stderr"])
    checks.equal("restored", out[5]["stdout"], "alias nouveau off\nblacklist nouveau\n")
    # groff's warnings would come first.
    checks.true("the manual pages render without warnings", out[6]["stdout"].startswith("KIV-ADMIN-DRIVER-RESTORE(8) ")
                and "NAME" in out[6]["stdout"], out[6]["stdout"])
    checks.equal("bash completion, as an ordinary user", out[7]["stdout"].splitlines(), [
        "orlix-admin-driver set-m|set-module ",
        "orlix-admin-driver list-modules |PCI:0@0:2:0 PCI:1@0:0:0 ",
        "orlix-admin-driver set-module PCI:1@0:0:0 |nvidia nouveau ",
        "orlix-admin-driver set-xorg PCI:0@0:2:0 mo|modesetting ",
        "orlix-admin-driver set-module PCI:1@0:0:0 nouveau --i|--ignore-secure-boot ",
    ])
    checks.equal("German, from the packaged catalogue", out[8]["stdout"], "Kernelmodule für PCI:1@0:0:0\nnvidia (current)\nnouveau\n")
    shown = [json.loads(line) for line in out[9]["stdout"].splitlines() if line.startswith('{"gpus"')]
    checks.true("the packaged control module loads", shown and shown[0]["module"] == "nvidia_current (current)", out[9]["stdout"][-400:])
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
