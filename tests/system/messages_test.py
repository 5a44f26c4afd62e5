#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Extracts the translation templates as KDE's tools do (tools/extract-messages.sh)
and checks that every text the command line shows its users, and every text of the
control module's forms, is in its domain's template (a text that xgettext does not
find can never be translated), and that the German catalogue of each domain
translates every text of its template."""

import ast
import glob
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

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
    "Also shows whether each module loads under Secure Boot",
    "Switches even to a module that Secure Boot will keep from loading",
    "Nothing was changed. To switch anyway, run the command again with --%1.",
    "The kernel will not load %1 after the reboot: Secure Boot is on and the module is not signed.",
}


def catalogue(path):
    """{(context, msgid): msgstr} of a template or catalogue, continuation lines joined."""
    entries, context, key, field = {}, None, None, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            for name in ("msgctxt", "msgid", "msgstr"):
                if line.startswith(name + " "):
                    field, value = name, ast.literal_eval(line[len(name) + 1:])
                    if name == "msgctxt":
                        context = value
                    elif name == "msgid":
                        key = [context, value]
                    else:
                        entries[(key[0], key[1])] = value
                        context = None
                    break
            else:
                if line.startswith('"') and field == "msgid":
                    key[1] += ast.literal_eval(line)
                elif line.startswith('"') and field == "msgstr":
                    entries[(key[0], key[1])] += ast.literal_eval(line)
    entries.pop((None, ""), None)
    return entries


def form_texts():
    """The translatable texts of the control module's forms, as (context, text)."""
    texts = set()
    for path in glob.glob(os.path.join(TOP, "kcm", "**", "*.ui"), recursive=True):
        for element in ElementTree.parse(path).iter("string"):
            if element.get("notr") != "true" and element.text:
                texts.add((element.get("comment"), element.text))
    return texts


def main():
    failures = []
    with tempfile.TemporaryDirectory() as podir:
        subprocess.run([os.path.join(TOP, "tools", "extract-messages.sh"), podir], check=True)
        templates = {}
        for domain in ("orlix-admin-driver", "kcm_kivdriver"):
            template = os.path.join(podir, domain + ".pot")
            subprocess.run(["msgfmt", "--check-format", "-o", os.devnull, template], check=True)
            templates[domain] = catalogue(template)
    cli = {text for context, text in templates["orlix-admin-driver"]}
    failures += ["orlix-admin-driver: not in the template: %r" % text for text in sorted(CLI_TEXTS - cli)]
    failures += ["kcm_kivdriver: form text not in the template: %r" % (text,) for text in sorted(form_texts() - set(templates["kcm_kivdriver"]), key=str)]
    for domain, template in templates.items():
        translation = catalogue(os.path.join(TOP, "po", "de", domain + ".po"))
        failures += ["%s: no German for %r" % (domain, key) for key in template if not translation.get(key)]
        subprocess.run(["msgfmt", "--check", "-o", os.devnull, os.path.join(TOP, "po", "de", domain + ".po")], check=True)
    for failure in failures:
        print("FAIL " + failure)
    print("%d texts of the command line, %d of the control module; %d problems"
          % (len(templates["orlix-admin-driver"]), len(templates["kcm_kivdriver"]), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
