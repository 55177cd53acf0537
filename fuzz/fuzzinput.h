#pragma once

// What the fuzz targets share: how the fuzzer's bytes become the texts a caller could
// hand a parser, and how a broken property stops the run.
//
//   libFuzzer bytes ── text(): UTF-16LE code units, any of them (lone surrogates too)
//                   └─ the parser under test ── require(property, input)
//                                                 broken: the property and the input on
//                                                 stderr, then abort (libFuzzer keeps the
//                                                 input as a crash file)

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace FuzzInput {

// Two bytes per code unit, low byte first; an odd last byte is dropped.
inline QString text(const uint8_t *data, size_t size)
{
    QString result(qsizetype(size / 2), Qt::Uninitialized);
    for (size_t i = 0; i < size / 2; ++i)
        result[qsizetype(i)] = QChar(char16_t(data[2 * i] | (data[2 * i + 1] << 8)));
    return result;
}

// The text with every code unit outside printable ASCII written as \uXXXX, so a
// report shows exactly what went in.
inline QByteArray shown(const QString &text)
{
    QByteArray out;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7f && u != u'\\')
            out.append(char(u));
        else
            out.append(QByteArray("\\u") + QByteArray::number(u, 16).rightJustified(4, '0'));
    }
    return out;
}

inline void require(bool holds, const char *property, const QString &input)
{
    if (holds)
        return;
    std::fprintf(stderr, "Property broken: %s\nInput: \"%s\"\n", property,
                 shown(input).constData());
    std::abort();
}

} // namespace FuzzInput
