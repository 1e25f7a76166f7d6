#pragma once

#include <QString>
#include <QVariant>

class QSettings;

// Reads a settings value as the text the user wrote. QSettings turns an unquoted ini value that
// contains a comma into a string list, whose plain toString() is empty; a proxy URL or a directory
// with a comma in it must not silently read as nothing.
class SettingsText
{
public:
    static QString value(const QSettings& settings, const QString& key,
                         const QString& defaultValue = QString());
    // The same value, still as a QVariant, for the QVariant conversions to bool and int.
    static QVariant variant(const QSettings& settings, const QString& key);
};
