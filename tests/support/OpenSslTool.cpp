#include "OpenSslTool.h"

#include <QProcess>
#include <QStandardPaths>

namespace {
QStringList pssOptions()
{
    return {QStringLiteral("-sha1"), QStringLiteral("-sigopt"), QStringLiteral("rsa_padding_mode:pss"),
            QStringLiteral("-sigopt"), QStringLiteral("rsa_pss_saltlen:8")};
}
} // namespace

bool OpenSslTool::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
}

bool OpenSslTool::run(const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), args);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!ok) {
        m_lastError = QStringLiteral("openssl %1 failed (exit %2): %3")
                          .arg(args.join(QLatin1Char(' ')))
                          .arg(process.exitCode())
                          .arg(QString::fromLocal8Bit(process.readAll()) + process.errorString());
    }
    return ok;
}

bool OpenSslTool::makeKey(const QString& pemPath, int bits)
{
    return run({QStringLiteral("genrsa"), QStringLiteral("-out"), pemPath, QString::number(bits)});
}

bool OpenSslTool::exportRsaPublicKeyDer(const QString& privatePem, const QString& derPath)
{
    return run({QStringLiteral("rsa"), QStringLiteral("-in"), privatePem, QStringLiteral("-RSAPublicKey_out"),
                QStringLiteral("-outform"), QStringLiteral("DER"), QStringLiteral("-out"), derPath});
}

bool OpenSslTool::privateDerToPem(const QString& privateDer, const QString& pemPath)
{
    return run({QStringLiteral("rsa"), QStringLiteral("-inform"), QStringLiteral("DER"),
                QStringLiteral("-in"), privateDer, QStringLiteral("-out"), pemPath});
}

bool OpenSslTool::rsaPublicKeyDerToPem(const QString& publicDer, const QString& pemPath)
{
    return run({QStringLiteral("rsa"), QStringLiteral("-RSAPublicKey_in"), QStringLiteral("-inform"),
                QStringLiteral("DER"), QStringLiteral("-in"), publicDer, QStringLiteral("-pubout"),
                QStringLiteral("-out"), pemPath});
}

bool OpenSslTool::sign(const QString& privatePem, const QString& file, const QString& sigPath)
{
    return run(QStringList {QStringLiteral("dgst")} + pssOptions()
               + QStringList {QStringLiteral("-sign"), privatePem, QStringLiteral("-out"), sigPath, file});
}

bool OpenSslTool::verify(const QString& publicPem, const QString& file, const QString& sigPath)
{
    return run(
        QStringList {QStringLiteral("dgst")} + pssOptions()
        + QStringList {QStringLiteral("-verify"), publicPem, QStringLiteral("-signature"), sigPath, file});
}
