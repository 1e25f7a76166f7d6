#pragma once

#include <QString>
#include <QUrl>

// The one way the window hands an address to the desktop's URL handler.
//
// The addresses of the banner and of the news line come from unauthenticated UDP replies or from
// the command line, so only web pages may be opened: an http or https URL with a host. Anything
// else (file:, a bare path, an empty text, another scheme) opens nothing, because the desktop would
// otherwise run whatever application it associates with it.
class WebUrl
{
public:
    // True for a valid http or https URL (scheme compared without case) that names a host.
    static bool isWebPage(const QUrl& url);
    // Hands text, read as a URL, to QDesktopServices::openUrl when isWebPage() holds. True when
    // the desktop accepted it.
    static bool open(const QString& text);
};
