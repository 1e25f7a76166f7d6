#pragma once

#include "Command.h"

#include <QList>
#include <QString>
#include <QStringList>

class LoopbackNginx;

/// `rehearse`: proves, before a release reaches the mirrors, that every earlier version updates to
/// it cleanly. For each starting version (every version directory under the mirror root below the
/// target, or the --from ones) it rebuilds that version's installation in a scratch folder from
/// its own version directory, serves the root from a private nginx on 127.0.0.1, runs the real
/// updater unattended in that installation and compares the result with the target version's own
/// tree, byte for byte and mode for mode, with nothing left over: no old copies, no temporary
/// folder, no session record, no file the target does not have. The updater's own file, its
/// mirrors.ini and update.ini, and the set-aside copies of the updater's special files (removed by
/// its next start) are not part of the comparison.
///
/// Prints one row per starting version (ok, or the first difference and the log's last lines);
/// exit code 0 only when every rehearsal passes.
class RehearseCommand : public Command
{
public:
    QString name() const override;
    QString summary() const override;
    QString description() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int execute(const QCommandLineParser& parser) override;

private:
    struct Row
    {
        int from = 0;
        bool ok = false;
        QString detail;
        QStringList logLines;
    };

    bool startingVersions(const QCommandLineParser& parser, QList<int>& versions);
    QString defaultUpdater() const;
    Row rehearse(int from, const QString& expectedTree, const QString& baseUrl, int timeoutMs) const;

    QString m_root;
    QString m_clientType;
    int m_target = 0;
    QString m_updater;
};
