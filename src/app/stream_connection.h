#pragma once

#include "app/stream_server.h"
#include "core/proxy/call_table.h"

#include <QObject>
#include <QTcpSocket>
#include <QWebSocket>

namespace tavrix {

// One connection of the stream server: its far end, its socket, what it has read.
struct StreamServer::Connection
{
    TransportKind kind;
    std::string ip; // as the proxy writes it
    std::uint16_t port;
    QTcpSocket* socket = nullptr; // a QSslSocket for TLS
    QWebSocket* webSocket = nullptr;
    StreamFramer framer;
    qint64 lastHeard = 0;
    qint64 partSince = -1; // when the first byte of a message still partial came
    bool inbound = true;

    PeerAddress peer() const { return PeerAddress{{}, ip, port, kind}; }
    QObject* object() const
    {
        return socket != nullptr ? static_cast<QObject*>(socket) : webSocket;
    }
};

} // namespace tavrix
