#pragma once

#include <QString>
#include <QStringList>

// What the local gateway accepts from its callers. Anything else is refused with the
// operation's failure outcome; nothing is cut short or altered to make it fit.
namespace InputRules {

inline constexpr int MaxPasswordLength = 64;
inline constexpr int MaxParticularLength = 200;
inline constexpr int MaxCardFieldLength = 64;
// A concatenated SMS numbers its parts in one byte.
inline constexpr int MaxSegments = 255;
inline constexpr int MaxRecipients = 100;
inline constexpr int MaxExtensionLength = 6;

// `XXX-XXX-XXX-XXXXX`, each X an ASCII digit or capital letter.
bool isAccountNumber(const QString &text);
// An optional leading +, then 3 to 20 ASCII digits.
bool isPhone(const QString &text);
// 1 to MaxExtensionLength ASCII digits.
bool isExtension(const QString &text);
// A text without control characters: C0, DEL, C1, the line and paragraph separators
// and the bidirectional controls, any of which would let a stored text forge or reorder
// what a listing shows.
bool isPlainText(const QString &text);
// Well-formed UTF-16 (no unpaired surrogate, which the store could not keep as it is).
bool isWellFormed(const QString &text);
// A non-empty, well-formed message text of at most MaxSegments segments.
bool isMessageText(const QString &text);
// One phone or several separated by commas (ASCII or full-width), blanks around each
// allowed; repeated numbers are listed once. False when any entry is not a phone,
// when an entry is empty, or when there are more than MaxRecipients.
bool splitRecipients(const QString &text, QStringList &phones);

} // namespace InputRules
