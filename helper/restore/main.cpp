// SPDX-License-Identifier: GPL-2.0-or-later
// kiv-admin-driver-restore: puts back the modprobe and XOrg configuration that
// the driver manager backed up before its first change, for when the desktop
// no longer starts after a driver switch. Meant for a text console.
#include "backuprestorer.h"
#include "configurationbackup.h"
#include "initramfsupdate.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QTextStream>

#include <algorithm>
#include <unistd.h>

namespace
{
// Rebuilds the running kernel's initramfs where it holds one of the restored
// files or of the modules they name; the tool's own output shows its progress.
int updateInitramfs(const QString &root, const QStringList &files, const QStringList &modules, QTextStream &out, QTextStream &err)
{
    if (!root.isEmpty()) {
        // Neither this kernel's release nor this system's tools are that system's.
        if (!files.isEmpty()) {
            out << "The initramfs of the system below " << root << " is not updated from here: run \"update-initramfs -u -k all\" in it (with chroot)."
                << Qt::endl;
        }
        return 0;
    }
    const InitramfsUpdate initramfs;
    const QString reason = initramfs.reasonToUpdate(files, modules);
    if (reason.isEmpty()) {
        return 0;
    }
    out << "Updating the initramfs, because " << reason << " (this takes a while)..." << Qt::endl;
    const QString failure = initramfs.update(nullptr, true);
    if (!failure.isEmpty()) {
        err << initramfs.failureText(failure) << Qt::endl;
        return 2;
    }
    out << "The initramfs " << initramfs.image() << " was updated." << Qt::endl;
    return 0;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kiv-admin-driver-restore"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Restores the modprobe and XOrg configuration saved by the driver manager."));
    parser.addHelpOption();
    const QCommandLineOption yes({QStringLiteral("y"), QStringLiteral("yes")}, QStringLiteral("Restore without asking."));
    const QCommandLineOption root(QStringLiteral("root"), QStringLiteral("Work on the system below this directory."), QStringLiteral("directory"));
    parser.addOption(yes);
    parser.addOption(root);
    parser.process(app);

    if (geteuid() != 0) {
        err << "kiv-admin-driver-restore must be run as root (for example with sudo)." << Qt::endl;
        return 1;
    }
    const BackupRestorer restorer(parser.value(root));
    if (!restorer.hasBackup()) {
        err << "There is no backup in " << parser.value(root) + ConfigurationBackup::backupDirectory() << ": nothing to restore." << Qt::endl;
        return 1;
    }
    // Whatever anyone but root could have written there is not put back as root.
    const QStringList untrusted = restorer.untrustedEntries();
    if (!untrusted.isEmpty()) {
        err << "The backup cannot be trusted, nothing was restored:" << Qt::endl;
        for (const QString &entry : untrusted) {
            err << "  " << entry << Qt::endl;
        }
        return 2;
    }
    const QStringList missing = restorer.missingDirectories();
    for (const QString &directory : missing) {
        out << "The backup is partial: it holds no copy of " << directory << ", whose files are left as they are." << Qt::endl;
    }
    const QList<BackupRestorer::Copy> plan = restorer.plan();
    int changes = 0;
    for (const BackupRestorer::Copy &copy : plan) {
        changes += copy.changes ? 1 : 0;
    }
    if (changes == 0) {
        out << "The configuration already matches the backup: nothing to restore." << Qt::endl;
        return 0;
    }
    out << "These files will be restored from the backup:" << Qt::endl;
    for (const BackupRestorer::Copy &copy : plan) {
        if (copy.changes && !copy.from.isEmpty()) {
            out << "  " << copy.to;
            if (!copy.problem.isEmpty()) {
                out << " (cannot be restored: " << copy.problem << ")";
            }
            out << Qt::endl;
        }
    }
    if (std::any_of(plan.cbegin(), plan.cend(), [](const BackupRestorer::Copy &copy) {
            return copy.from.isEmpty();
        })) {
        out << "These files of the driver manager, written after the backup, will be removed:" << Qt::endl;
        for (const BackupRestorer::Copy &copy : plan) {
            if (copy.from.isEmpty()) {
                out << "  " << copy.to << Qt::endl;
            }
        }
    }
    out << "Other files that are not in the backup are left as they are." << Qt::endl;
    if (!parser.isSet(yes)) {
        out << "Restore them? [y/N] " << Qt::flush;
        QTextStream in(stdin);
        const QString answer = in.readLine().trimmed().toLower();
        if (answer != QLatin1String("y") && answer != QLatin1String("yes")) {
            out << "Nothing was changed." << Qt::endl;
            return 1;
        }
    }
    // The modules the restored files name before and after, for the initramfs:
    // one that holds such a module was built with what these files said of it.
    QStringList restored;
    QStringList modules;
    const auto namedIn = [](const QString &path) {
        QByteArray text;
        QString error;
        return !path.isEmpty() && QFileInfo(path).isFile() && AtomicFile::read(path, &text, &error) ? InitramfsUpdate::modulesNamedIn(text) : QStringList();
    };
    QHash<QString, QStringList> namedBefore;
    for (const BackupRestorer::Copy &copy : plan) {
        if (copy.changes) {
            namedBefore.insert(copy.to, namedIn(copy.to));
        }
    }
    const QString systemRoot = parser.value(root);
    const QStringList failures = restorer.restore(plan, [&](const BackupRestorer::Copy &copy) {
        out << (copy.from.isEmpty() ? "Removed " : "Restored ") << copy.to << Qt::endl;
        restored.append(copy.to.mid(systemRoot.size()));
        modules += namedBefore.value(copy.to) + namedIn(copy.from);
    });
    const int initramfs = updateInitramfs(systemRoot, restored, modules, out, err);
    if (!failures.isEmpty()) {
        err << "These files could not be restored:" << Qt::endl;
        for (const QString &failure : failures) {
            err << "  " << failure << Qt::endl;
        }
        err << "The configuration is only partly restored." << Qt::endl;
        return 2;
    }
    if (initramfs != 0) {
        return initramfs;
    }
    out << "Done. Restart the computer for the restored configuration to take effect." << Qt::endl;
    return 0;
}
