#include "UrlOpenRecorder.h"

#include <QDesktopServices>

UrlOpenRecorder::UrlOpenRecorder()
    : m_schemes {QStringLiteral("http"), QStringLiteral("https"),  QStringLiteral("file"),
                 QStringLiteral("ftp"),  QStringLiteral("mailto"), QStringLiteral("javascript"),
                 QStringLiteral("data"), QStringLiteral("smb"),    QString()}
{
    for (const QString& scheme : std::as_const(m_schemes))
        QDesktopServices::setUrlHandler(scheme, this, "open");
}

UrlOpenRecorder::~UrlOpenRecorder()
{
    for (const QString& scheme : std::as_const(m_schemes))
        QDesktopServices::unsetUrlHandler(scheme);
}

void UrlOpenRecorder::open(const QUrl& url)
{
    opened.append(url);
}
