// SPDX-License-Identifier: GPL-2.0-or-later
#include "xorgtearinghandler.h"
#include "replaceaction.h"

#include <QCheckBox>
#include <QDebug>
#include <QFile>
#include <QRegularExpression>

XOrgTearingHandler::XOrgTearingHandler(const QString &vendor, const QString &driverName, QWidget *parentWidget, const QString &root)
    : AbstractTearingHandler(parentWidget)
    , vendor(vendor)
    , driverName(driverName)
    , m_root(root)
{
}

bool XOrgTearingHandler::loadDependent()
{
    QFile snippet(m_root + QStringLiteral("/etc/X11/xorg.conf.d/20-") + vendor + QStringLiteral("-tearing.conf"));
    if (!snippet.exists()) {
        tearingBox->setChecked(false);
        return true;
    }
    QString text;
    if (snippet.open(QIODevice::ReadOnly)) {
        text = QString::fromUtf8(snippet.readAll());
    } else {
        qDebug() << "Failed to open xorg config file for read";
    }
    static const QRegularExpression tearFree(QStringLiteral("^\\s*Option\\s+\"TearFree\"\\s+\"(\\w+)\"$"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = tearFree.match(text);
    if (match.hasMatch()) {
        tearingBox->setChecked(match.captured(1) == QLatin1String("true"));
    }
    return true;
}

bool XOrgTearingHandler::applyDependent(bool enable)
{
    const HelperReply reply = runHelperAction(QStringLiteral("tearing"),
                                              {{QStringLiteral("vendor"), vendor},
                                               {QStringLiteral("driverName"), driverName},
                                               {QStringLiteral("shouldEnable"), enable ? QStringLiteral("true") : QStringLiteral("false")}});
    if (!reply.succeeded) {
        logHelperFailure(reply);
    }
    return reply.succeeded;
}
