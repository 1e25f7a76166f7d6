#pragma once

#include <QHash>
#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

/// A network access manager that remembers, for every URL it was asked for, the status line and
/// headers of the last response: what the audit needs to tell a missing file from a redirect or a
/// wrong length after the updater's transfer task has given up on a mirror. It changes nothing in
/// the requests or replies.
///
/// Main thread only.
class AuditNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    struct Response
    {
        /// HTTP status; 0 when no response header arrived (connection refused, reset, time-out).
        int status = 0;
        /// The Location header of a redirect, at most 200 characters.
        QString location;
        /// The Content-Length header; -1 when there was none.
        qint64 length = -1;
    };

    explicit AuditNetworkAccessManager(QObject* parent = nullptr);

    /// The last response for url; a default Response when none came.
    Response lastResponse(const QUrl& url) const { return m_responses.value(url); }

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private:
    QHash<QUrl, Response> m_responses;
};
