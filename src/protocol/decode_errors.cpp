#include "protocol/decode_errors.h"

#include <array>
#include <charconv>

namespace procsampler::protocol {

namespace {

// Indexed by SyntaxError; the order must follow the enum.
constexpr std::array<std::string_view, 20> SYNTAX_TEXTS = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "key must be a string",
    "invalid escape",
    "unexpected end of hex escape",
    "lone leading surrogate in hex escape",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "invalid number",
    "number out of range",
    "trailing comma",
    "trailing characters",
    "recursion limit exceeded",
};
static_assert(SYNTAX_TEXTS.size() ==
              static_cast<std::size_t>(SyntaxError::RecursionLimitExceeded) + 1);

// Indexed by Expectation.
constexpr std::array<std::string_view, 8> EXPECTATION_TEXTS = {
    "u32",
    "u64",
    "a boolean",
    "a string",
    "a sequence",
    "struct ExternalProcess",
    "variant identifier",
    "internally tagged enum Command",
};
static_assert(EXPECTATION_TEXTS.size() == static_cast<std::size_t>(Expectation::TaggedCommand) + 1);

template <class Int>
void appendInt(std::string& out, Int value) {
  char digits[24];  // 20 digits of a 64-bit value and a sign
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string joined(std::initializer_list<std::string_view> parts) {
  std::string out;
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  out.reserve(size + 24);
  for (std::string_view part : parts) out += part;
  return out;
}

}  // namespace

std::string_view syntaxErrorText(SyntaxError error) {
  return SYNTAX_TEXTS[static_cast<std::size_t>(error)];
}

std::string_view expectationText(Expectation expectation) {
  return EXPECTATION_TEXTS[static_cast<std::size_t>(expectation)];
}

std::string withPosition(std::string message, std::size_t column) {
  message += " at line 1 column ";
  appendInt(message, column);
  return message;
}

std::string syntaxMessage(SyntaxError error, std::size_t column) {
  return withPosition(std::string(syntaxErrorText(error)), column);
}

std::string invalidType(std::string_view found, Expectation expected) {
  return joined({"invalid type: ", found, ", expected ", expectationText(expected)});
}

std::string invalidValueSigned(std::int64_t value, Expectation expected) {
  std::string out = "invalid value: integer `";
  appendInt(out, value);
  return out += joined({"`, expected ", expectationText(expected)});
}

std::string invalidValueUnsigned(std::uint64_t value, Expectation expected) {
  std::string out = "invalid value: integer `";
  appendInt(out, value);
  return out += joined({"`, expected ", expectationText(expected)});
}

std::string missingField(std::string_view name) { return joined({"missing field `", name, "`"}); }

std::string duplicateField(std::string_view name) {
  return joined({"duplicate field `", name, "`"});
}

std::string unknownVariant(std::string_view value, std::span<const std::string_view> tags) {
  std::string out = joined({"unknown variant `", value, "`, expected one of "});
  for (std::size_t k = 0; k < tags.size(); ++k) {
    if (k > 0) out += ", ";
    out += joined({"`", tags[k], "`"});
  }
  return out;
}

namespace {

// "invalid length {length}, expected ".
std::string invalidLengthHead(std::size_t length) {
  std::string out = "invalid length ";
  appendInt(out, length);
  return out += ", expected ";
}

std::string& appendElements(std::string& out, std::size_t count) {
  appendInt(out, count);
  return out += count == 1 ? " element" : " elements";
}

}  // namespace

std::string variantTooShort(std::size_t length, std::string_view variant, std::size_t fields) {
  std::string out =
      invalidLengthHead(length) + joined({"struct variant Command::", variant, " with "});
  return appendElements(out, fields);
}

std::string structTooShort(std::size_t length, std::string_view name, std::size_t fields) {
  std::string out = invalidLengthHead(length) + joined({"struct ", name, " with "});
  return appendElements(out, fields);
}

std::string tooManyElements(std::size_t length, std::size_t used) {
  std::string out = invalidLengthHead(length);
  return appendElements(out, used) += " in sequence";
}

std::string describeString(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 9);
  out += "string \"";
  auto escapeCode = [&out](unsigned code) {
    out += "\\u{";
    if (code >= 16) out += HEX[code >> 4];
    out += HEX[code & 15];
    out += '}';
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          escapeCode(byte);
        } else if (byte == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
          // U+0080..U+009F, the C1 controls, are as unprintable as the C0 ones.
          escapeCode(static_cast<unsigned char>(text[i + 1]));
          ++i;
        } else {
          out += static_cast<char>(byte);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace procsampler::protocol
