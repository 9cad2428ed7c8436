// A single-pass reader of JSON text (RFC 8259) over one input line, and the flat form in which it
// keeps what it read: one vector of nodes in document order, strings borrowed from the line unless
// they held escapes. Used only by the command decoder, on the command reader thread; both objects
// live for one decode and borrow the line, which must outlive them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/decode_errors.h"

namespace procsampler::protocol::json {

enum class Kind : std::uint8_t {
  Null,
  False,
  True,
  Unsigned,
  Signed,
  Float,
  String,
  Array,
  Object
};

// One value. A container is followed by its descendants in document order; an object's members
// are a key (String) then its value. Unsigned, Signed and Float hold their value's bits in first.
struct Node {
  Kind kind = Kind::Null;
  bool inArena = false;      // String: the unescaped text lives in the tree's arena, not the line
  std::uint64_t first = 0;   // String: offset; Array: element count; Object: member count
  std::uint64_t second = 0;  // String: length; Array, Object: index just past the last descendant
};

class Tree {
 public:
  explicit Tree(std::string_view line) : line_(line) {}

  std::size_t size() const { return nodes_.size(); }
  const Node& operator[](std::size_t index) const { return nodes_[index]; }

  // Valid while the tree and the line live.
  std::string_view text(const Node& node) const {
    const auto offset = static_cast<std::size_t>(node.first);
    const auto length = static_cast<std::size_t>(node.second);
    return node.inArena ? std::string_view(arena_).substr(offset, length)
                        : line_.substr(offset, length);
  }
  static std::uint64_t unsignedValue(const Node& node) { return node.first; }
  static std::int64_t signedValue(const Node& node) {
    return std::bit_cast<std::int64_t>(node.first);
  }
  static double floatValue(const Node& node) { return std::bit_cast<double>(node.first); }
  static std::size_t count(const Node& node) { return static_cast<std::size_t>(node.first); }

  // The index of the value after the one at index, skipping its descendants.
  std::size_t next(std::size_t index) const {
    const Node& node = nodes_[index];
    return node.kind == Kind::Array || node.kind == Kind::Object
               ? static_cast<std::size_t>(node.second)
               : index + 1;
  }

  // Forgets the nodes from index on (a value read only to be looked at once).
  void truncate(std::size_t index) { nodes_.resize(index); }
  void reserve(std::size_t nodes) { nodes_.reserve(nodes); }

 private:
  friend class Reader;

  std::string_view line_;
  std::vector<Node> nodes_;
  std::string arena_;  // unescaped texts, addressed by offset so growth does not invalidate them
};

// Reads values from the line into the tree. Every reading call returns false on a syntax error,
// after which error() and errorColumn() describe it and the reader is not used again. Columns
// are 1-based byte positions: the offending byte, the end of a token, or the line's length when
// the line ended too early.
class Reader {
 public:
  static constexpr int END = -1;
  // Spent on every opening bracket, the outermost one included; the line is refused when it
  // reaches zero, so at most 127 arrays and objects are open at once.
  static constexpr int DEPTH_BUDGET = 128;

  Reader(std::string_view line, Tree& tree) : line_(line), tree_(tree) {}

  // Skips JSON white space and returns the next byte without consuming it, or END.
  int peek() {
    while (pos_ < line_.size() && isWhitespace(line_[pos_])) ++pos_;
    return pos_ < line_.size() ? static_cast<unsigned char>(line_[pos_]) : END;
  }
  // Bytes consumed so far, which is also the column of the last one.
  std::size_t position() const { return pos_; }

  // Appends one complete value (after any white space) and its descendants.
  [[nodiscard]] bool readValue();
  // Appends one String node; the next byte must be the opening quote.
  [[nodiscard]] bool readString();
  // Consumes the opening bracket at the current byte against the depth budget; the closing
  // bracket gives it back.
  [[nodiscard]] bool enter();

  // One array or object, one element or member at a time, for the reader's own containers and for
  // a caller that reads the top level itself: the container grammar and its refusals live only
  // here. first: nothing of the container has been read since enter(). End: the closing bracket
  // has been consumed.
  enum class Step : std::uint8_t { Item, End, Failed };
  // Item: an element follows, for readValue() or the caller to read.
  [[nodiscard]] Step nextElement(bool first);
  // Item: the member's key has been appended as a String node; readColon() and its value follow.
  [[nodiscard]] Step nextKey(bool first);
  // The colon between a key and its value.
  [[nodiscard]] bool readColon();

  [[nodiscard]] bool fail(SyntaxError error, std::size_t column) {
    error_ = error;
    errorColumn_ = column;
    return false;
  }
  SyntaxError error() const { return error_; }
  std::size_t errorColumn() const { return errorColumn_; }

 private:
  static bool isWhitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

  // What one kind of container calls its closing bracket and each way its text can go wrong.
  struct Grammar {
    char close;
    SyntaxError endAtStart, endAfterComma, endAfterItem, unexpected;
  };
  static const Grammar ARRAY;
  static const Grammar OBJECT;

  Step next(const Grammar& grammar, bool first);
  Step failStep(SyntaxError error, std::size_t column) {
    static_cast<void>(fail(error, column));
    return Step::Failed;
  }
  bool readArray();
  bool readObject();
  // A container's node, appended before its elements and told their count and extent after them.
  std::size_t openContainer(Kind kind);
  void closeContainer(std::size_t index, std::uint64_t count);
  bool readNumber();
  bool readDigits();
  bool readLiteral(std::string_view word, Kind kind);
  bool readEscapedRest(std::size_t start, std::size_t stop);
  bool readEscape();
  bool readHex4(std::uint32_t& value);
  void pushText(bool inArena, std::size_t offset, std::size_t length);
  void pushScalar(Kind kind, std::uint64_t bits) { tree_.nodes_.push_back({kind, false, bits, 0}); }

  std::string_view line_;
  Tree& tree_;
  std::size_t pos_ = 0;
  int budget_ = DEPTH_BUDGET;
  SyntaxError error_ = SyntaxError::ExpectedValue;
  std::size_t errorColumn_ = 0;
};

}  // namespace procsampler::protocol::json
