// `kv3-publish audit` against real nginx mirrors serving a release published with
// `kv3-publish release`: a complete mirror, mirrors with one damaged file, a redirecting mirror,
// and the signature key it checks with.

#include "FileBytes.h"
#include "NginxMirror.h"
#include "ReleaseFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QString publishExe = QStringLiteral(KV3_PUBLISH_EXE);
const QString demoPrivate = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der");
const QString demoPublic = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/public.der");
const QString clientType = QStringLiteral("Kelvaro3");
constexpr int version = 3012;

QByteArray bytes(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + seed * 7 + i / 97) % 251);
    return data;
}

struct Audit
{
    int exitCode = -1;
    QString out;
    QString err;
};

Audit runAudit(const QString& mirrorsIni, const QStringList& extra = {})
{
    QProcess process;
    process.start(publishExe,
                  QStringList {QStringLiteral("audit"), QStringLiteral("--mirrors"), mirrorsIni,
                               QStringLiteral("--type"), clientType}
                      + extra + QStringList {QString::number(version)});
    Audit audit;
    if (!process.waitForFinished(120000))
        return audit;
    audit.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    audit.out = QString::fromUtf8(process.readAllStandardOutput());
    audit.err = QString::fromUtf8(process.readAllStandardError());
    return audit;
}

// The table line of path in the audit's output; empty when there is none.
QString rowOf(const QString& out, const QString& path)
{
    const QStringList lines = out.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString cell = QStringLiteral("  ") + path + QStringLiteral("  ");
        if (QString(line + QStringLiteral("  ")).contains(cell))
            return line;
    }
    return QString();
}

// The table rows of a mirror's part of the output whose status is not ok.
QStringList problemRows(const QString& part)
{
    QStringList rows;
    const QStringList lines = part.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(QStringLiteral("  ")) && !line.startsWith(QStringLiteral("  ok "))
            && !line.startsWith(QStringLiteral("  status ")) && !line.startsWith(QStringLiteral("  =>")))
            rows << line;
    }
    return rows;
}

bool copyTree(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    return QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), from + QStringLiteral("/."), to})
        == 0;
}
} // namespace

class tst_PublishAudit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void completeMirrorsPass();
    void damagedMirrorIsIncomplete_data();
    void damagedMirrorIsIncomplete();
    void redirectingMirror();
    void unreachableMirror();
    void signatureKey_data();
    void signatureKey();
    void commandLine_data();
    void commandLine();

private:
    // A copy of the published mirror tree for one test, served by its own nginx.
    std::unique_ptr<NginxMirror> serveCopy(const QString& name, QString* root);
    QString writeMirrorsIni(const QString& name, const QList<QPair<QString, QString>>& mirrors);

    QTemporaryDir m_dir;
    QString m_published;
    ReleaseFixture m_fixture {publishExe, demoPrivate};
};

void tst_PublishAudit::initTestCase()
{
    QVERIFY2(m_dir.isValid(), qPrintable(m_dir.errorString()));
    if (NginxMirror::executable().isEmpty())
        QSKIP("nginx is not installed");
    const QString source = m_dir.filePath(QStringLiteral("client"));
    QVERIFY(ReleaseFixture::writeTree(source,
                                      {{QStringLiteral("kv3client"), bytes(70000, 1)},
                                       {QStringLiteral("lib/libcore.so"), bytes(300000, 2)},
                                       {QStringLiteral("data/a b#c.txt"), "odd name"},
                                       {QStringLiteral("data/empty"), QByteArray()}}));
    m_published = m_dir.filePath(QStringLiteral("published"));
    QVERIFY2(m_fixture.publish(source, version, clientType, m_published,
                               {QStringLiteral("--pack"), QStringLiteral("*.so")}),
             qPrintable(m_fixture.lastOutput()));
}

std::unique_ptr<NginxMirror> tst_PublishAudit::serveCopy(const QString& name, QString* root)
{
    *root = m_dir.filePath(name);
    if (!copyTree(m_published, *root))
        return nullptr;
    return std::make_unique<NginxMirror>(*root);
}

QString tst_PublishAudit::writeMirrorsIni(const QString& name, const QList<QPair<QString, QString>>& mirrors)
{
    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(mirrors.size()) + "\n";
    for (int i = 0; i < mirrors.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=" + mirrors.at(i).first.toUtf8() + "\n";
    for (const auto& mirror : mirrors)
        ini += "[" + mirror.first.toUtf8() + "]\nurl=" + mirror.second.toUtf8() + "\n";
    const QString path = m_dir.filePath(name + QStringLiteral(".ini"));
    return FileBytes::write(path, ini) ? path : QString();
}

void tst_PublishAudit::completeMirrorsPass()
{
    QString rootA, rootB;
    auto a = serveCopy(QStringLiteral("complete-a"), &rootA);
    auto b = serveCopy(QStringLiteral("complete-b"), &rootB);
    QVERIFY(a && b);
    QVERIFY2(a->start(), qPrintable(a->errorString()));
    QVERIFY2(b->start(), qPrintable(b->errorString()));
    const QString ini = writeMirrorsIni(QStringLiteral("complete"),
                                        {{QStringLiteral("first"), a->baseUrl()},
                                         {QStringLiteral("second"), b->baseUrl() + QLatin1Char('/')}});
    const Audit audit = runAudit(ini);
    QVERIFY2(audit.exitCode == 0, qPrintable(audit.out + audit.err));
    QVERIFY2(audit.out.contains(QStringLiteral("2 mirrors checked: 2 complete, 0 incomplete")),
             qPrintable(audit.out));
    QCOMPARE(audit.out.count(QStringLiteral("=> complete: 6 ok")), 2);
    QVERIFY2(rowOf(audit.out, QStringLiteral("files/lib/libcore.so.gz"))
                 .contains(QStringLiteral("unpacks to lib/libcore.so")),
             qPrintable(audit.out));
    QVERIFY2(rowOf(audit.out, QStringLiteral("Kelvaro3.ini.sig"))
                 .contains(QStringLiteral("signature valid (compiled-in key)")),
             qPrintable(audit.out));
    // Every file was fetched from each mirror exactly once, the way the updater asks for it.
    for (NginxMirror* mirror : {a.get(), b.get()}) {
        const QStringList log = mirror->accessLog();
        QCOMPARE(log.size(), 6);
        QVERIFY2(log.filter(QStringLiteral("GET /3012/files/data/a%20b%23c.txt HTTP/1.1\" 200")).size() == 1,
                 qPrintable(log.join(QLatin1Char('\n'))));
    }
    // Nothing of the downloads is left next to the tool or in the working folder.
    QVERIFY(!QFile::exists(QDir::currentPath() + QStringLiteral("/Kelvaro3.ini")));
}

void tst_PublishAudit::damagedMirrorIsIncomplete_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content"); // empty: the file is deleted
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("detail");
    QByteArray changed = bytes(70000, 1);
    changed[1234] = char(changed.at(1234) ^ 1);
    QTest::newRow("one byte changed") << "files/kv3client" << changed << "wrong MD5"
                                      << "listed";
    QTest::newRow("cut short") << "files/kv3client" << bytes(1000, 1) << "wrong size"
                               << "1000 bytes, listed 70000";
    QTest::newRow("longer") << "files/kv3client" << (bytes(70000, 1) + "x") << "wrong size"
                            << "70001 bytes, listed 70000";
    QTest::newRow("missing") << "files/data/a b#c.txt" << QByteArray() << "missing"
                             << "HTTP 404";
    QTest::newRow("packed file not gzip")
        << "files/lib/libcore.so.gz" << QByteArray("not gzip at all") << "wrong size"
        << "listed";
    QTest::newRow("signature missing") << "Kelvaro3.ini.sig" << QByteArray() << "missing"
                                       << "HTTP 404";
    QTest::newRow("signature of other bytes") << "Kelvaro3.ini.sig" << bytes(128, 9) << "error"
                                              << "does not verify with the compiled-in key";
    QTest::newRow("product ini missing") << "Kelvaro3.ini" << QByteArray() << "missing"
                                         << "HTTP 404";
}

void tst_PublishAudit::damagedMirrorIsIncomplete()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, status);
    QFETCH(QString, detail);
    QString goodRoot, badRoot;
    auto good = serveCopy(QStringLiteral("good-") + QTest::currentDataTag(), &goodRoot);
    auto bad = serveCopy(QStringLiteral("bad-") + QTest::currentDataTag(), &badRoot);
    QVERIFY(good && bad);
    const QString damaged = badRoot + QStringLiteral("/3012/") + file;
    QVERIFY(QFile::exists(damaged));
    if (content.isEmpty())
        QVERIFY(QFile::remove(damaged));
    else
        QVERIFY(FileBytes::write(damaged, content));
    QVERIFY2(good->start(), qPrintable(good->errorString()));
    QVERIFY2(bad->start(), qPrintable(bad->errorString()));
    const QString ini =
        writeMirrorsIni(QStringLiteral("damaged"),
                        {{QStringLiteral("good"), good->baseUrl()}, {QStringLiteral("bad"), bad->baseUrl()}});
    const Audit audit = runAudit(ini);
    QVERIFY2(audit.exitCode == 1, qPrintable(audit.out + audit.err));
    QVERIFY2(audit.out.contains(QStringLiteral("2 mirrors checked: 1 complete, 1 incomplete")),
             qPrintable(audit.out));
    const qsizetype badTable = audit.out.indexOf(QStringLiteral("mirror bad: "));
    QVERIFY2(badTable > 0, qPrintable(audit.out));
    QVERIFY2(audit.out.left(badTable).contains(QStringLiteral("=> complete")), qPrintable(audit.out));
    const QString badPart = audit.out.mid(badTable);
    QVERIFY2(badPart.contains(QStringLiteral("=> INCOMPLETE")), qPrintable(audit.out));
    const QString row = rowOf(badPart, file);
    QVERIFY2(row.trimmed().startsWith(status), qPrintable(audit.out));
    QVERIFY2(row.contains(detail), qPrintable(audit.out));
    QVERIFY2(problemRows(badPart) == QStringList {row}, qPrintable(audit.out));
}

void tst_PublishAudit::redirectingMirror()
{
    QString root;
    auto mirror = serveCopy(QStringLiteral("redirecting"), &root);
    QVERIFY(mirror);
    mirror->addServerDirectives(
        QStringLiteral("location /3012/files/ { return 302 https://elsewhere.example$uri; }"));
    QVERIFY2(mirror->start(), qPrintable(mirror->errorString()));
    const QString ini =
        writeMirrorsIni(QStringLiteral("redirecting"), {{QStringLiteral("moved"), mirror->baseUrl()}});
    const Audit audit = runAudit(ini, {QStringLiteral("--problems-only")});
    QVERIFY2(audit.exitCode == 1, qPrintable(audit.out + audit.err));
    QVERIFY2(audit.out.contains(QStringLiteral("=> INCOMPLETE: 2 ok, 4 redirect")), qPrintable(audit.out));
    const QString row = rowOf(audit.out, QStringLiteral("files/kv3client"));
    QVERIFY2(row.contains(QStringLiteral("HTTP 302 to https://elsewhere.example/3012/files/kv3client")),
             qPrintable(audit.out));
    // --problems-only leaves the ok rows out.
    QVERIFY2(rowOf(audit.out, QStringLiteral("Kelvaro3.ini")).isEmpty(), qPrintable(audit.out));
    // The redirect is reported, never followed.
    QVERIFY(!mirror->accessLog().join(QLatin1Char('\n')).contains(QStringLiteral("elsewhere")));
}

void tst_PublishAudit::unreachableMirror()
{
    // A port that was free a moment ago: nothing answers there.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
    probe.close();
    const QString ini = writeMirrorsIni(QStringLiteral("unreachable"), {{QStringLiteral("down"), url}});
    const Audit audit = runAudit(ini);
    QVERIFY2(audit.exitCode == 1, qPrintable(audit.out + audit.err));
    const QString row = rowOf(audit.out, QStringLiteral("Kelvaro3.ini"));
    QVERIFY2(row.trimmed().startsWith(QStringLiteral("error")), qPrintable(audit.out));
    QVERIFY2(row.contains(QStringLiteral("refused")), qPrintable(audit.out));
}

void tst_PublishAudit::signatureKey_data()
{
    QTest::addColumn<bool>("otherKey");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("sigRow");
    QTest::newRow("the demo key given") << false << 0 << "signature valid (" + demoPublic + ")";
    QTest::newRow("another key") << true << 1 << "does not verify with";
}

void tst_PublishAudit::signatureKey()
{
    QFETCH(bool, otherKey);
    QFETCH(int, exitCode);
    QFETCH(QString, sigRow);
    QString key = demoPublic;
    if (otherKey) {
        const QString keys = m_dir.filePath(QStringLiteral("otherkey"));
        if (!QFile::exists(keys + QStringLiteral("/public.der")))
            QCOMPARE(QProcess::execute(publishExe, {QStringLiteral("keygen"), QStringLiteral("--out"), keys}),
                     0);
        key = keys + QStringLiteral("/public.der");
    }
    QString root;
    auto mirror = serveCopy(QStringLiteral("keyed-") + QTest::currentDataTag(), &root);
    QVERIFY(mirror);
    QVERIFY2(mirror->start(), qPrintable(mirror->errorString()));
    const QString ini = writeMirrorsIni(QStringLiteral("keyed"), {{QStringLiteral("m"), mirror->baseUrl()}});
    const Audit audit = runAudit(ini, {QStringLiteral("--pubkey"), key});
    QVERIFY2(audit.exitCode == exitCode, qPrintable(audit.out + audit.err));
    QVERIFY2(rowOf(audit.out, QStringLiteral("Kelvaro3.ini.sig")).contains(sigRow), qPrintable(audit.out));
}

void tst_PublishAudit::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString ini = QStringLiteral(KV3_SOURCE_DIR "/keys/demo/README.md");
    QTest::newRow("no --type") << QStringList {QStringLiteral("audit"), QStringLiteral("--mirrors"), ini,
                                               QStringLiteral("5")}
                               << 2 << "--type is required";
    QTest::newRow("no version") << QStringList {QStringLiteral("audit"), QStringLiteral("--mirrors"), ini,
                                                QStringLiteral("--type"), clientType}
                                << 2 << "exactly one VERSION";
    QTest::newRow("version not a number") << QStringList {
        QStringLiteral("audit"), QStringLiteral("--mirrors"), ini, QStringLiteral("--type"), clientType,
        QStringLiteral("3.1")} << 2 << "positive decimal number";
    QTest::newRow("no mirrors.ini") << QStringList {QStringLiteral("audit"),
                                                    QStringLiteral("--mirrors"),
                                                    QStringLiteral("/nonexistent/mirrors.ini"),
                                                    QStringLiteral("--type"),
                                                    clientType,
                                                    QStringLiteral("5")}
                                    << 1 << "is not a file";
    QTest::newRow("no mirror listed") << QStringList {
        QStringLiteral("audit"), QStringLiteral("--mirrors"), ini, QStringLiteral("--type"), clientType,
        QStringLiteral("5")} << 1 << "lists no mirror";
}

void tst_PublishAudit::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QProcess process;
    process.start(publishExe, arguments);
    QVERIFY(process.waitForFinished(30000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(err.contains(message), qPrintable(err));
}

QTEST_GUILESS_MAIN(tst_PublishAudit)
#include "tst_publishaudit.moc"
