#pragma once

#include "ASyncFunc.h"

#include <QString>

class Configuration;
class QSettings;
struct FileSpecifications;

// The body of the plan compiler: reads the verified product ini from the temporary directory and
// compares every listed file by MD5 with the installed file and with a copy already downloaded.
//
// Built on the GUI thread, where it copies what it needs of the configuration (client type,
// temporary directory, installation directory); run() then reads only those copies, the file
// system and the ini, and writes only `specifications`, which nothing else touches while it runs.
// Reports "Compiling download and replace list", "No files in product ini" and "Warning: product
// ini contains invalid line in section %1" through message(), and progress() once per entry.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration* configuration, FileSpecifications& specifications);

    // Clears `specifications` and fills it; false when the ini has no entries or holds an invalid
    // line, and then `specifications` holds whatever was compiled before the failure.
    bool run() override;

    // The number of keys over all sections of the ini, the delete section included.
    int getFileCount(QSettings& settings);

private:
    bool isValidFile(const QString& path, const QString& md5) const;
    void reportInvalidLine(const QString& section);

    FileSpecifications& m_specifications;
    const QString m_iniPath;
    const QString m_tempDir;
    const QString m_appRoot;
};
