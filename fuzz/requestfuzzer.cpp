// SPDX-License-Identifier: GPL-2.0-or-later
// The helper's "replace" and "tearing" actions and its package name check, on
// any request, given as a JSON object. Whatever the request, what the helper
// writes is only its own grammar.
#include "driverswitchhelper.h"
#include "fuzzinput.h"
#include "requestvalidator.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace
{
const QString &root()
{
    static const QString path = [] {
        QByteArray name("/dev/shm/requestfuzzer-XXXXXX");
        if (!mkdtemp(name.data())) {
            std::abort();
        }
        const QString root = QFile::decodeName(name);
        for (const char *directory : {"/etc/modprobe.d", "/etc/X11/xorg.conf.d", "/usr/share", "/tmp"}) {
            QDir().mkpath(root + QLatin1String(directory));
        }
        return root;
    }();
    return path;
}

void checkLines(const QString &path, const QRegularExpression &grammar)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!grammar.match(QString::fromLatin1(line)).hasMatch()) {
            FuzzInput::fail(qPrintable(QStringLiteral("a line outside the grammar in ") + path));
        }
    }
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // JSON rather than KAuth's QDataStream form: reading that is Qt's and KAuth's
    // work, before the helper sees the request, and it needs types (QPixmap) that
    // only a GUI application can make.
    const QVariantMap arguments = QJsonDocument::fromJson(FuzzInput::bytes(data, size)).object().toVariantMap();
    QDir(root() + QStringLiteral("/etc/X11/xorg.conf.d")).removeRecursively();
    QDir().mkpath(root() + QStringLiteral("/etc/X11/xorg.conf.d"));
    QFile::remove(root() + QStringLiteral("/etc/modprobe.d/kiv-admin-driver-blacklists.conf"));

    DriverSwitchHelper helper(root());
    helper.replace(arguments);
    helper.tearing(arguments);
    RequestValidator::checkPackages(arguments.value(QStringLiteral("drivers")).toStringList());

    static const QRegularExpression snippet(
        QStringLiteral("^(|Section \"Device\"|    Identifier \"[^\"\\n]*\"|    Driver \"[^\"\\n]*\"|    BusID \"PCI:\\d+@\\d+:\\d+:\\d+\"|    Option "
                       "\"TearFree\" \"(true|false)\"|EndSection)$"));
    for (const QString &name : QDir(root() + QStringLiteral("/etc/X11/xorg.conf.d")).entryList(QDir::Files)) {
        checkLines(root() + QStringLiteral("/etc/X11/xorg.conf.d/") + name, snippet);
    }
    static const QRegularExpression blacklist(QStringLiteral("^(|#?blacklist [A-Za-z0-9_-]{1,55})$"));
    checkLines(root() + QStringLiteral("/etc/modprobe.d/kiv-admin-driver-blacklists.conf"), blacklist);
    return 0;
}
