// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "configurationbackup.h"
#include "helperid.h"
#include "xorgconfig.h"

#include <KAuth/ActionReply>

#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <memory>

// The root helper's actions, called by KAuth by name. The slots unpack and
// check the request and hand the work to classes that take their root
// directory in the constructor, so tests run them on temporary trees.
class PackageBackend;
class PackageState;
class RequestStop;

class DriverSwitchHelper : public QObject
{
    Q_OBJECT

public:
    enum class PackageMode { Install = 0, Remove = 1 };

    explicit DriverSwitchHelper(const QString &root = QString());
    ~DriverSwitchHelper() override;

    // The action words KAuth calls slots of.
    static QStringList actionWords();

public Q_SLOTS:
    // Each reply carries the request's "requestToken" back, so that its client
    // can tell it from the reply to another client's request: KAuth announces
    // every reply to every client of the same action.
    KAuth::ActionReply replace(const QVariantMap &args);
    KAuth::ActionReply install(const QVariantMap &args);
    KAuth::ActionReply remove(const QVariantMap &args);
    KAuth::ActionReply tearing(const QVariantMap &args);

private:
    static KAuth::ActionReply answer(const QVariantMap &args, KAuth::ActionReply reply);
    static QString tokenOf(const QVariantMap &args);
    KAuth::ActionReply replaceConfiguration(const QVariantMap &args);
    KAuth::ActionReply writeTearing(const QVariantMap &args);
    // Rebuilds the running kernel's initramfs where it holds one of the changed
    // modprobe files or of the modules switched; the reply says what was done.
    KAuth::ActionReply updateInitramfs(const QStringList &changedFiles, const QStringList &modules, const QString &token);
    static KAuth::ActionReply errorReply(const QString &text);
    static QString backupFailure();
    KAuth::ActionReply processPackages(const QStringList &names, PackageMode mode, const QString &token);
    // Marks for purging the dependencies of name that nothing but what is leaving
    // needs; returns their names.
    QStringList purgeDependencies(PackageState &state, const QString &name, const QStringList &leaving);
    // Why the marked changes may not go ahead: a removal outside removable, or of a
    // package the system needs. Empty when they may.
    QString checkRemovals(PackageState &state, const QStringList &removable) const;

    QString m_root;
    XorgConfig m_xorg;
    ConfigurationBackup m_backup;
    std::unique_ptr<PackageBackend> m_packages;
    RequestStop *m_stops = nullptr;
};

// Stop requests that name the request they are meant for. KAuth's own stop
// request names no request and may come from anyone; one that arrives between
// requests lasts into the next, where it can neither be told from a new one nor
// taken back. A client that sends its request's token here is heard whatever
// came before.
class RequestStop : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", KIV_KAUTH_INTERFACE)

public:
    static QString path();
    explicit RequestStop(QObject *parent);
    // Listens for stops of the request with token (none for an empty one).
    void expect(const QString &token);
    bool requested() const
    {
        return m_requested;
    }

public Q_SLOTS:
    Q_SCRIPTABLE void stopAction(const QString &token);

private:
    QString m_token;
    bool m_requested = false;
};
