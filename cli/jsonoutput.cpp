// SPDX-License-Identifier: GPL-2.0-or-later
#include "jsonoutput.h"
#include "actions.h"
#include "modinfosection.h"
#include "securebootreport.h"
#include "xserver.h"

#include <QJsonDocument>
#include <QRegularExpression>

namespace
{
bool jsonEnabled = false;

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QString stateName(SecureBoot::State state)
{
    switch (state) {
    case SecureBoot::State::NoEfi:
        return QStringLiteral("no-efi");
    case SecureBoot::State::Unknown:
        return QStringLiteral("unknown");
    case SecureBoot::State::Off:
        return QStringLiteral("off");
    case SecureBoot::State::ValidationDisabled:
        return QStringLiteral("validation-disabled");
    case SecureBoot::State::Enforcing:
        return QStringLiteral("enforcing");
    }
    return QString();
}

QString verdictName(SecureBoot::Verdict verdict)
{
    switch (verdict) {
    case SecureBoot::Verdict::NotEnforced:
        return QStringLiteral("not-enforced");
    case SecureBoot::Verdict::KernelKey:
        return QStringLiteral("kernel-key");
    case SecureBoot::Verdict::EnrolledKey:
        return QStringLiteral("enrolled-key");
    case SecureBoot::Verdict::Unsigned:
        return QStringLiteral("unsigned");
    case SecureBoot::Verdict::DkmsKeyNotEnrolled:
        return QStringLiteral("dkms-key-not-enrolled");
    case SecureBoot::Verdict::KeyNotEnrolled:
        return QStringLiteral("key-not-enrolled");
    case SecureBoot::Verdict::Unknown:
        return QStringLiteral("unknown");
    }
    return QString();
}
}

bool JsonOutput::enabled()
{
    return jsonEnabled;
}

void JsonOutput::setEnabled(bool enabled)
{
    jsonEnabled = enabled;
}

void JsonOutput::print(QJsonObject document)
{
    document.insert(QStringLiteral("format"), format);
    standardOutput() << QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Indented));
    standardOutput().flush();
}

void JsonOutput::printError(const QString &message)
{
    print({{QStringLiteral("error"), message}});
}

QJsonObject JsonOutput::gpu(const Device &gpu)
{
    QJsonObject object{{QStringLiteral("busId"), gpu.sysfsBusId()},
                       {QStringLiteral("classId"), gpu.classId()},
                       {QStringLiteral("vendor"), gpu.vendorName()},
                       {QStringLiteral("model"), gpu.model()},
                       {QStringLiteral("modalias"), textOrNull(gpu.modalias())}};
    // The IDs as lspci -n prints them, from the modalias the kernel made.
    static const QRegularExpression ids(QStringLiteral("^pci:v([0-9A-F]{8})d([0-9A-F]{8})sv([0-9A-F]{8})sd([0-9A-F]{8})"));
    const QRegularExpressionMatch match = ids.match(gpu.modalias());
    for (int i = 1; i <= 4; ++i) {
        static const char *const names[] = {"vendorId", "deviceId", "subvendorId", "subdeviceId"};
        object.insert(QLatin1String(names[i - 1]), match.hasMatch() ? QJsonValue(match.captured(i).right(4).toLower()) : QJsonValue());
    }
    return object;
}

QJsonArray JsonOutput::modules(const Device &gpu, const SecureBoot *secureBoot)
{
    QJsonArray array;
    const QList<Module> modules = gpu.driverList();
    for (const Module &module : modules) {
        const QByteArray version = module.path.isEmpty() ? QByteArray() : ModinfoSection::value(module.path, QByteArrayLiteral("version"));
        QJsonObject object{{QStringLiteral("realName"), module.realName},
                           {QStringLiteral("displayName"), module.displayName},
                           {QStringLiteral("path"), textOrNull(module.path)},
                           {QStringLiteral("version"), textOrNull(QString::fromLocal8Bit(version))},
                           // A GPU bound to none of its candidates (or to no driver) has no current one.
                           {QStringLiteral("current"), gpu.isBoundToCandidate() && module.displayName == gpu.currentDriver().displayName}};
        if (secureBoot) {
            const SecureBoot::ModuleCheck check = secureBoot->check(module.path);
            object.insert(QStringLiteral("secureBoot"),
                          QJsonObject{{QStringLiteral("verdict"), verdictName(check.verdict)},
                                      {QStringLiteral("loads"), !SecureBoot::refused(check.verdict) && check.verdict != SecureBoot::Verdict::Unknown},
                                      {QStringLiteral("signer"), textOrNull(check.signature.signer)},
                                      {QStringLiteral("text"), SecureBootReport::module(module.displayName, check)}});
        }
        array.append(object);
    }
    return array;
}

QJsonObject JsonOutput::secureBoot(const SecureBoot &secureBoot)
{
    return {{QStringLiteral("state"), stateName(secureBoot.state())},
            {QStringLiteral("enforcing"), secureBoot.enforcing()},
            {QStringLiteral("text"), SecureBootReport::state(secureBoot.state())},
            {QStringLiteral("dkmsKey"), SecureBootReport::dkmsKey(secureBoot)},
            {QStringLiteral("dkmsKeyExists"), secureBoot.dkmsKeyExists()},
            {QStringLiteral("dkmsKeyEnrolled"), secureBoot.dkmsKeyExists() && secureBoot.dkmsKeyEnrolled()}};
}

QJsonObject JsonOutput::xorg(const Device &gpu)
{
    const QString current = gpu.xorgDriver();
    QJsonArray drivers;
    const QStringList installed = XServer::installedXOrgDrivers();
    for (const QString &driver : installed) {
        drivers.append(QJsonObject{{QStringLiteral("name"), driver}, {QStringLiteral("current"), isCurrentXorgDriver(driver, current)}});
    }
    return {{QStringLiteral("current"), textOrNull(current)}, {QStringLiteral("drivers"), drivers}};
}
