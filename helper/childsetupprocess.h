// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QProcess>

#include <functional>
#include <utility>

// A process whose child runs setup between fork and exec (async-signal-safe
// calls only): Qt 6's child process modifier, Qt 5's setupChildProcess().
class ChildSetupProcess : public QProcess
{
public:
    explicit ChildSetupProcess(std::function<void()> setup)
        : m_setup(std::move(setup))
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        if (m_setup) {
            setChildProcessModifier(m_setup);
        }
#endif
    }

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override
    {
        if (m_setup) {
            m_setup();
        }
    }
#endif

private:
    std::function<void()> m_setup;
};
