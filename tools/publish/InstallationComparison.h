#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

/// Compares an installation with the tree it should be, byte for byte and mode for mode, and says
/// how it differs, worst first: a file where a folder should be (or the other way round), then
/// missing, changed and left-over files, each group in path order. Folders count only where they
/// clash with a file: the updater never removes a folder, so one left empty is no fault.
class InstallationComparison
{
public:
    /// `expected` is the reference tree, `actual` the installation; paths of `actual` listed in
    /// `ignored` (relative, "/"-separated) are not looked at. `versionName` names the reference in
    /// the texts, e.g. "3012". Each text starts with the path it is about; empty when both agree.
    static QStringList differences(const QString& expected, const QString& actual, const QString& versionName,
                                   const QSet<QString>& ignored);
};
