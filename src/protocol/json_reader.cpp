#include "protocol/json_reader.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

namespace procsampler::protocol::json {

namespace {

// The correctly rounded double of a grammatical JSON number. std::from_chars would do, but the
// libc++ of some Apple toolchains lacks its floating-point overloads; strtod is as exact and reads
// with the C locale's decimal point, which the sidecar never changes (it never calls setlocale).
// False when the value is out of a double's range, either way: the caller tells which.
bool parseDouble(std::string_view text, double& value) {
  char small[64];
  std::string large;
  const char* terminated = small;
  if (text.size() < sizeof small) {
    std::memcpy(small, text.data(), text.size());
    small[text.size()] = '\0';
  } else {
    large.assign(text);
    terminated = large.c_str();
  }
  errno = 0;
  value = std::strtod(terminated, nullptr);
  // A subnormal result may also set ERANGE; only a result that rounds away to zero or to
  // infinity is out of range here.
  return errno != ERANGE || (value != 0.0 && std::isfinite(value));
}

// Bytes that end a run of plain string content: the closing quote, an escape, a raw control.
constexpr std::array<bool, 256> STRING_STOP = [] {
  std::array<bool, 256> stop{};
  for (int c = 0; c < 0x20; ++c) stop[static_cast<std::size_t>(c)] = true;
  stop['"'] = true;
  stop['\\'] = true;
  return stop;
}();

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// For a number the float parser could not represent: true when it is too large, false when it is
// merely too close to zero. Only the sign of the decimal exponent of the leading digit matters,
// since the two cases lie hundreds of orders of magnitude apart. text is grammatical JSON.
bool tooLarge(std::string_view text) {
  std::size_t i = text[0] == '-' ? 1 : 0;
  std::int64_t magnitude;
  if (text[i] != '0') {
    const std::size_t intStart = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    magnitude = static_cast<std::int64_t>(i - intStart) - 1;
  } else {
    ++i;
    magnitude = -1;
    if (i < text.size() && text[i] == '.') {
      ++i;
      while (i < text.size() && text[i] == '0') {
        ++i;
        --magnitude;
      }
    }
  }
  while (i < text.size() && (isDigit(text[i]) || text[i] == '.')) ++i;
  std::int64_t exponent = 0;
  if (i < text.size()) {  // 'e' or 'E'
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    for (; i < text.size(); ++i) {
      // Saturating: far beyond any line's digit count, so the sum below keeps its sign.
      if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent >= 0;
}

}  // namespace

bool Reader::enter() {
  if (--budget_ == 0) return fail(SyntaxError::RecursionLimitExceeded, pos_ + 1);
  ++pos_;
  return true;
}

bool Reader::readValue() {
  switch (peek()) {
    case END:
      return fail(SyntaxError::EofWhileParsingValue, line_.size());
    case '"':
      return readString();
    case '[':
      return readArray();
    case '{':
      return readObject();
    case 't':
      return readLiteral("true", Kind::True);
    case 'f':
      return readLiteral("false", Kind::False);
    case 'n':
      return readLiteral("null", Kind::Null);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return readNumber();
    default:
      return fail(SyntaxError::ExpectedValue, pos_ + 1);
  }
}

const Reader::Grammar Reader::ARRAY = {
    ']', SyntaxError::EofWhileParsingList, SyntaxError::EofWhileParsingValue,
    SyntaxError::EofWhileParsingList, SyntaxError::ExpectedListCommaOrEnd};
const Reader::Grammar Reader::OBJECT = {
    '}', SyntaxError::EofWhileParsingObject, SyntaxError::EofWhileParsingObject,
    SyntaxError::EofWhileParsingObject, SyntaxError::ExpectedObjectCommaOrEnd};

Reader::Step Reader::next(const Grammar& grammar, bool first) {
  int c = peek();
  if (first) {
    if (c == END) return failStep(grammar.endAtStart, line_.size());
  } else if (c == ',') {
    ++pos_;
    c = peek();
    if (c == END) return failStep(grammar.endAfterComma, line_.size());
    if (c == grammar.close) return failStep(SyntaxError::TrailingComma, pos_ + 1);
    return Step::Item;
  } else if (c == END) {
    return failStep(grammar.endAfterItem, line_.size());
  } else if (c != grammar.close) {
    return failStep(grammar.unexpected, pos_ + 1);
  }
  if (c != grammar.close) return Step::Item;
  ++pos_;
  ++budget_;
  return Step::End;
}

Reader::Step Reader::nextElement(bool first) { return next(ARRAY, first); }

Reader::Step Reader::nextKey(bool first) {
  const Step step = next(OBJECT, first);
  if (step != Step::Item) return step;
  if (peek() != '"') return failStep(SyntaxError::KeyMustBeAString, pos_ + 1);
  return readString() ? Step::Item : Step::Failed;
}

bool Reader::readColon() {
  const int c = peek();
  if (c == END) return fail(SyntaxError::EofWhileParsingObject, line_.size());
  if (c != ':') return fail(SyntaxError::ExpectedColon, pos_ + 1);
  ++pos_;
  return true;
}

std::size_t Reader::openContainer(Kind kind) {
  const std::size_t index = tree_.nodes_.size();
  tree_.nodes_.push_back({kind, false, 0, 0});
  return index;
}

void Reader::closeContainer(std::size_t index, std::uint64_t count) {
  tree_.nodes_[index].first = count;
  tree_.nodes_[index].second = tree_.nodes_.size();
}

bool Reader::readArray() {
  if (!enter()) return false;
  const std::size_t index = openContainer(Kind::Array);
  std::uint64_t count = 0;
  for (Step step; (step = nextElement(count == 0)) != Step::End; ++count) {
    if (step == Step::Failed || !readValue()) return false;
  }
  closeContainer(index, count);
  return true;
}

bool Reader::readObject() {
  if (!enter()) return false;
  const std::size_t index = openContainer(Kind::Object);
  std::uint64_t count = 0;
  for (Step step; (step = nextKey(count == 0)) != Step::End; ++count) {
    if (step == Step::Failed || !readColon() || !readValue()) return false;
  }
  closeContainer(index, count);
  return true;
}

bool Reader::readLiteral(std::string_view word, Kind kind) {
  for (std::size_t k = 1; k < word.size(); ++k) {
    const std::size_t i = pos_ + k;
    if (i >= line_.size()) return fail(SyntaxError::EofWhileParsingValue, line_.size());
    if (line_[i] != word[k]) return fail(SyntaxError::ExpectedIdent, i + 1);
  }
  pos_ += word.size();
  pushScalar(kind, 0);
  return true;
}

bool Reader::readDigits() {
  if (pos_ == line_.size()) return fail(SyntaxError::EofWhileParsingValue, line_.size());
  if (!isDigit(line_[pos_])) return fail(SyntaxError::InvalidNumber, pos_ + 1);
  do ++pos_;
  while (pos_ < line_.size() && isDigit(line_[pos_]));
  return true;
}

bool Reader::readNumber() {
  const std::size_t start = pos_;
  const std::size_t n = line_.size();
  const bool negative = line_[pos_] == '-';
  if (negative) ++pos_;
  if (pos_ == n) return fail(SyntaxError::EofWhileParsingValue, n);
  std::uint64_t magnitude = 0;
  bool overflow = false;
  char c = line_[pos_];
  if (c == '0') {
    ++pos_;
    if (pos_ < n && isDigit(line_[pos_])) return fail(SyntaxError::InvalidNumber, pos_ + 1);
  } else if (isDigit(c)) {
    constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
    do {
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (magnitude > (MAX - digit) / 10) {
        overflow = true;
      } else {
        magnitude = magnitude * 10 + digit;
      }
      ++pos_;
    } while (pos_ < n && isDigit(c = line_[pos_]));
  } else {
    return fail(SyntaxError::InvalidNumber, pos_ + 1);
  }

  bool integral = true;
  if (pos_ < n && line_[pos_] == '.') {
    ++pos_;
    if (!readDigits()) return false;
    integral = false;
  }
  if (pos_ < n && (line_[pos_] == 'e' || line_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < n && (line_[pos_] == '+' || line_[pos_] == '-')) ++pos_;
    if (!readDigits()) return false;
    integral = false;
  }

  if (integral && !overflow) {
    if (!negative) {
      pushScalar(Kind::Unsigned, magnitude);
      return true;
    }
    if (magnitude == 0) {  // "-0" is the float negative zero, not the integer 0
      pushScalar(Kind::Float, std::bit_cast<std::uint64_t>(-0.0));
      return true;
    }
    if (magnitude <= std::uint64_t{1} << 63) {
      // Two's complement: 0 - magnitude is the bit pattern of the negative value.
      pushScalar(Kind::Signed, 0 - magnitude);
      return true;
    }
  }

  const std::string_view text = line_.substr(start, pos_ - start);
  double value = 0;
  if (!parseDouble(text, value)) {
    if (tooLarge(text)) return fail(SyntaxError::NumberOutOfRange, pos_);
    value = negative ? -0.0 : 0.0;
  }
  pushScalar(Kind::Float, std::bit_cast<std::uint64_t>(value));
  return true;
}

bool Reader::readString() {
  const std::size_t start = ++pos_;
  const char* data = line_.data();
  const std::size_t n = line_.size();
  std::size_t i = start;
  while (i < n && !STRING_STOP[static_cast<unsigned char>(data[i])]) ++i;
  if (i == n) return fail(SyntaxError::EofWhileParsingString, n);
  if (data[i] == '"') {
    pushText(false, start, i - start);
    pos_ = i + 1;
    return true;
  }
  return readEscapedRest(start, i);
}

bool Reader::readEscapedRest(std::size_t start, std::size_t stop) {
  std::string& arena = tree_.arena_;
  const std::size_t arenaStart = arena.size();
  const char* data = line_.data();
  const std::size_t n = line_.size();
  arena.append(data + start, stop - start);
  pos_ = stop;
  for (;;) {
    const char c = data[pos_];
    if (c == '"') {
      ++pos_;
      pushText(true, arenaStart, arena.size() - arenaStart);
      return true;
    }
    if (c != '\\') return fail(SyntaxError::ControlCharacterWhileParsingString, pos_ + 1);
    if (!readEscape()) return false;
    std::size_t i = pos_;
    while (i < n && !STRING_STOP[static_cast<unsigned char>(data[i])]) ++i;
    arena.append(data + pos_, i - pos_);
    pos_ = i;
    if (pos_ == n) return fail(SyntaxError::EofWhileParsingString, n);
  }
}

bool Reader::readEscape() {
  std::string& arena = tree_.arena_;
  const std::size_t n = line_.size();
  ++pos_;  // the backslash
  if (pos_ == n) return fail(SyntaxError::EofWhileParsingString, n);
  switch (line_[pos_++]) {
    case '"':
      arena += '"';
      return true;
    case '\\':
      arena += '\\';
      return true;
    case '/':
      arena += '/';
      return true;
    case 'b':
      arena += '\b';
      return true;
    case 'f':
      arena += '\f';
      return true;
    case 'n':
      arena += '\n';
      return true;
    case 'r':
      arena += '\r';
      return true;
    case 't':
      arena += '\t';
      return true;
    case 'u':
      break;
    default:
      return fail(SyntaxError::InvalidEscape, pos_);
  }
  std::uint32_t code = 0;
  if (!readHex4(code)) return false;
  if (code >= 0xdc00 && code <= 0xdfff) {
    return fail(SyntaxError::LoneLeadingSurrogateInHexEscape, pos_);
  }
  if (code >= 0xd800 && code <= 0xdbff) {
    // A leading surrogate only makes a character together with a trailing one, escaped at once.
    for (const char expected : {'\\', 'u'}) {
      if (pos_ == n) return fail(SyntaxError::EofWhileParsingString, n);
      if (line_[pos_] != expected) {
        return fail(SyntaxError::LoneLeadingSurrogateInHexEscape, pos_ + 1);
      }
      ++pos_;
    }
    std::uint32_t low = 0;
    if (!readHex4(low)) return false;
    if (low < 0xdc00 || low > 0xdfff) return fail(SyntaxError::InvalidUnicodeCodePoint, pos_);
    code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
  }
  appendUtf8(arena, code);
  return true;
}

bool Reader::readHex4(std::uint32_t& value) {
  value = 0;
  for (int k = 0; k < 4; ++k) {
    if (pos_ == line_.size()) return fail(SyntaxError::EofWhileParsingString, line_.size());
    const int digit = hexValue(line_[pos_]);
    if (digit < 0) return fail(SyntaxError::UnexpectedEndOfHexEscape, pos_ + 1);
    value = value * 16 + static_cast<std::uint32_t>(digit);
    ++pos_;
  }
  return true;
}

void Reader::pushText(bool inArena, std::size_t offset, std::size_t length) {
  tree_.nodes_.push_back({Kind::String, inArena, offset, length});
}

}  // namespace procsampler::protocol::json
