// SPDX-License-Identifier: GPL-2.0-or-later
#include "appstreammodaliases.h"

#include "atomicfile.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <yaml.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// A component of Debian's catalogue takes a few kilobytes (firmware-amd-graphics,
// with 856 patterns, 40 KiB); a document larger than this is not parsed.
constexpr int maxDocumentSize = 16 << 20;
// libyaml takes time in the square of the nesting of flow collections ("[[[["
// 100,000 deep: ten seconds). Debian's documents open at most 180 of them, those
// with modaliases 63, all of a file's some thousands.
constexpr int maxFlowOpenings = 1024;
constexpr int maxFileFlowOpenings = 64 * 1024;
// Modaliases are some dozens of characters; a longer pattern is no modalias
// pattern, and is neither kept nor matched.
constexpr int maxPatternLength = 4096;
// Debian 13's main is 26 MiB of YAML; a stream that gives more than this is
// read no further.
constexpr qint64 maxCatalogueSize = qint64(512) << 20;
// What a cache of Debian's catalogues holds is some tens of kilobytes.
constexpr qint64 maxCacheSize = 16 << 20;
const QByteArray cacheMagic = QByteArrayLiteral("kiv-admin-driver appstream-modaliases 1");

// What identifies a version of a file: a new download is a new inode, and no
// one but root can set a change time back.
struct FileStamp {
    QString path;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds
    qint64 changed = 0;

    bool operator==(const FileStamp &other) const
    {
        return path == other.path && device == other.device && inode == other.inode && size == other.size && modified == other.modified
            && changed == other.changed;
    }
};

bool stampOf(const QString &path, FileStamp *stamp)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    *stamp = {path,
              quint64(info.st_dev),
              quint64(info.st_ino),
              qint64(info.st_size),
              qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
              qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
    return true;
}

// Whether path is the user's own and no one else may change it: owned by the
// effective user, not writable by group or others, and not a link.
bool isOwnAndPrivate(const QString &path, bool directory)
{
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0) {
        return false;
    }
    return (directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) && info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QDataStream &operator<<(QDataStream &stream, const FileStamp &stamp)
{
    return stream << stamp.path << stamp.device << stamp.inode << stamp.size << stamp.modified << stamp.changed;
}

QDataStream &operator>>(QDataStream &stream, FileStamp &stamp)
{
    return stream >> stamp.path >> stamp.device >> stamp.inode >> stamp.size >> stamp.modified >> stamp.changed;
}

using CachedFile = std::pair<FileStamp, QVector<AppStreamModaliases::Component>>;

// Whether the cache may be used at all: its directory and the one above it
// (~/.cache) are the effective user's own, so that no one else can put a link
// or another file in their place between a check and a use. Root run with a
// user's home (sudo keeping HOME) never uses that user's cache.
bool cacheUsable(const QString &cacheFile)
{
    if (cacheFile.isEmpty()) {
        return false;
    }
    const QString directory = QFileInfo(cacheFile).path();
    return isOwnAndPrivate(QFileInfo(directory).path(), true) && isOwnAndPrivate(directory, true);
}

QVector<CachedFile> readCache(const QString &cacheFile)
{
    QVector<CachedFile> files;
    if (!cacheUsable(cacheFile) || !isOwnAndPrivate(cacheFile, false)) {
        return files;
    }
    const AtomicFile::ReadOnlyFile file(cacheFile);
    QByteArray data;
    QString error;
    if (!file.isOpen() || file.size() > quint64(maxCacheSize) || !file.readAll(maxCacheSize, &data, &error)) {
        return files;
    }
    QDataStream stream(data);
    stream.setVersion(QDataStream::Qt_5_15);
    QByteArray magic;
    quint32 count = 0;
    stream >> magic >> count;
    if (magic != cacheMagic || count > quint32(stream.device()->bytesAvailable() / 16)) {
        return files;
    }
    for (quint32 i = 0; i < count && stream.status() == QDataStream::Ok; ++i) {
        CachedFile cached;
        quint32 components = 0;
        stream >> cached.first >> components;
        if (components > quint32(stream.device()->bytesAvailable() / 16)) {
            stream.setStatus(QDataStream::ReadCorruptData);
            break;
        }
        for (quint32 j = 0; j < components && stream.status() == QDataStream::Ok; ++j) {
            AppStreamModaliases::Component component;
            quint32 patterns = 0;
            stream >> component.id >> component.package >> component.firmware >> patterns;
            // A count is taken only as far as the bytes left could hold it:
            // Qt's own list reading would reserve room for any count first.
            if (patterns > quint32(stream.device()->bytesAvailable() / 4)) {
                stream.setStatus(QDataStream::ReadCorruptData);
                break;
            }
            for (quint32 k = 0; k < patterns && stream.status() == QDataStream::Ok; ++k) {
                QString pattern;
                stream >> pattern;
                component.patterns.append(pattern);
            }
            cached.second.append(component);
        }
        if (stream.status() == QDataStream::Ok) {
            files.append(cached);
        }
    }
    // Anything damaged: nothing of it is trusted.
    return stream.status() == QDataStream::Ok ? files : QVector<CachedFile>();
}

void writeCache(const QString &cacheFile, const QVector<CachedFile> &files)
{
    const QString directory = QFileInfo(cacheFile).path();
    const QString parent = QFileInfo(directory).path();
    if (cacheFile.isEmpty()) {
        return;
    }
    // A user who never had a cache directory (~/.cache) gets one below a home
    // of their own. Each is made private at once; an existing one is never
    // changed.
    if (!QFileInfo::exists(parent) && isOwnAndPrivate(QFileInfo(parent).path(), true)) {
        mkdir(QFile::encodeName(parent).constData(), 0700);
    }
    if (!isOwnAndPrivate(parent, true)) {
        return;
    }
    mkdir(QFile::encodeName(directory).constData(), 0700);
    struct stat info;
    const bool absent = lstat(QFile::encodeName(cacheFile).constData(), &info) != 0;
    if (!cacheUsable(cacheFile) || (!absent && !isOwnAndPrivate(cacheFile, false))) {
        return;
    }
    QByteArray data;
    QDataStream stream(&data, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_15);
    stream << cacheMagic << quint32(files.size());
    for (const CachedFile &file : files) {
        stream << file.first << quint32(file.second.size());
        for (const AppStreamModaliases::Component &component : file.second) {
            stream << component.id << component.package << component.firmware << quint32(component.patterns.size());
            for (const QString &pattern : component.patterns) {
                stream << pattern;
            }
        }
    }
    const AtomicFile::Ownership own{geteuid(), getegid(), 0600};
    QString error;
    AtomicFile::write(cacheFile, data, &error, &own);
}

QString scalar(const yaml_node_t *node)
{
    if (!node || node->type != YAML_SCALAR_NODE) {
        return QString();
    }
    return QString::fromUtf8(reinterpret_cast<const char *>(node->data.scalar.value), int(node->data.scalar.length));
}

// The value of key in a mapping node, or null.
yaml_node_t *valueOf(yaml_document_t &document, const yaml_node_t *mapping, const char *key)
{
    if (!mapping || mapping->type != YAML_MAPPING_NODE) {
        return nullptr;
    }
    const size_t keyLength = std::strlen(key);
    for (const yaml_node_pair_t *pair = mapping->data.mapping.pairs.start; pair < mapping->data.mapping.pairs.top; ++pair) {
        const yaml_node_t *name = yaml_document_get_node(&document, pair->key);
        if (name && name->type == YAML_SCALAR_NODE && name->data.scalar.length == keyLength && std::memcmp(name->data.scalar.value, key, keyLength) == 0) {
            return yaml_document_get_node(&document, pair->value);
        }
    }
    return nullptr;
}

// One document of the stream: a component, or the header.
void parseDocument(const QByteArray &text, QVector<AppStreamModaliases::Component> *components)
{
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) {
        return;
    }
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char *>(text.constData()), size_t(text.size()));
    yaml_document_t document;
    if (yaml_parser_load(&parser, &document)) {
        const yaml_node_t *root = yaml_document_get_root_node(&document);
        const yaml_node_t *provided = valueOf(document, valueOf(document, root, "Provides"), "modaliases");
        AppStreamModaliases::Component component;
        component.id = scalar(valueOf(document, root, "ID"));
        component.package = scalar(valueOf(document, root, "Package"));
        component.firmware = scalar(valueOf(document, root, "Type")) == QLatin1String("firmware");
        if (provided && provided->type == YAML_SEQUENCE_NODE) {
            for (const yaml_node_item_t *item = provided->data.sequence.items.start; item < provided->data.sequence.items.top; ++item) {
                const QString pattern = scalar(yaml_document_get_node(&document, *item));
                if (!pattern.isEmpty() && pattern.size() <= maxPatternLength) {
                    component.patterns.append(pattern);
                }
            }
        }
        if (!component.package.isEmpty() && !component.patterns.isEmpty()) {
            components->append(component);
        }
        yaml_document_delete(&document);
    }
    yaml_parser_delete(&parser);
}

// Cuts a DEP-11 stream into its documents, at the lines "---" that start each
// one (a block scalar cannot hold such a line), and parses only the documents
// that mention modaliases: of Debian 12's main, 31 of 2,382.
class DocumentSplitter
{
public:
    explicit DocumentSplitter(QVector<AppStreamModaliases::Component> *components)
        : m_components(components)
    {
    }

    void feed(const char *data, size_t length)
    {
        // Whole lines are looked at; the last, unfinished one waits for more
        // input. Only the new bytes are searched: what waits holds no line end.
        const auto *newline = static_cast<const char *>(memrchr(data, '\n', length));
        if (m_skipLine) {
            // The rest of a line too long to keep.
            if (!newline) {
                return;
            }
            m_skipLine = false;
            const size_t skipped = size_t(static_cast<const char *>(std::memchr(data, '\n', length)) - data) + 1;
            feed(data + skipped, length - skipped);
            return;
        }
        m_pending.append(data, int(length));
        if (newline) {
            const int lineEnd = m_pending.size() - int(data + length - newline) + 1;
            lines(m_pending.constData(), size_t(lineEnd));
            m_pending.remove(0, lineEnd);
        } else if (m_pending.size() > maxDocumentSize) {
            m_oversized = true;
            m_skipLine = true;
            m_pending.resize(0);
        }
    }

    // parseLast: whether the stream ended where it should, so that its last
    // document is whole.
    void finish(bool parseLast = true)
    {
        lines(m_pending.constData(), size_t(m_pending.size()));
        m_pending.resize(0);
        if (!parseLast) {
            m_oversized = true; // not parsed, as a document too large is not
        }
        endDocument();
    }

private:
    static bool isMarker(const char *line, const char *end)
    {
        return end - line >= 3 && std::memcmp(line, "---", 3) == 0 && (end - line == 3 || line[3] == '\n' || line[3] == ' ' || line[3] == '\r');
    }

    // Text that starts at a line's start: the markers found with memmem, the
    // text between them taken in one piece (a per-line loop cost as much as
    // decompressing Debian's main).
    void lines(const char *text, size_t length)
    {
        const char *end = text + length;
        const char *from = text;
        if (isMarker(text, end)) {
            endDocument();
        }
        for (const char *at = text; at < end;) {
            const auto *found = static_cast<const char *>(memmem(at, size_t(end - at), "\n---", 4));
            if (!found) {
                break;
            }
            at = found + 1;
            if (isMarker(at, end)) {
                append(from, size_t(at - from));
                from = at;
                endDocument();
            }
        }
        append(from, size_t(end - from));
    }

    void append(const char *data, size_t length)
    {
        if (m_oversized) {
            return;
        }
        if (m_document.size() + qint64(length) > maxDocumentSize) {
            m_oversized = true;
            m_document.resize(0);
        } else {
            m_document.append(data, int(length));
        }
    }

    void endDocument()
    {
        if (!m_oversized && m_document.contains("modaliases")) {
            const int openings = m_document.count('[') + m_document.count('{');
            if (openings <= maxFlowOpenings && m_flowOpenings + openings <= maxFileFlowOpenings) {
                m_flowOpenings += openings;
                parseDocument(m_document, m_components);
            }
        }
        m_document.resize(0);
        m_oversized = false;
    }

    QVector<AppStreamModaliases::Component> *m_components;
    QByteArray m_pending;
    QByteArray m_document;
    bool m_oversized = false;
    bool m_skipLine = false;
    int m_flowOpenings = 0;
};

enum class Element {
    Matches,
    Differs,
    // glibc's fnmatch, which AppStream matches with, fails the whole pattern
    // for a bracket that ends in an unfinished range ("[0-").
    Invalid,
};

// One element of a pattern at position i against c, and where the next element
// starts. A bracket without its closing one stands for itself, as in fnmatch.
Element matchElement(const QString &pattern, int i, QChar c, int *next)
{
    const QChar p = pattern.at(i);
    *next = i + 1;
    if (p == QLatin1Char('?')) {
        return Element::Matches;
    }
    if (p == QLatin1Char('[')) {
        int j = i + 1;
        const bool negated = j < pattern.size() && (pattern.at(j) == QLatin1Char('!') || pattern.at(j) == QLatin1Char('^'));
        if (negated) {
            ++j;
        }
        bool found = false;
        bool first = true;
        for (; j < pattern.size() && (first || pattern.at(j) != QLatin1Char(']')); first = false) {
            if (j + 1 < pattern.size() && pattern.at(j + 1) == QLatin1Char('-') && j + 2 == pattern.size()) {
                return Element::Invalid;
            }
            if (j + 2 < pattern.size() && pattern.at(j + 1) == QLatin1Char('-') && pattern.at(j + 2) != QLatin1Char(']')) {
                found = found || (c >= pattern.at(j) && c <= pattern.at(j + 2));
                j += 3;
            } else {
                found = found || c == pattern.at(j);
                ++j;
            }
        }
        if (j < pattern.size()) {
            *next = j + 1;
            return found != negated ? Element::Matches : Element::Differs;
        }
    }
    return c == p ? Element::Matches : Element::Differs;
}

// The DEP-11 files of APT's list directory, in name order.
QStringList listFiles(const QString &listDirectory)
{
    QStringList files;
    const QDir directory(listDirectory);
    for (const QString &name :
         directory.entryList({QStringLiteral("*_dep11_Components-*.yml.gz"), QStringLiteral("*_dep11_Components-*.yml")}, QDir::Files, QDir::Name)) {
        files.append(directory.filePath(name));
    }
    return files;
}
}

QVector<AppStreamModaliases::Component> AppStreamModaliases::readText(const QByteArray &text)
{
    QVector<Component> components;
    DocumentSplitter splitter(&components);
    splitter.feed(text.constData(), size_t(text.size()));
    splitter.finish();
    return components;
}

QVector<AppStreamModaliases::Component> AppStreamModaliases::readFile(const QString &path, bool *whole)
{
    QVector<Component> components;
    if (whole) {
        *whole = false;
    }
    // APT keeps DEP-11 files compressed with gzip (appstream's KeepCompressedAs);
    // zlib reads an uncompressed one as it is.
    gzFile file = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!file) {
        return components;
    }
    gzbuffer(file, 128 * 1024);
    DocumentSplitter splitter(&components);
    char buffer[65536];
    int done = 0;
    qint64 total = 0;
    while (total <= maxCatalogueSize && (done = gzread(file, buffer, sizeof(buffer))) > 0) {
        splitter.feed(buffer, size_t(done));
        total += done;
    }
    // gzclose() tells a stream cut before its end (Z_BUF_ERROR).
    const bool readToEnd = done == 0 && total <= maxCatalogueSize;
    const bool complete = gzclose(file) == Z_OK && readToEnd;
    // What came before a damage is kept, but not the document it cut, however
    // much of it looks like YAML.
    splitter.finish(complete);
    if (whole) {
        *whole = complete;
    }
    return components;
}

QString AppStreamModaliases::defaultCacheFile()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return cache.isEmpty() ? QString() : cache + QStringLiteral("/kiv-admin-driver/appstream-modaliases");
}

QVector<AppStreamModaliases::Component> AppStreamModaliases::readAll(const QString &listDirectory, const QString &cacheFile)
{
    const QVector<CachedFile> cached = readCache(cacheFile);
    QVector<CachedFile> current;
    bool changed = false;
    for (const QString &path : listFiles(listDirectory)) {
        FileStamp stamp;
        if (!stampOf(path, &stamp)) {
            continue;
        }
        const auto kept = std::find_if(cached.cbegin(), cached.cend(), [&stamp](const CachedFile &file) {
            return file.first == stamp;
        });
        if (kept != cached.cend()) {
            current.append(*kept);
        } else {
            bool whole = false;
            current.append({stamp, readFile(path, &whole)});
            // A file that could not be read whole is read again next time.
            if (!whole) {
                current.last().first.size = -1;
            }
            changed = true;
        }
    }
    if (changed || current.size() != cached.size()) {
        writeCache(cacheFile, current);
    }
    QVector<Component> components;
    for (const CachedFile &file : std::as_const(current)) {
        components += file.second;
    }
    return components;
}

bool AppStreamModaliases::patternMatches(const QString &pattern, const QString &modalias)
{
    if (pattern.size() > maxPatternLength) {
        return false;
    }
    // The classic two-pointer match: on a mismatch, only the latest "*" takes
    // one more character, which is enough for patterns of "*" and single
    // characters and never backtracks further.
    int p = 0;
    int m = 0;
    int starPattern = -1;
    int starText = 0;
    while (m < modalias.size()) {
        int next = 0;
        const Element element = p < pattern.size() && pattern.at(p) != QLatin1Char('*') ? matchElement(pattern, p, modalias.at(m), &next) : Element::Differs;
        if (element == Element::Invalid) {
            return false;
        }
        if (p < pattern.size() && pattern.at(p) == QLatin1Char('*')) {
            starPattern = ++p;
            starText = m;
        } else if (element == Element::Matches) {
            p = next;
            ++m;
        } else if (starPattern >= 0) {
            p = starPattern;
            m = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern.at(p) == QLatin1Char('*')) {
        ++p;
    }
    return p == pattern.size();
}
