#pragma once

#include "UdpResponder.h"

#include <QByteArray>

// The version service's two requests, for tests that stand in for the service with a
// UdpResponder.
class UdpVersionService
{
public:
    // "3" and its terminating zero byte.
    static QByteArray versionRequest();
    // "*" and its terminating zero byte.
    static QByteArray newsRequest();
    // A service that answers each request with one datagram from its own socket.
    static UdpResponder::Handler answering(const QByteArray& versionReply, const QByteArray& newsReply);
};
