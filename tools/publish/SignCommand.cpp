#include "SignCommand.h"

#include "CryptoSigning.h"
#include "KeyFile.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QSaveFile>

QString SignCommand::name() const
{
    return QStringLiteral("sign");
}

QString SignCommand::summary() const
{
    return QStringLiteral("Sign files with the release key pair: writes FILE.sig beside every FILE.");
}

void SignCommand::setUp(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("key"), QStringLiteral("The key pair (private.der from keygen)."),
                      QStringLiteral("private.der")});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to sign."),
                                 QStringLiteral("FILE..."));
}

int SignCommand::execute(const QCommandLineParser& parser)
{
    if (!parser.isSet(QStringLiteral("key")))
        return usageError(parser, QStringLiteral("--key private.der is required"));
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        return usageError(parser, QStringLiteral("no file to sign"));

    RsaKey key;
    QString error;
    if (!KeyFile::load(parser.value(QStringLiteral("key")), KeyFile::Need::KeyPair, key, &error)) {
        err() << "sign: " << error << '\n' << Qt::flush;
        return Failure;
    }

    int result = Success;
    for (const QString& path : files) {
        QByteArray data;
        if (!KeyFile::read(path, data, &error)) {
            err() << "sign: " << error << '\n' << Qt::flush;
            result = Failure;
            continue;
        }
        std::vector<unsigned char> sig;
        try {
            sig = sign_msg(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                           static_cast<unsigned long>(data.size()));
        } catch (const crypt_exception& e) {
            err() << "sign: " << path << ": " << e.what() << '\n' << Qt::flush;
            result = Failure;
            continue;
        }
        const QString sigPath = path + QStringLiteral(".sig");
        // A reader never sees half a signature, and a failed write keeps the previous one.
        QSaveFile out(sigPath);
        if (!out.open(QIODevice::WriteOnly)
            || out.write(reinterpret_cast<const char*>(sig.data()), static_cast<qint64>(sig.size()))
                != static_cast<qint64>(sig.size())
            || !out.commit()) {
            err() << "sign: cannot write " << sigPath << ": " << out.errorString() << '\n' << Qt::flush;
            result = Failure;
            continue;
        }
        Command::out() << "signed " << path << " -> " << sigPath << '\n' << Qt::flush;
    }
    return result;
}
