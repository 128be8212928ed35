#pragma once

#include <QByteArray>
#include <QString>

// A page's or a signer's message as a log line may quote it: the first 4 KiB, then the total
// length, so that a log never holds a whole document.
QByteArray logExcerpt(const QByteArray& message);
QString logExcerpt(const QString& message);
