// The plan compiler fed a hostile product ini, against a small fixed installation and temporary
// directory: some files up to date, one outdated with a good download waiting, a folder, a link.
// Whatever the ini says, the plan names only paths inside the installation, deletes only what
// exists, and a refused ini leaves no plan.
#include "Configuration.h"
#include "CryptoHelper.h"
#include "FileSpecifications.h"
#include "FuzzScratch.h"
#include "MakeDownloadReplaceListFunc.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The contents the plan compiler's tests use, so that their inis make useful seeds.
const QByteArray alpha = "alpha file\n";
const QByteArray beta = "beta file, a different one\n";

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "plan compiler: %s\n", what);
        std::abort();
    }
}

void put(const QString& path, const QByteArray& bytes)
{
    check(QDir().mkpath(QFileInfo(path).path()), "scratch folder");
    FuzzScratch::writeFile(path, bytes);
}

struct Fixture
{
    QString installation;
    QString temp;
};

const Fixture& fixture()
{
    static const Fixture made = [] {
        FuzzScratch& scratch = FuzzScratch::instance();
        Fixture f {scratch.root() + QStringLiteral("/installation"),
                   scratch.root() + QStringLiteral("/temp")};
        put(f.installation + QStringLiteral("/a.txt"), alpha);
        put(f.installation + QStringLiteral("/lib/a.so"), alpha);
        put(f.installation + QStringLiteral("/lib/b.so"), alpha);
        put(f.installation + QStringLiteral("/bin/b"), beta);
        put(f.installation + QStringLiteral("/old.txt"), beta);
        put(f.installation + QStringLiteral("/packed/x"), alpha);
        check(QDir().mkpath(f.installation + QStringLiteral("/dir/sub")), "scratch folder");
        check(QFile::link(QStringLiteral("a.txt"), f.installation + QStringLiteral("/link")), "scratch link");
        put(f.temp + QStringLiteral("/lib/b.so"), beta);
        crypt_init();
        return f;
    }();
    return made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Fixture& f = fixture();
    FuzzScratch& scratch = FuzzScratch::instance();
    // A new client type each time gives the ini a new name: see FuzzScratch about the cache.
    const QString iniPath = scratch.freshPath(QStringLiteral("temp/Kelvaro3_"), QStringLiteral(".ini"));
    const QString clientType = QFileInfo(iniPath).completeBaseName();
    FuzzScratch::writeFile(iniPath, QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));

    Configuration::setAppRootPathOverride(f.installation);
    Configuration configuration;
    configuration.clientType = clientType;
    configuration.tempDir = f.temp;

    FileSpecifications plan;
    plan.deletes.append(QStringLiteral("left over from before"));
    MakeDownloadReplaceListFunc compiler(&configuration, plan);
    qreal lastProgress = 0;
    int progressReports = 0;
    QObject::connect(&compiler, &ASyncFunc::progress, [&](qreal progress) {
        check(progress > lastProgress && progress <= 1.0, "progress rises and stays within 1");
        lastProgress = progress;
        ++progressReports;
    });
    const bool ok = compiler.run();

    if (!ok) {
        check(plan.downloads.isEmpty() && plan.replaces.isEmpty() && plan.deletes.isEmpty(),
              "a refused ini leaves no plan");
    } else {
        check(progressReports > 0 && lastProgress == 1.0, "progress ends at exactly 1");
        check(plan.downloads.size() <= plan.replaces.size(), "nothing downloaded that is not replaced");
        QSet<QString> replaced;
        for (const FileReplaceSpecification& replace : plan.replaces) {
            check(FileSpecifications::isContainedRelativePath(replace.fileName), "replace inside");
            check(FileSpecifications::isContainedRelativePath(replace.destFileName(QString())),
                  "installed path inside");
            replaced.insert(replace.fileName);
        }
        for (const FileDownloadSpecification& download : plan.downloads) {
            check(FileSpecifications::isContainedRelativePath(download.fileName), "download inside");
            check(replaced.contains(download.fileName), "a download is replaced too");
        }
        for (const QString& path : plan.deletes) {
            check(FileSpecifications::isContainedRelativePath(path), "delete inside");
            check(QFileInfo::exists(f.installation + QLatin1Char('/') + path), "only existing files deleted");
        }
    }
    FuzzScratch::remove(iniPath);
    return 0;
}
