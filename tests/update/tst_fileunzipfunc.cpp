#include "FileBytes.h"
#include "FileUnzipFunc.h"
#include "GzipBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Bytes that do not compress to nothing, so a multi-buffer file really spans many reads.
QByteArray varied(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x % 7 == 0 ? x >> 8 : 'a' + x % 3);
    }
    return data;
}

} // namespace

class tst_FileUnzipFunc : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void unpacks_data();
    void unpacks();
    void failureLeavesNothingAtDestination_data();
    void failureLeavesNothingAtDestination();
    void destinationThatIsAFolderFails();
};

void tst_FileUnzipFunc::unpacks_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray text("hello, installation\n");
    QTest::newRow("small gzip") << GzipBytes::pack(text) << text;
    QTest::newRow("empty gzip") << GzipBytes::pack(QByteArray()) << QByteArray();
    const QByteArray big = varied(5 * FileUnzipFunc::bufferSize + 123);
    QTest::newRow("many buffers") << GzipBytes::pack(big) << big;
    const QByteArray exact = varied(2 * FileUnzipFunc::bufferSize);
    QTest::newRow("exact buffer multiple") << GzipBytes::pack(exact) << exact;
    // zlib passes data without a gzip header through unchanged.
    QTest::newRow("not gzip") << QByteArray("plain \x00\x01\x02 bytes", 15)
                              << QByteArray("plain \x00\x01\x02 bytes", 15);
    QTest::newRow("empty plain file") << QByteArray() << QByteArray();
    QTest::newRow("two gzip members")
        << GzipBytes::pack("first ") + GzipBytes::pack("second") << QByteArray("first second");
}

void tst_FileUnzipFunc::unpacks()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, expected);
    QVERIFY2(!source.isEmpty() || expected.isEmpty(), "the gzip tool did not produce data");

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString src = dir.filePath(QStringLiteral("packed.gz"));
    const QString dest = dir.filePath(QStringLiteral("unpacked"));
    QVERIFY(FileBytes::write(src, source));
    // A longer file already at the destination must not leave its tail behind.
    QVERIFY(FileBytes::write(dest, QByteArray(expected.size() + 4096, 'Z')));

    FileUnzipFunc func(src, dest);
    QVERIFY2(func.run(), "unpacking a valid source failed");
    QVERIFY2(FileBytes::read(dest) == expected, "the unpacked file differs from the original");
}

void tst_FileUnzipFunc::failureLeavesNothingAtDestination_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<bool>("sourceExists");

    const QByteArray packed = GzipBytes::pack(varied(3 * FileUnzipFunc::bufferSize));
    QTest::newRow("truncated gzip") << packed.left(packed.size() / 2) << true;
    QByteArray damaged = packed;
    damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x55);
    QTest::newRow("damaged deflate data") << damaged << true;
    QByteArray badCrc = packed;
    badCrc[badCrc.size() - 6] = char(badCrc.at(badCrc.size() - 6) ^ 0x01);
    QTest::newRow("wrong CRC in trailer") << badCrc << true;
    QTest::newRow("missing source") << QByteArray() << false;
}

void tst_FileUnzipFunc::failureLeavesNothingAtDestination()
{
    QFETCH(QByteArray, source);
    QFETCH(bool, sourceExists);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString src = dir.filePath(QStringLiteral("packed.gz"));
    const QString dest = dir.filePath(QStringLiteral("unpacked"));
    if (sourceExists)
        QVERIFY(FileBytes::write(src, source));

    FileUnzipFunc func(src, dest);
    QVERIFY2(!func.run(), "a broken source was reported as unpacked");
    QVERIFY2(!QFileInfo::exists(dest), "a partial file was left at the destination");
}

void tst_FileUnzipFunc::destinationThatIsAFolderFails()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString src = dir.filePath(QStringLiteral("packed.gz"));
    const QString dest = dir.filePath(QStringLiteral("folder"));
    QVERIFY(FileBytes::write(src, GzipBytes::pack("data")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("folder/inside")));

    FileUnzipFunc func(src, dest);
    QVERIFY2(!func.run(), "unpacking onto a folder was reported as success");
    QVERIFY2(QFileInfo(dest + QStringLiteral("/inside")).isDir(), "the folder in the way was damaged");
}

QTEST_GUILESS_MAIN(tst_FileUnzipFunc)
#include "tst_fileunzipfunc.moc"
