#include "Mirrors.h"
#include "Pcg32RandomGenerator.h"
#include "ScriptedRandomGenerator.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

namespace {
FTPSiteAccessData entry(const QString& name, qint32 maxUse, qint32 inUse = 0, qint32 retries = 2)
{
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url = QStringLiteral("http://") + name + QStringLiteral("/5");
    mirror.maxUse = maxUse;
    mirror.inUse = inUse;
    mirror.retries = retries;
    return mirror;
}

QStringList names(const Mirrors& pool)
{
    QStringList result;
    for (const FTPSiteAccessData& mirror : pool.mirrors)
        result.append(mirror.name);
    return result;
}

// Marks every text it translates with its context, so a test sees which context was asked.
class ContextMarkingTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* sourceText, const char*, int) const override
    {
        return QLatin1Char('[') + QLatin1String(context) + QLatin1Char(']') + QLatin1String(sourceText);
    }
    bool isEmpty() const override { return false; }
};
} // namespace

class tst_Mirrors : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void constructedEntryDefaults();
    void initDefaultReadsOneMirror_data();
    void initDefaultReadsOneMirror();
    void initDefaultKeepsArrayOrderAndIgnoresUnlistedGroups();
    void initDefaultWithoutUsableFile_data();
    void initDefaultWithoutUsableFile();
    void initDefaultCapsTheMirrorCount_data();
    void initDefaultCapsTheMirrorCount();
    void initAlpha_data();
    void initAlpha();
    void initAlphaWithoutEntry_data();
    void initAlphaWithoutEntry();
    void choiceIsWeightedByFreeSlots_data();
    void choiceIsWeightedByFreeSlots();
    void allSlotsTakenReturnsTwoWithoutDrawing();
    void returnedCopyIsDetachedFromPool();
    void emptyPoolReportsOnce();
    void lastMirrorRemovedThenEmptyPoolMessage();
    void errorAllowance_data();
    void errorAllowance();
    void removedMirrorDropsItsSlots();
    void duplicateNamesActOnFirstEntry();
    void unknownNamesAreIgnored();
    void textsAreTranslatedInContextMirrors();
    void programGeneratorSpreadsChoices();

private:
    static QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text);
};

QString tst_Mirrors::writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void tst_Mirrors::constructedEntryDefaults()
{
    const FTPSiteAccessData mirror;
    QVERIFY(mirror.name.isEmpty());
    QVERIFY(mirror.url.isEmpty());
    QCOMPARE(mirror.retries, 0);
    QCOMPARE(mirror.timeout, 15);
    QCOMPARE(mirror.errors, 0);
    QCOMPARE(mirror.inUse, 0);
    QCOMPARE(mirror.maxUse, 1);

    Mirrors pool(nullptr);
    QVERIFY(pool.mirrors.isEmpty());
    QVERIFY(!pool.noMirrorsReported);
}

void tst_Mirrors::initDefaultReadsOneMirror_data()
{
    // The lines of the mirror's group ("[m]"); the array always lists the one mirror "m".
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("maxUse");
    QTest::addColumn<int>("retries");

    QTest::newRow("url without slash")
        << QByteArray("url=http://host/updates\n") << 5 << "http://host/updates/5" << 3 << 2;
    QTest::newRow("url with slash") << QByteArray("url=http://host/updates/\n") << 5
                                    << "http://host/updates/5" << 3 << 2;
    QTest::newRow("mixed-case http") << QByteArray("url=HtTp://host/u\n") << 12 << "HtTp://host/u/12" << 3
                                     << 2;
    QTest::newRow("https") << QByteArray("url=https://host/u\n") << 7 << "https://host/u/7" << 3 << 2;
    QTest::newRow("ftp") << QByteArray("url=ftp://host/u\n") << 7 << "ftp://host/u/7" << 1 << 2;
    QTest::newRow("no scheme") << QByteArray("url=host/u\n") << 7 << "host/u/7" << 1 << 2;
    QTest::newRow("scheme cut short") << QByteArray("url=http:/host\n") << 7 << "http:/host/7" << 1 << 2;
    QTest::newRow("scheme not at start")
        << QByteArray("url=xhttp://host\n") << 7 << "xhttp://host/7" << 1 << 2;
    QTest::newRow("no url") << QByteArray("retries=3\n") << 9 << "/9" << 1 << 3;
    QTest::newRow("retries 1") << QByteArray("url=http://h\nretries=1\n") << 1 << "http://h/1" << 3 << 1;
    QTest::newRow("retries 7") << QByteArray("url=http://h\nretries=7\n") << 1 << "http://h/1" << 3 << 7;
    QTest::newRow("retries 0") << QByteArray("url=http://h\nretries=0\n") << 1 << "http://h/1" << 3 << 2;
    QTest::newRow("retries negative")
        << QByteArray("url=http://h\nretries=-3\n") << 1 << "http://h/1" << 3 << 2;
    QTest::newRow("retries negative as unsigned")
        << QByteArray("url=http://h\nretries=4294967293\n") << 1 << "http://h/1" << 3 << 2;
    QTest::newRow("retries word") << QByteArray("url=http://h\nretries=often\n") << 1 << "http://h/1" << 3
                                  << 2;
    QTest::newRow("retries empty") << QByteArray("url=http://h\nretries=\n") << 1 << "http://h/1" << 3 << 2;
}

void tst_Mirrors::initDefaultReadsOneMirror()
{
    QFETCH(QByteArray, group);
    QFETCH(int, version);
    QFETCH(QString, url);
    QFETCH(int, maxUse);
    QFETCH(int, retries);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString ini =
        writeFile(dir, QStringLiteral("mirrors.ini"), "[mirrors]\nsize=1\n1\\mirror=m\n\n[m]\n" + group);
    Mirrors pool(nullptr);
    QVERIFY(pool.initDefault(ini, version));
    QCOMPARE(pool.mirrors.size(), 1);
    const FTPSiteAccessData& mirror = pool.mirrors.first();
    QCOMPARE(mirror.name, QStringLiteral("m"));
    QCOMPARE(mirror.url, url);
    QCOMPARE(mirror.maxUse, maxUse);
    QCOMPARE(mirror.retries, retries);
    QCOMPARE(mirror.timeout, 15);
    QCOMPARE(mirror.errors, 0);
    QCOMPARE(mirror.inUse, 0);
}

void tst_Mirrors::initDefaultKeepsArrayOrderAndIgnoresUnlistedGroups()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString ini = writeFile(dir, QStringLiteral("mirrors.ini"),
                                  "[zeta]\nurl=http://z\n"
                                  "[mirrors]\nsize=3\n1\\mirror=zeta\n2\\mirror=alpha\n3\\mirror=orphan\n"
                                  "[alpha]\nurl=ftp://a/\nretries=5\n"
                                  "[unlisted]\nurl=http://u\n");
    Mirrors pool(nullptr);
    QVERIFY(pool.initDefault(ini, 3));
    QCOMPARE(names(pool), QStringList({"zeta", "alpha", "orphan"}));
    QCOMPARE(pool.mirrors.at(0).url, QStringLiteral("http://z/3"));
    QCOMPARE(pool.mirrors.at(1).url, QStringLiteral("ftp://a/3"));
    QCOMPARE(pool.mirrors.at(1).retries, 5);
    QCOMPARE(pool.mirrors.at(2).url, QStringLiteral("/3"));
    int slots = 0;
    int used = 0;
    pool.calcUseStats(slots, used);
    QCOMPARE(slots, 3 + 1 + 1);
    QCOMPARE(used, 0);
}

void tst_Mirrors::initDefaultWithoutUsableFile_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("missing file") << "absent.ini" << QByteArray();
    QTest::newRow("empty file") << "mirrors.ini" << QByteArray("");
    QTest::newRow("size 0") << "mirrors.ini" << QByteArray("[mirrors]\nsize=0\n[m]\nurl=http://m\n");
    QTest::newRow("only groups") << "mirrors.ini" << QByteArray("[m]\nurl=http://m\n");
    // A folder where the file should be: unreadable as a file.
    QTest::newRow("folder") << "folder.ini" << QByteArray();
}

void tst_Mirrors::initDefaultWithoutUsableFile()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QString path = dir.filePath(fileName);
    if (fileName == QLatin1String("folder.ini"))
        QVERIFY(QDir(dir.path()).mkdir(fileName));
    else if (fileName != QLatin1String("absent.ini"))
        path = writeFile(dir, fileName, content);

    Mirrors pool(nullptr);
    QSignalSpy fatal(&pool, &Mirrors::fatalError);
    QVERIFY(pool.initDefault(path, 1));
    QVERIFY(pool.mirrors.isEmpty());
    QCOMPARE(fatal.count(), 0);
}

void tst_Mirrors::initDefaultCapsTheMirrorCount_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("messages");

    const QString capped = QStringLiteral("mirrors.ini lists %1 mirrors; only the first 1000 are used");
    QByteArray listed = "[mirrors]\nsize=1000\n";
    for (int i = 1; i <= 1000; ++i)
        listed += QByteArray::number(i) + "\\mirror=m" + QByteArray::number(i) + '\n';
    QTest::newRow("1000 listed mirrors are all used") << listed << 1000 << QStringList();
    QTest::newRow("a size beyond the cap")
        << QByteArray("[mirrors]\nsize=1001\n") << 1000 << QStringList {capped.arg(1001)};
    // Would otherwise ask for two billion entries at once.
    QTest::newRow("the largest size")
        << QByteArray("[mirrors]\nsize=2147483647\n") << 1000 << QStringList {capped.arg(2147483647)};
    // Found by fuzzing: a later [mirrors] group with a size of 44443.
    QTest::newRow("fuzzed: size 44443")
        << QByteArray("[mirrors]\nsize=1\n1\\44,44444444444[zeta]\nurl=http://z\n[mirrors]\nsize=44443\n"
                      "1444444444444444444444442444444444+44444424444mirro\\miretr=zer=m\n[m]")
        << 1000 << QStringList {capped.arg(44443)};
}

void tst_Mirrors::initDefaultCapsTheMirrorCount()
{
    QFETCH(QByteArray, content);
    QFETCH(int, expected);
    QFETCH(QStringList, messages);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString ini = writeFile(dir, QStringLiteral("mirrors.ini"), content);
    Mirrors pool(nullptr);
    QSignalSpy message(&pool, &Mirrors::message);
    QVERIFY(pool.initDefault(ini, 1));
    QCOMPARE(pool.mirrors.size(), expected);
    QStringList sent;
    for (const QList<QVariant>& arguments : message)
        sent.append(arguments.at(0).toString());
    QCOMPARE(sent, messages);
}

void tst_Mirrors::initAlpha_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("url");

    QTest::newRow("http without slash")
        << QByteArray("[Channel]\nalpha=http://alpha/rel\n") << 5 << "http://alpha/rel/5";
    QTest::newRow("http with slash") << QByteArray("[Channel]\nalpha=HTTP://alpha/rel/\n") << 5
                                     << "HTTP://alpha/rel/5";
    QTest::newRow("other keys around") << QByteArray("[update]\nalpha=http://wrong\n[Channel]\nchannel=2\n"
                                                     "alpha=https://a\nbeta=http://b\n")
                                       << 31 << "https://a/31";
}

void tst_Mirrors::initAlpha()
{
    QFETCH(QByteArray, content);
    QFETCH(int, version);
    QFETCH(QString, url);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString ini = writeFile(dir, QStringLiteral("update.ini"), content);
    Mirrors pool(nullptr);
    QSignalSpy fatal(&pool, &Mirrors::fatalError);
    QVERIFY(pool.initAlpha(ini, version));
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(pool.mirrors.size(), 1);
    const FTPSiteAccessData& mirror = pool.mirrors.first();
    QCOMPARE(mirror.name, QStringLiteral("Alpha Channel"));
    QCOMPARE(mirror.url, url);
    QCOMPARE(mirror.retries, 4);
    // One use slot whatever the scheme.
    QCOMPARE(mirror.maxUse, 1);
    QCOMPARE(mirror.timeout, 15);
}

void tst_Mirrors::initAlphaWithoutEntry_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("no Channel group") << QByteArray("[update]\nalpha=http://a\n");
    QTest::newRow("no alpha key") << QByteArray("[Channel]\nchannel=2\n");
    QTest::newRow("empty alpha") << QByteArray("[Channel]\nalpha=\n");
}

void tst_Mirrors::initAlphaWithoutEntry()
{
    QFETCH(QByteArray, content);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString ini = content.isNull() ? dir.filePath(QStringLiteral("update.ini"))
                                         : writeFile(dir, QStringLiteral("update.ini"), content);
    Mirrors pool(nullptr);
    QSignalSpy fatal(&pool, &Mirrors::fatalError);
    QSignalSpy messages(&pool, &Mirrors::message);
    QVERIFY(!pool.initAlpha(ini, 5));
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.first().first().toString(),
             QStringLiteral("Alpha parameter in channel section in update ini file not found"));
    QCOMPARE(messages.count(), 0);
    QVERIFY(pool.mirrors.isEmpty());
}

void tst_Mirrors::choiceIsWeightedByFreeSlots_data()
{
    QTest::addColumn<QList<FTPSiteAccessData>>("entries");
    QTest::addColumn<quint32>("draw");
    QTest::addColumn<QString>("chosen");

    // A has 2 free slots, B one: 0 and 1 choose A, 2 chooses B; the draw is taken modulo 3.
    const QList<FTPSiteAccessData> ab = {entry("A", 3, 1), entry("B", 1, 0)};
    QTest::newRow("r=0") << ab << 0u << "A";
    QTest::newRow("r=1") << ab << 1u << "A";
    QTest::newRow("r=2") << ab << 2u << "B";
    QTest::newRow("r=3 wraps to 0") << ab << 3u << "A";
    QTest::newRow("largest draw") << ab << 0xffffffffu << "A"; // 4294967295 % 3 == 0
    QTest::newRow("largest draw - 1") << ab << 0xfffffffeu << "B"; // % 3 == 2, negative if taken signed

    // A full mirror is skipped whatever the draw.
    const QList<FTPSiteAccessData> fullFirst = {entry("A", 3, 3), entry("B", 3, 2), entry("C", 1, 0)};
    QTest::newRow("full first, r=0") << fullFirst << 0u << "B";
    QTest::newRow("full first, r=1") << fullFirst << 1u << "C";

    // Two mirrors of three slots, four taken: the draw spans the two free slots only.
    const QList<FTPSiteAccessData> fourOfSix = {entry("A", 3, 2), entry("B", 3, 2)};
    QTest::newRow("4 of 6, r=0") << fourOfSix << 0u << "A";
    QTest::newRow("4 of 6, r=1") << fourOfSix << 1u << "B";
    QTest::newRow("4 of 6, r=2") << fourOfSix << 2u << "A";
}

void tst_Mirrors::choiceIsWeightedByFreeSlots()
{
    QFETCH(QList<FTPSiteAccessData>, entries);
    QFETCH(quint32, draw);
    QFETCH(QString, chosen);

    ScriptedRandomGenerator random({draw});
    Mirrors pool(nullptr, &random);
    pool.mirrors = entries;
    FTPSiteAccessData mirror;
    QCOMPARE(pool.getRandomMirror(mirror), 0);
    QCOMPARE(random.draws, 1);
    QCOMPARE(mirror.name, chosen);
    const int index = pool.getMirrorIndex(chosen);
    QCOMPARE(pool.mirrors.at(index).inUse, entries.at(index).inUse + 1);
    QCOMPARE(mirror.inUse, entries.at(index).inUse + 1);
    for (int i = 0; i < entries.size(); ++i) {
        if (i != index)
            QCOMPARE(pool.mirrors.at(i).inUse, entries.at(i).inUse);
    }
}

void tst_Mirrors::allSlotsTakenReturnsTwoWithoutDrawing()
{
    ScriptedRandomGenerator random({0u});
    Mirrors pool(nullptr, &random);
    pool.mirrors = {entry("A", 3), entry("B", 3)};
    QSignalSpy messages(&pool, &Mirrors::message);

    FTPSiteAccessData mirror;
    for (int i = 0; i < 6; ++i)
        QCOMPARE(pool.getRandomMirror(mirror), 0);
    QCOMPARE(random.draws, 6);

    FTPSiteAccessData untouched = entry("untouched", 1);
    QCOMPARE(pool.getRandomMirror(untouched), 2);
    QCOMPARE(random.draws, 6);
    QCOMPARE(untouched.name, QStringLiteral("untouched"));
    QCOMPARE(messages.count(), 0);

    pool.releaseMirror(QStringLiteral("B"));
    QCOMPARE(pool.getRandomMirror(untouched), 0);
    QCOMPARE(untouched.name, QStringLiteral("B"));
}

void tst_Mirrors::returnedCopyIsDetachedFromPool()
{
    ScriptedRandomGenerator random({0u});
    Mirrors pool(nullptr, &random);
    pool.mirrors = {entry("A", 3)};
    FTPSiteAccessData mirror;
    QCOMPARE(pool.getRandomMirror(mirror), 0);
    QCOMPARE(mirror.inUse, 1);
    QCOMPARE(mirror.url, QStringLiteral("http://A/5"));

    pool.addMirrorError(QStringLiteral("A"));
    FTPSiteAccessData second;
    QCOMPARE(pool.getRandomMirror(second), 0);
    QCOMPARE(second.inUse, 2);
    QCOMPARE(second.errors, 1);
    QCOMPARE(mirror.inUse, 1);
    QCOMPARE(mirror.errors, 0);
}

void tst_Mirrors::emptyPoolReportsOnce()
{
    ScriptedRandomGenerator random;
    Mirrors pool(nullptr, &random);
    QSignalSpy messages(&pool, &Mirrors::message);
    FTPSiteAccessData mirror = entry("kept", 2);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(pool.getRandomMirror(mirror), 1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(),
             QStringLiteral("There are no (more) known working mirrors available"));
    QVERIFY(pool.noMirrorsReported);
    QCOMPARE(mirror.name, QStringLiteral("kept"));
    QCOMPARE(random.draws, 0);
}

void tst_Mirrors::lastMirrorRemovedThenEmptyPoolMessage()
{
    ScriptedRandomGenerator random;
    Mirrors pool(nullptr, &random);
    pool.mirrors = {entry("only", 1, 0, 1)};
    QSignalSpy messages(&pool, &Mirrors::message);

    FTPSiteAccessData mirror;
    QCOMPARE(pool.getRandomMirror(mirror), 0);
    pool.addMirrorError(mirror.name);
    QCOMPARE(messages.count(), 0);
    pool.addMirrorError(mirror.name);
    QVERIFY(pool.mirrors.isEmpty());
    // The transfer gives its slot back after the removal; the name is gone, nothing happens.
    pool.releaseMirror(mirror.name);

    QCOMPARE(pool.getRandomMirror(mirror), 1);
    QCOMPARE(pool.getRandomMirror(mirror), 1);
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).first().toString(),
             QStringLiteral("Mirror only failed too many times, removing"));
    QCOMPARE(messages.at(1).first().toString(),
             QStringLiteral("There are no (more) known working mirrors available"));
}

void tst_Mirrors::errorAllowance_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<int>("removedAtError");

    QTest::newRow("retries 1") << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=http://m\nretries=1\n")
                               << 2;
    QTest::newRow("default") << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=http://m\n") << 3;
    QTest::newRow("retries 0") << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=http://m\nretries=0\n")
                               << 3;
    QTest::newRow("retries 4") << QByteArray("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=http://m\nretries=4\n")
                               << 5;
    QTest::newRow("alpha") << QByteArray("[Channel]\nalpha=http://a\n") << 5;
}

void tst_Mirrors::errorAllowance()
{
    QFETCH(QByteArray, source);
    QFETCH(int, removedAtError);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    Mirrors pool(nullptr);
    const QString ini = writeFile(dir, QStringLiteral("settings.ini"), source);
    if (source.startsWith("[Channel]"))
        QVERIFY(pool.initAlpha(ini, 2));
    else
        QVERIFY(pool.initDefault(ini, 2));
    QCOMPARE(pool.mirrors.size(), 1);
    const QString name = pool.mirrors.first().name;

    QSignalSpy messages(&pool, &Mirrors::message);
    for (int error = 1; error < removedAtError; ++error) {
        pool.addMirrorError(name);
        QVERIFY2(pool.getMirrorIndex(name) == 0,
                 qPrintable(QStringLiteral("removed at error %1").arg(error)));
        QCOMPARE(pool.mirrors.first().errors, error);
    }
    QCOMPARE(messages.count(), 0);
    pool.addMirrorError(name);
    QCOMPARE(pool.getMirrorIndex(name), -1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(),
             QStringLiteral("Mirror %1 failed too many times, removing").arg(name));
}

void tst_Mirrors::removedMirrorDropsItsSlots()
{
    ScriptedRandomGenerator random({0u});
    Mirrors pool(nullptr, &random);
    pool.mirrors = {entry("A", 3), entry("B", 1), entry("C", 3)};
    FTPSiteAccessData mirror;
    for (int i = 0; i < 3; ++i)
        QCOMPARE(pool.getRandomMirror(mirror), 0);
    QCOMPARE(pool.mirrors.at(0).inUse, 3);

    QSignalSpy messages(&pool, &Mirrors::message);
    pool.removeMirror(QStringLiteral("A"));
    QCOMPARE(messages.count(), 0);
    QCOMPARE(names(pool), QStringList({"B", "C"}));
    int slots = 0;
    int used = 0;
    pool.calcUseStats(slots, used);
    QCOMPARE(slots, 4);
    QCOMPARE(used, 0);

    pool.releaseMirror(QStringLiteral("A"));
    pool.calcUseStats(slots, used);
    QCOMPARE(used, 0);
    QCOMPARE(pool.mirrors.at(0).inUse, 0);
    QCOMPARE(pool.mirrors.at(1).inUse, 0);
}

void tst_Mirrors::duplicateNamesActOnFirstEntry()
{
    // Draw 3 skips the first entry's three free slots and lands on the second "twin".
    ScriptedRandomGenerator random({3u});
    Mirrors pool(nullptr, &random);
    FTPSiteAccessData first = entry("twin", 3, 0, 1);
    FTPSiteAccessData second = entry("twin", 3, 0, 1);
    second.url = QStringLiteral("http://second/5");
    pool.mirrors = {first, second};

    FTPSiteAccessData mirror;
    QCOMPARE(pool.getRandomMirror(mirror), 0);
    QCOMPARE(mirror.url, QStringLiteral("http://second/5"));
    QCOMPARE(pool.mirrors.at(1).inUse, 1);

    // Releasing by name acts on the first entry, even though the slot was taken on the second.
    pool.releaseMirror(QStringLiteral("twin"));
    QCOMPARE(pool.mirrors.at(0).inUse, -1);
    QCOMPARE(pool.mirrors.at(1).inUse, 1);

    pool.addMirrorError(QStringLiteral("twin"));
    QCOMPARE(pool.mirrors.at(0).errors, 1);
    QCOMPARE(pool.mirrors.at(1).errors, 0);

    pool.removeMirror(QStringLiteral("twin"));
    QCOMPARE(pool.mirrors.size(), 1);
    QCOMPARE(pool.mirrors.first().url, QStringLiteral("http://second/5"));
}

void tst_Mirrors::unknownNamesAreIgnored()
{
    Mirrors pool(nullptr);
    pool.mirrors = {entry("A", 3, 1, 0), entry("B", 1)};
    const QVector<FTPSiteAccessData> before = pool.mirrors;
    QSignalSpy messages(&pool, &Mirrors::message);

    for (const QString& name : {QString(), QStringLiteral("a"), QStringLiteral("C")}) {
        pool.releaseMirror(name);
        pool.addMirrorError(name);
        pool.removeMirror(name);
        QCOMPARE(pool.getMirrorIndex(name), -1);
    }
    QCOMPARE(messages.count(), 0);
    QCOMPARE(pool.mirrors.size(), before.size());
    for (int i = 0; i < before.size(); ++i) {
        QCOMPARE(pool.mirrors.at(i).name, before.at(i).name);
        QCOMPARE(pool.mirrors.at(i).inUse, before.at(i).inUse);
        QCOMPARE(pool.mirrors.at(i).errors, before.at(i).errors);
    }
}

void tst_Mirrors::textsAreTranslatedInContextMirrors()
{
    ContextMarkingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    Mirrors pool(nullptr);
    pool.mirrors = {entry("A", 1, 0, 0)};
    QSignalSpy messages(&pool, &Mirrors::message);
    QSignalSpy fatal(&pool, &Mirrors::fatalError);

    pool.addMirrorError(QStringLiteral("A"));
    FTPSiteAccessData mirror;
    QCOMPARE(pool.getRandomMirror(mirror), 1);
    QTemporaryDir dir;
    QVERIFY(!pool.initAlpha(dir.filePath(QStringLiteral("update.ini")), 1));
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).first().toString(),
             QStringLiteral("[Mirrors]Mirror A failed too many times, removing"));
    QCOMPARE(messages.at(1).first().toString(),
             QStringLiteral("[Mirrors]There are no (more) known working mirrors available"));
    // The fatal error is not translated.
    QCOMPARE(fatal.first().first().toString(),
             QStringLiteral("Alpha parameter in channel section in update ini file not found"));
}

void tst_Mirrors::programGeneratorSpreadsChoices()
{
    // Without a generator of its own the pool draws from the program's. Take and give back a slot
    // many times: A (three slots) must come up about three times as often as B (one slot).
    Pcg32RandomGenerator seeded;
    seeded.seed(1765451234u);
    RandomGenerator::setProgram(&seeded);
    Mirrors pool(nullptr);
    pool.mirrors = {entry("A", 3), entry("B", 1)};
    int chosenA = 0;
    const int rounds = 4000;
    for (int i = 0; i < rounds; ++i) {
        FTPSiteAccessData mirror;
        if (pool.getRandomMirror(mirror) != 0)
            break;
        if (mirror.name == QLatin1String("A"))
            ++chosenA;
        pool.releaseMirror(mirror.name);
    }
    RandomGenerator::setProgram(nullptr);
    QVERIFY2(
        chosenA > 2800 && chosenA < 3200,
        qPrintable(QStringLiteral("A chosen %1 times of %2, expected about 3000").arg(chosenA).arg(rounds)));
}

QTEST_GUILESS_MAIN(tst_Mirrors)
#include "tst_mirrors.moc"
