// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "configurationbackup.h"
#include "modprobeeditor.h"
#include "xorgconfig.h"

#include <KAuth/ActionReply>

#include <QApt/Backend>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <memory>

namespace QApt
{
class Transaction;
}

// The root helper's actions, called by KAuth by name. The slots unpack and
// check the request and hand the work to classes that take their root
// directory in the constructor, so tests run them on temporary trees.
class DriverSwitchHelper : public QObject
{
    Q_OBJECT

public:
    enum class PackageMode { Install = 0, Remove = 1 };

    explicit DriverSwitchHelper(const QString &root = QString());

public Q_SLOTS:
    KAuth::ActionReply replace(const QVariantMap &args);
    KAuth::ActionReply install(const QVariantMap &args);
    KAuth::ActionReply remove(const QVariantMap &args);
    KAuth::ActionReply tearing(const QVariantMap &args);

private:
    static KAuth::ActionReply errorReply(const QString &text);
    static QString backupFailure();
    static QVariantList entriesOf(const QVariantMap &args);
    static QVariantList orderEntries(const QVariantList &entries);
    KAuth::ActionReply processPackages(const QStringList &names, PackageMode mode);
    // After a stop request: cancels the transaction if the worker still can.
    static void cancelIfPossible(QApt::Transaction *transaction);
    // Marks for purging the dependencies of name that nothing but what is leaving
    // needs; returns their names.
    QStringList purgeDependencies(const QString &name, const QStringList &leaving);
    // Why the marked changes may not go ahead: a removal outside removable, or of a
    // package the system needs. Empty when they may.
    QString checkRemovals(const QStringList &removable) const;

    ModprobeEditor m_modprobe;
    XorgConfig m_xorg;
    ConfigurationBackup m_backup;
    // Made on the first package job: libqapt connects to the system bus as it is
    // constructed, and the helper object exists before KAuth sets up the
    // application and registers the helper on that bus.
    std::unique_ptr<QApt::Backend> m_backend;
};
