#include "AuditNetworkAccessManager.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
constexpr int maxLocation = 200;
}

AuditNetworkAccessManager::AuditNetworkAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
{
}

QNetworkReply* AuditNetworkAccessManager::createRequest(Operation operation, const QNetworkRequest& request,
                                                        QIODevice* outgoingData)
{
    QNetworkReply* reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    const QUrl url = request.url();
    m_responses.remove(url);
    // Connected before the caller gets the reply, so this runs before the transfer task reacts
    // to the same headers (and perhaps drops the reply).
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply, url] {
        Response response;
        response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        response.location = QString::fromLatin1(reply->rawHeader("Location").left(maxLocation));
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            response.length = length.toLongLong();
        m_responses.insert(url, response);
    });
    return reply;
}
