#include "diagnosticmenu.h"

#include "logger.h"
#include "msgbox.h"

#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUrl>

namespace {
// Fixed by the package's install location; elsewhere the desktop's URL handler is used.
const QString xdgOpenWrapper = QStringLiteral("/opt/kestrum/quillet/bin/xdg-open.sh");

void showError(const QString& text)
{
    MsgBox::showError(nullptr, QObject::tr("AppName"), text);
}
} // namespace

DiagnosticMenu::DiagnosticMenu(QWidget* parent)
    : QMenu(QObject::tr("&DiagTitle"), parent)
    , logsAction(QObject::tr("&LogsOn"), this)
    , browseLogsAction(QObject::tr("&BrowseLogs"), this)
    , logDirPath(logDirectory())
    , logNames({QStringLiteral("QuilletLog"), QStringLiteral("QuilletPkcs11Log"),
                QStringLiteral("QuilletUpdaterLog"), QStringLiteral("QuilletTrayLog")})
    , logExtension(QStringLiteral(".txt"))
{
    connect(&logsAction, &QAction::triggered, this, &DiagnosticMenu::toggleDiagnostic);
    connect(&browseLogsAction, &QAction::triggered, this, &DiagnosticMenu::browseLogs);
    connect(this, &QMenu::aboutToShow, this, &DiagnosticMenu::on_tray_clicked);
    addAction(&logsAction);
    addAction(&browseLogsAction);
}

QString DiagnosticMenu::logFilePath(const QString& logName) const
{
    return logDirPath + logName + logExtension;
}

void DiagnosticMenu::on_tray_clicked()
{
    qInfo() << "Diagnostic menu was opened";

    bool anyLogFile = false;
    if (QDir(logDirPath).exists()) {
        for (const QString& name : logNames) {
            if (QFile::exists(logFilePath(name))) {
                anyLogFile = true;
                break;
            }
        }
    }
    // Log files made or removed behind the menu's back decide its state.
    if (anyLogFile != loggingOn)
        toggleDiagnostic();
}

void DiagnosticMenu::toggleDiagnostic()
{
    loggingOn = !loggingOn;
    if (loggingOn) {
        logsAction.setText(QObject::tr("&LogsOff"));
        startLogging();
    } else {
        logsAction.setText(QObject::tr("&LogsOn"));
        saveLogs();
    }
}

void DiagnosticMenu::startLogging()
{
    qInfo() << "Start logging";

    try {
        if (!QDir().mkpath(logDirPath)) {
            qWarning() << "Unable to construct the path to logs directory";
            showError(QObject::tr("GeneralError"));
        }
    } catch (...) {
        qWarning() << "Unable to construct the path to logs directory";
        showError(QObject::tr("GeneralError"));
    }

    try {
        for (const QString& name : logNames) {
            const QString path = logFilePath(name);
            if (QFile::exists(path))
                continue;
            if (!createLogFile(path)) {
                qWarning() << "Unable to open the log file " << path;
                showError(QObject::tr("GeneralError"));
            }
        }
    } catch (...) {
        qWarning() << "Unable to open some log file";
        showError(QObject::tr("GeneralError"));
    }
}

void DiagnosticMenu::saveLogs()
{
    try {
        qInfo() << "Save logs";
        if (!QDir(logDirPath).exists())
            return;

        for (const QString& name : logNames) {
            const QString path = logFilePath(name);
            if (!QFile::exists(path))
                continue;
            const QString stamp
                = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
            const QString savedPath = logDirPath + name + QStringLiteral("-") + stamp + logExtension;
            if (!QFile::rename(path, savedPath)) {
                qWarning() << "Unable to rename the log file " << path;
                showError(QObject::tr("GeneralError"));
            }
        }
    } catch (...) {
        qWarning() << "Unable to rename some log file";
        showError(QObject::tr("GeneralError"));
    }
}

void DiagnosticMenu::browseLogs()
{
    qInfo() << "Browse logs clicked";
    if (!QDir(logDirPath).exists()) {
        showError(QObject::tr("&NoLogs"));
        return;
    }

    const QString url = QString::fromUtf8(QUrl::fromLocalFile(logDirPath).toEncoded());
    qDebug() << "Opening logs directory" << url;
    if (QProcess::startDetached(xdgOpenWrapper, {url}))
        return;
    if (!QDesktopServices::openUrl(QUrl(url)))
        showError(QObject::tr("GeneralError"));
}
