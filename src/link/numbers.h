#pragma once

#include <cstdint>
#include <string>

namespace kbx {

// Numbers read or written as text never follow the user's locale: "." is the
// decimal point and nothing groups the digits, whatever LANG, LC_ALL or
// LC_NUMERIC say.
//
// Number rules of the module's arithmetic: a result that does not fit its
// 16-bit Integer raises 6 "Overflow", text that is no number raises 13 "Type
// mismatch", conversions to whole numbers round halves to the even number.

// Rounds to the nearest whole number, halves to the even one.
double RoundHalfEven(double value);

// A value held in a 16-bit signed Integer (rounded half to even); 6 when it does not fit.
std::int16_t ToInteger(double value);

// A value held in a 32-bit signed Long (rounded half to even); 6 when it does not fit.
std::int32_t ToLong(double value);

// True when the text is a decimal number: optional blanks, an optional sign,
// digits with an optional decimal point, an optional exponent. "" is not.
bool IsNumeric(const std::string& text);

// The decimal number a numeric text denotes; 13 when it is not numeric.
double NumberFromText(const std::string& text);

// A text converted to an Integer: 13 when it is not a number, 6 when it does not fit.
std::int16_t IntegerFromText(const std::string& text);

// The value of "&h" followed by the text: hexadecimal digits read up to the
// first character that is not one; no digit at all gives 0.
std::uint32_t HexValue(const std::string& text);

// Two upper-case hexadecimal digits: "0F".
std::string Hex2(std::uint8_t byte);

// Upper-case hexadecimal digits without leading zeros ("0" for 0).
std::string HexText(std::uint32_t value);

// The value with `decimals` digits after the point (0 to 64), rounded as the C
// library rounds ("1.03" for 1.03f and 2); "inf" or "nan", signed, for no
// finite value.
std::string FixedText(double value, int decimals);

// A whole number as the sign-reserving number text: a blank before a number
// of 0 or more, a minus sign before a negative one.
std::string SignedNumberText(double whole);

// Left-pads with "0" to n characters, or keeps the leftmost n.
std::string FixLength(std::string s, int n);

}  // namespace kbx
