// SPDX-License-Identifier: GPL-2.0-or-later
#include "configurationswitch.h"
#include "modprobeeditor.h"
#include "requestvalidator.h"
#include "xorgconfig.h"

#include <QSequentialIterable>

ConfigurationSwitch::ConfigurationSwitch(const QString &root)
    : m_root(root)
{
}

QVariantList ConfigurationSwitch::entriesOf(const QVariantMap &arguments)
{
    const QVariant data = arguments.value(QStringLiteral("data"));
    QVariantList entries;
    if (data.canConvert<QVariantList>()) {
        const QSequentialIterable iterable = data.value<QSequentialIterable>();
        for (const QVariant &element : iterable) {
            entries.append(element.toMap());
        }
    }
    return entries;
}

QVariantList ConfigurationSwitch::orderEntries(const QVariantList &entries)
{
    // 3D controllers (the second GPU of a hybrid laptop) last, in reverse order.
    QVariantList ordered;
    QVariantList controllers3d;
    for (const QVariant &entry : entries) {
        if (entry.toMap().value(QStringLiteral("classId")).toString() == QLatin1String("0302")) {
            controllers3d.prepend(entry);
        } else {
            ordered.append(entry);
        }
    }
    return ordered + controllers3d;
}

ConfigurationSwitch::Outcome ConfigurationSwitch::apply(const QVariantList &requested, const std::function<QString()> &beforeChanges) const
{
    Outcome outcome;
    // Checked in the order sent, so that a refusal names the entry as the client knows it.
    outcome.failure = RequestValidator::checkReplace(requested);
    if (!outcome.failure.isEmpty()) {
        return outcome;
    }
    if (beforeChanges) {
        outcome.failure = beforeChanges();
        if (!outcome.failure.isEmpty()) {
            return outcome;
        }
    }
    ModprobeEditor modprobe(m_root);
    // Each request carries every GPU it concerns: only its own sections are written.
    XorgConfig xorg(m_root);
    const QVariantList entries = orderEntries(requested);
    for (const QVariant &value : entries) {
        const QVariantMap entry = value.toMap();
        const auto text = [&entry](const char *key) {
            return entry.value(QLatin1String(key)).toString();
        };
        const ModuleSwitch names{text("currentKernelModuleRealName"),
                                 text("currentKernelModuleDisplayName"),
                                 text("newKernelModuleRealName"),
                                 text("newKernelModuleDisplayName")};
        if (names.newRealName != names.currentRealName) {
            outcome.failure = modprobe.switchModule(names);
            if (!outcome.failure.isEmpty()) {
                outcome.changedModprobeFiles = modprobe.takeChangedFiles();
                return outcome;
            }
            outcome.switchedModules << names.currentRealName << names.currentDisplayName << names.newRealName << names.newDisplayName;
        }
        if (!text("XOrgDriver").isEmpty()) {
            xorg.appendDeviceSection(text("modelName"), text("busId"), text("XOrgDriver"));
            outcome.xorgWritten = true;
        }
    }
    outcome.changedModprobeFiles = modprobe.takeChangedFiles();
    if (!xorg.writeXOrgConfig()) {
        outcome.failure = QStringLiteral("XOrg configuration update error");
        outcome.xorgWritten = false;
    }
    return outcome;
}
