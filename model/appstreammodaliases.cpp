// SPDX-License-Identifier: GPL-2.0-or-later
#include "appstreammodaliases.h"

#include <QDir>
#include <QFile>

#include <yaml.h>
#include <zlib.h>

#include <cstring>

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
        while (length > 0) {
            const char *newline = static_cast<const char *>(std::memchr(data, '\n', length));
            const size_t lineLength = newline ? size_t(newline - data) + 1 : length;
            line(data, lineLength, newline != nullptr);
            data += lineLength;
            length -= lineLength;
        }
    }

    void finish()
    {
        endDocument();
    }

private:
    void line(const char *data, size_t length, bool complete)
    {
        // A line cut by the end of a piece of input is continued by the next one.
        if (m_lineStart && length >= 3 && std::memcmp(data, "---", 3) == 0 && (length == 3 || data[3] == '\n' || data[3] == ' ' || data[3] == '\r')) {
            endDocument();
        }
        if (!m_oversized) {
            if (m_document.size() + qint64(length) > maxDocumentSize) {
                m_oversized = true;
                m_document.clear();
            } else {
                m_document.append(data, int(length));
            }
        }
        m_lineStart = complete;
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
        m_document.clear();
        m_oversized = false;
    }

    QVector<AppStreamModaliases::Component> *m_components;
    QByteArray m_document;
    bool m_lineStart = true;
    bool m_oversized = false;
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
}

QVector<AppStreamModaliases::Component> AppStreamModaliases::readText(const QByteArray &text)
{
    QVector<Component> components;
    DocumentSplitter splitter(&components);
    splitter.feed(text.constData(), size_t(text.size()));
    splitter.finish();
    return components;
}

QVector<AppStreamModaliases::Component> AppStreamModaliases::readFile(const QString &path)
{
    QVector<Component> components;
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
    while ((done = gzread(file, buffer, sizeof(buffer))) > 0) {
        splitter.feed(buffer, size_t(done));
    }
    gzclose(file);
    // What came before a damage is kept; the document it cut is parsed only if
    // it is whole YAML.
    splitter.finish();
    return components;
}

QStringList AppStreamModaliases::listFiles(const QString &listDirectory)
{
    QStringList files;
    const QDir directory(listDirectory);
    for (const QString &name :
         directory.entryList({QStringLiteral("*_dep11_Components-*.yml.gz"), QStringLiteral("*_dep11_Components-*.yml")}, QDir::Files, QDir::Name)) {
        files.append(directory.filePath(name));
    }
    return files;
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
