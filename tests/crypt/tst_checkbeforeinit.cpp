// A check that runs before crypt_init() fails like any other check instead of ending the process
// (libtomcrypt aborts on a key import without a math provider).

#include "CheckSigFunc.h"
#include "CryptoHelper.h"
#include "FileBytes.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_CheckBeforeInit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void signatureCheckFails()
    {
        QCOMPARE(hash_idx, -1);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("Kelvaro3.ini"));
        QVERIFY(FileBytes::write(file, "[Kelvaro3]\n"));
        QVERIFY(FileBytes::write(file + QStringLiteral(".sig"), QByteArray(128, '\x01')));
        CheckSigFunc func(file, QString());
        QVERIFY2(!func.run(), "a signature check without crypt_init() must fail, not pass or abort");
    }
};

QTEST_GUILESS_MAIN(tst_CheckBeforeInit)
#include "tst_checkbeforeinit.moc"
