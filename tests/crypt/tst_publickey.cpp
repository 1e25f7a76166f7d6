// The release key compiled into the program, and the demo key pair shipped for the tests.

#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "FileBytes.h"
#include "OpenSslTool.h"
#include "PublicKey.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kDemoPublic = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/public.der");
const QString kDemoPrivate = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der");
} // namespace

class tst_PublicKey : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { crypt_init(); }

    void arrayHoldsTheConfiguredDer()
    {
        const QByteArray der = FileBytes::read(QStringLiteral(KV3_PUBLIC_KEY_DER));
        QCOMPARE(der.size(), 140);
        const QByteArray compiled(reinterpret_cast<const char*>(PUBLIC_KEY), sizeof(PUBLIC_KEY));
        QCOMPARE(compiled.size(), 2048);
        QCOMPARE(compiled.left(140), der);
        QVERIFY2(compiled.mid(140).count('\0') == 2048 - 140, "bytes after the DER key must be zero");
    }

    void importsAsReleasePublicKey()
    {
        RsaKey key;
        load_key(key.get(), PUBLIC_KEY, sizeof(PUBLIC_KEY));
        key.setLoaded();
        QCOMPARE(key_bits(key.get()), 1024);
        QVERIFY2(!key_is_private(key.get()), "only the public half may be compiled in");
        QCOMPARE(export_key(key.get(), PK_PUBLIC).size(), size_t(140));
    }

    void demoPairMatchesCompiledKey()
    {
        if (QFileInfo(QStringLiteral(KV3_PUBLIC_KEY_DER)).canonicalFilePath()
            != QFileInfo(kDemoPublic).canonicalFilePath())
            QSKIP("built with a maker's own key; the demo pair does not apply");
        const QByteArray der = FileBytes::read(kDemoPrivate);
        RsaKey pair;
        load_key(pair.get(), reinterpret_cast<const unsigned char*>(der.constData()), der.size());
        pair.setLoaded();
        QVERIFY(key_is_private(pair.get()));

        const QByteArray msg("demo release");
        auto sig = sign_msg(pair.get(), reinterpret_cast<const unsigned char*>(msg.constData()), msg.size());
        RsaKey compiled;
        load_key(compiled.get(), PUBLIC_KEY, sizeof(PUBLIC_KEY));
        compiled.setLoaded();
        QVERIFY2(verify_msg(compiled.get(), reinterpret_cast<const unsigned char*>(msg.constData()),
                            msg.size(), sig.data(), sig.size()),
                 "a signature by keys/demo/private.der must pass with the compiled-in key");
    }

    // openssl derives the public key from the shipped pair on its own; it must be the shipped file.
    void opensslDerivesTheSamePublicKey()
    {
        QVERIFY2(OpenSslTool::available(),
                 "the openssl command-line tool is needed (Debian package openssl)");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        OpenSslTool openssl;
        const QString pem = dir.filePath(QStringLiteral("demo.pem"));
        const QString pub = dir.filePath(QStringLiteral("public.der"));
        QVERIFY2(openssl.privateDerToPem(kDemoPrivate, pem), qPrintable(openssl.lastError()));
        QVERIFY2(openssl.exportRsaPublicKeyDer(pem, pub), qPrintable(openssl.lastError()));
        QCOMPARE(FileBytes::read(pub), FileBytes::read(kDemoPublic));
    }
};

QTEST_GUILESS_MAIN(tst_PublicKey)
#include "tst_publickey.moc"
