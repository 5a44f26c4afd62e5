#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Times whole commands inside a fake machine, interleaved round by round in one
run, and prints their medians, their ratios and their peak RSS.

  commandbench.py packages BUILD_DIR GPU ROUNDS [--no-python]
    "orlix-admin-driver list-packages GPU" against a python3-apt scan of the same
    package cache (the Modaliases field of every package's candidate record) and
    two raw passes over the package lists, which read (and decompress) every
    list and take each record's field without opening the package cache: one
    with python3-apt's TagFile, one in C++ (packagesbench --raw), the floor.
  commandbench.py appstream BUILD_DIR GPU ROUNDS [EARLIER_BUILD_DIR]
    "orlix-admin-driver list-packages GPU", which reads AppStream's DEP-11
    catalogue and nvidia-detect's lists besides the package cache, against the
    AppStream lookup isenkram does over the machine's modaliases (its
    pkgs_handling_appstream_modaliases, through python3-gi's AppStream) and
    against the list-packages of an earlier build that read the package cache
    alone.
  commandbench.py enumeration BUILD_DIR GPU ROUNDS
    "list-gpus", "list-modules GPU" and "list-xorg GPU" against a bare libhd
    probe of the PCI bus (hdprobe, a C program that links libhd alone)."""

import os
import statistics
import subprocess
import sys
import time

PYTHON = "/usr/bin/python3"  # Debian's, with python3-apt

SCAN = r'''
import apt_pkg
apt_pkg.init()
cache = apt_pkg.Cache(None)
depcache = apt_pkg.DepCache(cache)
records = apt_pkg.PackageRecords(cache)
found = 0
for package in cache.packages:
    version = depcache.get_candidate_ver(package)
    if version is None:
        continue
    records.lookup(version.file_list[0])
    if apt_pkg.TagSection(records.record).get("Modaliases"):
        found += 1
print(found)
'''

RAW = r'''
import apt_pkg, glob
apt_pkg.init()
files = sorted(glob.glob("/var/lib/apt/lists/*_Packages*")) + [apt_pkg.config.find_file("Dir::State::status")]
records = found = 0
for path in files:
    with apt_pkg.TagFile(path) as tags:
        for section in tags:
            records += 1
            found += 1 if section.get("Modaliases") else 0
print(records, found)
'''


def run(command):
    """Wall time in seconds, peak RSS in MiB, and standard output."""
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    output = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.monotonic() - started
    if status != 0:
        raise RuntimeError("%s failed" % " ".join(command))
    return seconds, usage.ru_maxrss / 1024, output


def measure(commands, rounds):
    """Medians and peak RSS of each command; every run must print what the first did."""
    # The first run also builds what APT caches (pkgcache.bin, where it is kept).
    outputs = {name: run(command)[2] for name, command in commands.items()}
    times = {name: [] for name in commands}
    memory = {name: 0.0 for name in commands}
    for _ in range(rounds):
        for name, command in commands.items():
            seconds, rss, output = run(command)
            if output != outputs[name]:
                raise RuntimeError("%s printed something else" % name)
            times[name].append(seconds)
            memory[name] = max(memory[name], rss)
    medians = {name: statistics.median(values) for name, values in times.items()}
    print("rounds: %d" % rounds)
    for name in commands:
        print("%-22s median %7.1f ms, peak RSS %6.1f MiB" % (name, medians[name] * 1000, memory[name]))
    return medians, memory, outputs


def packages(build, gpu, rounds, python):
    tool = os.path.join(build, "bin", "orlix-admin-driver")
    commands = {"list-packages": [tool, "list-packages", gpu]}
    if python:
        commands["python3-apt scan"] = [PYTHON, "-c", SCAN]
    commands["raw pass (python3-apt)"] = [PYTHON, "-c", RAW]
    commands["raw pass (C++)"] = [os.path.join(build, "bin", "packagesbench"), "--raw"]
    medians, memory, outputs = measure(commands, rounds)
    print("list-packages printed: %s" % outputs["list-packages"].decode().strip().replace("\n", ", "))
    if python:
        print("ratio list-packages / python3-apt scan:       %.2f" % (medians["list-packages"] / medians["python3-apt scan"]))
        print("ratio peak RSS list-packages / python3-apt scan: %.2f" % (memory["list-packages"] / memory["python3-apt scan"]))
    for raw in ("raw pass (python3-apt)", "raw pass (C++)"):
        print("ratio list-packages / %-23s %.2f" % (raw + ":", medians["list-packages"] / medians[raw]))


ISENKRAM = r'''
import glob
import isenkram.lookup
modaliases = sorted(open(path).read().strip() for path in glob.glob("/sys/bus/pci/devices/*/modalias"))
print(sorted(isenkram.lookup.pkgs_handling_appstream_modaliases(modaliases)))
'''


def appstream(build, gpu, rounds, earlier):
    commands = {"list-packages": [os.path.join(build, "bin", "orlix-admin-driver"), "list-packages", gpu],
                "isenkram's lookup": [PYTHON, "-c", ISENKRAM]}
    if earlier:
        commands["earlier list-packages"] = [os.path.join(earlier, "bin", "orlix-admin-driver"), "list-packages", gpu]
    medians, memory, outputs = measure(commands, rounds)
    for name, output in outputs.items():
        print("%s printed: %s" % (name, output.decode().strip().replace("\n", ", ")))
    print("ratio list-packages / isenkram's lookup:          %.2f" % (medians["list-packages"] / medians["isenkram's lookup"]))
    print("ratio peak RSS list-packages / isenkram's lookup: %.2f" % (memory["list-packages"] / memory["isenkram's lookup"]))
    if earlier:
        print("ratio list-packages / earlier list-packages:      %.2f" % (medians["list-packages"] / medians["earlier list-packages"]))


def enumeration(build, gpu, rounds):
    tool = os.path.join(build, "bin", "orlix-admin-driver")
    commands = {
        "bare libhd probe": [os.path.join(build, "bin", "hdprobe")],
        "list-gpus": [tool, "list-gpus"],
        "list-modules": [tool, "list-modules", gpu],
        "list-xorg": [tool, "list-xorg", gpu],
    }
    medians, _, _ = measure(commands, rounds)
    for name in ("list-gpus", "list-modules", "list-xorg"):
        print("ratio %-12s / bare libhd probe: %.2f" % (name, medians[name] / medians["bare libhd probe"]))


def main():
    mode, build, gpu, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    if mode == "packages":
        packages(build, gpu, rounds, "--no-python" not in sys.argv)
    elif mode == "appstream":
        appstream(build, gpu, rounds, sys.argv[5] if len(sys.argv) > 5 else None)
    elif mode == "enumeration":
        enumeration(build, gpu, rounds)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
