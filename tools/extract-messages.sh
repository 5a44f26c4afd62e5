#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Extracts the translatable texts of every component into templates, as KDE's
# translation tools do: each Messages.sh runs in its own directory with XGETTEXT
# and podir set. Usage: extract-messages.sh [OUTPUT_DIR] (default: po/)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
podir=$(mkdir -p "${1:-$top/po}" && cd "${1:-$top/po}" && pwd)
export podir
XGETTEXT="xgettext --from-code=UTF-8 -C --kde -ci18n -ki18n:1 -ki18nc:1c,2 -ki18np:1,2 -ki18ncp:1c,2,3 \
-kki18n:1 -kki18nc:1c,2 -kki18np:1,2 -kki18ncp:1c,2,3 -kxi18n:1 -kxi18nc:1c,2 -kxi18np:1,2 -kxi18ncp:1c,2,3 \
-kkxi18n:1 -kkxi18nc:1c,2 -kkxi18np:1,2 -kkxi18ncp:1c,2,3 -kI18N_NOOP:1 -kI18NC_NOOP:1c,2 -kI18N_NOOP2:1c,2 \
-kI18N_NOOP2_NOSTRIP:1c,2 -ktr2i18n:1 -ktr2xi18n:1"
export XGETTEXT
EXTRACTRC="python3 $top/tools/extractrc.py"
export EXTRACTRC
find "$top" -name Messages.sh -not -path "$top/build*" | sort | while read -r script; do
    (cd "$(dirname "$script")" && sh "$script")
done
