#include "VerifyCommand.h"

#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "RsaKey.h"
#include "crypt_exception.h"

namespace {
/// Empty when path passes, else the reason it does not.
QString problemWith(RsaKey& key, const QString& path)
{
    QByteArray data;
    QByteArray sig;
    QString error;
    if (!KeyFile::read(path, data, &error) || !KeyFile::read(path + QStringLiteral(".sig"), sig, &error))
        return error;
    if (sig.size() != static_cast<qsizetype>(kSignatureSize))
        return QStringLiteral("%1.sig is %2 bytes, a signature is %3")
            .arg(path)
            .arg(sig.size())
            .arg(kSignatureSize);
    try {
        if (!verify_msg(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                        static_cast<unsigned long>(data.size()), reinterpret_cast<unsigned char*>(sig.data()),
                        static_cast<unsigned long>(sig.size())))
            return QStringLiteral("signature does not match");
    } catch (const crypt_exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}
} // namespace

VerifyCommand::VerifyCommand()
    : KeyedFilesCommand({QStringLiteral("pubkey"), QStringLiteral("public.der"),
                         QStringLiteral("The release public key (public.der)."), KeyFile::Need::PublicHalf,
                         QStringLiteral("Files to check."), QStringLiteral("no file to check")})
{
}

QString VerifyCommand::name() const
{
    return QStringLiteral("verify");
}

QString VerifyCommand::summary() const
{
    return QStringLiteral(
        "Check files against their FILE.sig with the release public key, as the updater does.");
}

bool VerifyCommand::processFile(RsaKey& key, const QString& path)
{
    const QString problem = problemWith(key, path);
    if (problem.isEmpty()) {
        out() << path << ": OK\n";
        return true;
    }
    out() << path << ": FAILED (" << problem << ")\n";
    return false;
}
