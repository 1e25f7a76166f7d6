#pragma once

#include <QByteArray>
#include <QDialog>
#include <QNetworkProxy>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// A non-modal dialog showing the change log of the version to install: "changelog_client.txt" in
// that version's directory on the alpha URL of update.ini, or else on the mirrors of mirrors.ini,
// tried once each in random order (RandomGenerator::program()). At most one viewer exists; it
// deletes itself when closed.
//
// Only http and https base URLs are tried (a file: or other URL in a settings file is passed
// over). Each attempt has 2000 ms for the whole transfer and fails on any network error, any answer
// other than 2xx (redirects are never followed), a body that contains "document has moved" (a
// server's redirect page) or a body of more than MaxBodyBytes. The text is decoded as UTF-8 and
// shown as plain text in a fixed-pitch field; the dialog is sized to it within the available
// screen area. Messages ("Loading...", "Failed to load changelog.") appear in the text field.
//
// GUI thread only.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT

public:
    // Far above any real change log (a few hundred KiB at most); a mirror sending more, or an
    // endless body, is dropped instead of filling memory.
    static constexpr qint64 MaxBodyBytes = 4 * 1024 * 1024;
    static constexpr int AttemptTimeoutMs = 2000;

    // Opens the viewer for version (creating it as a child of parent and starting the download)
    // unless one is open, then shows, raises and activates it; an open viewer keeps its text and
    // its version. proxy applies to the download.
    static void showRemoteChangeLogDialog(QWidget* parent, const QString& version,
                                          const QNetworkProxy& proxy = QNetworkProxy(QNetworkProxy::NoProxy));
    // The one open viewer, or null.
    static ChangeLogViewer* instance() { return m_instance; }

    ChangeLogViewer(QWidget* parent, const QNetworkProxy& proxy);
    ~ChangeLogViewer() override;

    // Starts one download attempt on the next base URL (nothing while one runs). An empty version
    // keeps the stored one.
    void requestRemote(QString version);
    // The next base URL to try, or an empty text when none is left.
    QString getRemoteUrl();
    // Removes a random entry from the mirror URLs and returns it; empty when none is left.
    QString getRandomMirror();
    // Shows text and sizes the dialog to it.
    void load(const QString& text);

    QString text() const;

private:
    void onRequestFinished(QNetworkReply* reply);
    void onRequestTimeout();
    void onReadyRead(QNetworkReply* reply);

    static ChangeLogViewer* m_instance;

    QTextEdit* m_textEdit;
    QNetworkProxy m_proxy;
    QNetworkAccessManager* m_network = nullptr;
    QNetworkReply* m_reply = nullptr;
    QTimer* m_timeout = nullptr;
    QByteArray m_body;
    bool m_tooLarge = false;
    QStringList m_mirrorUrls;
    bool m_sourcesRead = false;
    QString m_version;
};
