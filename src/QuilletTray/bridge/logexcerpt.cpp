#include "logexcerpt.h"

namespace {
constexpr qsizetype maxQuoted = 4096;
} // namespace

QByteArray logExcerpt(const QByteArray& message)
{
    if (message.size() <= maxQuoted)
        return message;
    return message.left(maxQuoted) + "... (" + QByteArray::number(message.size()) + " bytes)";
}

QString logExcerpt(const QString& message)
{
    const QByteArray utf8 = message.toUtf8();
    return utf8.size() <= maxQuoted ? message : QString::fromUtf8(logExcerpt(utf8));
}
