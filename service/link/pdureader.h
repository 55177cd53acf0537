#pragma once

// Whole PDUs out of a byte stream, for either end of an SMPP session: the link's, where
// the gateway is the SMSC's client, and the SMPP server's, where applications are ours.
//
//   device ── next(): tops up the buffer (at most BufferBytes unhandled) ── one PDU
//                                                                       ── or not yet whole
//                                                                       ── or the stream
//                                                                          is lost
//
// The buffer moves by an offset and is compacted only when it is topped up, so a burst
// costs its length, not its square. A header whose length lies outside [16, most] loses
// the stream: nothing after it can be framed.

#include "service/link/smpppdu.h"

#include <QByteArray>
#include <QIODevice>

class PduReader {
public:
    static constexpr qint64 BufferBytes = 64 * 1024;

    explicit PduReader(quint32 most = Smpp::MaxPduLength)
        : m_most(most)
    {
    }

    enum class Kind { Whole, Partial, Lost };
    struct Next {
        Kind kind = Kind::Partial;
        Smpp::Header header; // Whole and Lost
        QByteArray bytes; // Whole: the PDU, header included
    };
    Next next(QIODevice &device);
    // Whether a whole PDU, or a header that loses the stream, waits in the buffer.
    bool wholeWaiting() const;
    // Read from the device and not yet handed out.
    qint64 held() const { return m_buffer.size() - m_read; }

private:
    Smpp::Peek peek() const;
    bool takeMore(QIODevice &device);

    quint32 m_most;
    QByteArray m_buffer;
    qsizetype m_read = 0;
};
