// Throughput of DownloadTaskSpecification against nginx on 127.0.0.1: one transfer, and six at
// once from a pool of two mirror entries on the same server (3 + 3 use slots), each measured next
// to curl fetching the same files in the same run (one file; six with --parallel-max 6).
//
// Usage: bench_download_throughput [size-in-MiB per file, default 64] [rounds, default 3]
// Prints the median of the rounds and the ratio to curl.
#include "DownloadTaskSpecification.h"
#include "Mirrors.h"
#include "NginxMirror.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {
constexpr int fileCount = 6;

bool makeFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + i / 977) % 256);
    for (qint64 written = 0; written < size; written += block.size()) {
        if (file.write(block.constData(), qMin<qint64>(block.size(), size - written)) < 0)
            return false;
    }
    return true;
}

FTPSiteAccessData entry(const QString& name, const QString& url)
{
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url = url;
    mirror.maxUse = 3;
    mirror.retries = 2;
    return mirror;
}

// Runs `count` transfers at once; returns the wall time in seconds, or a negative value on failure.
double runTasks(const QString& url, int mirrorEntries, int count, const QString& outDir)
{
    QNetworkAccessManager manager;
    Mirrors pool(nullptr);
    for (int i = 0; i < mirrorEntries; ++i)
        pool.mirrors.append(entry(QStringLiteral("m%1").arg(i), url));
    QEventLoop loop;
    int ended = 0;
    bool failed = false;
    QList<DownloadTaskSpecification*> tasks;
    for (int i = 0; i < count; ++i) {
        auto* task =
            new DownloadTaskSpecification(&manager, &pool, QStringLiteral("f%1.bin").arg(i),
                                          outDir + QStringLiteral("/t%1.bin").arg(i), -1, &pool, 1.0);
        QObject::connect(task, &TaskSpecification::finished, &loop, [&] {
            if (++ended == count)
                loop.quit();
        });
        QObject::connect(task, &TaskSpecification::canceled, &loop, [&] {
            failed = true;
            loop.quit();
        });
        QObject::connect(task, &TaskSpecification::message, &loop, [](const QString& line) {
            if (!line.startsWith(QLatin1String("Downloading")))
                std::fprintf(stderr, "  %s\n", qPrintable(line));
        });
        tasks.append(task);
    }
    QElapsedTimer timer;
    timer.start();
    for (DownloadTaskSpecification* task : tasks)
        task->execute();
    if (ended < count && !failed)
        loop.exec();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    return failed ? -1.0 : seconds;
}

double runCurl(const QString& url, int count, const QString& outDir)
{
    QStringList arguments = {QStringLiteral("-s"), QStringLiteral("-f")};
    if (count > 1)
        arguments << QStringLiteral("--parallel") << QStringLiteral("--parallel-max")
                  << QString::number(count);
    for (int i = 0; i < count; ++i)
        arguments << QStringLiteral("-o") << outDir + QStringLiteral("/c%1.bin").arg(i)
                  << url + QStringLiteral("/f%1.bin").arg(i);
    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    curl.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"), arguments);
    const bool ran = curl.waitForFinished(-1);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    return ran && curl.exitStatus() == QProcess::NormalExit && curl.exitCode() == 0 ? seconds : -1.0;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

void clearFolder(const QString& path)
{
    QDir dir(path);
    for (const QString& name : dir.entryList(QDir::Files))
        dir.remove(name);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const qint64 sizeMiB = arguments.size() > 1 ? arguments.at(1).toLongLong() : 64;
    const int rounds = arguments.size() > 2 ? arguments.at(2).toInt() : 3;
    if (sizeMiB <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: %s [size-in-MiB] [rounds]\n", argv[0]);
        return 2;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty()) {
        std::fprintf(stderr, "curl is not installed\n");
        return 2;
    }
    const qint64 size = sizeMiB * 1024 * 1024;

    QTemporaryDir root;
    QTemporaryDir out;
    if (!root.isValid() || !out.isValid() || !QDir(root.path()).mkpath(QStringLiteral("updates/1"))) {
        std::fprintf(stderr, "no scratch folders\n");
        return 2;
    }
    for (int i = 0; i < fileCount; ++i) {
        if (!makeFile(root.filePath(QStringLiteral("updates/1/f%1.bin").arg(i)), size)) {
            std::fprintf(stderr, "cannot write the test files\n");
            return 2;
        }
    }
    NginxMirror nginx(root.path());
    if (!nginx.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(nginx.errorString()));
        return 2;
    }
    const QString url = nginx.baseUrl() + QStringLiteral("/updates/1");

    QList<double> oneTask, oneCurl, sixTasks, sixCurl;
    for (int round = 0; round < rounds; ++round) {
        const double a = runTasks(url, 1, 1, out.path());
        clearFolder(out.path());
        const double b = runCurl(url, 1, out.path());
        clearFolder(out.path());
        const double c = runTasks(url, 2, fileCount, out.path());
        clearFolder(out.path());
        const double d = runCurl(url, fileCount, out.path());
        clearFolder(out.path());
        if (a < 0 || b < 0 || c < 0 || d < 0) {
            std::fprintf(stderr, "a transfer failed in round %d\n", round + 1);
            return 1;
        }
        oneTask << a;
        oneCurl << b;
        sixTasks << c;
        sixCurl << d;
    }

    const double mib = double(size) / (1024.0 * 1024.0);
    const auto rate = [mib](double seconds, int files) {
        return mib * files / seconds;
    };
    struct rusage usage
    {
    };
    getrusage(RUSAGE_SELF, &usage);
    std::printf("files of %lld MiB, nginx on 127.0.0.1, median of %d rounds\n",
                static_cast<long long>(sizeMiB), rounds);
    std::printf("one transfer:   task %8.1f MiB/s   curl %8.1f MiB/s   task/curl %.2f\n",
                rate(median(oneTask), 1), rate(median(oneCurl), 1), median(oneCurl) / median(oneTask));
    std::printf("six at once:    task %8.1f MiB/s   curl %8.1f MiB/s   task/curl %.2f   (aggregate)\n",
                rate(median(sixTasks), fileCount), rate(median(sixCurl), fileCount),
                median(sixCurl) / median(sixTasks));
    std::printf("peak resident memory of the task process: %ld MiB\n", usage.ru_maxrss / 1024);
    return 0;
}
