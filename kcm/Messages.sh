#! /usr/bin/env bash
$EXTRACTRC `find . -name '*.ui'` >> rc.cpp
$XGETTEXT `find . -name '*.cpp'` ../model/securebootreport.cpp -o $podir/kcm_kivdriver.pot
rm -f rc.cpp
