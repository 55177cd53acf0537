// Fuzz target: how many SMS segments a text takes (SegmentCounter).
//
// The count is checked against segments cut here by position: a 7-bit text is laid
// out as septets (an extension character as an escape and its septet) and cut every
// 153 septets, one earlier where the cut would fall between an escape and its
// character; any other text is cut every 67 UTF-16 code units, one earlier where the
// cut would fall inside a surrogate pair. A text within one segment (160 septets, 70
// code units) is one segment. Also: 7-bit exactly when every character is, and a
// longer text never takes fewer segments than its beginning.

#include "gateway/local/segmentcounter.h"
#include "fuzz/fuzzinput.h"

#include <QList>

#include <algorithm>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

// The GSM 03.38 extension table: sent as an escape and a second septet.
bool isExtension(QChar c)
{
    return u"\f^{}\\[~]|€"_s.contains(c);
}

bool isGsm7(QChar c)
{
    return SegmentCounter::encoding(QString(c)) == SegmentCounter::Encoding::Gsm7;
}

// Cuts a stream of `size` units into segments of at most `multi` units (one segment of
// at most `single` when it fits), moving a cut one unit earlier where `joined(p)` says
// units p-1 and p belong together.
template<typename Joined>
int cutCount(qsizetype size, qsizetype single, qsizetype multi, Joined joined)
{
    if (size == 0)
        return 0;
    if (size <= single)
        return 1;
    int segments = 0;
    qsizetype start = 0;
    while (start < size) {
        qsizetype cut = qMin(start + multi, size);
        if (cut < size && joined(cut))
            --cut;
        ++segments;
        start = cut;
    }
    return segments;
}

int referenceSegments(const QString &text, bool gsm7)
{
    if (gsm7) {
        // true marks the escape septet of an extension character.
        QList<bool> escapes;
        for (QChar c : text) {
            if (isExtension(c))
                escapes.append(true);
            escapes.append(false);
        }
        return cutCount(escapes.size(), 160, 153, [&](qsizetype p) { return escapes[p - 1]; });
    }
    return cutCount(text.size(), 70, 67, [&](qsizetype p) {
        return text[p - 1].isHighSurrogate() && text[p].isLowSurrogate();
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = FuzzInput::text(data, size);
    const bool gsm7 = SegmentCounter::encoding(text) == SegmentCounter::Encoding::Gsm7;
    const int segments = SegmentCounter::segments(text);

    require(gsm7 == std::all_of(text.begin(), text.end(), isGsm7),
            "a text is 7-bit exactly when every character is", text);
    require(segments == referenceSegments(text, gsm7),
            "segments are cut without splitting an escape or a surrogate pair", text);
    require((segments == 0) == text.isEmpty(), "only the empty text takes no segment", text);
    if (!text.isEmpty()) {
        require(SegmentCounter::segments(text.chopped(1)) <= segments,
                "a longer text never takes fewer segments", text);
        require(SegmentCounter::segments(text.first(text.size() / 2)) <= segments,
                "a longer text never takes fewer segments", text);
    }
    return 0;
}
