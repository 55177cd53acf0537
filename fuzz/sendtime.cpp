// Fuzz target: the time of a scheduled message (SendTime).
//
// Checked for every input: a time that parses formats back (ISO 8601 with its offset,
// and the console's own form for a local time) to a text that parses to the same time
// (the same instant when it names an offset, the same wall clock when local); blanks
// around the text change nothing; a parsed time is within the window at its own instant
// and a minute later, and not a second after that. Every local time the console can
// write (1970 to 2100) parses back to the same text. The fuzzer runs in a time zone with
// daylight saving, so the hours that are skipped or repeated come up.

#include "gateway/local/sendtime.h"
#include "console/consoletexts.h"
#include "fuzz/fuzzinput.h"

#include <QtEndian>

#include <cstring>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

const QString &ConsoleFormat = ConsoleTexts::SendTimeFormat;

void checkConsoleTime(const uint8_t *data, size_t size)
{
    if (size < sizeof(quint64))
        return;
    quint64 raw = 0;
    std::memcpy(&raw, data, sizeof raw);
    // 1970-01-01 to 2100-01-01, in seconds.
    const qint64 seconds = qint64(qFromLittleEndian(raw) % quint64(4102444800));
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds);
    const QString written = local.toString(ConsoleFormat);
    const QDateTime parsed = SendTime::parse(written);
    require(parsed.isValid() && parsed.toString(ConsoleFormat) == written,
            "every local time the console writes parses back to itself", written);
}

// A local time in the hour that repeats when daylight saving ends names two instants,
// and which one the platform picks depends on earlier calls: for a local time the
// wall clock must agree, for one with an offset the instant.
bool sameTime(const QDateTime &a, const QDateTime &b)
{
    if (a.isValid() != b.isValid() || a.timeSpec() != b.timeSpec())
        return false;
    if (a.timeSpec() == Qt::LocalTime)
        return a.date() == b.date() && a.time() == b.time();
    return a == b;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("TZ", "Europe/Berlin");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkConsoleTime(data, size);

    const QString text = FuzzInput::text(data, size);
    const QDateTime parsed = SendTime::parse(text);
    require(sameTime(SendTime::parse(u" \t"_s + text + u"\u3000\n"_s), parsed),
            "blanks around a send time change nothing", text);
    if (!parsed.isValid())
        return 0;

    // ISO 8601 writes years 1 to 9999 only; the console's form also takes a year with a
    // minus sign, which the window then refuses.
    if (parsed.date().year() >= 1 && parsed.date().year() <= 9999) {
        const QDateTime again = SendTime::parse(parsed.toString(Qt::ISODateWithMs));
        require(sameTime(again, parsed),
                "a send time written back in ISO 8601 parses to the same time",
                text + u" read as "_s + parsed.toString(Qt::ISODateWithMs) + u" and "_s
                    + again.toString(Qt::ISODateWithMs));
    }
    if (parsed.timeSpec() == Qt::LocalTime && parsed.time().msec() == 0) {
        const QString written = parsed.toString(ConsoleFormat);
        require(SendTime::parse(written).toString(ConsoleFormat) == written,
                "a local send time written back in the console's form parses to itself", text);
    }
    require(SendTime::withinWindow(parsed, parsed), "a send time is within the window at itself",
            text);
    require(SendTime::withinWindow(parsed, parsed.addSecs(SendTime::MaxPastSeconds)),
            "a send time a minute past is still within the window", text);
    require(!SendTime::withinWindow(parsed, parsed.addSecs(SendTime::MaxPastSeconds + 1)),
            "a send time more than a minute past is outside the window", text);
    return 0;
}
