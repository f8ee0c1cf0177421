#pragma once

#include <QString>

// Printable text: what may be shown on a line of a terminal or written on a
// line of a text file as it is. Not printable: control characters (C0, DEL,
// C1 such as U+0085), format characters (bidirectional overrides among
// them), surrogates, private-use and unassigned code points, and the line
// and paragraph separators.

bool IsPrintableCodePoint(char32_t code);

// The first code point of the text that is not printable, as "U+000D";
// empty when there is none.
QString FirstUnprintable(const QString& text);

// The text with each code point that is not printable written as an escape
// ("\x1b", "\u202e", "\U000e0001"), so that a name from a package cannot
// forge lines of a report or steer a terminal.
QString EscapeUnprintable(const QString& text);
