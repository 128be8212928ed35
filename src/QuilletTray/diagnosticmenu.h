#pragma once

#include <QAction>
#include <QMenu>
#include <QString>
#include <QStringList>

// Switches logging on and off for all programs of the product at once: a program
// logs only while its log file exists, so the menu creates the files or moves
// them aside under a time-stamped name. It also opens the log directory.
class DiagnosticMenu : public QMenu
{
    Q_OBJECT

public:
    explicit DiagnosticMenu(QWidget* parent);

    void startLogging();
    void saveLogs();

public Q_SLOTS:
    void on_tray_clicked();
    void browseLogs();
    void toggleDiagnostic();

private:
    QString logFilePath(const QString& logName) const;

    QAction logsAction;
    QAction browseLogsAction;
    const QString logDirPath;
    const QStringList logNames;
    const QString logExtension;
    bool loggingOn = false;
};
