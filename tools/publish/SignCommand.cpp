#include "SignCommand.h"

#include "CryptoSigning.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QSaveFile>

SignCommand::SignCommand()
    : KeyedFilesCommand({QStringLiteral("key"), QStringLiteral("private.der"),
                         QStringLiteral("The key pair (private.der from keygen)."), KeyFile::Need::KeyPair,
                         QStringLiteral("Files to sign."), QStringLiteral("no file to sign")})
{
}

QString SignCommand::name() const
{
    return QStringLiteral("sign");
}

QString SignCommand::summary() const
{
    return QStringLiteral("Sign files with the release key pair: writes FILE.sig beside every FILE.");
}

bool SignCommand::processFile(RsaKey& key, const QString& path)
{
    if (!writeSignature(key, path, "sign"))
        return false;
    out() << "signed " << path << " -> " << path << ".sig\n";
    return true;
}

bool SignCommand::writeSignature(RsaKey& key, const QString& path, const char* command)
{
    QByteArray data;
    QString error;
    if (!KeyFile::read(path, data, &error)) {
        err() << command << ": " << error << '\n';
        return false;
    }
    std::vector<unsigned char> sig;
    try {
        sig = sign_msg(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<unsigned long>(data.size()));
    } catch (const crypt_exception& e) {
        err() << command << ": " << path << ": " << e.what() << '\n';
        return false;
    }
    const QString sigPath = path + QStringLiteral(".sig");
    // A reader never sees half a signature, and a failed write keeps the previous one.
    QSaveFile file(sigPath);
    const auto size = static_cast<qint64>(sig.size());
    if (!file.open(QIODevice::WriteOnly)
        || file.write(reinterpret_cast<const char*>(sig.data()), size) != size || !file.commit()) {
        err() << command << ": cannot write " << sigPath << ": " << file.errorString() << '\n';
        return false;
    }
    return true;
}
