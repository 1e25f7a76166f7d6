#include "KeygenCommand.h"

#include "CryptoSigning.h"
#include "KeyFile.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
QByteArray toByteArray(const std::vector<unsigned char>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}
} // namespace

QString KeygenCommand::name() const
{
    return QStringLiteral("keygen");
}

QString KeygenCommand::summary() const
{
    return QStringLiteral("Make a new 1024-bit RSA release key pair.");
}

QString KeygenCommand::description() const
{
    return QStringLiteral("Make a new 1024-bit RSA release key pair (exponent 65537) and write\n"
                          "  DIR/private.der  the key pair, mode 0600: keep it secret, sign with it\n"
                          "  DIR/public.der   the public key: build the updater with\n"
                          "                   -DKV3_PUBLIC_KEY_DER=DIR/public.der\n"
                          "Existing key files are never overwritten.");
}

void KeygenCommand::setUp(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("out"), QStringLiteral("Folder that receives the key files."),
                      QStringLiteral("DIR")});
}

int KeygenCommand::execute(const QCommandLineParser& parser)
{
    if (!parser.isSet(QStringLiteral("out")))
        return usageError(parser, QStringLiteral("--out DIR is required"));
    if (!parser.positionalArguments().isEmpty())
        return usageError(parser,
                          QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    const QString dir = parser.value(QStringLiteral("out"));
    if (!QDir().mkpath(dir)) {
        err() << "keygen: cannot create folder " << dir << '\n' << Qt::flush;
        return Failure;
    }
    const QString privatePath = QDir(dir).filePath(QStringLiteral("private.der"));
    const QString publicPath = QDir(dir).filePath(QStringLiteral("public.der"));
    // Replacing a release key by accident would orphan every release signed with it.
    for (const QString& path : {privatePath, publicPath}) {
        if (QFileInfo::exists(path)) {
            err() << "keygen: " << path << " exists; refusing to overwrite a key\n" << Qt::flush;
            return Failure;
        }
    }

    QByteArray privateDer;
    QByteArray publicDer;
    try {
        RsaKey key;
        make_key(key.get());
        key.setLoaded();
        privateDer = toByteArray(export_key(key.get(), PK_PRIVATE));
        publicDer = toByteArray(export_key(key.get(), PK_PUBLIC));
    } catch (const crypt_exception& e) {
        err() << "keygen: " << e.what() << '\n' << Qt::flush;
        return Failure;
    }

    QString error;
    if (!KeyFile::writeNew(privatePath, privateDer, true, &error)) {
        err() << "keygen: " << error << '\n' << Qt::flush;
        return Failure;
    }
    if (!KeyFile::writeNew(publicPath, publicDer, false, &error)) {
        // Half a pair is no use; leave the folder as it was.
        QFile::remove(privatePath);
        err() << "keygen: " << error << '\n' << Qt::flush;
        return Failure;
    }
    out() << "wrote " << privatePath << " (key pair, keep it secret)\n"
          << "wrote " << publicPath << " (" << publicDer.size() << " bytes, for KV3_PUBLIC_KEY_DER)\n"
          << Qt::flush;
    return Success;
}
