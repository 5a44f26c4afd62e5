// SPDX-License-Identifier: GPL-2.0-or-later
#include "initramfsupdate.h"
#include "childsetupprocess.h"
#include "modprobeeditor.h"
#include "modulefile.h"
#include "toolenvironment.h"

#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include <csignal>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace
{
// Building an image copies and compresses hundreds of modules: a minute on an
// ordinary machine, several on a slow disk.
constexpr int updateLimitSeconds = 15 * 60;
constexpr int listLimitSeconds = 2 * 60;
constexpr int tickMilliseconds = 5000;
// What is kept of a tool's output for the log.
constexpr int logTailBytes = 64 * 1024;

QString runningRelease()
{
    struct utsname names;
    return uname(&names) == 0 ? QString::fromLocal8Bit(names.release) : QString();
}

// What tells one image file from the next: a rebuild writes a new file.
struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified = {0, 0};
    off_t size = 0;
    bool operator==(const Stamp &other) const
    {
        return exists == other.exists && device == other.device && inode == other.inode && modified.tv_sec == other.modified.tv_sec
            && modified.tv_nsec == other.modified.tv_nsec && size == other.size;
    }
};

Stamp stampOf(const QString &path)
{
    struct stat info;
    Stamp stamp;
    if (stat(QFile::encodeName(path).constData(), &info) == 0) {
        stamp = {true, info.st_dev, info.st_ino, info.st_mtim, info.st_size};
    }
    return stamp;
}

// Runs the tool in a process group of its own, so that a tool that has to be
// stopped is stopped with everything it started (cpio, the compressor).
class GroupProcess : public ChildSetupProcess
{
public:
    explicit GroupProcess(bool ownGroup)
        : ChildSetupProcess(ownGroup ? std::function<void()>([]() {
            ::setpgid(0, 0);
        })
                                     : std::function<void()>())
    {
    }

    void stop()
    {
        const pid_t group = pid_t(processId());
        const bool grouped = group > 0 && ::getpgid(group) == group;
        if (grouped) {
            ::kill(-group, SIGTERM);
        } else {
            terminate();
        }
        if (!waitForFinished(30000)) {
            if (grouped) {
                ::kill(-group, SIGKILL);
            } else {
                kill();
            }
            waitForFinished(5000);
        }
    }
};

bool isExecutable(const QString &path)
{
    const QFileInfo file(path);
    return file.isFile() && file.isExecutable();
}
}

InitramfsUpdate::InitramfsUpdate(const QString &root, const QString &release)
    : m_root(root)
    , m_release(release.isEmpty() ? runningRelease() : release)
{
}

QString InitramfsUpdate::image() const
{
    // Where both initramfs-tools and Debian's dracut hook put it.
    return QStringLiteral("/boot/initrd.img-") + m_release;
}

bool InitramfsUpdate::hasImage() const
{
    // A release with a "/" in it names no image of ours.
    return !m_release.isEmpty() && !m_release.contains(QLatin1Char('/')) && QFileInfo(m_root + image()).isFile();
}

InitramfsUpdate::Tool InitramfsUpdate::tool() const
{
    if (isExecutable(m_root + QStringLiteral("/usr/sbin/update-initramfs"))) {
        return Tool::InitramfsTools;
    }
    if (isExecutable(m_root + QStringLiteral("/usr/bin/dracut"))) {
        return Tool::Dracut;
    }
    return Tool::None;
}

QStringList InitramfsUpdate::command() const
{
    switch (tool()) {
    case Tool::InitramfsTools:
        return {QStringLiteral("/usr/sbin/update-initramfs"), QStringLiteral("-u"), QStringLiteral("-k"), m_release};
    case Tool::Dracut:
        // As Debian's kernel hook for dracut builds it.
        return {QStringLiteral("/usr/bin/dracut"), QStringLiteral("-q"), QStringLiteral("--force"), image(), m_release};
    case Tool::None:
        break;
    }
    return {};
}

QString InitramfsUpdate::commandLine() const
{
    QStringList words = command();
    if (words.isEmpty()) {
        return QString();
    }
    words.first() = QFileInfo(words.first()).fileName();
    return words.join(QLatin1Char(' '));
}

QString InitramfsUpdate::normalPath(const QString &path)
{
    QString normal = path;
    while (normal.startsWith(QLatin1String("./"))) {
        normal.remove(0, 2);
    }
    while (normal.startsWith(QLatin1Char('/'))) {
        normal.remove(0, 1);
    }
    // Merged /usr: an image may hold either spelling, as a file system does.
    if (normal.startsWith(QLatin1String("usr/lib/"))) {
        normal.remove(0, 4);
    }
    return normal;
}

std::optional<QStringList> InitramfsUpdate::contents() const
{
    // Below another root the listers would be the real system's.
    if (!m_root.isEmpty() || !hasImage()) {
        return std::nullopt;
    }
    // Images are cpio archives one after another, the last compressed as
    // initramfs.conf chose: the tool that builds them lists them best.
    QStringList command;
    const bool dracut = tool() == Tool::Dracut;
    if (dracut && isExecutable(QStringLiteral("/usr/bin/lsinitrd"))) {
        command = QStringList{QStringLiteral("/usr/bin/lsinitrd"), image()};
    } else if (isExecutable(QStringLiteral("/usr/bin/lsinitramfs"))) {
        command = QStringList{QStringLiteral("/usr/bin/lsinitramfs"), image()};
    } else {
        return std::nullopt;
    }
    QProcess lister;
    lister.setProcessEnvironment(toolEnvironment());
    lister.setStandardInputFile(QProcess::nullDevice());
    lister.setProcessChannelMode(QProcess::SeparateChannels);
    lister.start(command.first(), command.mid(1));
    if (!lister.waitForFinished(listLimitSeconds * 1000) || lister.exitStatus() != QProcess::NormalExit || lister.exitCode() != 0) {
        qDebug().noquote() << command.first() << "could not list" << image() << QString::fromLocal8Bit(lister.readAllStandardError()).trimmed();
        lister.kill();
        lister.waitForFinished(5000);
        return std::nullopt;
    }
    return pathsOfListing(lister.readAllStandardOutput(), dracut);
}

QStringList InitramfsUpdate::pathsOfListing(const QByteArray &listing, bool longFormat)
{
    // lsinitrd prints "ls -l" lines after a header; lsinitramfs a path a line.
    static const QRegularExpression longLine(QStringLiteral("^([-dlcbps])[-rwxsStT]{9}\\S*\\s+\\d+\\s+\\S+\\s+\\S+\\s+\\d+\\s+\\S+\\s+\\d+\\s+\\S+\\s+(.+)$"));
    QStringList paths;
    const QList<QByteArray> lines = listing.split('\n');
    for (const QByteArray &line : lines) {
        QString path = QString::fromLocal8Bit(line);
        if (longFormat) {
            const QRegularExpressionMatch match = longLine.match(path);
            if (!match.hasMatch()) {
                continue;
            }
            path = match.captured(2);
            if (match.captured(1) == QLatin1String("l")) {
                path = path.section(QStringLiteral(" -> "), 0, 0);
            }
        }
        path = normalPath(path);
        if (!path.isEmpty()) {
            paths.append(path);
        }
    }
    return paths;
}

QString InitramfsUpdate::reasonToUpdate(const QStringList &files, const QStringList &modules) const
{
    // Without a changed file the switch changed nothing the image could hold.
    if (!hasImage() || files.isEmpty()) {
        return QString();
    }
    const std::optional<QStringList> listing = contents();
    if (!listing) {
        return QStringLiteral("what %1 holds cannot be told").arg(image());
    }
    const QSet<QString> held(listing->cbegin(), listing->cend());
    for (const QString &file : files) {
        if (held.contains(normalPath(file))) {
            return QStringLiteral("%1 holds a copy of %2").arg(image(), file);
        }
    }
    QSet<QString> names;
    for (const QString &module : modules) {
        if (!module.isEmpty()) {
            names.insert(ModprobeEditor::normalName(module));
        }
    }
    for (const QString &path : *listing) {
        if (!path.startsWith(QLatin1String("lib/modules/"))) {
            continue;
        }
        const QString name = ModuleFile::moduleNameOf(path.section(QLatin1Char('/'), -1));
        if (!name.isEmpty() && names.contains(ModprobeEditor::normalName(name))) {
            return QStringLiteral("%1 holds the module %2").arg(image(), name);
        }
    }
    return QString();
}

QString InitramfsUpdate::update(const std::function<void()> &tick, bool passOutput) const
{
    const QStringList words = command();
    if (words.isEmpty()) {
        return QStringLiteral("neither update-initramfs nor dracut is installed");
    }
    if (!m_root.isEmpty()) {
        return QStringLiteral("an image below another root is not rebuilt");
    }
    const QString name = QFileInfo(words.first()).fileName();
    // An administrator at the console who interrupts the restore command
    // interrupts the tool with it; the helper has no console.
    GroupProcess process(!passOutput);
    process.setProcessEnvironment(toolEnvironment());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(passOutput ? QProcess::ForwardedChannels : QProcess::MergedChannels);
    QByteArray output;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [&process, &output]() {
        output += process.readAllStandardOutput();
        if (output.size() > logTailBytes) {
            output.remove(0, output.size() - logTailBytes);
        }
    });
    QEventLoop loop;
    bool timedOut = false;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            loop.quit();
        }
    });
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&tick]() {
        if (tick) {
            tick();
        }
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&loop, &timedOut]() {
        timedOut = true;
        loop.quit();
    });
    const Stamp before = stampOf(m_root + image());
    qDebug().noquote() << "Running" << words.join(QLatin1Char(' '));
    process.start(words.first(), words.mid(1));
    if (process.state() == QProcess::NotRunning && process.error() == QProcess::FailedToStart) {
        return QStringLiteral("%1 could not be started").arg(name);
    }
    ticker.start(tickMilliseconds);
    limit.start(updateLimitSeconds * 1000);
    loop.exec();
    ticker.stop();
    if (!passOutput) {
        output += process.readAllStandardOutput();
    }
    if (!output.isEmpty()) {
        qDebug().noquote() << name << "said:" << QString::fromLocal8Bit(output).trimmed();
    }
    if (timedOut) {
        // update-initramfs builds the new image apart and moves it into place at
        // the end: stopped before, it leaves the old one.
        process.stop();
        return QStringLiteral("%1 did not finish within %2 minutes and was stopped").arg(name).arg(updateLimitSeconds / 60);
    }
    if (process.error() == QProcess::FailedToStart) {
        return QStringLiteral("%1 could not be started").arg(name);
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        return QStringLiteral("%1 was ended by a signal").arg(name);
    }
    if (process.exitCode() != 0) {
        return QStringLiteral("%1 exited with status %2").arg(name).arg(process.exitCode());
    }
    // update-initramfs succeeds without doing anything where its configuration
    // says update_initramfs=no.
    if (stampOf(m_root + image()) == before) {
        return QStringLiteral("%1 succeeded but left the image as it was; update-initramfs.conf may turn updates off").arg(name);
    }
    return QString();
}

QString InitramfsUpdate::failureText(const QString &why) const
{
    const QString command = commandLine().isEmpty() ? QStringLiteral("update-initramfs -u -k ") + m_release : commandLine();
    return QStringLiteral(
               "The driver configuration was changed, but the initramfs %1 was not updated (%2): until it is, the computer starts with the "
               "configuration the initramfs holds. Run \"%3\" as root to finish the change.")
        .arg(image(), why, command);
}

QStringList InitramfsUpdate::modulesNamedIn(const QByteArray &text)
{
    QStringList names;
    const QList<ModprobeEditor::Line> lines = ModprobeEditor::lines(QString::fromLatin1(text.constData(), text.size()));
    for (const ModprobeEditor::Line &line : lines) {
        if (line.words.size() < 2) {
            continue;
        }
        const QString &command = line.words.first();
        QStringList named;
        if (command == QLatin1String("blacklist") || command == QLatin1String("install") || command == QLatin1String("remove")
            || command == QLatin1String("options")) {
            named = QStringList{line.words.at(1)};
        } else if (command == QLatin1String("alias")) {
            named = line.words.mid(1, 2);
        } else if (command == QLatin1String("softdep")) {
            named = line.words.mid(1);
            named.removeAll(QStringLiteral("pre:"));
            named.removeAll(QStringLiteral("post:"));
        }
        for (const QString &name : std::as_const(named)) {
            const QString normal = ModprobeEditor::normalName(name);
            if (!names.contains(normal)) {
                names.append(normal);
            }
        }
    }
    return names;
}
