#! /usr/bin/env bash
$XGETTEXT `find . ../model -name '*.cpp'` -o $podir/orlix-admin-driver.pot
