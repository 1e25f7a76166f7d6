// Digest of a file in fixed-size chunks: same digest as hashing the whole file at once, for any
// size, and the two ways reading can fail.

#include "FileBytes.h"
#include "FileHash.h"
#include "ShortReadFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QByteArray pattern(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char((i * 131 + i / 7) & 0xff);
    return data;
}

} // namespace

class tst_FileHash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Known answers from RFC 1321, appendix A.5 (MD5) and FIPS 180-2, appendix A (SHA-1).
    void knownAnswers_data()
    {
        QTest::addColumn<QCryptographicHash::Algorithm>("algorithm");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("expected");
        const auto md5 = QCryptographicHash::Md5;
        const auto sha1 = QCryptographicHash::Sha1;
        QTest::newRow("md5 empty") << md5 << QByteArray() << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
        QTest::newRow("md5 a") << md5 << QByteArray("a") << QByteArray("0cc175b9c0f1b6a831c399e269772661");
        QTest::newRow("md5 abc") << md5 << QByteArray("abc")
                                 << QByteArray("900150983cd24fb0d6963f7d28e17f72");
        QTest::newRow("md5 message digest")
            << md5 << QByteArray("message digest") << QByteArray("f96b697d7cb7938d525a2f31aaf161d0");
        QTest::newRow("md5 digits") << md5
                                    << QByteArray("1234567890123456789012345678901234567890"
                                                  "1234567890123456789012345678901234567890")
                                    << QByteArray("57edf4a22be3c955ac49da2e2107b67a");
        QTest::newRow("sha1 abc") << sha1 << QByteArray("abc")
                                  << QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d");
        QTest::newRow("sha1 million a")
            << sha1 << QByteArray(1000000, 'a') << QByteArray("34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    }
    void knownAnswers()
    {
        QFETCH(QCryptographicHash::Algorithm, algorithm);
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("f"));
        QVERIFY(FileBytes::write(path, content));
        QByteArray digest;
        QCOMPARE(fileHash(path, algorithm, digest), FileReadStatus::Ok);
        QCOMPARE(digest.toHex(), expected);
    }

    // Sizes around the chunk edges, where an off-by-one would drop or repeat bytes.
    void chunkEdges_data()
    {
        QTest::addColumn<QCryptographicHash::Algorithm>("algorithm");
        QTest::addColumn<qint64>("size");
        for (qint64 chunks : {1, 2, 5}) {
            for (qint64 delta : {-1, 0, 1}) {
                const qint64 size = chunks * kFileHashChunkSize + delta;
                QTest::addRow("md5 %lld", size) << QCryptographicHash::Md5 << size;
                QTest::addRow("sha1 %lld", size) << QCryptographicHash::Sha1 << size;
            }
        }
    }
    void chunkEdges()
    {
        QFETCH(QCryptographicHash::Algorithm, algorithm);
        QFETCH(qint64, size);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("f"));
        const QByteArray content = pattern(size);
        QVERIFY(FileBytes::write(path, content));
        QByteArray digest;
        QCOMPARE(fileHash(path, algorithm, digest), FileReadStatus::Ok);
        QCOMPARE(digest, QCryptographicHash::hash(content, algorithm));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<FileReadStatus>("status");
        QTest::newRow("missing") << QStringLiteral("missing") << FileReadStatus::OpenFailed;
        QTest::newRow("folder") << QStringLiteral("folder") << FileReadStatus::OpenFailed;
        QTest::newRow("below a file") << QStringLiteral("file/inside") << FileReadStatus::OpenFailed;
        QTest::newRow("shorter than its size") << QStringLiteral("short") << FileReadStatus::ReadFailed;
    }
    void failures()
    {
        QFETCH(QString, path);
        QFETCH(FileReadStatus, status);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        QVERIFY(FileBytes::write(dir.filePath(QStringLiteral("file")), "x"));
        const QString full = path == QLatin1String("short") ? ShortReadFile::path() : dir.filePath(path);
        if (full.isEmpty())
            QSKIP("no file here that is shorter than its reported size");
        QByteArray digest("untouched");
        QCOMPARE(fileHash(full, QCryptographicHash::Md5, digest), status);
        QCOMPARE(digest, QByteArray("untouched"));
    }

    // A file of 2 GiB or more did not fit the 32-bit byte count a whole-file read used. md5sum
    // is the independent judge of the expected digest.
    void beyondTwoGiB()
    {
        const QString md5sum = QStandardPaths::findExecutable(QStringLiteral("md5sum"));
        if (md5sum.isEmpty())
            QSKIP("md5sum not found");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("big"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // Sparse: a tail of data behind a hole, so the end of the file matters to the digest.
        const qint64 hole = (qint64(2) << 30) + 12345;
        QVERIFY(file.seek(hole));
        QVERIFY(file.write("tail after the 2 GiB mark") > 0);
        file.close();

        QProcess process;
        process.start(md5sum, {path});
        QVERIFY(process.waitForFinished(120000));
        const QByteArray expected = process.readAllStandardOutput().left(32);
        QCOMPARE(expected.size(), 32);

        QByteArray digest;
        QCOMPARE(fileHash(path, QCryptographicHash::Md5, digest), FileReadStatus::Ok);
        QCOMPARE(digest.toHex(), expected);
    }
};

QTEST_GUILESS_MAIN(tst_FileHash)
#include "tst_filehash.moc"
