// The plan's records: installed names and old-copy names, and the paths a plan may name.

#include "FileSpecifications.h"

#include <QTest>

class tst_PlanRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void destFileName_data();
    void destFileName();
    void containedRelativePath_data();
    void containedRelativePath();
    void clearEmptiesAllLists();
};

void tst_PlanRecords::destFileName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unzipFileName");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nested, old copy") << "a/b/c.so"
                                      << ""
                                      << "_old_"
                                      << "a/b/_old_c.so";
    QTest::newRow("top level, old copy") << "c.so"
                                         << ""
                                         << "_old_"
                                         << "_old_c.so";
    QTest::newRow("no prefix") << "a/b/c.so"
                               << ""
                               << ""
                               << "a/b/c.so";
    QTest::newRow("unpacked name wins") << "pack/x.gz"
                                        << "bin/x"
                                        << ""
                                        << "bin/x";
    QTest::newRow("unpacked name, old copy") << "pack/x.gz"
                                             << "bin/x"
                                             << "_old_"
                                             << "bin/_old_x";
    QTest::newRow("unpacked at the top") << "x.gz"
                                         << "update"
                                         << "_old_"
                                         << "_old_update";
}

void tst_PlanRecords::destFileName()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unzipFileName);
    QFETCH(QString, prefix);
    QFETCH(QString, expected);

    FileReplaceSpecification spec;
    spec.fileName = fileName;
    spec.unzipFileName = unzipFileName;
    QCOMPARE(spec.hasUnzip(), !unzipFileName.isEmpty());
    QCOMPARE(spec.pureDestFilePath(), unzipFileName.isEmpty() ? fileName : unzipFileName);
    QCOMPARE(spec.destFileName(prefix), expected);
    if (prefix == QLatin1String("_old_"))
        QCOMPARE(spec.oldDestFileName(), expected);
}

void tst_PlanRecords::containedRelativePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("contained");

    QTest::newRow("plain") << "a" << true;
    QTest::newRow("nested") << "lib/plugins/x.so" << true;
    QTest::newRow("dots inside a name") << "a..b/..c" << true;
    QTest::newRow("current folder component") << "./lib/x" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("parent") << ".." << false;
    QTest::newRow("climbing out") << "../x" << false;
    QTest::newRow("climbing out from below") << "lib/../../x" << false;
    QTest::newRow("climbing back in") << "lib/../x" << false;
    QTest::newRow("trailing parent") << "lib/.." << false;
    QTest::newRow("the directory itself") << "." << false;
    QTest::newRow("the directory itself, slash") << "./" << false;
}

void tst_PlanRecords::containedRelativePath()
{
    QFETCH(QString, path);
    QFETCH(bool, contained);
    QCOMPARE(FileSpecifications::isContainedRelativePath(path), contained);
}

void tst_PlanRecords::clearEmptiesAllLists()
{
    FileSpecifications plan;
    plan.downloads.append({QStringLiteral("s"), QStringLiteral("f"), QStringLiteral("m"), 1});
    plan.replaces.append(FileReplaceSpecification());
    plan.deletes.append(QStringLiteral("d"));
    plan.clear();
    QVERIFY(plan.downloads.isEmpty() && plan.replaces.isEmpty() && plan.deletes.isEmpty());
}

QTEST_GUILESS_MAIN(tst_PlanRecords)
#include "tst_planrecords.moc"
