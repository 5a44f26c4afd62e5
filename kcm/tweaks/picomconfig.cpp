// SPDX-License-Identifier: GPL-2.0-or-later
#include "picomconfig.h"
#include "atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QPair>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Marks a line of the user's that prevention has set aside.
const QByteArray setAside("#kiv-admin-driver: ");
const QByteArray header("# Tearing prevention of the driver manager; the settings your configuration leaves open.");
// What earlier versions wrote.
const QByteArray oldSnippet("backend = \"glx\";\nvsync = true;\nuse-damage = false;");

bool isNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '*';
}

bool isNameChar(char c)
{
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

// Whether the rest of a line, from offset on, holds nothing but blanks and a comment.
bool onlyCommentFrom(const QByteArray &text, int offset)
{
    for (int i = offset; i < text.size() && text.at(i) != '\n'; ++i) {
        if (text.at(i) == '#' || (text.at(i) == '/' && i + 1 < text.size() && text.at(i + 1) == '/')) {
            return true;
        }
        if (text.at(i) == '/' && i + 1 < text.size() && text.at(i + 1) == '*') {
            // Only a comment that ends on this line: a mark at the line's start
            // would leave the rest of it bare on the next.
            const int end = text.indexOf("*/", i + 2);
            const int lineEnd = text.indexOf('\n', i);
            if (end < 0 || (lineEnd >= 0 && end > lineEnd)) {
                return false;
            }
            i = end + 1;
            continue;
        }
        if (!isBlank(text.at(i))) {
            return false;
        }
    }
    return true;
}

bool onlyBlanksBefore(const QByteArray &text, int offset)
{
    for (int i = offset - 1; i >= 0 && text.at(i) != '\n'; --i) {
        if (!isBlank(text.at(i))) {
            return false;
        }
    }
    return true;
}

bool isTrue(const QByteArray &value)
{
    return value.trimmed().toLower() == "true";
}

QString namedFile(const QString &including, const QString &named)
{
    return QFileInfo(QFileInfo(including).absoluteDir(), named).absoluteFilePath();
}

bool isWritable(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 && (info.st_mode & S_IWUSR) != 0 && ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}
}

PicomConfig::PicomConfig(const QString &home, const QString &configHome, const QStringList &configDirs)
    : m_home(home)
    , m_configHome(configHome)
    , m_configDirs(configDirs)
{
}

PicomConfig PicomConfig::fromEnvironment(const QString &home)
{
    const QString configDirs = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_DIRS"));
    return PicomConfig(home, QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")), configDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts));
}

QString PicomConfig::configHome() const
{
    return m_configHome.isEmpty() ? m_home + QStringLiteral("/.config") : m_configHome;
}

QStringList PicomConfig::configDirs() const
{
    return m_configDirs.isEmpty() ? QStringList{QStringLiteral("/etc/xdg")} : m_configDirs;
}

QString PicomConfig::configuredFile() const
{
    static const char *const names[] = {"/picom.conf", "/picom/picom.conf", "/compton.conf", "/compton/compton.conf"};
    QStringList candidates;
    for (const char *name : names) {
        candidates.append(configHome() + QLatin1String(name));
    }
    candidates.append(m_home + QStringLiteral("/.compton.conf"));
    for (const QString &directory : configDirs()) {
        for (const char *name : names) {
            candidates.append(directory + QLatin1String(name));
        }
    }
    for (const QString &candidate : std::as_const(candidates)) {
        if (QFileInfo(candidate).isFile()) {
            return candidate;
        }
    }
    return QString();
}

bool PicomConfig::isUsers(const QString &path) const
{
    return path.startsWith(configHome() + QLatin1Char('/')) || path == m_home + QStringLiteral("/.compton.conf");
}

QString PicomConfig::userConfig() const
{
    return receivingFor(configuredFile());
}

QString PicomConfig::receivingFor(const QString &configured) const
{
    return !configured.isEmpty() && isUsers(configured) ? configured : configHome() + QStringLiteral("/picom.conf");
}

QString PicomConfig::includeLine(const QString &receiving, const QString &file)
{
    return QStringLiteral("@include \"%1\"").arg(QFileInfo(receiving).absoluteDir().relativeFilePath(file));
}

bool PicomConfig::isPreventionOn(const QByteArray &text)
{
    return text.contains(header) || text.contains(oldSnippet);
}

QList<PicomConfig::Setting> PicomConfig::topLevelSettings(const QByteArray &text)
{
    QList<Setting> settings;
    QList<QPair<int, int>> spans; // of each setting: where its name starts, where it ends
    int depth = 0;
    int line = 0;
    bool inValue = false;
    int valueStart = 0;
    int nameStart = 0;
    Setting current;
    // valueEnd: where the value ends (before a comment in it); end: where the
    // setting does, after its ";".
    int commentInValue = -1;
    const auto close = [&](int valueEnd, int end) {
        if (commentInValue >= 0) {
            valueEnd = std::min(valueEnd, commentInValue);
        }
        current.value = text.mid(valueStart, valueEnd - valueStart).trimmed();
        current.lastLine = line;
        settings.append(current);
        spans.append({nameStart, end});
        inValue = false;
    };
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '\n') {
            if (inValue && depth == 0 && !text.mid(valueStart, (commentInValue >= 0 ? commentInValue : i) - valueStart).trimmed().isEmpty()) {
                // libconfig needs no ";" after a value.
                close(i, i);
            }
            ++line;
        } else if (c == '#' || (c == '/' && i + 1 < text.size() && text.at(i + 1) == '/')) {
            if (inValue && depth == 0 && commentInValue < 0) {
                commentInValue = i;
            }
            while (i + 1 < text.size() && text.at(i + 1) != '\n') {
                ++i;
            }
        } else if (c == '/' && i + 1 < text.size() && text.at(i + 1) == '*') {
            if (inValue && depth == 0 && commentInValue < 0) {
                commentInValue = i;
            }
            for (i += 2; i < text.size() && !(text.at(i) == '*' && i + 1 < text.size() && text.at(i + 1) == '/'); ++i) {
                line += text.at(i) == '\n' ? 1 : 0;
            }
            ++i;
        } else if (c == '"') {
            for (++i; i < text.size() && text.at(i) != '"'; ++i) {
                if (text.at(i) == '\\') {
                    ++i;
                } else if (text.at(i) == '\n') {
                    ++line;
                }
            }
        } else if (c == '{' || c == '(' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ')' || c == ']') {
            depth = std::max(0, depth - 1);
        } else if (depth == 0 && inValue && (c == ';' || c == ',')) {
            close(i, i + 1);
        } else if (depth == 0 && !inValue && c == '@' && onlyBlanksBefore(text, i)) {
            while (i + 1 < text.size() && text.at(i + 1) != '\n') {
                ++i;
            }
        } else if (depth == 0 && !inValue && isNameStart(c) && (i == 0 || !isNameChar(text.at(i - 1)))) {
            int end = i;
            while (end < text.size() && isNameChar(text.at(end))) {
                ++end;
            }
            int next = end;
            while (next < text.size() && isBlank(text.at(next))) {
                ++next;
            }
            if (next < text.size() && (text.at(next) == '=' || text.at(next) == ':')) {
                current = Setting();
                current.name = QString::fromLatin1(text.mid(i, end - i));
                current.firstLine = line;
                nameStart = i;
                valueStart = next + 1;
                commentInValue = -1;
                inValue = true;
                i = next;
            } else {
                i = end - 1;
            }
        }
    }
    if (inValue) {
        close(text.size(), text.size());
    }
    // Alone: nothing else before it on its first line or after it on its last,
    // and no other setting on its lines.
    for (int k = 0; k < settings.size(); ++k) {
        Setting &setting = settings[k];
        setting.alone = onlyBlanksBefore(text, spans.at(k).first) && onlyCommentFrom(text, spans.at(k).second);
        for (int other = 0; other < settings.size(); ++other) {
            if (other != k && settings.at(other).lastLine >= setting.firstLine && settings.at(other).firstLine <= setting.lastLine) {
                setting.alone = false;
            }
        }
    }
    return settings;
}

QList<QPair<int, QString>> PicomConfig::includeLines(const QByteArray &text)
{
    QList<QPair<int, QString>> found;
    int line = 0;
    bool inBlock = false;
    int start = 0;
    while (start <= text.size()) {
        int end = text.indexOf('\n', start);
        if (end < 0) {
            end = text.size();
        }
        const QByteArray physical = text.mid(start, end - start);
        const QByteArray trimmed = physical.trimmed();
        if (!inBlock && trimmed.startsWith("@include")) {
            // The quoted path, up to its closing quote; a comment may follow.
            const int open = trimmed.indexOf('"');
            int close = open;
            while (close >= 0 && (close = trimmed.indexOf('"', close + 1)) > 0 && trimmed.at(close - 1) == '\\') { }
            if (open >= 0 && close > open) {
                found.append({line, QFile::decodeName(trimmed.mid(open + 1, close - open - 1))});
            } else {
                found.append({line, QFile::decodeName(trimmed.mid(8).trimmed())});
            }
        }
        // Block comments that stay open past the line, outside strings and line comments.
        bool inString = false;
        for (int i = 0; i < physical.size(); ++i) {
            const char c = physical.at(i);
            if (inBlock) {
                if (c == '*' && i + 1 < physical.size() && physical.at(i + 1) == '/') {
                    inBlock = false;
                    ++i;
                }
            } else if (inString) {
                if (c == '\\') {
                    ++i;
                } else if (c == '"') {
                    inString = false;
                }
            } else if (c == '"') {
                inString = true;
            } else if (c == '#' || (c == '/' && i + 1 < physical.size() && physical.at(i + 1) == '/')) {
                break;
            } else if (c == '/' && i + 1 < physical.size() && physical.at(i + 1) == '*') {
                inBlock = true;
                ++i;
            }
        }
        ++line;
        start = end + 1;
    }
    return found;
}

bool PicomConfig::collectSettings(const QString &base,
                                  const QString &path,
                                  const QByteArray &text,
                                  const QString &skip,
                                  int depth,
                                  QList<QPair<QString, Setting>> *settings) const
{
    for (const Setting &setting : topLevelSettings(text)) {
        settings->append({path, setting});
    }
    if (depth >= 8) {
        return true;
    }
    for (const auto &include : includeLines(text)) {
        const QString file = namedFile(base, include.second);
        if (file == QFileInfo(skip).absoluteFilePath() || !QFileInfo::exists(file)) {
            continue;
        }
        QByteArray included;
        QString error;
        if (!AtomicFile::read(file, &included, &error) || !collectSettings(base, file, included, skip, depth + 1, settings)) {
            return false;
        }
    }
    return true;
}

PicomConfig::Result PicomConfig::setTearingPrevention(bool enable, const QString &tweaksFile)
{
    m_problem.clear();
    const QString configured = configuredFile();
    const QString receiving = receivingFor(configured);
    const bool exists = QFileInfo::exists(receiving);
    QByteArray text;
    QString error;
    if (exists) {
        if (!AtomicFile::read(receiving, &text, &error)) {
            return ReadFailed;
        }
    } else if (!configured.isEmpty() && !AtomicFile::read(configured, &text, &error)) {
        return ReadFailed;
    }
    // Bytes, line by line: whatever encoding the file has, only the lines changed here change.
    QList<QByteArray> lines = text.split('\n');
    // Lines set aside earlier come back; while prevention is on, what conflicts goes again.
    bool restored = false;
    for (QByteArray &line : lines) {
        if (line.startsWith(setAside)) {
            line.remove(0, setAside.size());
            restored = true;
        }
    }

    // The include line, in the form picom reads, once.
    const QByteArray wanted = QFile::encodeName(includeLine(receiving, tweaksFile));
    bool included = false;
    const QList<QPair<int, QString>> includeList = includeLines(lines.join('\n'));
    for (auto it = includeList.crbegin(); it != includeList.crend(); ++it) {
        if (namedFile(receiving, it->second) != QFileInfo(tweaksFile).absoluteFilePath()) {
            continue;
        }
        // The first one stays, in the form picom reads; later ones go.
        const bool first = std::none_of(includeList.cbegin(), includeList.cend(), [&](const QPair<int, QString> &other) {
            return other.first < it->first && namedFile(receiving, other.second) == QFileInfo(tweaksFile).absoluteFilePath();
        });
        if (first) {
            included = true;
            if (lines.at(it->first).trimmed() != wanted && !lines.at(it->first).trimmed().startsWith(wanted)) {
                lines[it->first] = wanted;
            }
        } else {
            lines.removeAt(it->first);
        }
    }

    if (!enable && !included && !restored) {
        // Nothing of ours to take back: the user's configuration stays as it is.
        return AtomicFile::write(tweaksFile, QByteArray(), &error) ? Done : TweaksFailed;
    }

    QByteArray snippet;
    if (enable) {
        QList<QPair<QString, Setting>> settings;
        // libconfig takes every include, at any depth, from the main file's folder.
        if (!collectSettings(receiving, receiving, lines.join('\n'), tweaksFile, 0, &settings)) {
            return ReadFailed;
        }
        bool vsyncOn = false;
        bool vsyncAside = false;
        bool backendSet = false;
        bool damageSet = false;
        for (const auto &[path, setting] : std::as_const(settings)) {
            backendSet = backendSet || setting.name == QLatin1String("backend");
            damageSet = damageSet || setting.name == QLatin1String("use-damage");
            if (setting.name != QLatin1String("vsync")) {
                continue;
            }
            if (isTrue(setting.value)) {
                vsyncOn = true;
                continue;
            }
            if (path != receiving || !setting.alone) {
                m_problem = path != receiving ? QStringLiteral("%1, line %2").arg(path).arg(setting.firstLine + 1)
                                              : QStringLiteral("%1, line %2, shares its line with other settings").arg(path).arg(setting.firstLine + 1);
                return Conflict;
            }
            for (int i = setting.firstLine; i <= setting.lastLine && i < lines.size(); ++i) {
                lines[i].prepend(setAside);
            }
            vsyncAside = true;
        }
        snippet = header + '\n';
        if (!backendSet) {
            snippet += "backend = \"glx\";\n";
        }
        if (!vsyncOn || vsyncAside) {
            snippet += "vsync = true;\n";
        }
        if (!damageSet) {
            snippet += "use-damage = false;\n";
        }
    }

    // Never two settings of one name at once: the tweaks file gives up its own
    // before the user's come back, and takes them only after the user's went (or
    // before picom reads it at all).
    if (!enable && !AtomicFile::write(tweaksFile, QByteArray(), &error)) {
        return TweaksFailed;
    }
    if (enable && !included && !AtomicFile::write(tweaksFile, snippet, &error)) {
        return TweaksFailed;
    }
    const bool changed = !exists || lines.join('\n') != text;
    if (!included && changed) {
        if (!lines.isEmpty() && !lines.last().isEmpty()) {
            lines.append(QByteArray());
        }
        lines.insert(lines.size() - 1, wanted);
    }
    if (changed) {
        if (exists && !isWritable(receiving)) {
            return WriteFailed;
        }
        QDir().mkpath(QFileInfo(receiving).absolutePath());
        if (!AtomicFile::write(receiving, lines.join('\n'), &error)) {
            return WriteFailed;
        }
    } else if (!included) {
        if (!isWritable(receiving)) {
            return WriteFailed;
        }
        // Appended in place: everything else of the user's file stays as it is.
        const QByteArray addition = (text.isEmpty() || text.endsWith('\n') ? QByteArray() : QByteArray("\n")) + wanted + '\n';
        if (!AtomicFile::append(receiving, addition, &error)) {
            return WriteFailed;
        }
    }
    if (enable && included && !AtomicFile::write(tweaksFile, snippet, &error)) {
        return TweaksFailed;
    }
    return Done;
}
