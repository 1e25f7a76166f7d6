// A whole update run (MainTaskSpecification: product ini, plan, downloads, replacement, deletion)
// against nginx on 127.0.0.1, for a release of 200 files and about 100 MB of which 30% changed,
// some of them gzip-packed. Measured next to a hand-rolled baseline in the same run: curl
// --parallel --parallel-max 6 for the changed files, then md5sum -c, then cp or gunzip into place.
//
// The update runs in a child process of this program, so that its peak resident memory is its own;
// the baseline's peak is the largest of its processes. Both start from a fresh copy of the old
// installation each round, and both results are checked against the new version.
//
// Usage: bench_wholerun [rounds, default 3] [MiB of each of the 8 large files, 1 to 12, default 6]
// Prints the median wall time of each side, the ratio, and the peak resident memory.
#include "Configuration.h"
#include "FileBytes.h"
#include "NginxMirror.h"
#include "ReleaseFixture.h"
#include "UpdateRun.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

const QString clientType = QStringLiteral("kv3client_linux_amd64");
constexpr int fileCount = 200;
constexpr int largeFiles = 8;
constexpr qint64 totalSize = 100 * 1024 * 1024;
// Eight large files of this size; the other 192 share the rest of the 100 MiB.
qint64 largeSize = 6 * 1024 * 1024;
qint64 smallSize()
{
    return (totalSize - largeFiles * largeSize) / (fileCount - largeFiles);
}

// File i of the release: every fifth is a packed data file, the rest are libraries and resources.
QString fileName(int i)
{
    if (i % 5 == 0)
        return QStringLiteral("data/pack%1/res%2.pak").arg(i % 3).arg(i);
    return QStringLiteral("lib/mod%1/libpart%2.so").arg(i % 7).arg(i);
}

bool changed(int i)
{
    return i % 10 < 3; // 30%
}

// Content that compresses to roughly half, so the packed files are real gzip work.
bool writeContent(const QString& path, qint64 size, quint32 seed)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(64 * 1024, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (qint64 written = 0; written < size;) {
        for (int j = 0; j < block.size(); ++j) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            block[j] = char(j % 2 ? 'a' + (x & 7) : x >> 24);
        }
        const qint64 n = qMin<qint64>(block.size(), size - written);
        if (file.write(block.constData(), n) != n)
            return false;
        written += n;
    }
    return true;
}

bool makeVersion(const QString& root, int version)
{
    for (int i = 0; i < fileCount; ++i) {
        const qint64 size = i < largeFiles * 25 && i % 25 == 0 ? largeSize : smallSize();
        const quint32 seed = quint32(i) * 7 + (version == 2 && changed(i) ? 1000003u : 0u);
        if (!writeContent(root + QLatin1Char('/') + fileName(i), size, seed))
            return false;
    }
    return true;
}

bool runProcess(const QString& program, const QStringList& args, QString* output = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
        return false;
    }
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput());
    return true;
}

bool copyTree(const QString& from, const QString& to)
{
    return runProcess(QStringLiteral("rm"), {QStringLiteral("-rf"), to})
        && runProcess(QStringLiteral("cp"), {QStringLiteral("-a"), from, to});
}

// True when every file of `expected` is in `actual` with the same content.
bool sameContent(const QString& expected, const QString& actual)
{
    QDirIterator it(expected, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString other = actual + QLatin1Char('/') + QDir(expected).relativeFilePath(path);
        QFile a(path);
        QFile b(other);
        QCryptographicHash ha(QCryptographicHash::Md5);
        QCryptographicHash hb(QCryptographicHash::Md5);
        if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || !ha.addData(&a) || !hb.addData(&b)
            || ha.result() != hb.result()) {
            fprintf(stderr, "differs: %s\n", qPrintable(other));
            return false;
        }
    }
    return true;
}

long peakKiB(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

// The child: one update run of the installation at argv[2] to version 2, temporary directory
// argv[3], mirror argv[4]. Prints "<milliseconds> <peak KiB>".
int runChild(const QStringList& args)
{
    Configuration::setAppRootPathOverride(args.at(2));
    UpdateRun run(clientType, 2, args.at(3), args.at(3) + QStringLiteral(".mirrors.ini"), {args.at(4)});
    if (!run.isValid())
        return 2;
    QEventLoop loop;
    QObject::connect(&run, &UpdateRun::runEnded, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    run.start();
    if (!run.ended())
        loop.exec();
    const qint64 ms = timer.elapsed();
    if (run.state() != StateFinished) {
        fprintf(stderr, "%s\n", qPrintable(run.log.join(QLatin1Char('\n'))));
        return 1;
    }
    printf("%lld %ld\n", ms, peakKiB(RUSAGE_SELF));
    return 0;
}

// The child that runs the baseline script argv[2] and prints the peak resident memory (KiB) of the
// largest process it ran, which the shell's waits pass up to this process.
int runBaselineChild(const QStringList& args)
{
    if (!runProcess(QStringLiteral("bash"), {args.at(2)}))
        return 1;
    printf("%ld\n", peakKiB(RUSAGE_CHILDREN));
    return 0;
}

// The hand-rolled baseline: fetch the changed files, check them, put them in place.
bool writeBaselineScript(const QString& script, const QString& productIni, const QString& baseUrl,
                         const QString& install, const QString& temp)
{
    QSettings ini(productIni, QSettings::IniFormat);
    QString curlConfig;
    QString sums;
    QString place;
    for (const QString& section : ini.childGroups()) {
        if (section == QLatin1String("delete"))
            continue;
        ini.beginGroup(section);
        for (const QString& key : ini.allKeys()) {
            const QStringList fields = ini.value(key).toString().split(QStringLiteral("::"));
            const QString installed = fields.size() == 5 && !fields.at(4).isEmpty() ? fields.at(4) : key;
            bool isChanged = false;
            for (int i = 0; i < fileCount; ++i)
                isChanged = isChanged || (changed(i) && fileName(i) == installed);
            if (!isChanged)
                continue;
            curlConfig +=
                QStringLiteral("url = \"%1/2/%2/%3\"\noutput = \"%4/%3\"\n").arg(baseUrl, section, key, temp);
            sums += QStringLiteral("%1  %2/%3\n").arg(fields.at(0), temp, key);
            if (installed != key)
                place += QStringLiteral("gunzip -c '%1/%2' > '%3/%4'\n").arg(temp, key, install, installed);
            else
                place += QStringLiteral("cp '%1/%2' '%3/%4'\n").arg(temp, key, install, installed);
        }
        ini.endGroup();
    }
    const QByteArray text = ("set -e\ncurl --silent --fail --create-dirs --parallel --parallel-max 6 -K '"
                             + temp + ".curl'\nmd5sum --quiet -c '" + temp + ".md5'\n" + place)
                                .toUtf8();
    return FileBytes::write(temp + QStringLiteral(".curl"), curlConfig.toUtf8())
        && FileBytes::write(temp + QStringLiteral(".md5"), sums.toUtf8()) && FileBytes::write(script, text);
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("--child"))
        return runChild(args);
    if (args.size() == 3 && args.at(1) == QLatin1String("--baseline"))
        return runBaselineChild(args);
    const int rounds = args.size() > 1 ? qMax(1, args.at(1).toInt()) : 3;
    if (args.size() > 2)
        largeSize = qBound(qint64(1), args.at(2).toLongLong(), qint64(12)) * 1024 * 1024;

    QTemporaryDir work;
    const QString source1 = work.filePath(QStringLiteral("source1"));
    const QString source2 = work.filePath(QStringLiteral("source2"));
    const QString mirrorRoot = work.filePath(QStringLiteral("mirror"));
    ReleaseFixture releases(QStringLiteral(KV3_PUBLISH_EXE),
                            QStringLiteral(KV3_SOURCE_DIR "/keys/demo/private.der"));
    if (!work.isValid() || !makeVersion(source1, 1) || !makeVersion(source2, 2)
        || !releases.publish(source1, 1, clientType, mirrorRoot)
        || !releases.publish(source2, 2, clientType, mirrorRoot,
                             {QStringLiteral("--pack"), QStringLiteral("*.pak"), QStringLiteral("--previous"),
                              mirrorRoot + QStringLiteral("/1")})) {
        fprintf(stderr, "could not make the releases: %s\n", qPrintable(releases.lastOutput()));
        return 1;
    }
    NginxMirror nginx(mirrorRoot);
    if (!nginx.start()) {
        fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return 1;
    }
    const QString productIni = mirrorRoot + QStringLiteral("/2/") + clientType + QStringLiteral(".ini");

    QList<double> ours;
    QList<double> baseline;
    long oursPeak = 0;
    long baselinePeak = 0;
    for (int round = 0; round < rounds; ++round) {
        // Baseline first: its peak is read from this process's children before the update child runs.
        const QString baseInstall = work.filePath(QStringLiteral("base-install"));
        const QString baseTemp = work.filePath(QStringLiteral("base-temp-%1").arg(round));
        const QString script = work.filePath(QStringLiteral("baseline.sh"));
        if (!copyTree(source1, baseInstall)
            || !writeBaselineScript(script, productIni, nginx.baseUrl(), baseInstall, baseTemp))
            return 1;
        runProcess(QStringLiteral("sync"), {});
        QElapsedTimer timer;
        timer.start();
        QString baselineOutput;
        if (!runProcess(QCoreApplication::applicationFilePath(), {QStringLiteral("--baseline"), script},
                        &baselineOutput))
            return 1;
        baseline << timer.elapsed() / 1000.0;
        baselinePeak = qMax(baselinePeak, baselineOutput.trimmed().toLong());
        if (!sameContent(source2, baseInstall))
            return 1;

        const QString install = work.filePath(QStringLiteral("install"));
        const QString temp = work.filePath(QStringLiteral("temp-%1").arg(round));
        if (!copyTree(source1, install) || !QDir().mkpath(temp))
            return 1;
        runProcess(QStringLiteral("sync"), {});
        QString output;
        if (!runProcess(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--child"), install, temp, nginx.baseUrl()}, &output))
            return 1;
        const QStringList figures = output.split(QLatin1Char(' '));
        ours << figures.value(0).toDouble() / 1000.0;
        oursPeak = qMax(oursPeak, figures.value(1).trimmed().toLong());
        if (!sameContent(source2, install))
            return 1;
        printf("round %d: update %.3f s, baseline %.3f s\n", round + 1, ours.constLast(),
               baseline.constLast());
    }

    printf("release: %d files, %.1f MiB, 30%% changed; nginx on loopback; %d rounds\n", fileCount,
           (largeFiles * largeSize + (fileCount - largeFiles) * smallSize()) / 1048576.0, rounds);
    printf("update run   median %.3f s, peak RSS %.1f MiB\n", median(ours), oursPeak / 1024.0);
    printf("baseline     median %.3f s, peak RSS of its largest process %.1f MiB\n", median(baseline),
           baselinePeak / 1024.0);
    printf("ratio update/baseline: %.2f (target <= 1.3); peak memory target < 64 MiB\n",
           median(ours) / median(baseline));
    return 0;
}
