// SPDX-License-Identifier: GPL-2.0-or-later
#include "moduleinfo.h"
#include "modinfosection.h"
#include "securebootreport.h"
#include "ui_moduleinfo.h"

#include <QDialogButtonBox>
#include <QLayout>

#include <KLocalizedString>
#include <KMessageBox>

#include <QProcess>
#include <QTextStream>

namespace
{
// modinfo's output for path; false when it did not end, or not well, in 30 s.
bool runModinfo(const QString &path, QString *output)
{
    QProcess modinfo;
    modinfo.start(QStringLiteral("/usr/sbin/modinfo"), {path});
    // A modinfo that does not answer in time has failed, whatever it wrote so far.
    const bool finished = modinfo.waitForFinished(30000);
    *output = QString::fromLocal8Bit(modinfo.readAllStandardOutput());
    return finished && modinfo.exitStatus() == QProcess::NormalExit && modinfo.exitCode() == 0;
}
}

ModuleInfo::ModuleInfo(QWidget *parent)
    : QDialog(parent)
    , m_form(new Ui_ModuleInfo)
{
    m_form->setupUi(this);
    // Closed by a button too, not only by the window's frame.
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("closeButtons"));
    layout()->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    if (parent) {
        resize(int(parent->width() / 1.2), int(parent->height() / 1.2));
    }
}

ModuleInfo::~ModuleInfo()
{
    delete m_form;
}

bool ModuleInfo::updateInfo(const QString &path, const QString &title, const SecureBoot *secureBoot)
{
    QString output;
    if (!runModinfo(path, &output)) {
        KMessageBox::error(parentWidget(), i18n("Couldn't get module info for module:") + QLatin1Char('\n') + path, QString());
        close();
        return false;
    }
    m_form->infoBox->setTitle(title);
    QTextStream lines(&output);
    while (!lines.atEnd()) {
        m_form->infoTextEdit->append(lines.readLine().simplified());
    }
    if (secureBoot && secureBoot->state() != SecureBoot::State::NoEfi) {
        const SecureBoot::ModuleCheck check = secureBoot->check(path);
        m_form->infoTextEdit->append(QString());
        m_form->infoTextEdit->append(SecureBootReport::state(secureBoot->state()));
        m_form->infoTextEdit->append(SecureBootReport::dkmsKey(*secureBoot));
        m_form->infoTextEdit->append(SecureBootReport::module(title, check));
        if (SecureBoot::refused(check.verdict)) {
            m_form->infoTextEdit->append(SecureBootReport::refusal(title, check));
        }
    }
    m_form->infoTextEdit->moveCursor(QTextCursor::Start);
    return true;
}

QString ModuleInfo::version(const QString &path)
{
    // modinfo's "version:" line is the first version record of the module's
    // .modinfo section: read there, without starting a program for every label.
    QString version = QString::fromLocal8Bit(ModinfoSection::value(path, QByteArrayLiteral("version")));
    version.remove(QStringLiteral("version:")).remove(QLatin1Char(' '));
    return version.isEmpty() ? i18n("unknown") : version;
}
