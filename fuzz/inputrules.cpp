// Fuzz target: what the local gateway accepts from its callers (InputRules).
//
// The same text goes through every rule. Account numbers, phones and extension codes
// are checked against their written patterns, well-formedness against Qt's own UTF-16
// check. A recipient list that parses holds 1 to MaxRecipients distinct phones, and
// re-joined in canonical form (ASCII commas, full-width commas, blanks around) parses
// to the same list; one that does not parse leaves the caller's list as it was, and
// parses exactly when its pattern says so.

#include "gateway/local/inputrules.h"
#include "fuzz/fuzzinput.h"
#include "gateway/local/segmentcounter.h"

#include <QRegularExpression>
#include <QSet>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

// The blanks QString::trimmed() removes, written out, with the two commas.
const QString Blank = u"[\\t\\n\\v\\f\\r \\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}"
                      u"\\x{2028}\\x{2029}\\x{202f}\\x{205f}\\x{3000}]*"_s;
const QString Phone = u"\\+?[0-9]{3,20}"_s;

QRegularExpression whole(const QString &pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
}

const QRegularExpression AccountPattern
    = whole(u"[0-9A-Z]{3}-[0-9A-Z]{3}-[0-9A-Z]{3}-[0-9A-Z]{5}"_s);
const QRegularExpression PhonePattern = whole(Phone);
const QRegularExpression ExtensionPattern = whole(u"[0-9]{1,6}"_s);
const QRegularExpression ListPattern
    = whole(Blank + Phone + Blank + u"(?:[,，]"_s + Blank + Phone + Blank + u")*"_s);

bool matches(const QRegularExpression &pattern, const QString &text)
{
    // The pattern matcher wants well-formed UTF-16; none of the patterns accepts a
    // surrogate, so a text with one never matches.
    return QStringView(text).isValidUtf16() && pattern.match(text).hasMatch();
}

void checkRecipients(const QString &text)
{
    const QStringList untouched { u"untouched"_s };
    QStringList phones = untouched;
    const bool parsed = InputRules::splitRecipients(text, phones);

    const bool listPattern = matches(ListPattern, text);
    const qsizetype entries = text.count(u',') + text.count(u'，') + 1;
    require(parsed == (listPattern && entries <= InputRules::MaxRecipients),
            "a recipient list parses exactly when it is 1 to MaxRecipients blank-padded phones "
            "separated by commas",
            text);

    if (!parsed) {
        require(phones == untouched, "a refused recipient list leaves the caller's list", text);
        return;
    }
    require(!phones.isEmpty() && phones.size() <= InputRules::MaxRecipients,
            "a parsed recipient list holds 1 to MaxRecipients phones", text);
    require(QSet<QString>(phones.begin(), phones.end()).size() == phones.size(),
            "a parsed recipient list names each phone once", text);
    for (const QString &phone : phones) {
        require(InputRules::isPhone(phone), "every parsed recipient is a phone", text);
        require(text.contains(phone), "every parsed recipient is written in the list", text);
    }
    for (const QString &separator : { u","_s, u"，"_s, u" , "_s, u"\u3000，\t"_s }) {
        QStringList again;
        require(InputRules::splitRecipients(phones.join(separator), again) && again == phones,
                "a parsed recipient list re-joined parses to itself", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = FuzzInput::text(data, size);

    require(InputRules::isAccountNumber(text) == matches(AccountPattern, text),
            "account numbers are XXX-XXX-XXX-XXXXX of ASCII digits and capitals", text);
    require(InputRules::isPhone(text) == matches(PhonePattern, text),
            "phones are an optional + and 3 to 20 ASCII digits", text);
    require(InputRules::isExtension(text) == matches(ExtensionPattern, text),
            "extension codes are 1 to 6 ASCII digits", text);

    const bool wellFormed = InputRules::isWellFormed(text);
    require(wellFormed == QStringView(text).isValidUtf16(),
            "well-formed means no unpaired surrogate", text);
    if (InputRules::isMessageText(text)) {
        require(!text.isEmpty() && wellFormed, "a message text is non-empty and well-formed", text);
        require(SegmentCounter::segments(text) <= InputRules::MaxSegments,
                "a message text fits MaxSegments segments", text);
    } else {
        require(text.isEmpty() || !wellFormed
                    || SegmentCounter::segments(text) > InputRules::MaxSegments,
                "a message text is refused only when empty, ill-formed or too long", text);
    }

    checkRecipients(text);
    return 0;
}
