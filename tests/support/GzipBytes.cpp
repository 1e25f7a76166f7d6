#include "GzipBytes.h"

#include <QProcess>

QByteArray GzipBytes::pack(const QByteArray& data)
{
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n")});
    if (!gzip.waitForStarted(10000))
        return {};
    gzip.write(data);
    gzip.closeWriteChannel();
    if (!gzip.waitForFinished(60000) || gzip.exitStatus() != QProcess::NormalExit || gzip.exitCode() != 0)
        return {};
    return gzip.readAllStandardOutput();
}
