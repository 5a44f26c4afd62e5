// SPDX-License-Identifier: GPL-2.0-or-later
// The decompressing reader of module files (xz with its block index, zstd,
// gzip), then the module readers on what it gives.
#include "fuzzinput.h"
#include "modinfosection.h"
#include "modulefile.h"
#include "modulesignature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const FuzzInput::MemoryFile file(FuzzInput::bytes(data, size));
    ModuleFile whole(file.path());
    quint64 imageSize = 0;
    QByteArray image;
    const bool sized = whole.size(&imageSize);
    if (sized && imageSize > ModuleFile::maxImageSize) {
        FuzzInput::fail("an image larger than the bound");
    }
    // zstd and gzip tell their size by decoding it all; xz tells it from its
    // index, and its blocks may still be damaged.
    if (sized && imageSize <= 4 * 1024 * 1024 && !whole.readAt(0, imageSize, &image) && whole.compression() != ModuleFile::Compression::Xz) {
        FuzzInput::fail("an image of known size that cannot be read whole");
    }
    // Reads in pieces, in an order that goes back and forth across blocks,
    // give the same bytes as the whole read: first the end, then the start,
    // then the middle, as the module readers do.
    if (!image.isEmpty()) {
        ModuleFile pieces(file.path());
        const quint64 length = quint64(image.size());
        const quint64 starts[] = {length - qMin<quint64>(length, 40), 0, length / 3, length / 2 - qMin<quint64>(length / 2, 7)};
        for (const quint64 start : starts) {
            const quint64 count = qMin<quint64>(length - start, 64 + start % 4096);
            QByteArray piece;
            if (!pieces.readAt(start, count, &piece) || piece != image.mid(int(start), int(count))) {
                FuzzInput::fail("a piece that differs from the whole image");
            }
        }
        QByteArray past;
        if (pieces.readAt(length, 1, &past) || pieces.readAt(length - 1, 2, &past)) {
            FuzzInput::fail("a read past the image's end");
        }
    }
    ModuleFile module(file.path());
    ModinfoSection::value(module, QByteArrayLiteral("name"));
    ModinfoSection::value(module, QByteArrayLiteral("version"));
    ModuleSignature::read(module);
    return 0;
}
