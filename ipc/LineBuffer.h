#pragma once

#include <QByteArray>
#include <QByteArrayList>

// Cuts a byte stream into lines at "\n". What the far end sends is not
// trusted: a line longer than the limit is thrown away whole (up to and
// including its line feed) instead of growing the buffer without end.
class LineBuffer
{
public:
    explicit LineBuffer(qsizetype limit) : m_limit(limit) { }

    // Appends and returns the complete lines, without their "\n". Sets
    // `overflowed` when a line was dropped for its length.
    QByteArrayList append(const QByteArray &bytes, bool *overflowed = nullptr);
    void clear();
    qsizetype pending() const { return m_pending.size(); }

private:
    qsizetype m_limit;
    QByteArray m_pending;
    bool m_skipping = false;
};
