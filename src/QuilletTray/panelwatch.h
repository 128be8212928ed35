#pragma once

#include <functional>
#include <QObject>

// Qt chooses between the D-Bus icon and the X11 one once per run, as the icon is made. A
// status-notifier panel that appears later is reached only by a run of its own: the watch asks
// the session bus whether one is there, and if so starts the program anew once nothing is
// open. A run started so does not do it again.
class PanelWatch : public QObject
{
    Q_OBJECT

public:
    // `idle` tells whether the tray could go away now, losing nothing.
    explicit PanelWatch(std::function<bool()> idle, QObject* parent = nullptr);

    // Asks once; the answer comes later.
    void look();

private:
    void startAnew();

    const std::function<bool()> isIdle;
    bool startedForPanel = false;
};
