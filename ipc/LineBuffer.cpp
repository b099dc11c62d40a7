#include "ipc/LineBuffer.h"

QByteArrayList LineBuffer::append(const QByteArray &bytes, bool *overflowed)
{
    QByteArrayList lines;
    qsizetype from = 0;
    while (from < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', from);
        const qsizetype stop = end < 0 ? bytes.size() : end;
        if (!m_skipping) {
            if (m_pending.size() + (stop - from) > m_limit) {
                m_pending.clear();
                m_skipping = true;
                if (overflowed)
                    *overflowed = true;
            } else {
                m_pending.append(bytes.constData() + from, stop - from);
            }
        }
        if (end < 0)
            break;
        if (!m_skipping)
            lines.append(m_pending);
        m_pending.clear();
        m_skipping = false;
        from = end + 1;
    }
    return lines;
}

void LineBuffer::clear()
{
    m_pending.clear();
    m_skipping = false;
}
