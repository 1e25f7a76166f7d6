#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the desktop's URL handler: while it lives, every URL that the code under test
// hands to QDesktopServices::openUrl with one of many schemes (http, https, file, ftp, mailto,
// javascript, data, smb, and none at all) is recorded here instead of being opened.
class UrlOpenRecorder : public QObject
{
    Q_OBJECT

public:
    UrlOpenRecorder();
    ~UrlOpenRecorder() override;

    QList<QUrl> opened;

public Q_SLOTS:
    // Called by QDesktopServices by name.
    void open(const QUrl& url);

private:
    QStringList m_schemes;
};
