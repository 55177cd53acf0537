// Fuzz target: the wire's scan of a JSON text before QJsonDocument reads it, scanJson.
//
// The input is the text, bytes as a request body brings them. Checked besides "no crash,
// in time": a raw control character is reported only where the text holds one; whatever
// QJsonDocument writes of a text it reads passes the scan (compact and indented); and
// that object with its first key written once more in front is reported as repeating a
// key.

#include "fuzz/fuzzinput.h"
#include "protocol/wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

using FuzzInput::require;
using Wire::JsonFault;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString shown = QString::fromLatin1(text);
    const JsonFault fault = Wire::scanJson(text);
    if (fault == JsonFault::RawControl)
        require(std::any_of(text.cbegin(), text.cend(), [](char c) { return uchar(c) < 0x20; }),
                "a raw control character is reported only where there is one", shown);

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return 0;
    const QByteArray compact = document.toJson(QJsonDocument::Compact);
    require(Wire::scanJson(compact) == JsonFault::None,
            "what QJsonDocument writes passes (compact)", shown);
    require(Wire::scanJson(document.toJson(QJsonDocument::Indented)) == JsonFault::None,
            "what QJsonDocument writes passes (indented)", shown);
    if (!document.isObject() || document.object().isEmpty())
        return 0;
    // The first key as QJsonDocument writes it: ["key"] without its brackets.
    const QByteArray key = QJsonDocument(QJsonArray { document.object().keys().first() })
                               .toJson(QJsonDocument::Compact)
                               .chopped(1)
                               .sliced(1);
    const QByteArray again = "{" + key + ":null," + compact.sliced(1);
    require(Wire::scanJson(again) == JsonFault::DuplicateKey,
            "an object with its first key again repeats a key", shown);
    return 0;
}
