#include "ProcessTools.h"

#include "Configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

bool fail(QString* errorMessage, const QString& text)
{
    if (errorMessage)
        *errorMessage = text;
    return false;
}

} // namespace

bool ProcessTools::startKv3Client(QString* errorMessage)
{
    return startScript(Configuration::getAppRootPath() + QLatin1Char('/')
                           + Configuration::getClientBinaryName(),
                       errorMessage);
}

bool ProcessTools::startScript(const QString& path, QString* errorMessage)
{
    const QFileInfo info(path);
    if (!info.exists())
        return fail(errorMessage, QStringLiteral("Cannot start %1: the file does not exist").arg(path));
    if (!info.isFile())
        return fail(errorMessage, QStringLiteral("Cannot start %1: it is not a file").arg(path));

    QFile script(path);
    if (!script.open(QIODevice::ReadOnly))
        return fail(errorMessage, QStringLiteral("Cannot start %1: %2").arg(path, script.errorString()));
    const bool interpreterLine = script.read(2) == "#!";
    script.close();

    // The argument-list form: the path is one argument whatever blanks it holds.
    QProcess process;
    if (interpreterLine) {
        process.setProgram(path);
    } else {
        process.setProgram(QStringLiteral("/bin/sh"));
        process.setArguments({path});
    }
    process.setWorkingDirectory(QDir::currentPath());
    if (!process.startDetached())
        return fail(errorMessage, QStringLiteral("Cannot start %1: %2").arg(path, process.errorString()));
    return true;
}
