// MD5 check of a large file against coreutils md5sum on the same file in the same run.
//
//   bench_md5_large [--size-gib N] [--rounds R] [--file PATH]
//
// Creates a sparse file of N GiB (default 3) in a scratch folder unless --file names one, then
// alternates R rounds (default 3) of `md5sum` and of the updater's MD5 check (CheckSigFunc::run()
// with md5sum's digest as the expected sum), and prints the best time of each, their ratio, and
// this process's peak resident memory. Exit code 1 when the check does not pass, is more than 10%
// slower than md5sum, or the peak resident memory exceeds 16 MiB.

#include "CheckSigFunc.h"
#include "CryptoHelper.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <limits>

namespace {
constexpr double kMaxRatio = 1.10;
constexpr long kMaxRssKiB = 16 * 1024;

long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool makeSparse(const QString& path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("MD5 check of a large file against md5sum."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("size-gib"), QStringLiteral("Size of the sparse file."),
                      QStringLiteral("N"), QStringLiteral("3")});
    parser.addOption({QStringLiteral("rounds"), QStringLiteral("Rounds of each."), QStringLiteral("R"),
                      QStringLiteral("3")});
    parser.addOption(
        {QStringLiteral("file"), QStringLiteral("Use this file instead."), QStringLiteral("PATH")});
    parser.process(app);

    QTemporaryDir dir;
    QString path = parser.value(QStringLiteral("file"));
    if (path.isEmpty()) {
        path = dir.filePath(QStringLiteral("large.bin"));
        const qint64 size = parser.value(QStringLiteral("size-gib")).toLongLong() << 30;
        if (!dir.isValid() || !makeSparse(path, size)) {
            out << "cannot create the sparse file " << path << Qt::endl;
            return 1;
        }
    }
    const long rssBefore = peakRssKiB();
    const int rounds = qMax(1, parser.value(QStringLiteral("rounds")).toInt());

    crypt_init();
    qint64 bestCheck = std::numeric_limits<qint64>::max();
    qint64 bestMd5sum = std::numeric_limits<qint64>::max();
    QString md5sumDigest;
    bool passed = true;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        QProcess md5sum;
        timer.start();
        md5sum.start(QStringLiteral("md5sum"), {path});
        if (!md5sum.waitForFinished(-1) || md5sum.exitCode() != 0) {
            out << "md5sum failed" << Qt::endl;
            return 1;
        }
        bestMd5sum = qMin(bestMd5sum, timer.elapsed());
        md5sumDigest = QString::fromLatin1(md5sum.readAllStandardOutput().left(32));

        // The check as the download list and the plan compiler run it: a worker called directly.
        CheckSigFunc check(path, md5sumDigest);
        timer.restart();
        passed = check.run() && passed;
        bestCheck = qMin(bestCheck, timer.elapsed());
        out << "round " << round + 1 << ": md5sum " << bestMd5sum << " ms best, check " << bestCheck
            << " ms best" << Qt::endl;
    }

    const double ratio = double(bestCheck) / double(qMax<qint64>(1, bestMd5sum));
    const long rss = peakRssKiB();
    const qint64 size = QFile(path).size();
    out << "file:        " << path << " (" << size << " bytes)\n"
        << "md5sum:      " << md5sumDigest << ", the check " << (passed ? "passed" : "FAILED") << '\n'
        << "MD5 check:   " << bestCheck << " ms, " << (size / 1048576.0) / (bestCheck / 1000.0) << " MiB/s\n"
        << "md5sum time: " << bestMd5sum << " ms\n"
        << "ratio:       " << ratio << " (limit " << kMaxRatio << ")\n"
        << "peak RSS:    " << rss << " KiB (" << rss - rssBefore << " KiB more than before hashing; limit "
        << kMaxRssKiB << " KiB)" << Qt::endl;

    const bool ok = passed && ratio <= kMaxRatio && rss <= kMaxRssKiB;
    out << (ok ? "PASS" : "FAIL") << Qt::endl;
    return ok ? 0 : 1;
}
