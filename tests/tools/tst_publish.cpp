// kv3-publish from the outside: its subcommands, their errors, and signatures that openssl, an
// independent RSASSA-PSS implementation, accepts and produces.

#include "FileBytes.h"
#include "OpenSslTool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

Result publish(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral(KV3_PUBLISH_EXE), args);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        result.err = QStringLiteral("kv3-publish did not finish: ") + process.errorString();
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

QByteArray describe(const Result& r)
{
    return QStringLiteral("exit %1\nstdout: %2\nstderr: %3").arg(r.exitCode).arg(r.out, r.err).toLocal8Bit();
}

const QString kDemoPrivate = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der");
const QString kDemoPublic = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/public.der");

} // namespace

class tst_Publish : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_keys; // keys made once, shared by the tests that only read them
    OpenSslTool m_openssl;

    QString key(const QString& name) const { return m_keys.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_keys.isValid());
        QVERIFY2(OpenSslTool::available(),
                 "the openssl command-line tool is needed (Debian package openssl)");
        // An openssl-made 1024-bit key in every form the tests hand around.
        QVERIFY2(m_openssl.makeKey(key(QStringLiteral("ossl.pem"))), qPrintable(m_openssl.lastError()));
        QVERIFY2(m_openssl.exportRsaPublicKeyDer(key(QStringLiteral("ossl.pem")),
                                                 key(QStringLiteral("ossl-pub.der"))),
                 qPrintable(m_openssl.lastError()));
        QVERIFY2(m_openssl.run({QStringLiteral("rsa"), QStringLiteral("-in"), key(QStringLiteral("ossl.pem")),
                                QStringLiteral("-outform"), QStringLiteral("DER"), QStringLiteral("-out"),
                                key(QStringLiteral("ossl-pkcs8.der"))}),
                 qPrintable(m_openssl.lastError()));
        // A 2048-bit pair in the PKCS#1 forms libtomcrypt reads: a valid key of the wrong size.
        QVERIFY2(m_openssl.makeKey(key(QStringLiteral("big.pem")), 2048), qPrintable(m_openssl.lastError()));
        QVERIFY2(
            m_openssl.run({QStringLiteral("rsa"), QStringLiteral("-in"), key(QStringLiteral("big.pem")),
                           QStringLiteral("-traditional"), QStringLiteral("-outform"), QStringLiteral("DER"),
                           QStringLiteral("-out"), key(QStringLiteral("big.der"))}),
            qPrintable(m_openssl.lastError()));
        QVERIFY2(m_openssl.exportRsaPublicKeyDer(key(QStringLiteral("big.pem")),
                                                 key(QStringLiteral("big-pub.der"))),
                 qPrintable(m_openssl.lastError()));
        QVERIFY(FileBytes::write(key(QStringLiteral("garbage.der")), QByteArray(300, '\x42')));
        QVERIFY(FileBytes::write(key(QStringLiteral("empty.der")), QByteArray()));
        QVERIFY2(m_openssl.rsaPublicKeyDerToPem(kDemoPublic, key(QStringLiteral("demo-pub.pem"))),
                 qPrintable(m_openssl.lastError()));
    }

    void keygenWritesAReleasePair()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString out = dir.filePath(QStringLiteral("new/keys"));
        const Result r = publish({QStringLiteral("keygen"), QStringLiteral("--out"), out});
        QVERIFY2(r.exitCode == 0, describe(r));

        const QFileInfo priv(out + QStringLiteral("/private.der"));
        const QFileInfo pub(out + QStringLiteral("/public.der"));
        QVERIFY(priv.exists() && pub.exists());
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(priv.filePath()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QCOMPARE(pub.size(), 140);
        // openssl reads the pair and derives exactly the public key keygen wrote.
        const QString pem = dir.filePath(QStringLiteral("pair.pem"));
        const QString derived = dir.filePath(QStringLiteral("derived.der"));
        QVERIFY2(m_openssl.privateDerToPem(priv.filePath(), pem), qPrintable(m_openssl.lastError()));
        QVERIFY2(m_openssl.run({QStringLiteral("rsa"), QStringLiteral("-in"), pem, QStringLiteral("-check"),
                                QStringLiteral("-noout")}),
                 qPrintable(m_openssl.lastError()));
        QVERIFY2(m_openssl.exportRsaPublicKeyDer(pem, derived), qPrintable(m_openssl.lastError()));
        QCOMPARE(FileBytes::read(derived), FileBytes::read(pub.filePath()));
    }

    void keygenNeverOverwrites()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString priv = dir.filePath(QStringLiteral("private.der"));
        QVERIFY(FileBytes::write(priv, "the maker's only copy"));
        const Result r = publish({QStringLiteral("keygen"), QStringLiteral("--out"), dir.path()});
        QVERIFY2(r.exitCode == 1, describe(r));
        QVERIFY2(r.err.contains(QStringLiteral("refusing to overwrite")), describe(r));
        QCOMPARE(FileBytes::read(priv), QByteArray("the maker's only copy"));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("public.der"))));
    }

    // A folder where public.der must go: keygen fails and leaves no half pair behind.
    void keygenFailureLeavesNothing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("public.der")));
        Result r = publish({QStringLiteral("keygen"), QStringLiteral("--out"), dir.path()});
        QVERIFY2(r.exitCode == 1, describe(r));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("private.der"))));

        QVERIFY(FileBytes::write(dir.filePath(QStringLiteral("plain")), "a file where the folder must go"));
        r = publish(
            {QStringLiteral("keygen"), QStringLiteral("--out"), dir.filePath(QStringLiteral("plain"))});
        QVERIFY2(r.exitCode == 1 && r.err.contains(QStringLiteral("cannot create folder")), describe(r));
    }

    void signThenVerify()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QStringList files {dir.filePath(QStringLiteral("Kelvaro3.ini")),
                                 dir.filePath(QStringLiteral("empty")),
                                 dir.filePath(QStringLiteral("with space.bin"))};
        QVERIFY(FileBytes::write(files[0], "[Kelvaro3]\nversion=3.0.1\n"));
        QVERIFY(FileBytes::write(files[1], QByteArray()));
        QVERIFY(FileBytes::write(files[2], QByteArray(100000, '\x01')));

        Result r =
            publish(QStringList {QStringLiteral("sign"), QStringLiteral("--key"), kDemoPrivate} + files);
        QVERIFY2(r.exitCode == 0, describe(r));
        for (const QString& file : files) {
            QCOMPARE(QFileInfo(file + QStringLiteral(".sig")).size(), 128);
            // The independent judge: openssl accepts every signature with the shipped public key.
            QVERIFY2(
                m_openssl.verify(key(QStringLiteral("demo-pub.pem")), file, file + QStringLiteral(".sig")),
                qPrintable(m_openssl.lastError()));
        }
        r = publish(QStringList {QStringLiteral("verify"), QStringLiteral("--pubkey"), kDemoPublic} + files);
        QVERIFY2(r.exitCode == 0, describe(r));
        for (const QString& file : files)
            QVERIFY2(r.out.contains(file + QStringLiteral(": OK\n")), describe(r));
    }

    // A signature made by openssl with an openssl key verifies with that key in libtomcrypt's form.
    void verifyAcceptsOpensslSignature()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("Kelvaro3.ini"));
        QVERIFY(FileBytes::write(file, "[Kelvaro3]\nsigned=by openssl\n"));
        QVERIFY2(m_openssl.sign(key(QStringLiteral("ossl.pem")), file, file + QStringLiteral(".sig")),
                 qPrintable(m_openssl.lastError()));
        const Result r = publish({QStringLiteral("verify"), QStringLiteral("--pubkey"),
                                  key(QStringLiteral("ossl-pub.der")), file});
        QVERIFY2(r.exitCode == 0 && r.out == file + QStringLiteral(": OK\n"), describe(r));
    }

    void verifyRejects_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("one byte changed") << QStringLiteral("byte") << QString();
        QTest::newRow("sig of 127 bytes") << QStringLiteral("sig127") << QStringLiteral("is 127 bytes");
        QTest::newRow("sig of 129 bytes") << QStringLiteral("sig129") << QStringLiteral("is 129 bytes");
        QTest::newRow("sig by another key") << QStringLiteral("otherkey") << QString();
        QTest::newRow("no sig") << QStringLiteral("nosig") << QStringLiteral(".sig");
        QTest::newRow("no file") << QStringLiteral("nofile") << QStringLiteral("cannot open");
        QTest::newRow("sig is a folder") << QStringLiteral("sigfolder") << QStringLiteral(".sig");
    }
    void verifyRejects()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString good = dir.filePath(QStringLiteral("good.ini"));
        const QString bad = dir.filePath(QStringLiteral("bad.ini"));
        const QByteArray content("[Kelvaro3]\nversion=3.0.1\n");
        QVERIFY(FileBytes::write(good, content));
        QVERIFY(FileBytes::write(bad, content));
        Result r = publish({QStringLiteral("sign"), QStringLiteral("--key"), kDemoPrivate, good, bad});
        QVERIFY2(r.exitCode == 0, describe(r));
        const QString sig = bad + QStringLiteral(".sig");
        const QByteArray signature = FileBytes::read(sig);

        if (fault == QLatin1String("byte")) {
            QByteArray changed = content;
            changed[3] = 'X';
            QVERIFY(FileBytes::write(bad, changed));
        } else if (fault == QLatin1String("sig127")) {
            QVERIFY(FileBytes::write(sig, signature.left(127)));
        } else if (fault == QLatin1String("sig129")) {
            QVERIFY(FileBytes::write(sig, signature + '\0'));
        } else if (fault == QLatin1String("otherkey")) {
            QVERIFY2(m_openssl.sign(key(QStringLiteral("ossl.pem")), bad, sig),
                     qPrintable(m_openssl.lastError()));
        } else if (fault == QLatin1String("nosig")) {
            QVERIFY(QFile::remove(sig));
        } else if (fault == QLatin1String("nofile")) {
            QVERIFY(QFile::remove(bad));
        } else if (fault == QLatin1String("sigfolder")) {
            QVERIFY(QFile::remove(sig));
            QVERIFY(QDir().mkdir(sig));
        }

        r = publish({QStringLiteral("verify"), QStringLiteral("--pubkey"), kDemoPublic, good, bad});
        QVERIFY2(r.exitCode == 1, describe(r));
        QVERIFY2(r.out.startsWith(good + QStringLiteral(": OK\n")), describe(r));
        QVERIFY2(r.out.contains(bad + QStringLiteral(": FAILED (")), describe(r));
        QVERIFY2(r.out.contains(reason), describe(r));
    }

    void badKeys_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("keyFile");
        QTest::addColumn<QString>("reason");
        for (const QString& command : {QStringLiteral("sign"), QStringLiteral("verify")}) {
            const char* c = command == QLatin1String("sign") ? "sign" : "verify";
            QTest::addRow("%s: missing key", c)
                << command << QStringLiteral("missing.der") << QStringLiteral("cannot open");
            QTest::addRow("%s: key is a folder", c)
                << command << QStringLiteral(".") << QStringLiteral("cannot open");
            QTest::addRow("%s: garbage", c)
                << command << QStringLiteral("garbage.der") << QStringLiteral("is not a PKCS#1 DER RSA key");
            QTest::addRow("%s: empty", c)
                << command << QStringLiteral("empty.der") << QStringLiteral("is not a PKCS#1 DER RSA key");
            QTest::addRow("%s: PEM", c)
                << command << QStringLiteral("ossl.pem") << QStringLiteral("is not a PKCS#1 DER RSA key");
        }
        QTest::newRow("sign: PKCS#8")
            << QStringLiteral("sign") << QStringLiteral("ossl-pkcs8.der") << QStringLiteral("-traditional");
        QTest::newRow("sign: 2048 bits")
            << QStringLiteral("sign") << QStringLiteral("big.der") << QStringLiteral("2048-bit");
        QTest::newRow("sign: public half") << QStringLiteral("sign") << QStringLiteral("ossl-pub.der")
                                           << QStringLiteral("only a public key");
        QTest::newRow("verify: 2048 bits")
            << QStringLiteral("verify") << QStringLiteral("big-pub.der") << QStringLiteral("2048-bit");
    }
    void badKeys()
    {
        QFETCH(QString, command);
        QFETCH(QString, keyFile);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("f"));
        QVERIFY(FileBytes::write(file, "content"));
        const QString option =
            command == QLatin1String("sign") ? QStringLiteral("--key") : QStringLiteral("--pubkey");
        const Result r = publish({command, option, key(keyFile), file});
        QVERIFY2(r.exitCode == 1, describe(r));
        QVERIFY2(r.err.contains(key(keyFile)) && r.err.contains(reason), describe(r));
        if (command == QLatin1String("sign"))
            QVERIFY(!QFileInfo::exists(file + QStringLiteral(".sig")));
    }

    // One unreadable file does not stop the others from being signed, but the run fails.
    void signReportsEachFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString good = dir.filePath(QStringLiteral("good"));
        const QString blocked = dir.filePath(QStringLiteral("blocked"));
        QVERIFY(FileBytes::write(good, "good"));
        QVERIFY(FileBytes::write(blocked, "blocked"));
        QVERIFY(QDir().mkdir(blocked + QStringLiteral(".sig"))); // a folder where the .sig must go
        const Result r = publish({QStringLiteral("sign"), QStringLiteral("--key"), kDemoPrivate,
                                  dir.filePath(QStringLiteral("missing")), blocked, good});
        QVERIFY2(r.exitCode == 1, describe(r));
        QVERIFY2(r.err.contains(QStringLiteral("missing"))
                     && r.err.contains(blocked + QStringLiteral(".sig")),
                 describe(r));
        QCOMPARE(QFileInfo(good + QStringLiteral(".sig")).size(), 128);
        QVERIFY(QFileInfo(blocked + QStringLiteral(".sig")).isDir());
    }

    void usage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no command") << QStringList() << 2 << QStringLiteral("Usage: kv3-publish COMMAND");
        QTest::newRow("overview") << QStringList {QStringLiteral("--help")} << 0 << QStringLiteral("keygen");
        QTest::newRow("unknown") << QStringList {QStringLiteral("publish")} << 2
                                 << QStringLiteral("unknown command publish");
        for (const char* command : {"keygen", "sign", "verify"}) {
            QTest::addRow("%s --help", command)
                << QStringList {QString::fromLatin1(command), QStringLiteral("--help")} << 0
                << QStringLiteral("Usage: kv3-publish %1").arg(QLatin1String(command));
        }
        QTest::newRow("keygen without --out")
            << QStringList {QStringLiteral("keygen")} << 2 << QStringLiteral("--out DIR is required");
        QTest::newRow("sign without --key") << QStringList {QStringLiteral("sign"), QStringLiteral("f")} << 2
                                            << QStringLiteral("--key private.der is required");
        QTest::newRow("sign without files")
            << QStringList {QStringLiteral("sign"), QStringLiteral("--key"), kDemoPrivate} << 2
            << QStringLiteral("no file to sign");
        QTest::newRow("verify without --pubkey")
            << QStringList {QStringLiteral("verify"), QStringLiteral("f")} << 2
            << QStringLiteral("--pubkey public.der is required");
        QTest::newRow("unknown option")
            << QStringList {QStringLiteral("sign"), QStringLiteral("--kye"), QStringLiteral("x")} << 2
            << QStringLiteral("Unknown option 'kye'");
    }
    void usage()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const Result r = publish(args);
        QVERIFY2(r.exitCode == exitCode, describe(r));
        // Help that was asked for goes to stdout; usage after a mistake goes to stderr.
        QVERIFY2((exitCode == 0 ? r.out : r.err).contains(expected), describe(r));
    }
};

QTEST_GUILESS_MAIN(tst_Publish)
#include "tst_publish.moc"
