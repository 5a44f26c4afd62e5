#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Sets the EFI variables of a fake machine, as the firmware and shim leave them
under /sys/firmware/efi: efivarfs files begin with four bytes of attributes; the
kernel's mirror of shim's variables (mok-variables) holds the bare data.

    efivars.py secure-boot on|off     SecureBoot (and EFI itself, if missing)
    efivars.py validation off|on      shim's MokSBStateRT (off: mokutil --disable-validation)
    efivars.py enroll [--mirrored] CERT...
                                      MokListRT with these DER certificates, in
                                      efivarfs or (--mirrored) in mok-variables
    efivars.py no-efi                 a BIOS machine
"""

import os
import shutil
import struct
import sys
import uuid

EFI = "/sys/firmware/efi"
GLOBAL = "8be4df61-93ca-11d2-aa0d-00e098032b8c"
SHIM = "605dab50-e046-4300-abb6-3dd810dd8b23"
X509 = uuid.UUID("a5c059a1-94e4-4aa7-87b5-ab155c2bf072")
OWNER = uuid.UUID("605dab50-e046-4300-abb6-3dd810dd8b23")
# EFI_VARIABLE_BOOTSERVICE_ACCESS | RUNTIME_ACCESS: the variables shim
# copies for the running system are volatile.
BS_RT = 6


def write_variable(name, guid, data, attributes):
    os.makedirs(EFI + "/efivars", exist_ok=True)
    with open("%s/efivars/%s-%s" % (EFI, name, guid), "wb") as f:
        f.write(struct.pack("<I", attributes) + data)


def remove_variable(name, guid):
    path = "%s/efivars/%s-%s" % (EFI, name, guid)
    if os.path.exists(path):
        os.unlink(path)


def signature_list(certificates):
    """One EFI_SIGNATURE_LIST per certificate, as mokutil enrolls them."""
    lists = b""
    for der in certificates:
        entry = OWNER.bytes_le + der
        lists += X509.bytes_le + struct.pack("<III", 28 + len(entry), 0, len(entry)) + entry
    return lists


def main(args):
    if args[:1] == ["secure-boot"]:
        write_variable("SecureBoot", GLOBAL, bytes([args[1] == "on"]), BS_RT)
    elif args[:1] == ["validation"]:
        if args[1] == "off":
            write_variable("MokSBStateRT", SHIM, b"\x01", BS_RT)
        else:
            remove_variable("MokSBStateRT", SHIM)
    elif args[:1] == ["enroll"]:
        mirrored = args[1:2] == ["--mirrored"]
        certificates = []
        for path in args[2 if mirrored else 1:]:
            with open(path, "rb") as f:
                certificates.append(f.read())
        lists = signature_list(certificates)
        if mirrored:
            os.makedirs(EFI + "/mok-variables", exist_ok=True)
            with open(EFI + "/mok-variables/MokListRT", "wb") as f:
                f.write(lists)
        else:
            write_variable("MokListRT", SHIM, lists, BS_RT)
    elif args == ["no-efi"]:
        shutil.rmtree(EFI, ignore_errors=True)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
