#include "UdpVersionService.h"

QByteArray UdpVersionService::versionRequest()
{
    return QByteArray("3\0", 2);
}

QByteArray UdpVersionService::newsRequest()
{
    return QByteArray("*\0", 2);
}

UdpResponder::Handler UdpVersionService::answering(const QByteArray& versionReply,
                                                   const QByteArray& newsReply)
{
    return UdpResponder::byRequest({{versionRequest(), {{versionReply}}}, {newsRequest(), {{newsReply}}}});
}
