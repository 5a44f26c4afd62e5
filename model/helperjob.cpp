// SPDX-License-Identifier: GPL-2.0-or-later
#include "helperjob.h"
#include "helperid.h"

#include <KAuth/ActionReply>
#include <KAuth/ExecuteJob>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QUuid>

#include <algorithm>

namespace
{
// KAuth's signals from the helper to its clients.
constexpr int actionStarted = 0;
constexpr int actionPerformed = 1;

QString tokenOfReply(const KAuth::ActionReply &reply)
{
    return reply.data().value(QStringLiteral(KIV_REQUEST_TOKEN)).toString();
}
}

HelperJob::HelperJob(const QString &word, const QVariantMap &arguments, QObject *parent)
    : KJob(parent)
    , m_actionName(QLatin1String(KIV_HELPER_ID) + QLatin1Char('.') + word)
    , m_token(QUuid::createUuid().toString(QUuid::Id128))
    , m_action(m_actionName)
{
    QVariantMap withToken = arguments;
    withToken.insert(QStringLiteral(KIV_REQUEST_TOKEN), m_token);
    m_action.setHelperId(QStringLiteral(KIV_HELPER_ID));
    m_action.setArguments(withToken);
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this]() {
        finish(KAuth::ActionReply::HelperBusyError,
               m_started ? QStringLiteral("The helper gave no sign of progress for %1 seconds: it may still be working").arg(m_silenceSeconds)
                         : QStringLiteral("The helper did not take the request up within %1 seconds").arg(m_startSeconds));
    });
}

HelperJob::~HelperJob() = default;

QString HelperJob::busyText()
{
    return QStringLiteral("Another change is being made by the helper: this one was not made. Try again when it has finished.");
}

void HelperJob::setLimits(int startSeconds, int silenceSeconds)
{
    m_startSeconds = startSeconds;
    m_silenceSeconds = silenceSeconds;
}

void HelperJob::start()
{
    // Every reply is announced to every client: the job listens itself, to find its own.
    QDBusConnection bus = QDBusConnection::systemBus();
    const QString helper = QStringLiteral(KIV_HELPER_ID);
    const QString interface = QStringLiteral(KIV_KAUTH_INTERFACE);
    bus.connect(helper, QStringLiteral("/"), interface, QStringLiteral("remoteSignal"), this, SLOT(remoteSignal(int, QString, QByteArray)));
    bus.connect(helper, QStringLiteral("/"), interface, QStringLiteral("requestBusy"), this, SLOT(requestBusy(QString)));
    // The reply may take as long as the helper works; this job's own limits apply.
    m_action.setTimeout(std::max(m_startSeconds, m_silenceSeconds) * 2000 + 600000);
    m_job = m_action.execute();
    connect(m_job.data(), &KAuth::ExecuteJob::statusChanged, this, &HelperJob::statusChanged);
    connect(m_job.data(), &KJob::percentChanged, this, [this](KJob *, unsigned long percent) {
        if (m_started) {
            m_limit.start(m_silenceSeconds * 1000);
        }
        setPercent(percent);
    });
    connect(m_job.data(), &KAuth::ExecuteJob::newData, this, [this](const QVariantMap &data) {
        // KAuth hands every step of this action to every client waiting for it.
        const QString token = data.value(QStringLiteral(KIV_REQUEST_TOKEN)).toString();
        if (!token.isEmpty() && token != m_token) {
            return;
        }
        if (m_started) {
            m_limit.start(m_silenceSeconds * 1000);
        }
        Q_EMIT stepData(data);
    });
    connect(m_job.data(), &KJob::result, this, &HelperJob::executeJobResult);
    m_limit.start(m_startSeconds * 1000);
    m_job->start();
}

void HelperJob::remoteSignal(int type, const QString &action, const QByteArray &data)
{
    if (action != m_actionName || m_done) {
        return;
    }
    if (type == actionStarted && !m_started) {
        // Perhaps another client's request of the same action: only a reply with
        // this job's token, or the helper's word that it is busy, ends the job.
        m_started = true;
        m_limit.start(m_silenceSeconds * 1000);
    } else if (type == actionPerformed && tokenOfReply(KAuth::ActionReply::deserialize(data)) == m_token) {
        // KAuth's job hears the same announcement and ends with it: the job ends
        // with KAuth's, unless KAuth's took another request's reply before.
        if (m_executeDone) {
            finishWithReply(data);
        } else {
            m_ownReply = data;
        }
    }
}

void HelperJob::requestBusy(const QString &token)
{
    if (token == m_token) {
        finish(KAuth::ActionReply::HelperBusyError, busyText());
    }
}

void HelperJob::executeJobResult(KJob *job)
{
    auto *executeJob = qobject_cast<KAuth::ExecuteJob *>(job);
    const QString token = executeJob ? executeJob->data().value(QStringLiteral(KIV_REQUEST_TOKEN)).toString() : QString();
    m_executeDone = true;
    if (token == m_token) {
        m_replyData = executeJob->data();
        finish(job->error(), job->errorText());
        return;
    }
    // Another request's reply (KAuth's job takes any of this action), or a failure,
    // whose data KAuth's job does not keep: the reply announced with this job's
    // token decides, heard already or about to be (both come from one signal).
    if (!m_ownReply.isEmpty()) {
        finishWithReply(m_ownReply);
        return;
    }
    const bool clientSide = job->error() == KAuth::ActionReply::DBusError || job->error() == KAuth::ActionReply::NoResponderError
        || job->error() == KAuth::ActionReply::BackendError || job->error() == KAuth::ActionReply::InvalidActionError
        || job->error() == KAuth::ActionReply::AlreadyStartedError;
    if (token.isEmpty() && job->error() != 0) {
        if (clientSide) {
            finish(job->error(), job->errorText());
            return;
        }
        // KAuth's own answer to this request (a denial) carries no token either:
        // it is this job's unless its own reply comes at once.
        const int error = job->error();
        const QString text = job->errorText();
        QTimer::singleShot(2000, this, [this, error, text]() {
            finish(error, text);
        });
    }
}

void HelperJob::finishWithReply(const QByteArray &serialisedReply)
{
    const KAuth::ActionReply reply = KAuth::ActionReply::deserialize(serialisedReply);
    m_replyData = reply.data();
    finish(reply.succeeded() ? 0 : reply.errorCode(), reply.errorDescription());
}

void HelperJob::finish(int error, const QString &text)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_limit.stop();
    if (m_job) {
        m_job->disconnect(this);
    }
    QDBusConnection::systemBus().disconnect(QStringLiteral(KIV_HELPER_ID),
                                            QStringLiteral("/"),
                                            QStringLiteral(KIV_KAUTH_INTERFACE),
                                            QStringLiteral("remoteSignal"),
                                            this,
                                            SLOT(remoteSignal(int, QString, QByteArray)));
    QDBusConnection::systemBus().disconnect(QStringLiteral(KIV_HELPER_ID),
                                            QStringLiteral("/"),
                                            QStringLiteral(KIV_KAUTH_INTERFACE),
                                            QStringLiteral("requestBusy"),
                                            this,
                                            SLOT(requestBusy(QString)));
    setError(error);
    setErrorText(text);
    emitResult();
}

bool HelperJob::doKill()
{
    // Not KAuth's own stop, which names no request: it would stop whatever the
    // helper is doing, for whoever asked.
    QDBusMessage stop = QDBusMessage::createMethodCall(QStringLiteral(KIV_HELPER_ID),
                                                       QStringLiteral(KIV_REQUEST_STOP_PATH),
                                                       QStringLiteral(KIV_KAUTH_INTERFACE),
                                                       QStringLiteral("stopAction"));
    stop << m_token;
    QDBusConnection::systemBus().send(stop);
    // The job goes on: the helper's reply says how the request ended.
    return false;
}
