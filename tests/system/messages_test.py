#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Extracts the translation templates as KDE's tools do (tools/extract-messages.sh)
and checks that every text the command line shows its users is in its template:
a text that xgettext does not find can never be translated."""

import ast
import os
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Every text of orlix-admin-driver that is not data (bus IDs, module, driver and
# package names) or one of the fixed labels of list-gpus.
CLI_TEXTS = {
    "Action to execute",
    "Provides information about available actions",
    "Lists available GPUs",
    "Lists kernel modules for the specified GPU",
    "Lists ALL (even incompatible) XOrg drivers and current XOrg driver for the specified GPU",
    "Lists all available for installation and installed driver packages which are compatible with the specified GPU",
    "Sets new kernel module for the specified GPU",
    "Sets new XOrg driver for the specified GPU",
    "GPU BusID, name or vendor",
    "Kernel module that will be set as active",
    "XOrg driver that will be set as active",
    "Couldn't find GPU by BusID / Model / Vendor using argument ",
    "Kernel modules for ",
    "Cannot find any compatible driver packages",
    "Cannot find module ",
    " for GPU ",
    "You are trying to set current xorg driver",
    'XOrg driver "%1" is not installed; list-xorg shows the installed ones',
}


def msgids(path):
    """The msgids of a template, continuation lines joined."""
    ids, current = [], None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("msgid "):
                current = ast.literal_eval(line[6:])
            elif line.startswith('"') and current is not None:
                current += ast.literal_eval(line)
            else:
                if current:
                    ids.append(current)
                current = None
    if current:
        ids.append(current)
    return set(ids)


def main():
    with tempfile.TemporaryDirectory() as podir:
        subprocess.run([os.path.join(TOP, "tools", "extract-messages.sh"), podir], check=True)
        template = os.path.join(podir, "orlix-admin-driver.pot")
        subprocess.run(["msgfmt", "--check-format", "-o", os.devnull, template], check=True)
        found = msgids(template)
    missing = sorted(CLI_TEXTS - found)
    for text in missing:
        print("FAIL not in the template: %r" % text)
    print("%d of %d texts of the command line are in its template" % (len(CLI_TEXTS) - len(missing), len(CLI_TEXTS)))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
