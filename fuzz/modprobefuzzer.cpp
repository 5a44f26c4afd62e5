// SPDX-License-Identifier: GPL-2.0-or-later
// The modprobe editor, on any configuration file: a switch and a switch back
// only ever add or take away "#" marks (and the blanks after a mark it takes
// away); every other byte stays.
#include "fuzzinput.h"
#include "modprobeeditor.h"

#include <QDir>
#include <QFile>

namespace
{
QByteArray withoutMarks(QByteArray text)
{
    text.replace('#', QByteArray()).replace(' ', QByteArray()).replace('\t', QByteArray());
    return text;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString &root()
{
    static const QString path = [] {
        QByteArray name("/dev/shm/modprobefuzzer-XXXXXX");
        if (!mkdtemp(name.data())) {
            std::abort();
        }
        QDir().mkpath(QFile::decodeName(name) + QStringLiteral("/etc/modprobe.d"));
        return QFile::decodeName(name);
    }();
    return path;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray original = FuzzInput::bytes(data, size);
    const QString file = root() + QStringLiteral("/etc/modprobe.d/fuzz.conf");
    QFile::remove(root() + ModprobeEditor::blacklistFile());
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(original) != original.size()) {
        std::abort();
    }
    out.close();
    ModprobeEditor editor(root());
    const ModuleSwitch toNouveau{QStringLiteral("nvidia_current"), QStringLiteral("nvidia"), QStringLiteral("nouveau"), QStringLiteral("nouveau")};
    const ModuleSwitch back{QStringLiteral("nouveau"), QStringLiteral("nouveau"), QStringLiteral("nvidia_current"), QStringLiteral("nvidia")};
    for (const ModuleSwitch &names : {toNouveau, back}) {
        editor.switchModule(names);
        if (withoutMarks(contentOf(file)) != withoutMarks(original)) {
            FuzzInput::fail("a switch changed more than marks");
        }
    }
    return 0;
}
