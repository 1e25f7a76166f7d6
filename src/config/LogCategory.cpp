#include "LogCategory.h"

#include <QRegularExpression>

Q_LOGGING_CATEGORY(lcKelvaroUpdate, "kelvaro.update", QtInfoMsg)

void logUpdateLine(const QString& text)
{
    // Box texts carry deliberate line breaks; a service log wants one record per event.
    static const QRegularExpression lineBreaks(QStringLiteral("[\\r\\n]+"));
    QString line = text;
    line.replace(lineBreaks, QStringLiteral(" "));
    qCInfo(lcKelvaroUpdate).noquote() << line;
}
