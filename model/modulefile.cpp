// SPDX-License-Identifier: GPL-2.0-or-later
#include "modulefile.h"
#include "atomicfile.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <climits>
#include <cstring>
#include <map>
#include <vector>

class ModuleFile::Decoder
{
public:
    explicit Decoder(const QString &path)
        : m_file(path)
    {
    }
    virtual ~Decoder() = default;
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    bool isOpen() const
    {
        return m_file.isOpen();
    }
    virtual bool size(quint64 *size) = 0;
    virtual bool readAt(quint64 offset, quint64 length, QByteArray *data) = 0;

protected:
    AtomicFile::ReadOnlyFile m_file;
};

namespace
{
// Compressed input is read in pieces of this size, so a file of gigabytes that
// claims to be a module costs no more memory than a small one.
constexpr quint64 inputChunk = 64 * 1024;
// What the xz index of a module and a block's filters may take; kernel builds
// use a dictionary of 1 MiB.
constexpr quint64 xzIndexMemory = quint64(16) << 20;
constexpr quint64 xzBlockMemory = quint64(128) << 20;
// zstd's own default for decoding, stated so that a frame asking for a larger
// window is refused whatever the library's default becomes.
constexpr int zstdWindowLogMax = 27;
// The longest frame header (zstd keeps its constant for static linking only).
constexpr size_t zstdFrameHeaderMax = 18;

bool inRange(quint64 offset, quint64 length, quint64 size)
{
    return offset <= size && size - offset >= length && length <= quint64(INT_MAX);
}

// The compressed bytes of a file from a position on, a piece at a time.
class Input
{
public:
    Input(const AtomicFile::ReadOnlyFile &file, quint64 start, quint64 end)
        : m_file(file)
        , m_offset(start)
        , m_end(qMin(end, file.size()))
    {
    }

    // The bytes at hand not consumed yet; reads the next piece when none are.
    // False at the end or when the file cannot be read.
    bool fill()
    {
        if (m_done < size_t(m_piece.size())) {
            return true;
        }
        if (m_offset >= m_end) {
            return false;
        }
        if (!m_file.readAt(m_offset, qMin(inputChunk, m_end - m_offset), &m_piece)) {
            m_offset = m_end;
            return false;
        }
        m_offset += quint64(m_piece.size());
        m_done = 0;
        return true;
    }
    const char *data() const
    {
        return m_piece.constData() + m_done;
    }
    size_t available() const
    {
        return size_t(m_piece.size()) - m_done;
    }
    void consume(size_t count)
    {
        m_done += count;
    }
    // Whether every byte up to the end has been consumed.
    bool atEnd() const
    {
        return m_offset >= m_end && m_done == size_t(m_piece.size());
    }

private:
    const AtomicFile::ReadOnlyFile &m_file;
    QByteArray m_piece;
    size_t m_done = 0;
    quint64 m_offset;
    quint64 m_end;
};

class PlainDecoder : public ModuleFile::Decoder
{
public:
    using Decoder::Decoder;

    bool size(quint64 *size) override
    {
        *size = m_file.size();
        return true;
    }
    bool readAt(quint64 offset, quint64 length, QByteArray *data) override
    {
        return inRange(offset, length, m_file.size()) && m_file.readAt(offset, length, data);
    }
};

// A part of the image decoded so far from its start, with room to grow; the
// image never holds more than an image may.
class Image
{
public:
    // Room for at least want more bytes (a larger step when the end is far),
    // never beyond maxImageSize + 1, so that an image one byte too large is
    // noticed. Returns the room's size, 0 when there is none left.
    size_t grow(quint64 want)
    {
        const quint64 limit = ModuleFile::maxImageSize + 1 - m_bytes.size();
        const size_t room = size_t(qMin(limit, qBound(inputChunk, want, 16 * inputChunk)));
        if (m_bytes.size() + room > m_bytes.capacity()) {
            // Doubling, but never past the largest image: a vector's own growth
            // would take 512 MiB for an image of 256.
            m_bytes.reserve(size_t(qMin<quint64>(qMax<quint64>(2 * m_bytes.capacity(), m_bytes.size() + room), ModuleFile::maxImageSize + 1)));
        }
        m_bytes.resize(m_bytes.size() + room);
        return room;
    }
    char *end(size_t room)
    {
        return m_bytes.data() + m_bytes.size() - room;
    }
    // Gives back the part of the last room that nothing was decoded into.
    void shrink(size_t unused)
    {
        m_bytes.resize(m_bytes.size() - unused);
    }
    quint64 size() const
    {
        return m_bytes.size();
    }
    bool tooLarge() const
    {
        return m_bytes.size() > ModuleFile::maxImageSize;
    }
    QByteArray piece(quint64 offset, quint64 length) const
    {
        return QByteArray(m_bytes.data() + offset, int(length));
    }

private:
    std::vector<char> m_bytes;
};

// zstd and gzip: one stream decoded from its start, kept as far as it was
// decoded. Streams of several frames or members are read on, as kmod does.
class StreamDecoder : public ModuleFile::Decoder
{
public:
    explicit StreamDecoder(const QString &path)
        : Decoder(path)
        , m_input(m_file, 0, m_file.size())
    {
    }

    bool size(quint64 *size) override
    {
        if (!decodeTo(ModuleFile::maxImageSize + 1)) {
            return false;
        }
        *size = m_image.size();
        return true;
    }

    bool readAt(quint64 offset, quint64 length, QByteArray *data) override
    {
        if (!inRange(offset, length, ModuleFile::maxImageSize)) {
            return false;
        }
        // Bytes decoded before a damage are as good as any: the header and the
        // section table are checked against each other by the reader.
        decodeTo(offset + length);
        if (!inRange(offset, length, m_image.size())) {
            return false;
        }
        *data = m_image.piece(offset, length);
        return true;
    }

protected:
    enum class Step {
        Going,
        FrameEnd, // a frame or member ended right after what was consumed
        Trailing, // what is left after the last frame is not part of the stream
        Damaged,
    };
    // Decodes input into output; sets how much of each was used.
    virtual Step decode(const char *input, size_t inputLength, size_t *consumed, char *output, size_t space, size_t *produced) = 0;

private:
    // Decodes until the image holds end bytes or the stream ended; false when
    // the stream is damaged, cut, or would make an image too large, and the
    // image then does not reach end.
    bool decodeTo(quint64 end)
    {
        while (!m_failed && !m_ended && m_image.size() < end) {
            if (!m_input.fill()) {
                // Cut: the last frame did not end with the file.
                m_failed = true;
                break;
            }
            const size_t room = m_image.grow(end - m_image.size());
            size_t consumed = 0;
            size_t produced = 0;
            const Step step = decode(m_input.data(), m_input.available(), &consumed, m_image.end(room), room, &produced);
            m_image.shrink(room - produced);
            m_input.consume(consumed);
            if (step == Step::Trailing || (step == Step::FrameEnd && m_input.atEnd())) {
                m_ended = true;
            } else if (step == Step::Damaged || m_image.tooLarge() || (consumed == 0 && produced == 0 && step != Step::FrameEnd)) {
                m_failed = true;
            }
        }
        return !m_failed && (m_ended || m_image.size() >= end);
    }

    Input m_input;
    Image m_image;
    bool m_ended = false;
    bool m_failed = false;
};

class ZstdDecoder : public StreamDecoder
{
public:
    explicit ZstdDecoder(const QString &path)
        : StreamDecoder(path)
        , m_context(ZSTD_createDCtx())
    {
        if (m_context) {
            ZSTD_DCtx_setParameter(m_context, ZSTD_d_windowLogMax, zstdWindowLogMax);
        }
    }
    ~ZstdDecoder() override
    {
        ZSTD_freeDCtx(m_context);
    }

protected:
    Step decode(const char *input, size_t inputLength, size_t *consumed, char *output, size_t space, size_t *produced) override
    {
        if (!m_context) {
            return Step::Damaged;
        }
        if (m_atFrameStart && inputLength >= zstdFrameHeaderMax) {
            // A frame that says it holds more than an image may is not decoded.
            // (A header cut by the end of a piece is left to the bound on what
            // is produced.)
            const unsigned long long claimed = ZSTD_getFrameContentSize(input, inputLength);
            if (claimed == ZSTD_CONTENTSIZE_ERROR || (claimed != ZSTD_CONTENTSIZE_UNKNOWN && claimed > ModuleFile::maxImageSize)) {
                return Step::Damaged;
            }
        }
        ZSTD_inBuffer in{input, inputLength, 0};
        ZSTD_outBuffer out{output, space, 0};
        const size_t result = ZSTD_decompressStream(m_context, &out, &in);
        *consumed = in.pos;
        *produced = out.pos;
        if (ZSTD_isError(result)) {
            return Step::Damaged;
        }
        m_atFrameStart = result == 0;
        return result == 0 ? Step::FrameEnd : Step::Going;
    }

private:
    ZSTD_DCtx *m_context;
    bool m_atFrameStart = true;
};

class GzipDecoder : public StreamDecoder
{
public:
    explicit GzipDecoder(const QString &path)
        : StreamDecoder(path)
    {
        m_ready = inflateInit2(&m_stream, 16 + MAX_WBITS) == Z_OK;
    }
    ~GzipDecoder() override
    {
        if (m_ready) {
            inflateEnd(&m_stream);
        }
    }

protected:
    Step decode(const char *input, size_t inputLength, size_t *consumed, char *output, size_t space, size_t *produced) override
    {
        if (!m_ready) {
            return Step::Damaged;
        }
        if (m_memberEnded) {
            // Another member follows the one that ended; anything else after a
            // member is ignored, as zlib's gzread() does, which kmod reads with.
            if (inputLength < 2 || quint8(input[0]) != 0x1f || quint8(input[1]) != 0x8b) {
                *consumed = 0;
                *produced = 0;
                return Step::Trailing;
            }
            m_memberEnded = false;
            if (inflateReset(&m_stream) != Z_OK) {
                return Step::Damaged;
            }
        }
        m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input));
        m_stream.avail_in = uInt(qMin<size_t>(inputLength, UINT_MAX));
        m_stream.next_out = reinterpret_cast<Bytef *>(output);
        m_stream.avail_out = uInt(qMin<size_t>(space, UINT_MAX));
        const int result = inflate(&m_stream, Z_NO_FLUSH);
        *consumed = size_t(reinterpret_cast<const char *>(m_stream.next_in) - input);
        *produced = size_t(reinterpret_cast<char *>(m_stream.next_out) - output);
        if (result == Z_STREAM_END) {
            m_memberEnded = true;
            return Step::FrameEnd;
        }
        return result == Z_OK || (result == Z_BUF_ERROR && (*consumed || *produced)) ? Step::Going : Step::Damaged;
    }

private:
    z_stream m_stream{};
    bool m_ready = false;
    bool m_memberEnded = false;
};

// xz: the index at the end of the file tells where each block starts, in the
// file and in the image, so that a read decodes only the blocks it touches,
// each from its start only as far as the read goes.
class XzDecoder : public ModuleFile::Decoder
{
public:
    explicit XzDecoder(const QString &path)
        : Decoder(path)
    {
        m_indexed = readIndex();
    }
    ~XzDecoder() override
    {
        for (auto &block : m_blocks) {
            block.second.close();
        }
        lzma_index_end(m_index, nullptr);
    }

    bool size(quint64 *size) override
    {
        if (!m_indexed) {
            return false;
        }
        *size = lzma_index_uncompressed_size(m_index);
        return true;
    }

    bool readAt(quint64 offset, quint64 length, QByteArray *data) override
    {
        quint64 size = 0;
        if (!this->size(&size) || !inRange(offset, length, size)) {
            return false;
        }
        QByteArray bytes;
        quint64 position = offset;
        const quint64 end = offset + length;
        while (position < end) {
            lzma_index_iter iterator;
            lzma_index_iter_init(&iterator, m_index);
            if (lzma_index_iter_locate(&iterator, position)) {
                return false;
            }
            Block &block = m_blocks[iterator.block.number_in_file];
            const quint64 start = iterator.block.uncompressed_file_offset;
            const quint64 wanted = qMin(end, start + iterator.block.uncompressed_size) - start;
            if (!block.decodeTo(m_file, iterator, wanted)) {
                return false;
            }
            bytes.append(block.image.data() + (position - start), int(start + wanted - position));
            position = start + wanted;
        }
        *data = bytes;
        return true;
    }

private:
    struct Block {
        std::vector<char> image; // decoded from the block's start
        lzma_stream stream = LZMA_STREAM_INIT;
        // The decoder keeps a pointer to its options and writes into them.
        lzma_block options{};
        bool open = false;
        bool failed = false;
        quint64 inputOffset = 0; // in the file, of the next compressed byte

        void close()
        {
            if (open) {
                lzma_end(&stream);
                open = false;
            }
        }

        bool start(const AtomicFile::ReadOnlyFile &file, const lzma_index_iter &iterator)
        {
            const quint64 headerOffset = iterator.block.compressed_file_offset;
            QByteArray sizeByte;
            if (!file.readAt(headerOffset, 1, &sizeByte) || sizeByte.at(0) == 0) {
                return false;
            }
            lzma_filter filters[LZMA_FILTERS_MAX + 1];
            options = lzma_block{};
            options.version = 1;
            options.check = iterator.stream.flags->check;
            options.filters = filters;
            options.header_size = lzma_block_header_size_decode(quint8(sizeByte.at(0)));
            QByteArray header;
            if (!file.readAt(headerOffset, options.header_size, &header)
                || lzma_block_header_decode(&options, nullptr, reinterpret_cast<const uint8_t *>(header.constData())) != LZMA_OK) {
                return false;
            }
            // The header and the index must agree on the block's sizes, and its
            // filters must not ask for more memory than a module's ever need.
            const bool sane = lzma_block_compressed_size(&options, iterator.block.unpadded_size) == LZMA_OK
                && (options.uncompressed_size == LZMA_VLI_UNKNOWN || options.uncompressed_size == iterator.block.uncompressed_size)
                && lzma_raw_decoder_memusage(filters) <= xzBlockMemory;
            options.uncompressed_size = iterator.block.uncompressed_size;
            const bool started = sane && lzma_block_decoder(&stream, &options) == LZMA_OK;
            lzma_filters_free(filters, nullptr);
            options.filters = nullptr; // read only when the decoder started
            if (!started) {
                lzma_end(&stream);
                return false;
            }
            open = true;
            inputOffset = headerOffset + options.header_size;
            return true;
        }

        bool decodeTo(const AtomicFile::ReadOnlyFile &file, const lzma_index_iter &iterator, quint64 wanted)
        {
            const quint64 size = iterator.block.uncompressed_size;
            // A block read to its end is given only once its check has been
            // verified, which needs the input after the last decoded byte.
            const bool whole = wanted == size;
            if (!failed && !open && image.size() < wanted && !start(file, iterator)) {
                failed = true;
            }
            Input input(file, inputOffset, iterator.block.compressed_file_offset + iterator.block.total_size);
            while (!failed && (image.size() < wanted || (whole && open))) {
                if (!input.fill()) {
                    failed = true;
                    break;
                }
                const size_t before = image.size();
                const size_t room = size_t(qMin<quint64>(size - before, qMax<quint64>(wanted - before, inputChunk)));
                image.resize(before + room);
                stream.next_in = reinterpret_cast<const uint8_t *>(input.data());
                stream.avail_in = input.available();
                stream.next_out = reinterpret_cast<uint8_t *>(image.data() + before);
                stream.avail_out = room;
                const lzma_ret result = lzma_code(&stream, LZMA_RUN);
                const size_t consumed = input.available() - stream.avail_in;
                input.consume(consumed);
                inputOffset += consumed;
                image.resize(before + room - stream.avail_out);
                if (result == LZMA_STREAM_END) {
                    // The block's check was verified; nothing more to decode.
                    close();
                    failed = image.size() != size;
                } else if (result != LZMA_OK || (consumed == 0 && image.size() == before)) {
                    failed = true;
                }
            }
            if (failed) {
                close();
            }
            // Bytes decoded before a damage stay good for reads that end before
            // it; the whole block never is.
            return image.size() >= wanted && !(whole && failed);
        }
    };

    bool readIndex()
    {
        lzma_stream stream = LZMA_STREAM_INIT;
        if (lzma_file_info_decoder(&stream, &m_index, xzIndexMemory, m_file.size()) != LZMA_OK) {
            return false;
        }
        quint64 position = 0;
        QByteArray piece;
        lzma_ret result = LZMA_OK;
        // The decoder asks for the parts of the file it needs: the stream header,
        // then the footer and the index from the end backwards.
        for (int rounds = 0; result == LZMA_OK && rounds < 4096; ++rounds) {
            if (stream.avail_in == 0) {
                if (position >= m_file.size() || !m_file.readAt(position, qMin(inputChunk, m_file.size() - position), &piece)) {
                    result = LZMA_DATA_ERROR;
                    break;
                }
                stream.next_in = reinterpret_cast<const uint8_t *>(piece.constData());
                stream.avail_in = size_t(piece.size());
                position += quint64(piece.size());
            }
            result = lzma_code(&stream, LZMA_RUN);
            if (result == LZMA_SEEK_NEEDED) {
                position = stream.seek_pos;
                stream.avail_in = 0;
                result = LZMA_OK;
            }
        }
        lzma_end(&stream);
        if (result != LZMA_STREAM_END) {
            // The decoder leaves the index alone unless it ends well.
            m_index = nullptr;
            return false;
        }
        return lzma_index_uncompressed_size(m_index) <= ModuleFile::maxImageSize;
    }

    lzma_index *m_index = nullptr;
    bool m_indexed = false;
    std::map<lzma_vli, Block> m_blocks;
};
}

ModuleFile::ModuleFile(const QString &path)
{
    auto plain = std::make_unique<PlainDecoder>(path);
    QByteArray magic;
    if (!plain->isOpen() || !plain->readAt(0, 6, &magic)) {
        m_decoder = std::move(plain);
        return;
    }
    if (magic.startsWith(QByteArrayLiteral("\xFD"
                                           "7zXZ\0"))) {
        m_compression = Compression::Xz;
        m_decoder = std::make_unique<XzDecoder>(path);
    } else if (magic.startsWith(QByteArrayLiteral("\x28\xB5\x2F\xFD"))) {
        m_compression = Compression::Zstd;
        m_decoder = std::make_unique<ZstdDecoder>(path);
    } else if (magic.startsWith(QByteArrayLiteral("\x1F\x8B"))) {
        m_compression = Compression::Gzip;
        m_decoder = std::make_unique<GzipDecoder>(path);
    } else {
        m_decoder = std::move(plain);
    }
}

ModuleFile::~ModuleFile() = default;

bool ModuleFile::isOpen() const
{
    return m_decoder->isOpen();
}

ModuleFile::Compression ModuleFile::compression() const
{
    return m_compression;
}

bool ModuleFile::size(quint64 *size)
{
    return isOpen() && m_decoder->size(size);
}

bool ModuleFile::readAt(quint64 offset, quint64 length, QByteArray *data)
{
    return isOpen() && m_decoder->readAt(offset, length, data);
}

QStringList ModuleFile::suffixes()
{
    QStringList list;
    for (const char *suffix : suffixBytes) {
        list.append(QLatin1String(suffix));
    }
    return list;
}

QString ModuleFile::moduleNameOf(const QString &fileName)
{
    for (const QString &suffix : suffixes()) {
        if (fileName.endsWith(suffix) && fileName.size() > suffix.size()) {
            return fileName.chopped(suffix.size());
        }
    }
    return QString();
}
