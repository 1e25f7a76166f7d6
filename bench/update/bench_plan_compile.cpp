// Plan compilation against coreutils md5sum over the same installed files in the same run.
//
//   bench_plan_compile [--small N] [--small-size BYTES] [--large N] [--large-mib M] [--rounds R]
//
// Builds two installations in a scratch folder: N small files (default 10000 of 2 KiB, in 100
// folders) and a few large ones (default 3 of 256 MiB), each with a product ini that lists every
// file with its true MD5, so that the compiler checks every installed file and plans nothing. It
// then alternates R rounds (default 3) of `md5sum` over the files and of the compiler
// (MakeDownloadReplaceListFunc::run()) and prints the best time of each and their ratio. Exit
// code 1 when a plan is not empty or the compiler is more than 1.15x slower than md5sum.

#include "Configuration.h"
#include "FileSpecifications.h"
#include "MakeDownloadReplaceListFunc.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <limits>

namespace {
constexpr double kMaxRatio = 1.15;

struct Installation
{
    QString name;
    QString root; // installation directory
    QString temp; // temporary directory holding the product ini
    QStringList files; // relative paths
};

// Writes `count` files of `size` bytes of varied content and the product ini listing them.
bool makeInstallation(Installation& inst, int count, qint64 size, int perFolder)
{
    QFile ini(inst.temp + QStringLiteral("/Kelvaro3.ini"));
    if (!QDir().mkpath(inst.root) || !QDir().mkpath(inst.temp) || !ini.open(QIODevice::WriteOnly))
        return false;
    QTextStream iniText(&ini);
    iniText << "[files]\n";
    const qint64 chunk = qMin<qint64>(size, 1 << 20);
    QByteArray block(int(chunk), Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
        const QString rel = QStringLiteral("d%1/file%2.bin").arg(i / perFolder).arg(i);
        if (!QDir().mkpath(inst.root + QStringLiteral("/d%1").arg(i / perFolder)))
            return false;
        QFile file(inst.root + QLatin1Char('/') + rel);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QCryptographicHash md5(QCryptographicHash::Md5);
        for (qint64 written = 0; written < size; written += chunk) {
            for (int j = 0; j < block.size(); j += 64)
                block[j] = char(i * 31 + j / 64 + written);
            const qint64 n = qMin(chunk, size - written);
            if (file.write(block.constData(), n) != n)
                return false;
            md5.addData(QByteArrayView(block.constData(), n));
        }
        iniText << rel << '=' << md5.result().toHex() << "::" << size << '\n';
        inst.files << rel;
    }
    iniText.flush();
    return ini.error() == QFileDevice::NoError;
}

qint64 timeMd5sum(const Installation& inst)
{
    QProcess md5sum;
    md5sum.setWorkingDirectory(inst.root);
    md5sum.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    md5sum.start(QStringLiteral("md5sum"), inst.files);
    if (!md5sum.waitForFinished(-1) || md5sum.exitCode() != 0)
        return -1;
    return timer.nsecsElapsed();
}

// What reading the ini alone costs: the settings reader, every key and every value.
qint64 timeIniReading(const Installation& inst)
{
    QElapsedTimer timer;
    timer.start();
    QSettings settings(inst.temp + QStringLiteral("/Kelvaro3.ini"), QSettings::IniFormat);
    qsizetype chars = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys)
            chars += settings.value(key).toString().size();
        settings.endGroup();
    }
    return chars > 0 ? timer.nsecsElapsed() : -1;
}

qint64 timeCompiler(const Installation& inst, bool& emptyPlan)
{
    Configuration::setAppRootPathOverride(inst.root);
    Configuration configuration;
    configuration.clientType = QStringLiteral("Kelvaro3");
    configuration.tempDir = inst.temp;
    FileSpecifications plan;
    MakeDownloadReplaceListFunc func(&configuration, plan);
    QElapsedTimer timer;
    timer.start();
    const bool ok = func.run();
    const qint64 elapsed = timer.nsecsElapsed();
    emptyPlan = ok && plan.downloads.isEmpty() && plan.replaces.isEmpty() && plan.deletes.isEmpty();
    return elapsed;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plan compilation against md5sum."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("small"), QStringLiteral("Number of small files."), QStringLiteral("N"),
                      QStringLiteral("10000")});
    parser.addOption({QStringLiteral("small-size"), QStringLiteral("Bytes per small file."),
                      QStringLiteral("BYTES"), QStringLiteral("2048")});
    parser.addOption({QStringLiteral("large"), QStringLiteral("Number of large files."), QStringLiteral("N"),
                      QStringLiteral("3")});
    parser.addOption({QStringLiteral("large-mib"), QStringLiteral("MiB per large file."), QStringLiteral("M"),
                      QStringLiteral("256")});
    parser.addOption({QStringLiteral("rounds"), QStringLiteral("Rounds of each."), QStringLiteral("R"),
                      QStringLiteral("3")});
    parser.process(app);

    QTemporaryDir dir;
    if (!dir.isValid()) {
        out << "cannot create a scratch folder\n";
        return 1;
    }
    Installation small {QStringLiteral("small files"),
                        dir.filePath(QStringLiteral("small/inst")),
                        dir.filePath(QStringLiteral("small/temp")),
                        {}};
    Installation large {QStringLiteral("large files"),
                        dir.filePath(QStringLiteral("large/inst")),
                        dir.filePath(QStringLiteral("large/temp")),
                        {}};
    if (!makeInstallation(small, parser.value(QStringLiteral("small")).toInt(),
                          parser.value(QStringLiteral("small-size")).toLongLong(), 100)
        || !makeInstallation(large, parser.value(QStringLiteral("large")).toInt(),
                             parser.value(QStringLiteral("large-mib")).toLongLong() << 20, 1)) {
        out << "cannot build the installations\n";
        return 1;
    }

    const int rounds = qMax(1, parser.value(QStringLiteral("rounds")).toInt());
    bool pass = true;
    for (const Installation* inst : {&small, &large}) {
        // md5sum without arguments would read its standard input.
        if (inst->files.isEmpty())
            continue;
        qint64 bestMd5sum = std::numeric_limits<qint64>::max();
        qint64 bestCompiler = std::numeric_limits<qint64>::max();
        qint64 bestIni = std::numeric_limits<qint64>::max();
        // One warm-up of each so that both read from the page cache.
        timeMd5sum(*inst);
        bool emptyPlan = false;
        timeCompiler(*inst, emptyPlan);
        for (int r = 0; r < rounds; ++r) {
            const qint64 m = timeMd5sum(*inst);
            if (m < 0) {
                out << "md5sum failed\n";
                return 1;
            }
            bestMd5sum = qMin(bestMd5sum, m);
            bestCompiler = qMin(bestCompiler, timeCompiler(*inst, emptyPlan));
            bestIni = qMin(bestIni, timeIniReading(*inst));
            if (!emptyPlan) {
                out << inst->name << ": the plan is not empty\n";
                return 1;
            }
        }
        const double ratio = double(bestCompiler) / double(bestMd5sum);
        out << QStringLiteral("%1 (%2 files): md5sum %3 ms, plan compilation %4 ms (reading the ini alone "
                              "%5 ms), ratio %6, on %7 cores\n")
                   .arg(inst->name)
                   .arg(inst->files.size())
                   .arg(bestMd5sum / 1e6, 0, 'f', 1)
                   .arg(bestCompiler / 1e6, 0, 'f', 1)
                   .arg(bestIni / 1e6, 0, 'f', 1)
                   .arg(ratio, 0, 'f', 3)
                   .arg(QThread::idealThreadCount());
        if (ratio > kMaxRatio)
            pass = false;
    }
    out << (pass ? "PASS" : "FAIL: slower than 1.15x md5sum") << '\n';
    return pass ? 0 : 1;
}
