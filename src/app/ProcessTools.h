#pragma once

#include <QString>

// Starts the Kelvaro client after an update: the start script "kv3client_runscript.sh" in the
// installation directory (Configuration::getAppRootPath()), as a detached process that outlives
// the updater, without arguments, in the updater's working directory.
class ProcessTools
{
public:
    // True when the client process was started. A script whose first bytes are not "#!" is run
    // by /bin/sh (the kernel would refuse to execute it); a missing script, one that is not a
    // regular file, or a failed start gives false and, when errorMessage is given, the reason.
    static bool startKv3Client(QString* errorMessage = nullptr);
    // The same for the script at path.
    static bool startScript(const QString& path, QString* errorMessage = nullptr);
};
