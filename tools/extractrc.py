#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes the translatable strings of Qt Designer forms as i18n() calls, as KDE's
extractrc does, so that xgettext finds them: every <string> that is not marked
notr="true", its "comment" attribute as the translation context."""

import sys
import xml.etree.ElementTree as ElementTree


def quoted(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def main():
    for path in sys.argv[1:]:
        for element in ElementTree.parse(path).iter("string"):
            if element.get("notr") == "true" or not element.text:
                continue
            print("// i18n: file %s" % path)
            context = element.get("comment")
            if context:
                print("i18nc(%s, %s);" % (quoted(context), quoted(element.text)))
            else:
                print("i18n(%s);" % quoted(element.text))


if __name__ == "__main__":
    main()
