#include "service/link/pdureader.h"

Smpp::Peek PduReader::peek() const
{
    Smpp::Peek peek = Smpp::header(QByteArrayView(m_buffer).sliced(m_read));
    if (peek.complete && peek.header.length > m_most)
        peek.valid = false;
    return peek;
}

PduReader::Next PduReader::next(QIODevice &device)
{
    for (;;) {
        const Smpp::Peek head = peek();
        if (head.complete && !head.valid)
            return { Kind::Lost, head.header, {} };
        if (head.complete && quint32(held()) >= head.header.length) {
            Next whole { Kind::Whole, head.header, m_buffer.mid(m_read, head.header.length) };
            m_read += head.header.length;
            return whole;
        }
        if (!takeMore(device))
            return {};
    }
}

bool PduReader::wholeWaiting() const
{
    const Smpp::Peek head = peek();
    return head.complete && (!head.valid || quint32(held()) >= head.header.length);
}

// False when nothing came, or the buffer holds all it may.
bool PduReader::takeMore(QIODevice &device)
{
    m_buffer.remove(0, m_read);
    m_read = 0;
    const qint64 room = BufferBytes - m_buffer.size();
    if (room <= 0 || device.bytesAvailable() <= 0)
        return false;
    m_buffer.append(device.read(room));
    return true;
}
