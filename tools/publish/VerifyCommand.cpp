#include "VerifyCommand.h"

#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "KeyFile.h"
#include "RsaKey.h"
#include "crypt_exception.h"

namespace {
/// Empty when path passes, else the reason it does not.
QString verifyOne(RsaKey& key, const QString& path)
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

QString VerifyCommand::name() const
{
    return QStringLiteral("verify");
}

QString VerifyCommand::summary() const
{
    return QStringLiteral(
        "Check files against their FILE.sig with the release public key, as the updater does.");
}

void VerifyCommand::setUp(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("pubkey"), QStringLiteral("The release public key (public.der)."),
                      QStringLiteral("public.der")});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to check."),
                                 QStringLiteral("FILE..."));
}

int VerifyCommand::execute(const QCommandLineParser& parser)
{
    if (!parser.isSet(QStringLiteral("pubkey")))
        return usageError(parser, QStringLiteral("--pubkey public.der is required"));
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        return usageError(parser, QStringLiteral("no file to check"));

    RsaKey key;
    QString error;
    if (!KeyFile::load(parser.value(QStringLiteral("pubkey")), KeyFile::Need::PublicHalf, key, &error)) {
        err() << "verify: " << error << '\n' << Qt::flush;
        return Failure;
    }

    int result = Success;
    for (const QString& path : files) {
        const QString problem = verifyOne(key, path);
        if (problem.isEmpty()) {
            out() << path << ": OK\n";
        } else {
            out() << path << ": FAILED (" << problem << ")\n";
            result = Failure;
        }
    }
    out() << Qt::flush;
    return result;
}
