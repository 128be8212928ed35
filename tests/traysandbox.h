#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// A fresh tree for a tray controller in the test process: bin and etc as installed,
// HOME (with ~/.config) and the data directory pointing inside it.
inline std::unique_ptr<QTemporaryDir> makeTraySandbox()
{
    auto root = std::make_unique<QTemporaryDir>();
    const QDir dir(root->path());
    for (const char* sub : {"home/.config", "bin", "etc"}) {
        if (!root->isValid() || !dir.mkpath(QString::fromLatin1(sub)))
            return nullptr;
    }
    qputenv("HOME", QFile::encodeName(dir.filePath(QStringLiteral("home"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    return root;
}
