#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs one program inside a fake machine and passes on its output and exit
status: for test programs that check the machine from the inside."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fakemachine"))
from fakemachine import Machine  # noqa: E402


def main():
    profile, command = sys.argv[1], [os.path.abspath(sys.argv[2])] + sys.argv[3:]
    outcome = Machine(profile, binds=[os.path.dirname(command[0])]).run([command])[0]
    sys.stdout.write(outcome["stdout"])
    sys.stdout.write(outcome["stderr"])
    return outcome["exit"]


if __name__ == "__main__":
    sys.exit(main())
