#pragma once

#include <QString>

// How the operator tool shows any text that comes from outside (the store, the command
// line): every character that could break a listing's rows and columns or drive the
// terminal is written as a visible escape, so one record stays one row and what is
// shown can be read back exactly.
//
//   backslash                                  \\        (so every escape is unambiguous)
//   tab, line feed, carriage return            \t \n \r
//   other C0 controls, DEL, C1 controls        \xHH
//   U+2028, U+2029, bidi controls (U+061C,     \uHHHH
//   U+200E/200F, U+202A-202E, U+2066-2069),
//   unpaired surrogates
//
// Everything else, Chinese included, is shown as it is.
QString escapeControls(const QString &text);
