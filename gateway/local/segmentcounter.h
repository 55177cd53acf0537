#pragma once

#include <QString>

// How many SMS segments a text takes.
//
// A text whose every character is in the GSM 7-bit default alphabet (or its extension
// table, whose characters take an escape and so count twice) is sent in 7-bit: 160
// septets fit one segment, and a longer text is split into segments of 153. Any other
// text is sent as UCS-2: 70 code units in one segment, 67 per segment beyond. A split
// never separates an escaped character from its escape nor a surrogate pair.
class SegmentCounter {
public:
    enum class Encoding { Gsm7, Ucs2 };

    static Encoding encoding(const QString &text);
    // 0 for the empty text.
    static int segments(const QString &text);
    // Whether `text` fits one segment beside a user data header of `headerOctets`
    // (its length octet included): 140 octets in all, so 153 septets or 67 code units
    // beside a concatenation header with an 8-bit reference (6 octets), 152 or 66
    // beside one with a 16-bit reference (7).
    static bool fitsBeside(const QString &text, int headerOctets);
    // Septets of one character: 1 in the basic table, 2 in the extension table, 0 when
    // the character is not in the alphabet at all. The SMPP link splits by it.
    static int septets(char16_t c);
};
