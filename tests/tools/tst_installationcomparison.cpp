// InstallationComparison: how rehearse tells an installation from the tree it should be.

#include "InstallationComparison.h"
#include "ReleaseFixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {
using Change = std::function<bool(const QString& root)>;

const QFileDevice::Permissions plain =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
const QFileDevice::Permissions all = plain | QFileDevice::WriteGroup | QFileDevice::WriteOther
    | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

const ReleaseFixture::Tree reference = {{QStringLiteral("bin/kv3client_linux_amd64"), "client\n"},
                                        {QStringLiteral("lib/libcore.so"), "core\n"},
                                        {QStringLiteral("data/a.txt"), "a\n"},
                                        {QStringLiteral("data/dir/b.txt"), "b\n"}};

bool setModes(const QString& root)
{
    return QFile::setPermissions(root + QStringLiteral("/bin/kv3client_linux_amd64"), all)
        && QFile::setPermissions(root + QStringLiteral("/lib/libcore.so"), all)
        && QFile::setPermissions(root + QStringLiteral("/data/a.txt"), plain)
        && QFile::setPermissions(root + QStringLiteral("/data/dir/b.txt"), plain);
}

bool write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
} // namespace

class tst_InstallationComparison : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void differences_data();
    void differences();
};

void tst_InstallationComparison::differences_data()
{
    QTest::addColumn<Change>("change");
    // The first difference reported; empty when the trees must agree.
    QTest::addColumn<QString>("first");

    QTest::newRow("same") << Change([](const QString&) { return true; }) << QString();
    QTest::newRow("ignored files and an empty folder") << Change([](const QString& root) {
        return write(root + QStringLiteral("/update"), "updater")
            && write(root + QStringLiteral("/mirrors.ini"), "x")
            && write(root + QStringLiteral("/_old_update"), "old")
            && QDir().mkpath(root + QStringLiteral("/gone/empty"));
    }) << QString();
    QTest::newRow("mode of a program file") << Change([](const QString& root) {
        return QFile::setPermissions(root + QStringLiteral("/lib/libcore.so"), plain);
    }) << QStringLiteral("lib/libcore.so: mode 0644, 3 has 0777");
    QTest::newRow("content") << Change([](const QString& root) {
        return write(root + QStringLiteral("/data/a.txt"), "A\n") && setModes(root);
    }) << QStringLiteral("data/a.txt: content differs from 3");
    QTest::newRow("missing") << Change([](const QString& root) {
        return QFile::remove(root + QStringLiteral("/data/a.txt"));
    }) << QStringLiteral("data/a.txt: missing (3 has this file)");
    QTest::newRow("left over")
        << Change([](const QString& root) { return write(root + QStringLiteral("/data/old.txt"), "old\n"); })
        << QStringLiteral(
               "data/old.txt: left over; 3 has no such file (its [delete] section does not list it)");
    QTest::newRow("old copy of an ordinary file")
        << Change([](const QString& root) { return write(root + QStringLiteral("/data/_old_a.txt"), "a\n"); })
        << QStringLiteral("data/_old_a.txt: old copy left over");
    QTest::newRow("a file where a folder belongs, before anything else")
        << Change([](const QString& root) {
               return QDir(root + QStringLiteral("/data/dir")).removeRecursively()
                   && write(root + QStringLiteral("/data/dir"), "file\n")
                   && QFile::remove(root + QStringLiteral("/data/a.txt"));
           })
        << QStringLiteral(
               "data/dir: a file here, a folder in 3; the updater cannot turn a file into a folder");
    QTest::newRow("a link in place of a file") << Change([](const QString& root) {
        return QFile::remove(root + QStringLiteral("/data/a.txt"))
            && QFile::link(root + QStringLiteral("/data/dir/b.txt"), root + QStringLiteral("/data/a.txt"));
    }) << QStringLiteral("data/a.txt: not a plain file here (a link or a special file)");
}

void tst_InstallationComparison::differences()
{
    QFETCH(Change, change);
    QFETCH(QString, first);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString expected = dir.filePath(QStringLiteral("expected"));
    const QString actual = dir.filePath(QStringLiteral("actual"));
    QVERIFY(ReleaseFixture::writeTree(expected, reference) && setModes(expected));
    QVERIFY(ReleaseFixture::writeTree(actual, reference) && setModes(actual));
    QVERIFY2(change(actual), "the change to the installation failed");

    const QStringList found = InstallationComparison::differences(
        expected, actual, QStringLiteral("3"),
        {QStringLiteral("update"), QStringLiteral("mirrors.ini"), QStringLiteral("_old_update")});
    if (first.isEmpty())
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
    else
        QVERIFY2(!found.isEmpty() && found.first() == first, qPrintable(found.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(tst_InstallationComparison)
#include "tst_installationcomparison.moc"
