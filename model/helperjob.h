// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <KAuth/Action>
#include <KJob>

#include <QPointer>
#include <QTimer>
#include <QVariantMap>

namespace KAuth
{
class ExecuteJob;
}

// One request to the helper, through KAuth, that ends with that request's own
// outcome.
//
// KAuth's client takes the first reply announced for its action name as its
// own, and a request that reaches a busy helper gets no reply at all. So each
// request carries a random token that the helper puts into its reply, and the
// job takes only a reply with its token; a reply to another client's request
// is passed over. A request the helper turns away as busy ends at once with
// the helper's word for it; every wait is bounded besides.
//
// Errors are KAuth's codes (KAuth::ActionReply::Error, or the helper's own for
// a helper error); errorText() is the reply's description.
class HelperJob : public KJob
{
    Q_OBJECT

public:
    // word is the action word ("replace", "install", ...).
    HelperJob(const QString &word, const QVariantMap &arguments, QObject *parent = nullptr);
    ~HelperJob() override;

    // Ends a request that the helper has not taken up after this long, or that
    // it has been serving for this long without a sign (a progress step).
    void setLimits(int startSeconds, int silenceSeconds);

    void start() override;
    QString token() const
    {
        return m_token;
    }
    // The action word.
    QString word() const
    {
        return m_actionName.mid(m_actionName.lastIndexOf(QLatin1Char('.')) + 1);
    }

    static QString busyText();
    // What the helper's reply carried besides its outcome.
    QVariantMap replyData() const
    {
        return m_replyData;
    }

Q_SIGNALS:
    void statusChanged(KAuth::Action::AuthStatus status);
    // A step of the helper's work that it describes rather than counts (the
    // initramfs being rebuilt); it also shows the helper is still at work.
    void stepData(const QVariantMap &data);

protected:
    // Asks the helper to stop this request (and no other); the job goes on until
    // the helper answers.
    bool doKill() override;

private Q_SLOTS:
    void remoteSignal(int type, const QString &action, const QByteArray &data);
    void requestBusy(const QString &token);

private:
    void executeJobResult(KJob *job);
    void finish(int error, const QString &text);
    void finishWithReply(const QByteArray &serialisedReply);

    QString m_actionName;
    QString m_token;
    KAuth::Action m_action;
    QPointer<KAuth::ExecuteJob> m_job;
    QTimer m_limit;
    int m_startSeconds = 60;
    int m_silenceSeconds = 300;
    bool m_started = false;
    bool m_done = false;
    bool m_executeDone = false; // KAuth's job has reported
    QByteArray m_ownReply; // announced before KAuth's job reported
    QVariantMap m_replyData;
};
