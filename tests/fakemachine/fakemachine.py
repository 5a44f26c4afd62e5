#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Fake machines for testing the real programs on a machine without a GPU.

A profile (JSON, see profiles/) describes a machine declaratively: its PCI
devices, kernel modules, X server and its log, XOrg drivers and driver packages.
Machine.run() builds it inside a private mount and PID namespace:

- a throwaway overlay over "/" whose upper layer lives on a tmpfs, so nothing the
  programs or APT write reaches the real system;
- a crafted sysfs over /sys that real libhd probes: device directories with their
  id files and modalias, /sys/bus/pci/devices links, bound drivers and modules;
- /usr/lib/modules/<running release>/ with ELF module files carrying a .modinfo
  section and a modules.alias from which libhd takes the candidate modules;
- /dev/dri/by-path links, X server logs, an "X server" process owned by the
  profile's user, XOrg driver files;
- a local APT archive built with dpkg-deb and apt-ftparchive, its lists fetched
  by apt-get, some packages installed with dpkg.

Then it chroots into the overlay and runs the commands, returning their exit
status, standard output and standard error. Needs root and unshare(1).
"""

import gzip
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(os.path.dirname(HERE), "data")

# Device nodes a chrooted program may need.
DEV_NODES = ["null", "zero", "full", "random", "urandom", "tty"]

# Kernel-side views of the devices that must not leak in from the host.
XORG_DRIVER_DIRS = [
    "/usr/lib/x86_64-linux-gnu/xorg/modules/drivers",
    "/usr/lib/xorg/modules/drivers",
    "/usr/lib/x86_64-linux-gnu/nvidia/xorg",
]
XORG_LOGS = ["/var/log/Xorg.0.log", "/var/log/kiv-dm/Xorg.0.log"]
ARCHIVE = "/srv/kiv-archive"


def load_profile(name_or_path):
    path = name_or_path
    if not os.path.exists(path):
        path = os.path.join(HERE, "profiles", name_or_path + ".json")
    with open(path, encoding="utf-8") as f:
        profile = json.load(f)
    if "extends" in profile:
        # A variant: the settings given here replace those of the base profile.
        base = load_profile(profile.pop("extends"))
        base.update(profile)
        profile = base
    profile["name"] = os.path.splitext(os.path.basename(path))[0]
    return profile


# --- module files -----------------------------------------------------------

def elf_module(modinfo_records, rodata=b""):
    """A minimal relocatable x86-64 ELF object, like a kernel module as far as a
    reader of its sections is concerned: .rodata first (where real modules keep
    their trace format strings, some of which contain "name="), then .modinfo."""
    modinfo = b"".join(r.encode() + b"\0" for r in modinfo_records)
    shstrtab = b"\0.rodata\0.modinfo\0.shstrtab\0"
    names = {".rodata": 1, ".modinfo": 9, ".shstrtab": 18}
    body = bytearray(b"\0" * 64)
    sections = []
    for name, content, kind in ((".rodata", rodata, 1), (".modinfo", modinfo, 1), (".shstrtab", shstrtab, 3)):
        sections.append((names[name], kind, len(body), len(content)))
        body += content
    while len(body) % 8:
        body += b"\0"
    shoff = len(body)
    body += b"\0" * 64  # the null section
    for name, kind, offset, size in sections:
        body += struct.pack("<IIQQQQIIQQ", name, kind, 2 if name != 18 else 0, 0, offset, size, 0, 0, 1, 0)
    header = struct.pack("<4sBBBBB7sHHIQQQIHHHHHH", b"\x7fELF", 2, 1, 1, 0, 0, b"\0" * 7,
                         1, 62, 1, 0, 0, shoff, 0, 64, 0, 0, 64, 4, 3)
    body[0:64] = header
    return bytes(body)


# --- sysfs ------------------------------------------------------------------

def modalias_of(dev):
    if "modalias" in dev:
        return dev["modalias"]
    cls = int(dev["class"], 16)
    return "pci:v%08Xd%08Xsv%08Xsd%08Xbc%02Xsc%02Xi%02X" % (
        int(dev["vendor"], 16), int(dev["device"], 16),
        int(dev.get("subvendor", "0"), 16), int(dev.get("subdevice", "0"), 16),
        cls >> 16, (cls >> 8) & 0xff, cls & 0xff)


def create_in_order(directory, names, make):
    """Creates the entries names of directory with make(name) so that reading the
    directory lists them in that order: tmpfs lists the newest entry first,
    other file systems the oldest, and programs see whatever readdir returns."""
    os.makedirs(directory, exist_ok=True)
    for name in names:
        make(name)
    listed = [e for e in os.listdir(directory) if e in names]
    if listed == list(names):
        return
    if listed == list(reversed(names)):
        for name in names:
            remove(os.path.join(directory, name))
        for name in reversed(names):
            make(name)
        listed = [e for e in os.listdir(directory) if e in names]
        if listed == list(names):
            return
    raise RuntimeError("cannot make %s list its entries in the order %s (got %s)" % (directory, names, listed))


def write(path, content, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode())
    os.chmod(path, mode)


def build_sysfs(sys_root, devices):
    devroot = os.path.join(sys_root, "devices", "pci0000:00")
    os.makedirs(devroot)
    for sub in ("bus/pci/devices", "bus/pci/drivers", "module", "class/drm"):
        os.makedirs(os.path.join(sys_root, sub))
    for dev in devices:
        bdf = dev["bdf"]
        d = os.path.join(devroot, bdf)
        os.makedirs(d)
        write(os.path.join(d, "vendor"), dev["vendor"] + "\n")
        write(os.path.join(d, "device"), dev["device"] + "\n")
        write(os.path.join(d, "class"), dev["class"] + "\n")
        write(os.path.join(d, "subsystem_vendor"), dev.get("subvendor", "0x0000") + "\n")
        write(os.path.join(d, "subsystem_device"), dev.get("subdevice", "0x0000") + "\n")
        write(os.path.join(d, "modalias"), modalias_of(dev) + "\n")
        config = bytearray(256)
        struct.pack_into("<HH", config, 0, int(dev["vendor"], 16), int(dev["device"], 16))
        cls = int(dev["class"], 16)
        config[8] = int(dev.get("revision", "0x00"), 16)
        config[9], config[10], config[11] = cls & 0xff, (cls >> 8) & 0xff, cls >> 16
        write(os.path.join(d, "config"), bytes(config))
        driver = dev.get("driver")
        if driver:
            drvdir = os.path.join(sys_root, "bus/pci/drivers", driver)
            os.makedirs(drvdir, exist_ok=True)
            os.symlink("../../../../devices/pci0000:00/" + bdf, os.path.join(drvdir, bdf))
            os.symlink("../../../bus/pci/drivers/" + driver, os.path.join(d, "driver"))
            module = dev.get("module")
            if module:
                os.makedirs(os.path.join(sys_root, "module", module), exist_ok=True)
                if not os.path.lexists(os.path.join(drvdir, "module")):
                    os.symlink("../../../../module/" + module, os.path.join(drvdir, "module"))
    # libhd reports devices in the read order of this directory; the expected
    # outputs are written for the profile's order.
    links = os.path.join(sys_root, "bus/pci/devices")
    create_in_order(links, [dev["bdf"] for dev in devices],
                    lambda bdf: os.symlink("../../../devices/pci0000:00/" + bdf, os.path.join(links, bdf)))


# --- the rest of the machine -------------------------------------------------

def remove(path):
    if os.path.islink(path) or os.path.isfile(path):
        os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


# How Debian 13 (xz, the kernel's options) and Ubuntu (zstd) compress modules.
COMPRESSORS = {
    "xz": ["xz", "--check=crc32", "--lzma2=dict=1MiB"],
    "zstd": ["zstd", "-q", "--rm"],
    "gzip": ["gzip", "-n"],
}


def module_name(path):
    """The module name kmod gives a module file's path."""
    name = os.path.basename(path)
    for ending in (".ko", ".ko.xz", ".ko.zst", ".ko.gz"):
        if name.endswith(ending):
            name = name[:-len(ending)]
    return name.replace("-", "_")


def build_module_tree(merged, release, profile, work, real_modules=None, real_headers=None, compression=None):
    root = merged + "/usr/lib/modules/" + release
    remove(root)
    os.makedirs(root)
    aliases = []
    if real_modules:
        # A real kernel's tree under the profile's modules, changes kept apart.
        for sub in ("modupper", "modwork"):
            os.makedirs(os.path.join(work, sub))
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s/modupper,workdir=%s/modwork"
                        % (real_modules, work, work), root], check=True)
        if os.path.exists(os.path.join(root, "modules.alias")):
            with open(os.path.join(root, "modules.alias"), encoding="utf-8") as f:
                aliases.append(f.read())
    if real_headers:
        # As Debian's header packages do: the tree links to its headers.
        subprocess.run(["mount", "--bind", os.path.join(real_headers, "usr/src"), merged + "/usr/src"], check=True)
        for entry in sorted(os.listdir(os.path.join(real_headers, "usr/src"))):
            if not entry.endswith("-common"):
                os.symlink("/usr/src/" + entry, os.path.join(root, "build"))
                break
    for module in profile.get("modules", []):
        records = list(module.get("modinfo", []))
        if "name" in module:
            records.append("name=" + module["name"])
        rodata = module.get("rodata", "").encode().replace(b"\\0", b"\0")
        path = os.path.join(root, module["path"])
        write(path, elf_module(records, rodata))
        if compression:
            # As the kernel's and DKMS's builds do: the module replaced by its
            # compressed file.
            subprocess.run(COMPRESSORS[compression] + [path], check=True)
        for alias in module.get("aliases", []):
            aliases.append("alias %s %s\n" % (alias, module["alias_name"]))
    index = os.path.join(root, "modules.dep")
    if os.path.exists(index) and profile.get("modules"):
        # The real tree's depmod index, with the profile's modules in it in place
        # of the real ones of their names, as depmod would index them.
        ending = {"xz": ".xz", "zstd": ".zst", "gzip": ".gz"}.get(compression, "")
        added = [m["path"] + ending for m in profile["modules"]]
        names = {module_name(p) for p in added}
        with open(index, encoding="utf-8") as f:
            kept = [l for l in f.read().splitlines(True) if module_name(l.split(":", 1)[0]) not in names]
        os.unlink(index)  # the lower layer's file
        write(index, "".join(kept + [p + ":\n" for p in added]))
    for alias in profile.get("extra_aliases", []):
        aliases.append("alias %s\n" % alias)
    write(os.path.join(root, "modules.alias"), "".join(aliases))
    for link, target in profile.get("module_links", {}).items():
        os.makedirs(os.path.dirname(os.path.join(root, link)), exist_ok=True)
        os.symlink(target, os.path.join(root, link))


def build_xorg(merged, profile):
    for directory in XORG_DRIVER_DIRS:
        remove(merged + directory)
    # The catalogue lists drivers in walk order; keep the profile's order.
    files = profile.get("xorg_files", [])
    for directory in sorted(set(os.path.dirname(p) for p in files)):
        names = [os.path.basename(p) for p in files if os.path.dirname(p) == directory]
        create_in_order(merged + directory, names,
                        lambda name: write(os.path.join(merged + directory, name), b"\x7fELF fake XOrg driver\n"))
    for path in XORG_LOGS:
        remove(merged + path)
    for path, fixture in profile.get("xorg_logs", {}).items():
        with open(os.path.join(DATA, "xorg-logs", fixture), "rb") as f:
            write(merged + path, f.read())


def build_dev(merged, devices):
    dev = merged + "/dev"
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", dev], check=True)
    for node in DEV_NODES:
        if os.path.exists("/dev/" + node):
            open(os.path.join(dev, node), "w").close()
            subprocess.run(["mount", "--bind", "/dev/" + node, os.path.join(dev, node)], check=True)
    # Package managers run dpkg on a pseudo-terminal.
    os.makedirs(dev + "/pts")
    subprocess.run(["mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620", "devpts", dev + "/pts"], check=True)
    os.symlink("pts/ptmx", dev + "/ptmx")
    os.makedirs(dev + "/shm")
    os.makedirs(dev + "/dri/by-path")
    for d in devices:
        if "drm" in d:
            open(os.path.join(dev, "dri", d["drm"]), "w").close()
            os.symlink("../" + d["drm"], os.path.join(dev, "dri/by-path", "pci-%s-card" % d["bdf"]))


def fixture_bytes(fixture):
    with open(os.path.join(DATA, fixture), "rb") as f:
        return f.read()


def modaliases_field(fixture):
    """The "Modaliases" field of a real package stanza, as the archive printed it."""
    with open(os.path.join(DATA, "modaliases", fixture), encoding="utf-8") as f:
        lines = f.read().split("\n")
    field = []
    for line in lines:
        if line.startswith("Modaliases:"):
            field.append(line[len("Modaliases:"):].strip())
        elif field and line.startswith(" "):
            field.append(line)
        elif field:
            break
    return "\n".join(field)


def build_archive(profile):
    """Runs inside the chroot: a file: repository of small driver packages, the
    only source APT knows, so that no list of the host's leaks in."""
    packages = profile.get("packages", [])
    build = tempfile.mkdtemp(prefix="debs-")
    os.makedirs(ARCHIVE, exist_ok=True)
    # A package may be installed as another build of the same version than the
    # archive has (another architecture, other fields): built aside, not in the archive.
    installed_builds = [dict(pkg, **pkg["installed_build"], installed=True) for pkg in packages if "installed_build" in pkg]
    aside = os.path.join(build, "aside")
    for pkg in packages + installed_builds:
        target = aside if pkg in installed_builds else ARCHIVE
        os.makedirs(target, exist_ok=True)
        root = os.path.join(build, pkg["name"] + ("-aside" if target == aside else ""))
        control = ["Package: " + pkg["name"], "Version: " + pkg.get("version", "1.0-1"),
                   "Architecture: " + pkg.get("architecture", "all"),
                   "Maintainer: Driver Tests <tests@localhost>"]
        for field in ("depends", "recommends", "provides", "conflicts", "priority", "essential"):
            if pkg.get(field):
                control.append(field.capitalize() + ": " + pkg[field])
        modaliases = pkg.get("modaliases")
        if modaliases:
            control.append("Modaliases: " + modaliases)
        control.append("Description: test driver package " + pkg["name"])
        write(os.path.join(root, "DEBIAN/control"), "\n".join(control) + "\n")
        write(os.path.join(root, "usr/share/doc", pkg["name"], "README"), pkg["name"] + "\n")
        # Files of the package from the real test data, as {"/usr/share/nvidia/nvidia.ids": "nvidia-detect-535.261.03/nvidia.ids"}.
        for path, content in pkg.get("file_contents", {}).items():
            write(root + path, content)
        if pkg.get("postinst"):
            write(os.path.join(root, "DEBIAN/postinst"), "#!/bin/sh\n" + pkg["postinst"] + "\n", 0o755)
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "--build", root, target], check=True,
                       stdout=subprocess.DEVNULL)
    dep11 = profile.get("dep11_contents")
    if dep11:
        source = dists_archive(dep11)
    else:
        with open(os.path.join(ARCHIVE, "Packages"), "wb") as out:
            subprocess.run(["apt-ftparchive", "packages", "."], cwd=ARCHIVE, stdout=out, check=True)
        source = "deb [trusted=yes] file:%s ./\n" % ARCHIVE
    # Benchmarks may keep the host's sources, whose lists are then fetched anew
    # in the machine's list format.
    if not profile.get("host_sources"):
        for entry in os.listdir("/etc/apt/sources.list.d"):
            os.unlink(os.path.join("/etc/apt/sources.list.d", entry))
        if os.path.exists("/etc/apt/sources.list"):
            os.unlink("/etc/apt/sources.list")
    write("/etc/apt/sources.list.d/kiv-test.list", source)
    if profile.get("sources"):
        # Debian's real archive besides the driver archive, for benchmarks.
        write("/etc/apt/sources.list.d/debian.list", "".join(line + "\n" for line in profile["sources"]))
    if (dep11 or profile.get("appstream")) and os.path.exists("/etc/apt/apt.conf.d/99farm-no-dep11"):
        # A desktop fetches AppStream's catalogue wherever appstream is installed;
        # this image's setting that keeps it from doing so is taken away.
        os.unlink("/etc/apt/apt.conf.d/99farm-no-dep11")
    for entry in os.listdir("/var/lib/apt/lists"):
        path = os.path.join("/var/lib/apt/lists", entry)
        if os.path.isfile(path) and entry != "lock":
            os.unlink(path)
    if profile.get("apt_defaults"):
        # APT as Debian ships it: this image's container settings (no pkgcache.bin,
        # compressed lists) taken away.
        for entry in ("docker-clean", "docker-gzip-indexes"):
            if os.path.exists("/etc/apt/apt.conf.d/" + entry):
                os.unlink("/etc/apt/apt.conf.d/" + entry)
    lists = profile.get("apt_lists", "lz4")
    options = ["-o", "Acquire::GzipIndexes=" + ("true" if lists != "plain" else "false")]
    if lists != "plain":
        options += ["-o", "Acquire::CompressionTypes::Order::=" + lists]
    subprocess.run(["apt-get", "update", "-qq"] + options, check=True, stdout=subprocess.DEVNULL)
    aside_names = [p["name"] for p in installed_builds]
    installed = [os.path.join(ARCHIVE, f) for f in sorted(os.listdir(ARCHIVE))
                 if f.endswith(".deb") and f.split("_")[0] in [p["name"] for p in packages if p.get("installed")]
                 and f.split("_")[0] not in aside_names]
    if installed_builds:
        installed += [os.path.join(aside, f) for f in sorted(os.listdir(aside)) if f.endswith(".deb")]
    if installed:
        subprocess.run(["dpkg", "-i"] + installed, check=True, stdout=subprocess.DEVNULL)
    # Files of the machine that an installed package claims, as DKMS-built module
    # files are claimed: dpkg's file list is what "which package owns it" reads.
    for pkg in packages:
        if pkg.get("owns"):
            with open("/var/lib/dpkg/info/%s.list" % pkg["name"], "a", encoding="utf-8") as f:
                for path in pkg["owns"]:
                    f.write(path.replace("{release}", os.uname().release) + "\n")
    shutil.rmtree(build)


def dists_archive(dep11):
    """The archive laid out as Debian's is, for AppStream's catalogue to have a
    place: every package in main, each component's DEP-11 file (real test data)
    under dep11/. Returns the sources.list line."""
    components = ["main"] + sorted(c for c in dep11 if c != "main")
    dists = os.path.join(ARCHIVE, "dists", "kiv")
    for component in components:
        binary = os.path.join(dists, component, "binary-amd64")
        os.makedirs(binary, exist_ok=True)
        with open(os.path.join(binary, "Packages"), "wb") as out:
            if component == "main":
                subprocess.run(["apt-ftparchive", "packages", "."], cwd=ARCHIVE, stdout=out, check=True)
        if component in dep11:
            # Debian's Release lists the uncompressed file too, which APT needs to
            # take the target at all.
            write(os.path.join(dists, component, "dep11", "Components-amd64.yml.gz"), dep11[component])
            write(os.path.join(dists, component, "dep11", "Components-amd64.yml"), gzip.decompress(dep11[component]))
    with open(os.path.join(ARCHIVE, "Release.new"), "wb") as out:
        subprocess.run(["apt-ftparchive", "-o", "APT::FTPArchive::Release::Codename=kiv", "-o", "APT::FTPArchive::Release::Suite=kiv",
                        "-o", "APT::FTPArchive::Release::Components=" + " ".join(components),
                        "-o", "APT::FTPArchive::Release::Architectures=amd64", "release", "."], cwd=dists, stdout=out, check=True)
    os.rename(os.path.join(ARCHIVE, "Release.new"), os.path.join(dists, "Release"))
    return "deb [trusted=yes] file:%s kiv %s\n" % (ARCHIVE, " ".join(components))


def start_x_server(profile):
    user = profile.get("x_server_user")
    if not user:
        return None
    xorg = "/usr/local/libexec/kiv-fake-x/Xorg"
    os.makedirs(os.path.dirname(xorg), exist_ok=True)
    shutil.copy("/usr/bin/sleep", xorg)
    import pwd
    entry = pwd.getpwnam(user)

    def drop():
        os.setgid(entry.pw_gid)
        os.setgroups([])
        os.setuid(entry.pw_uid)
    return subprocess.Popen([xorg, "infinity"], preexec_fn=drop)


class Services:
    """A private D-Bus system bus and polkitd inside the machine, so that clients
    reach the real helper through KAuth and D-Bus activation, as root."""

    SOCKET = "/run/dbus/system_bus_socket"

    def __init__(self):
        import re
        with open("/usr/share/dbus-1/system.conf", encoding="utf-8") as f:
            conf = f.read()
        # No user switch, no fork, no setuid launch helper (which would read the
        # compiled-in configuration), no syslog.
        for pattern in (r"<user>.*?</user>", r"<fork/>", r"<servicehelper>.*?</servicehelper>", r"<pidfile>.*?</pidfile>", r"<syslog/>"):
            conf = re.sub(pattern, "", conf)
        conf = conf.replace("<standard_system_servicedirs/>", "<servicedir>/usr/share/dbus-1/system-services</servicedir>")
        conf = conf.replace("<includedir>system.d</includedir>", "<includedir>/usr/share/dbus-1/system.d</includedir>")
        conf = re.sub(r"<listen>.*?</listen>", "<listen>unix:path=%s</listen>" % self.SOCKET, conf)
        os.makedirs("/run/dbus", exist_ok=True)
        os.chmod("/run/dbus", 0o755)
        write("/run/kiv-test/system.conf", conf)
        self.log = open("/run/kiv-test/services.log", "w+b")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
        self.bus = subprocess.Popen(["dbus-daemon", "--config-file=/run/kiv-test/system.conf", "--nofork", "--nopidfile"],
                                    stdout=self.log, stderr=self.log, env=env)
        for _ in range(100):
            if os.path.exists(self.SOCKET):
                break
            time.sleep(0.05)
        self.address = "unix:path=" + self.SOCKET
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        self.polkit = subprocess.Popen(["/usr/lib/polkit-1/polkitd", "--no-debug"], stdout=self.log, stderr=self.log, env=env)
        subprocess.run(["gdbus", "wait", "--system", "--timeout", "10", "org.freedesktop.PolicyKit1"], check=True, env=env,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        for process in (self.polkit, self.bus):
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
        self.log.seek(0)
        return self.log.read().decode("utf-8", "replace")


def inside(job_path):
    with open(job_path, encoding="utf-8") as f:
        job = json.load(f)
    profile, work = job["profile"], job["work"]
    release = os.uname().release
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", work], check=True)
    for sub in ("upper", "ovlwork", "merged", "sys"):
        os.makedirs(os.path.join(work, sub))
    merged = os.path.join(work, "merged")
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=/,upperdir=%s/upper,workdir=%s/ovlwork" % (work, work), merged], check=True)
    subprocess.run(["mount", "-t", "proc", "proc", merged + "/proc"], check=True)
    if os.path.exists(merged + "/proc/modules"):
        empty = os.path.join(work, "empty")
        open(empty, "w").close()
        subprocess.run(["mount", "--bind", empty, merged + "/proc/modules"], check=True)
    build_sysfs(os.path.join(work, "sys"), profile.get("pci", []))
    subprocess.run(["mount", "--rbind", os.path.join(work, "sys"), merged + "/sys"], check=True)
    build_dev(merged, profile.get("pci", []))
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", merged + "/tmp"], check=True)
    for path in job.get("binds", []):
        os.makedirs(merged + path, exist_ok=True)
        subprocess.run(["mount", "--bind", path, merged + path], check=True)
    build_module_tree(merged, release, profile, work, job.get("real_modules"), job.get("real_headers"),
                      job.get("compression"))
    build_xorg(merged, profile)
    for path, content in profile.get("files", {}).items():
        write(merged + path, content)

    # Test data may live anywhere, /tmp included, which the machine hides.
    for pkg in profile.get("packages", []):
        if "modaliases_fixture" in pkg:
            pkg["modaliases"] = modaliases_field(pkg.pop("modaliases_fixture"))
        pkg["file_contents"] = {path: fixture_bytes(fixture) for path, fixture in pkg.get("files", {}).items()}
    profile["dep11_contents"] = {component: fixture_bytes(fixture) for component, fixture in profile.get("dep11", {}).items()}
    results = open(job["results"], "w", encoding="utf-8")
    os.chroot(merged)
    os.chdir("/")
    env = dict(os.environ, LC_ALL="C.UTF-8", QT_QPA_PLATFORM="offscreen")
    env.update(job.get("env", {}))
    build_archive(profile)
    if job.get("install"):
        # The project's real install layout, into the throwaway root.
        subprocess.run(["cmake", "--install", job["install"], "--prefix", "/usr"], check=True, stdout=subprocess.DEVNULL)
    if job.get("debs"):
        # The project's Debian packages, installed by APT with what they depend on.
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + job["debs"], check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    services = Services() if job.get("services") else None
    if services:
        env["DBUS_SYSTEM_BUS_ADDRESS"] = services.address
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(key, None)
    xserver = start_x_server(profile)
    outcomes = []
    try:
        for command in job["commands"]:
            started = time.monotonic()
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=300)
            outcomes.append({"command": command, "exit": done.returncode,
                             "stdout": done.stdout.decode("utf-8", "replace"),
                             "stderr": done.stderr.decode("utf-8", "replace"),
                             "seconds": time.monotonic() - started})
    finally:
        if xserver:
            xserver.send_signal(signal.SIGKILL)
            xserver.wait()
        services_log = services.stop() if services else ""
    # The helper's standard error goes to the bus daemon's.
    outcomes.append({"command": ["services log"], "exit": 0, "stdout": services_log, "stderr": "", "seconds": 0})
    json.dump(outcomes, results)
    results.close()


class Machine:
    def __init__(self, profile, binds=(), env=None, real_modules=None, real_headers=None, install=None, services=False, debs=(),
                 compression=None):
        """real_modules: an unpacked kernel's module tree to lay under the
        profile's modules; real_headers: a directory holding usr/src of its
        unpacked header packages; compression: "xz", "zstd" or "gzip" to
        compress the profile's modules with."""
        self.profile = load_profile(profile) if isinstance(profile, str) else profile
        self.binds = [os.path.abspath(b) for b in binds]
        self.env = env or {}
        self.real_modules = real_modules
        self.real_headers = real_headers
        self.install = install  # a build directory to install with cmake --install
        self.services = services
        self.compression = compression
        self.debs = [os.path.abspath(d) for d in debs]  # package files to install with apt-get
        self.binds += sorted(set(os.path.dirname(d) for d in self.debs))
        if install:
            # Installing reads files of the source tree too.
            with open(os.path.join(install, "CMakeCache.txt"), encoding="utf-8") as f:
                for line in f:
                    if line.startswith("CMAKE_HOME_DIRECTORY:"):
                        self.binds.append(line.split("=", 1)[1].strip())

    def run(self, commands):
        """Runs each command (a list of arguments) in one fresh instance of the
        machine; returns a list of {exit, stdout, stderr} in the same order."""
        with tempfile.TemporaryDirectory(prefix="fakemachine-") as tmp:
            job = {"profile": self.profile, "work": os.path.join(tmp, "root"), "commands": commands,
                   "binds": self.binds, "results": os.path.join(tmp, "results.json"), "env": self.env,
                   "real_modules": self.real_modules, "real_headers": self.real_headers,
                   "install": self.install, "services": self.services, "debs": self.debs,
                   "compression": self.compression}
            os.makedirs(job["work"])
            job_path = os.path.join(tmp, "job.json")
            with open(job_path, "w", encoding="utf-8") as f:
                json.dump(job, f)
            done = subprocess.run(["unshare", "--mount", "--pid", "--fork", "--mount-proc", "--propagation", "private",
                                   sys.executable, os.path.abspath(__file__), "--inside", job_path],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if done.returncode != 0 or not os.path.exists(job["results"]):
                raise RuntimeError("building the fake machine %s failed:\n%s" % (self.profile["name"],
                                                                                  done.stdout.decode(errors="replace")))
            with open(job["results"], encoding="utf-8") as f:
                outcomes = json.load(f)
            self.services_log = outcomes.pop()["stdout"]
            return outcomes


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--inside":
        inside(sys.argv[2])
        return 0
    import argparse
    parser = argparse.ArgumentParser(description="Run a command inside a fake machine.")
    parser.add_argument("--profile", required=True, help="profile name or path")
    parser.add_argument("--bind", action="append", default=[], help="directory to make visible inside")
    parser.add_argument("--real-modules", help="an unpacked kernel's module tree to lay under the profile's modules")
    parser.add_argument("--real-headers", help="a directory holding usr/src of unpacked kernel header packages")
    parser.add_argument("--install", metavar="BUILD_DIR", help="install this build into the machine (cmake --install, prefix /usr)")
    parser.add_argument("--services", action="store_true", help="start a system bus and polkitd, to reach the installed helper")
    parser.add_argument("--compression", choices=sorted(COMPRESSORS), help="compress the profile's modules, as kernel builds do")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    binds = args.bind + ([args.install] if args.install else [])
    outcome = Machine(args.profile, binds, real_modules=args.real_modules, real_headers=args.real_headers,
                      install=os.path.abspath(args.install) if args.install else None, services=args.services,
                      compression=args.compression).run([command])[0]
    sys.stdout.write(outcome["stdout"])
    sys.stderr.write(outcome["stderr"])
    return outcome["exit"]


if __name__ == "__main__":
    sys.exit(main())
