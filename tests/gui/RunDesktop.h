// The desktop program run as its entry runs it, in the test's process and
// on the test's clock, and its main window found among the top-level ones.
#pragma once

#include "Forms/NxStartup.h"
#include "Forms/TFormDownload.h"
#include "NxClock.h"

#include <QApplication>
#include <QStringList>

#include <vector>

inline int RunDesktop(const QStringList& args, INxClock& clock)
{
    std::vector<QByteArray> store{"nxupdate"};
    for (const QString& a : args)
        store.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(store.size());
    NxRunSettings settings;
    settings.Clock = &clock;
    return NxUpdateRun(argc, argv.data(), settings);
}

inline TFormDownload* MainWindow()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* f = qobject_cast<TFormDownload*>(w))
            return f;
    return nullptr;
}
