// The compiled-in pictures: a 48 x 48 logo with alpha, and an icon file of ten images from 16 to
// 256 pixels.
#include <QFile>
#include <QImage>
#include <QtEndian>
#include <QtTest>

class tst_Resources : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void logo();
    void applicationIcon();
};

void tst_Resources::logo()
{
    QImage logo(QStringLiteral(":/images/kelvaro_logo.png"));
    QVERIFY2(!logo.isNull(), "no logo in the resources");
    QCOMPARE(logo.size(), QSize(48, 48));
    QVERIFY(logo.hasAlphaChannel());
    // Transparent corners, an opaque middle.
    QCOMPARE(qAlpha(logo.pixel(0, 47)), 0);
    QCOMPARE(qAlpha(logo.pixel(24, 24)), 255);
}

void tst_Resources::applicationIcon()
{
    QFile file(QStringLiteral(":/images/application.ico"));
    QVERIFY2(file.open(QIODevice::ReadOnly), "no icon in the resources");
    const QByteArray data = file.readAll();
    QVERIFY(data.size() > 6);
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    QCOMPARE(qFromLittleEndian<quint16>(bytes), quint16(0));
    QCOMPARE(qFromLittleEndian<quint16>(bytes + 2), quint16(1)); // an icon, not a cursor
    const int count = qFromLittleEndian<quint16>(bytes + 4);
    QCOMPARE(count, 10);
    QVERIFY(data.size() >= 6 + 16 * count);

    QList<int> sizes;
    for (int i = 0; i < count; ++i) {
        const uchar* entry = bytes + 6 + 16 * i;
        const int width = entry[0] == 0 ? 256 : entry[0];
        const int height = entry[1] == 0 ? 256 : entry[1];
        QCOMPARE(width, height);
        const quint32 length = qFromLittleEndian<quint32>(entry + 8);
        const quint32 offset = qFromLittleEndian<quint32>(entry + 12);
        QVERIFY(qint64(offset) + length <= data.size());
        // Each image is a PNG of the size its entry states.
        const QImage image = QImage::fromData(data.mid(int(offset), int(length)), "PNG");
        QVERIFY2(!image.isNull(), qPrintable(QStringLiteral("image %1 does not decode").arg(i)));
        QCOMPARE(image.size(), QSize(width, height));
        QVERIFY(image.hasAlphaChannel());
        sizes.append(width);
    }
    QCOMPARE(sizes.first(), 16);
    QCOMPARE(sizes.last(), 256);
    QVERIFY(std::is_sorted(sizes.cbegin(), sizes.cend()));
}

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
