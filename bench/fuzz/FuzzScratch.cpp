#include "FuzzScratch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "fuzz scratch: %s\n", qPrintable(what));
    std::abort();
}

} // namespace

FuzzScratch& FuzzScratch::instance()
{
    static FuzzScratch scratch;
    return scratch;
}

FuzzScratch::FuzzScratch()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    m_application = std::make_unique<QCoreApplication>(argc, argv);
    // The updater's log lines (a refused edit, say) would drown the fuzzer's own output.
    QLoggingCategory::setFilterRules(QStringLiteral("kelvaro.update.info=false"));
    if (!m_dir.isValid())
        fail(QStringLiteral("no scratch folder: ") + m_dir.errorString());
}

QString FuzzScratch::root() const
{
    return m_dir.path();
}

QString FuzzScratch::freshPath(const QString& prefix, const QString& suffix)
{
    return m_dir.filePath(prefix + QString::number(m_counter++) + suffix);
}

void FuzzScratch::writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write ") + path);
}

void FuzzScratch::remove(const QString& path)
{
    const QFileInfo info(path);
    const bool removed =
        info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
    if (!removed && QFileInfo::exists(path))
        fail(QStringLiteral("cannot remove ") + path);
}
