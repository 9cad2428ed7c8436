// The words of every refusal the command decoder can give, kept in one place so tests can compare
// them byte for byte. Reader errors are fixed texts plus a column; schema errors are built from a
// few parameterised forms. Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace procsampler::protocol {

// Problems found while reading the JSON text itself; every one is reported with its column.
enum class SyntaxError : std::uint8_t {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  KeyMustBeAString,
  InvalidEscape,
  UnexpectedEndOfHexEscape,
  LoneLeadingSurrogateInHexEscape,
  InvalidUnicodeCodePoint,
  ControlCharacterWhileParsingString,
  InvalidNumber,
  NumberOutOfRange,
  TrailingComma,
  TrailingCharacters,
  RecursionLimitExceeded,
};

std::string_view syntaxErrorText(SyntaxError error);

// What a value was expected to be, as the "expected ..." end of a type or value refusal.
enum class Expectation : std::uint8_t {
  U32,
  U64,
  Boolean,
  String,
  Sequence,
  ExternalProcess,
  VariantIdentifier,
  TaggedCommand,
};

std::string_view expectationText(Expectation expectation);

// " at line 1 column {column}" appended to message; a line never holds a line feed.
std::string withPosition(std::string message, std::size_t column);

std::string syntaxMessage(SyntaxError error, std::size_t column);

// found: a description such as "integer `5`" or `string "yes"` (see describeString).
std::string invalidType(std::string_view found, Expectation expected);
std::string invalidValueSigned(std::int64_t value, Expectation expected);
std::string invalidValueUnsigned(std::uint64_t value, Expectation expected);
std::string missingField(std::string_view name);
std::string duplicateField(std::string_view name);
// tags: every variant's tag, in the order the message lists them.
std::string unknownVariant(std::string_view value, std::span<const std::string_view> tags);
// "invalid length {length}, expected struct variant Command::{variant} with {fields} element(s)".
std::string variantTooShort(std::size_t length, std::string_view variant, std::size_t fields);
// "invalid length {length}, expected struct {name} with {fields} element(s)".
std::string structTooShort(std::size_t length, std::string_view name, std::size_t fields);
// "invalid length {length}, expected {used} element(s) in sequence".
std::string tooManyElements(std::size_t length, std::size_t used);

// `string "..."`: quotes, backslashes and control characters escaped so the text stays one line.
std::string describeString(std::string_view text);

}  // namespace procsampler::protocol
