#pragma once

#include <QAction>

// Result of reading the autostart entry.
enum class StartupState
{
    Disabled = 0,
    Enabled = 1,
    Undetermined = 2
};

// The checkable "start with the desktop session" entry. Its only state is the
// XDG autostart entry in ~/.config/autostart, which it reads and edits.
class StartupAction : public QAction
{
    Q_OBJECT

public:
    explicit StartupAction(QObject* parent);

    StartupState startupState();
    void update();
    void setState(bool enable);

public Q_SLOTS:
    void onTriggered(bool enable);
};
