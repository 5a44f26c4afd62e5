// SPDX-License-Identifier: GPL-2.0-or-later
#include "modprobeeditor.h"
#include "atomicfile.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>
#include <sys/stat.h>
#include <utility>

namespace
{
const QString blacklist = QStringLiteral("blacklist");
const QString alias = QStringLiteral("alias");
const QString install = QStringLiteral("install");

// Latin-1 maps every byte to one character and back, NUL included (the
// QByteArray overload would stop at the first NUL, and kmod reads on past it):
// an edit changes only the "#" it adds or removes, whatever the encoding of the
// rest of the file. The keywords and module names sought are plain ASCII.
QString textOf(const QByteArray &data)
{
    return QString::fromLatin1(data.constData(), data.size());
}

// Commands that do nothing: an install entry made of one of them keeps the
// module from loading and does nothing else.
bool isEmptyCommand(const QString &word)
{
    static const QStringList commands{QStringLiteral("false"),
                                      QStringLiteral("true"),
                                      QStringLiteral("/bin/false"),
                                      QStringLiteral("/bin/true"),
                                      QStringLiteral("/usr/bin/false"),
                                      QStringLiteral("/usr/bin/true")};
    return commands.contains(word);
}

QStringList wordsOf(const QString &text)
{
    QStringList words;
    QString word;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (!word.isEmpty()) {
                words.append(word);
                word.clear();
            }
        } else {
            word.append(c);
        }
    }
    if (!word.isEmpty()) {
        words.append(word);
    }
    return words;
}

QStringList normalNames(const QString &realName, const QString &displayName)
{
    // An empty name would match every entry with the keyword: it is left out.
    QStringList names;
    for (const QString &name : {realName, displayName}) {
        if (!name.isEmpty()) {
            names.append(ModprobeEditor::normalName(name));
        }
    }
    return names;
}

// Whether every user may read path anyway, so that naming it tells nobody
// anything new.
bool isPublic(const QString &path)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0 || (info.st_mode & S_IROTH) == 0) {
        return false;
    }
    for (QString directory = QFileInfo(path).absolutePath();; directory = QFileInfo(directory).path()) {
        if (stat(QFile::encodeName(directory).constData(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) {
            return false;
        }
        if (directory == QLatin1String("/")) {
            return true;
        }
    }
}
}

ModprobeEditor::ModprobeEditor(const QString &root)
    : m_root(root)
{
}

QString ModprobeEditor::blacklistFile()
{
    return QStringLiteral("/etc/modprobe.d/kiv-admin-driver-blacklists.conf");
}

QString ModprobeEditor::normalName(const QString &name)
{
    // kmod's own rule: "-" and "_" are the same, except between brackets.
    QString normal = name;
    int depth = 0;
    for (QChar &c : normal) {
        if (c == QLatin1Char('[')) {
            ++depth;
        } else if (c == QLatin1Char(']')) {
            depth = std::max(0, depth - 1);
        } else if (c == QLatin1Char('-') && depth == 0) {
            c = QLatin1Char('_');
        }
    }
    return normal;
}

QList<ModprobeEditor::Line> ModprobeEditor::lines(const QString &text)
{
    QList<Line> result;
    int number = 1;
    int i = 0;
    while (i < text.size()) {
        Line line;
        line.number = number;
        line.start = i;
        QString logical;
        // As kmod reads: a backslash joins the next line, or stands for the
        // character after it.
        while (i < text.size() && text.at(i) != QLatin1Char('\n')) {
            if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size()) {
                if (text.at(i + 1) == QLatin1Char('\n')) {
                    line.continued = true;
                    ++number;
                } else {
                    logical.append(text.at(i + 1));
                }
                i += 2;
                continue;
            }
            logical.append(text.at(i));
            ++i;
        }
        ++i;
        ++number;
        // kmod reads each line as a C string.
        const int nul = logical.indexOf(QChar(0));
        if (nul >= 0) {
            logical.truncate(nul);
        }
        if (!logical.isEmpty() && logical.at(0) != QLatin1Char('#')) {
            line.words = wordsOf(logical);
        }
        result.append(line);
    }
    return result;
}

ModprobeEditor::Kind ModprobeEditor::classify(const Line &line, const QString &keyword, const QStringList &names)
{
    if (line.words.size() < 2 || !names.contains(normalName(line.words.at(1)))) {
        return Kind::None;
    }
    const QString &command = line.words.first();
    if (command == keyword) {
        return Kind::Entry;
    }
    if (keyword == blacklist && command == install && line.words.size() > 2) {
        if (line.words.size() == 3 && isEmptyCommand(line.words.at(2))) {
            return Kind::Entry;
        }
        // "/bin/false; something" blocks the module and does something else:
        // taking it away would do more than lift the block.
        QString first = line.words.at(2);
        while (first.endsWith(QLatin1Char(';')) || first.endsWith(QLatin1Char('&')) || first.endsWith(QLatin1Char('|'))) {
            first.chop(1);
        }
        if (isEmptyCommand(first)) {
            return Kind::Unsafe;
        }
    }
    return Kind::None;
}

QList<QPair<int, int>> ModprobeEditor::commentedEntries(const QString &text, const QString &keyword, const QStringList &names)
{
    QList<QPair<int, int>> entries;
    // Only lines kmod reads on their own: a line after a backslash belongs to the
    // one before, and one ending in a backslash takes in the next.
    const QList<Line> parsed = lines(text);
    for (const Line &line : parsed) {
        if (line.continued) {
            continue;
        }
        const int end = text.indexOf(QLatin1Char('\n'), line.start);
        const QString physical = text.mid(line.start, (end < 0 ? text.size() : end) - line.start);
        // Only "#" marks and blanks may stand before the entry: a "#" after other
        // text is a trailing comment, not a disabled entry.
        int prefix = 0;
        int mark = -1;
        int marks = 0;
        while (prefix < physical.size()
               && (physical.at(prefix) == QLatin1Char('#') || physical.at(prefix) == QLatin1Char(' ') || physical.at(prefix) == QLatin1Char('\t'))) {
            if (physical.at(prefix) == QLatin1Char('#')) {
                mark = prefix;
                ++marks;
            }
            ++prefix;
        }
        // One mark: taking it away enables the entry. With more, the line stays a
        // comment whatever is taken away: it is no disabled entry to restore.
        if (marks != 1) {
            continue;
        }
        QString rest = physical.mid(prefix);
        const int nul = rest.indexOf(QChar(0));
        if (nul >= 0) {
            rest.truncate(nul);
        }
        Line entry;
        entry.words = wordsOf(rest);
        if (classify(entry, keyword, names) == Kind::Entry) {
            entries.append({line.start + mark, prefix - mark});
        }
    }
    return entries;
}

QString ModprobeEditor::switchModule(const ModuleSwitch &names)
{
    m_problem.clear();
    if (!commentOutEntries(blacklist, names)) {
        return m_problem.isEmpty() ? QStringLiteral("New driver blacklists error") : QStringLiteral("New driver blacklists error: ") + m_problem;
    }
    if (!uncommentEntries(blacklist, true, names)) {
        return QStringLiteral("Current driver blacklists error");
    }
    if (!commentOutEntries(alias, names)) {
        return QStringLiteral("New driver alias error");
    }
    if (!uncommentEntries(alias, false, names)) {
        return QStringLiteral("Current driver alias error");
    }
    return QString();
}

QStringList ModprobeEditor::modprobeDirectories() const
{
    QStringList directories;
    for (const char *directory : {"/lib/modprobe.d", "/etc/modprobe.d", "/run/modprobe.d"}) {
        const QString path = m_root + QLatin1String(directory);
        if (QFileInfo(path).isDir()) {
            directories.append(path);
        }
    }
    return directories;
}

QList<QPair<QString, QString>> ModprobeEditor::texts() const
{
    QList<QPair<QString, QString>> texts;
    for (const QString &path : files()) {
        QByteArray data;
        QString error;
        // One that cannot be read is passed over: it can hold nothing to change.
        if (!AtomicFile::read(path, &data, &error)) {
            qDebug().noquote() << QStringLiteral("Error reading file ") + path + QLatin1String(": ") + error;
            continue;
        }
        texts.append({path, textOf(data)});
    }
    return texts;
}

bool ModprobeEditor::isReadByKmod(const QString &path) const
{
    // kmod reads the files named *.conf directly in its directories; of two of
    // one name, the one in the directory it reads first (/etc, /run, /lib).
    const QFileInfo file(path);
    if (!path.endsWith(QLatin1String(".conf")) || file.fileName().startsWith(QLatin1Char('.'))) {
        return false;
    }
    for (const char *directory : {"/etc/modprobe.d", "/run/modprobe.d", "/lib/modprobe.d"}) {
        const QString candidate = m_root + QLatin1String(directory) + QLatin1Char('/') + file.fileName();
        if (QFileInfo(candidate).isFile()) {
            return QFileInfo(candidate).absoluteFilePath() == file.absoluteFilePath();
        }
    }
    return false;
}

QStringList ModprobeEditor::files() const
{
    QStringList files;
    const QStringList directories = modprobeDirectories();
    for (const QString &directory : directories) {
        QDirIterator it(directory, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext()) {
            const QString path = it.next();
            // Only regular files, directly or behind a link: a FIFO would block the
            // read for good, a device could feed it without end.
            if (it.fileInfo().isFile()) {
                files.append(QFileInfo(path).absoluteFilePath());
            }
        }
    }
    return files;
}

void ModprobeEditor::reportUnsafe(const QString &path, const Line &line, const QString &module)
{
    qDebug().noquote() << QStringLiteral("Line %1 of %2 keeps %3 from loading and runs a command besides: not changed").arg(line.number).arg(path, module);
    const QString relative = m_root.isEmpty() ? path : path.mid(m_root.size());
    const QString file = isPublic(path) ? relative : QStringLiteral("a file only root can read (named in the system log)");
    m_problem =
        QStringLiteral("line %1 of %2 keeps %3 from loading with a command that does more, which cannot be undone safely").arg(line.number).arg(file, module);
}

bool ModprobeEditor::rewrite(const QString &path, const QString &keyword, const QStringList &names, bool enable)
{
    QByteArray data;
    QString error;
    if (!AtomicFile::read(path, &data, &error)) {
        qDebug().noquote() << QStringLiteral("Error reading file ") + path + QLatin1String(": ") + error;
        return false;
    }
    QString text = textOf(data);
    QList<QPair<int, int>> edits; // offset, characters removed (0: a "#" is inserted)
    if (enable) {
        edits = commentedEntries(text, keyword, names);
    } else {
        const QList<Line> parsed = lines(text);
        for (const Line &line : parsed) {
            const Kind kind = classify(line, keyword, names);
            if (kind == Kind::Unsafe) {
                reportUnsafe(path, line, line.words.at(1));
                return false;
            }
            if (kind == Kind::Entry) {
                edits.append({line.start, 0});
            }
        }
    }
    if (edits.isEmpty()) {
        qDebug().noquote() << QStringLiteral("Cannot find previously found parameter in file ") + path;
        return false;
    }
    // From the end, so that the offsets before each edit stay valid.
    for (auto it = edits.crbegin(); it != edits.crend(); ++it) {
        if (it->second > 0) {
            text.remove(it->first, it->second);
        } else {
            text.insert(it->first, QLatin1Char('#'));
        }
    }
    if (!AtomicFile::write(path, text.toLatin1(), &error)) {
        qDebug().noquote() << QStringLiteral("Error recreating modprobe config file ") + path + QLatin1String(": ") + error;
        return false;
    }
    noteChanged(path);
    return true;
}

void ModprobeEditor::noteChanged(const QString &path)
{
    const QString system = path.mid(m_root.size());
    if (!m_changed.contains(system)) {
        m_changed.append(system);
    }
}

QStringList ModprobeEditor::takeChangedFiles()
{
    return std::exchange(m_changed, QStringList());
}

bool ModprobeEditor::commentOutEntries(const QString &keyword, const ModuleSwitch &names)
{
    const QStringList modules = normalNames(names.newRealName, names.newDisplayName);
    QStringList matching;
    for (const auto &[path, text] : texts()) {
        const QList<Line> parsed = lines(text);
        bool entry = false;
        for (const Line &line : parsed) {
            const Kind kind = classify(line, keyword, modules);
            if (kind == Kind::Unsafe) {
                // Before anything is written: the switch fails whole.
                reportUnsafe(path, line, line.words.at(1));
                return false;
            }
            entry = entry || kind == Kind::Entry;
        }
        if (entry) {
            matching.append(path);
        }
    }
    for (const QString &path : std::as_const(matching)) {
        if (!rewrite(path, keyword, modules, false)) {
            return false;
        }
    }
    return true;
}

bool ModprobeEditor::uncommentEntries(const QString &keyword, bool appendIfNone, const ModuleSwitch &names)
{
    const QStringList modules = normalNames(names.currentRealName, names.currentDisplayName);
    QStringList matching;
    for (const auto &[path, text] : texts()) {
        if (!commentedEntries(text, keyword, modules).isEmpty()) {
            matching.append(path);
        }
    }
    for (const QString &path : std::as_const(matching)) {
        if (!rewrite(path, keyword, modules, true)) {
            return false;
        }
    }
    // An entry restored where kmod does not look (a .dpkg-old file, a file in a
    // subdirectory, one that a file of the same name elsewhere hides) blocks
    // nothing: then the module is blacklisted in our own file too.
    if (appendIfNone && std::none_of(matching.cbegin(), matching.cend(), [this](const QString &path) {
            return isReadByKmod(path);
        })) {
        return appendBlacklistEntry(names);
    }
    return true;
}

bool ModprobeEditor::appendBlacklistEntry(const ModuleSwitch &names)
{
    const QString path = m_root + blacklistFile();
    QByteArray data;
    QString error;
    if (QFileInfo::exists(path) && !AtomicFile::read(path, &data, &error)) {
        qDebug().noquote() << QStringLiteral("Failed to write to ") + path + QLatin1String(": ") + error;
        return false;
    }
    // A last line without its line break must not run into ours.
    if (!data.isEmpty() && !data.endsWith('\n')) {
        data += '\n';
    }
    // Nor may a backslash at its end take ours in.
    if (data.endsWith("\\\n")) {
        data += '\n';
    }
    data += QStringLiteral("blacklist %1\n").arg(names.currentDisplayName).toUtf8();
    if (!AtomicFile::write(path, data, &error)) {
        qDebug().noquote() << QStringLiteral("Failed to write to ") + path + QLatin1String(": ") + error;
        return false;
    }
    noteChanged(path);
    return true;
}
