// SPDX-License-Identifier: GPL-2.0-or-later
// The readers of what decides whether a module loads under Secure Boot: a
// module file's appended signature, X.509 certificates and shim's lists of them.
#include "fuzzinput.h"
#include "modulefile.h"
#include "modulesignature.h"
#include "secureboot.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzInput::bytes(data, size);
    const ModuleSignature fromTail = ModuleSignature::fromTail(input);
    const FuzzInput::MemoryFile file(input);
    ModuleFile module(file.path());
    const ModuleSignature read = ModuleSignature::read(module);
    // Reading the file's end must come to what the whole of it says (for a
    // compressed file, the whole decompressed image; the module file fuzzer
    // checks those reads).
    if (module.compression() == ModuleFile::Compression::None
        && (read.status != fromTail.status || read.signer != fromTail.signer || read.sigKey() != fromTail.sigKey())) {
        FuzzInput::fail("reading the file's end differs from reading all of it");
    }
    if ((fromTail.status == ModuleSignature::Status::Signed) == fromTail.key.isNull()) {
        FuzzInput::fail("a signature without a key, or a key without a signature");
    }
    static const QRegularExpression hex(QStringLiteral("^([0-9A-F]{2}(:[0-9A-F]{2})*)?$"));
    if (!hex.match(fromTail.sigKey()).hasMatch()) {
        FuzzInput::fail("a key that is not hex bytes joined by ':'");
    }
    Certificate::parse(input);
    for (const Certificate &certificate : SecureBoot::certificatesOfSignatureLists(input)) {
        if (certificate.isNull()) {
            FuzzInput::fail("a null certificate in a list");
        }
    }
    return 0;
}
