// CheckSigFunc run directly, as the plan compiler does: MD5 and signature checks, their messages,
// and signatures made by openssl with the demo key passing against the compiled-in key.

#include "CheckSigFunc.h"
#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "FileBytes.h"
#include "OpenSslTool.h"
#include "RsaKey.h"
#include "ShortReadFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kDemoPrivate = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der");

QString md5Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

const QByteArray kIni("[Kelvaro3]\nversion=3.0.1\nfile0=update,0123456789abcdef0123456789abcdef\n");

} // namespace

class tst_CheckSigFunc : public QObject
{
    Q_OBJECT

private:
    RsaKey m_demoPair;
    RsaKey m_otherPair;
    QTemporaryDir m_keys;
    OpenSslTool m_openssl;

    QByteArray sign(RsaKey& key, const QByteArray& data)
    {
        const auto sig =
            sign_msg(key.get(), reinterpret_cast<const unsigned char*>(data.constData()), data.size());
        return QByteArray(reinterpret_cast<const char*>(sig.data()), qsizetype(sig.size()));
    }

    // Runs a fresh worker and returns its result and messages.
    static bool check(const QString& file, const QString& md5, QStringList* messages)
    {
        CheckSigFunc func(file, md5);
        QSignalSpy spy(&func, &ASyncFunc::message);
        const bool result = func.run();
        for (const QList<QVariant>& args : spy)
            messages->append(args.at(0).toString());
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        crypt_init();
        const QByteArray der = FileBytes::read(kDemoPrivate);
        QVERIFY2(!der.isEmpty(), "keys/demo/private.der is missing");
        load_key(m_demoPair.get(), reinterpret_cast<const unsigned char*>(der.constData()), der.size());
        m_demoPair.setLoaded();
        make_key(m_otherPair.get());
        m_otherPair.setLoaded();
        QVERIFY(m_keys.isValid());
        QVERIFY2(OpenSslTool::available(),
                 "the openssl command-line tool is needed (Debian package openssl)");
        QVERIFY2(m_openssl.privateDerToPem(kDemoPrivate, m_keys.filePath(QStringLiteral("demo.pem"))),
                 qPrintable(m_openssl.lastError()));
    }

    void md5_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<bool>("pass");
        const QByteArray content("the installed file\n");
        const QString good = md5Hex(content);
        QTest::newRow("lower case") << content << good << true;
        QTest::newRow("upper case") << content << good.toUpper() << true;
        QTest::newRow("empty file") << QByteArray() << QStringLiteral("d41d8cd98f00b204e9800998ecf8427e")
                                    << true;
        QTest::newRow("trailing space") << content << good + QLatin1Char(' ') << false;
        QTest::newRow("leading space") << content << QLatin1Char(' ') + good << false;
        QTest::newRow("other digest") << content << md5Hex("other") << false;
        QTest::newRow("truncated digest") << content << good.left(31) << false;
        QTest::newRow("not hex") << content << QStringLiteral("not a checksum") << false;
    }
    void md5()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, md5);
        QFETCH(bool, pass);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("client.bin"));
        QVERIFY(FileBytes::write(file, content));
        QStringList messages;
        QCOMPARE(check(file, md5, &messages), pass);
        // A mismatch is the task's to report; the worker only explains read failures.
        QCOMPARE(messages, QStringList());
    }

    void signature_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("pass");
        QTest::newRow("signed by the release pair") << QString() << true;
        QTest::newRow("signed by openssl with the release pair") << QStringLiteral("openssl") << true;
        QTest::newRow("empty file, signed") << QStringLiteral("empty") << true;
        QTest::newRow("file of many chunks, signed") << QStringLiteral("large") << true;
        QTest::newRow("one byte changed after signing") << QStringLiteral("byte") << false;
        QTest::newRow("sig of 127 bytes") << QStringLiteral("sig127") << false;
        QTest::newRow("sig of 129 bytes") << QStringLiteral("sig129") << false;
        QTest::newRow("sig of another key") << QStringLiteral("other") << false;
        QTest::newRow("sig of an openssl key") << QStringLiteral("opensslother") << false;
        QTest::newRow("sig empty") << QStringLiteral("sig0") << false;
        QTest::newRow("sig followed by a MiB") << QStringLiteral("sighuge") << false;
    }
    void signature()
    {
        QFETCH(QString, fault);
        QFETCH(bool, pass);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("Kelvaro3.ini"));
        const QString sigFile = file + QStringLiteral(".sig");
        QByteArray content = kIni;
        if (fault == QLatin1String("empty"))
            content.clear();
        else if (fault == QLatin1String("large"))
            content = kIni.repeated(20000); // about 1.3 MiB

        QVERIFY(FileBytes::write(file, content));
        QByteArray sig = sign(m_demoPair, content);

        if (fault == QLatin1String("byte")) {
            QByteArray changed = content;
            changed[12] = changed[12] ^ 0x20;
            QVERIFY(FileBytes::write(file, changed));
        } else if (fault == QLatin1String("sig127")) {
            sig.chop(1);
        } else if (fault == QLatin1String("sig129")) {
            sig.append('\0');
        } else if (fault == QLatin1String("other")) {
            sig = sign(m_otherPair, content);
        } else if (fault == QLatin1String("sig0")) {
            sig.clear();
        } else if (fault == QLatin1String("sighuge")) {
            sig.append(QByteArray(1 << 20, '\0'));
        }
        QVERIFY(FileBytes::write(sigFile, sig));
        if (fault == QLatin1String("openssl")) {
            QVERIFY2(m_openssl.sign(m_keys.filePath(QStringLiteral("demo.pem")), file, sigFile),
                     qPrintable(m_openssl.lastError()));
        } else if (fault == QLatin1String("opensslother")) {
            const QString pem = dir.filePath(QStringLiteral("other.pem"));
            QVERIFY2(m_openssl.makeKey(pem) && m_openssl.sign(pem, file, sigFile),
                     qPrintable(m_openssl.lastError()));
        }

        QStringList messages;
        QCOMPARE(check(file, QString(), &messages), pass);
        QCOMPARE(messages, QStringList());
    }

    void readFailures_data()
    {
        QTest::addColumn<QString>("md5");
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("expected");
        const QString anyMd5 = md5Hex("x");
        QTest::newRow("md5: no file")
            << anyMd5 << QStringLiteral("nofile") << QStringLiteral("Could not open file %1 for reading");
        QTest::newRow("md5: folder") << anyMd5 << QStringLiteral("folder")
                                     << QStringLiteral("Could not open file %1 for reading");
        QTest::newRow("md5: short") << anyMd5 << QStringLiteral("short")
                                    << QStringLiteral("could not read file %1 correctly");
        QTest::newRow("sig: no file")
            << QString() << QStringLiteral("nofile") << QStringLiteral("Could not open file %1 for reading");
        QTest::newRow("sig: folder") << QString() << QStringLiteral("folder")
                                     << QStringLiteral("Could not open file %1 for reading");
        QTest::newRow("sig: short") << QString() << QStringLiteral("short")
                                    << QStringLiteral("could not read file %1 correctly");
        QTest::newRow("sig: no .sig") << QString() << QStringLiteral("nosig")
                                      << QStringLiteral("Could not open file %1.sig for reading");
        QTest::newRow("sig: .sig is a folder") << QString() << QStringLiteral("sigfolder")
                                               << QStringLiteral("Could not open file %1.sig for reading");
    }
    void readFailures()
    {
        QFETCH(QString, md5);
        QFETCH(QString, layout);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString file = dir.filePath(QStringLiteral("Kelvaro3.ini"));
        if (layout == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(file));
        } else if (layout == QLatin1String("short")) {
            file = ShortReadFile::path();
            if (file.isEmpty())
                QSKIP("no file here that is shorter than its reported size");
        } else if (layout != QLatin1String("nofile")) {
            QVERIFY(FileBytes::write(file, kIni));
            if (layout == QLatin1String("sigfolder"))
                QVERIFY(QDir().mkdir(file + QStringLiteral(".sig")));
        }
        QStringList messages;
        QVERIFY2(!check(file, md5, &messages), "a file that cannot be read must fail the check");
        QCOMPARE(messages, QStringList {expected.arg(file)});
    }
};

QTEST_GUILESS_MAIN(tst_CheckSigFunc)
#include "tst_checksigfunc.moc"
