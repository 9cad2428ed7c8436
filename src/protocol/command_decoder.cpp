#include "protocol/command_decoder.h"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "protocol/decode_errors.h"
#include "protocol/float_format.h"
#include "protocol/json_reader.h"

namespace procsampler::protocol {

namespace {

using json::Kind;
using json::Node;
using json::Reader;
using json::Tree;

// Every field any variant has; a name means the same type wherever it appears.
enum class Field : std::uint8_t {
  Version,
  RootPid,
  SampleIntervalMs,
  ExternalProcesses,
  Processes,
  Enabled,
  RequestId,
  WindowMs,
};

constexpr std::array<std::string_view, 8> FIELD_NAMES = {
    "version",   "rootPid", "sampleIntervalMs", "externalProcesses",
    "processes", "enabled", "requestId",        "windowMs",
};

std::string_view fieldName(Field field) { return FIELD_NAMES[static_cast<std::size_t>(field)]; }

// Only configure's initial list may be left out; it then starts empty.
bool isRequired(Field field) { return field != Field::ExternalProcesses; }

struct VariantShape {
  std::string_view tag;
  std::string_view positional;  // the "expected" text when a positional form runs short
  std::size_t fieldCount;
  std::array<Field, 4> fields;  // declaration order
};

// In Command's alternative order, which is also the order the unknown-variant message lists.
constexpr std::array<VariantShape, 7> VARIANTS = {{
    {"configure",
     "struct variant Command::Configure with 4 elements",
     4,
     {Field::Version, Field::RootPid, Field::SampleIntervalMs, Field::ExternalProcesses}},
    {"setExternalProcesses",
     "struct variant Command::SetExternalProcesses with 2 elements",
     2,
     {Field::Version, Field::Processes}},
    {"setSampleInterval",
     "struct variant Command::SetSampleInterval with 2 elements",
     2,
     {Field::Version, Field::SampleIntervalMs}},
    {"setStreaming",
     "struct variant Command::SetStreaming with 2 elements",
     2,
     {Field::Version, Field::Enabled}},
    {"sampleNow",
     "struct variant Command::SampleNow with 2 elements",
     2,
     {Field::Version, Field::RequestId}},
    {"readHistory",
     "struct variant Command::ReadHistory with 3 elements",
     3,
     {Field::Version, Field::RequestId, Field::WindowMs}},
    {"shutdown", "struct variant Command::Shutdown with 1 element", 1, {Field::Version}},
}};
static_assert(VARIANTS.size() == std::variant_size_v<Command>);

constexpr std::string_view EXTERNAL_PROCESS_POSITIONAL = "struct ExternalProcess with 2 elements";

// The union of every variant's fields, filled as members are converted.
struct FieldValues {
  std::uint32_t version = 0;
  std::uint32_t rootPid = 0;
  std::uint64_t sampleIntervalMs = 0;
  std::uint64_t windowMs = 0;
  bool enabled = false;
  std::string requestId;
  std::vector<ExternalProcess> processes;  // externalProcesses or processes
};

Command build(std::size_t variant, FieldValues&& v) {
  switch (variant) {
    case 0:
      return Configure{v.version, v.rootPid, v.sampleIntervalMs, std::move(v.processes)};
    case 1:
      return SetExternalProcesses{v.version, std::move(v.processes)};
    case 2:
      return SetSampleInterval{v.version, v.sampleIntervalMs};
    case 3:
      return SetStreaming{v.version, v.enabled};
    case 4:
      return SampleNow{v.version, std::move(v.requestId)};
    case 5:
      return ReadHistory{v.version, std::move(v.requestId), v.windowMs};
    default:
      return Shutdown{v.version};
  }
}

// The {found} half of an "invalid type" refusal.
std::string describe(const Tree& tree, const Node& node) {
  switch (node.kind) {
    case Kind::Null:
      return "null";
    case Kind::False:
      return "boolean `false`";
    case Kind::True:
      return "boolean `true`";
    case Kind::Unsigned:
      return "integer `" + std::to_string(Tree::unsignedValue(node)) + "`";
    case Kind::Signed:
      return "integer `" + std::to_string(Tree::signedValue(node)) + "`";
    case Kind::Float:
      return "floating point `" + formatFloat64(Tree::floatValue(node)) + "`";
    case Kind::String:
      return describeString(tree.text(node));
    case Kind::Array:
      return "sequence";
    case Kind::Object:
      return "map";
  }
  return "";
}

// Turns retained values into field values; the first refusal is left in error.
class Converter {
 public:
  explicit Converter(const Tree& tree) : tree_(tree) {}

  bool members(const VariantShape& shape, std::size_t begin, FieldValues& out);
  bool elements(const VariantShape& shape, std::size_t begin, std::size_t count, FieldValues& out);

  std::string error;

 private:
  bool field(Field field, std::size_t index, FieldValues& out);
  bool u32(std::size_t index, std::uint32_t& out);
  bool u64(std::size_t index, std::uint64_t& out);
  bool optionalU64(std::size_t index, std::optional<std::uint64_t>& out);
  bool processList(std::size_t index, std::vector<ExternalProcess>& out);
  bool process(std::size_t index, ExternalProcess& out);

  bool refuse(std::string message) {
    error = std::move(message);
    return false;
  }
  bool refuseType(std::size_t index, Expectation expected) {
    return refuse(invalidType(describe(tree_, tree_[index]), expected));
  }

  const Tree& tree_;
};

bool Converter::members(const VariantShape& shape, std::size_t begin, FieldValues& out) {
  std::array<bool, 4> seen{};
  for (std::size_t key = begin; key < tree_.size(); key = tree_.next(key + 1)) {
    const std::string_view name = tree_.text(tree_[key]);
    for (std::size_t k = 0; k < shape.fieldCount; ++k) {
      if (fieldName(shape.fields[k]) != name) continue;
      if (seen[k]) return refuse(duplicateField(name));
      if (!field(shape.fields[k], key + 1, out)) return false;
      seen[k] = true;
      break;
    }
  }
  for (std::size_t k = 0; k < shape.fieldCount; ++k) {
    if (!seen[k] && isRequired(shape.fields[k]))
      return refuse(missingField(fieldName(shape.fields[k])));
  }
  return true;
}

bool Converter::elements(const VariantShape& shape, std::size_t begin, std::size_t count,
                         FieldValues& out) {
  std::size_t index = begin;
  for (std::size_t k = 0; k < shape.fieldCount; ++k) {
    if (k == count) {
      if (isRequired(shape.fields[k])) return refuse(invalidLength(k, shape.positional));
      break;
    }
    if (!field(shape.fields[k], index, out)) return false;
    index = tree_.next(index);
  }
  if (count > shape.fieldCount) return refuse(tooManyElements(count, shape.fieldCount));
  return true;
}

bool Converter::field(Field which, std::size_t index, FieldValues& out) {
  switch (which) {
    case Field::Version:
      return u32(index, out.version);
    case Field::RootPid:
      return u32(index, out.rootPid);
    case Field::SampleIntervalMs:
      return u64(index, out.sampleIntervalMs);
    case Field::WindowMs:
      return u64(index, out.windowMs);
    case Field::ExternalProcesses:
    case Field::Processes:
      return processList(index, out.processes);
    case Field::Enabled: {
      const Kind kind = tree_[index].kind;
      if (kind != Kind::True && kind != Kind::False) return refuseType(index, Expectation::Boolean);
      out.enabled = kind == Kind::True;
      return true;
    }
    case Field::RequestId: {
      if (tree_[index].kind != Kind::String) return refuseType(index, Expectation::String);
      out.requestId = tree_.text(tree_[index]);
      return true;
    }
  }
  return false;
}

bool Converter::u32(std::size_t index, std::uint32_t& out) {
  const Node& node = tree_[index];
  if (node.kind == Kind::Unsigned) {
    const std::uint64_t value = Tree::unsignedValue(node);
    if (value > std::numeric_limits<std::uint32_t>::max()) {
      return refuse(invalidValueUnsigned(value, Expectation::U32));
    }
    out = static_cast<std::uint32_t>(value);
    return true;
  }
  if (node.kind == Kind::Signed)
    return refuse(invalidValueSigned(Tree::signedValue(node), Expectation::U32));
  return refuseType(index, Expectation::U32);
}

bool Converter::u64(std::size_t index, std::uint64_t& out) {
  const Node& node = tree_[index];
  if (node.kind == Kind::Unsigned) {
    out = Tree::unsignedValue(node);
    return true;
  }
  if (node.kind == Kind::Signed)
    return refuse(invalidValueSigned(Tree::signedValue(node), Expectation::U64));
  return refuseType(index, Expectation::U64);
}

bool Converter::optionalU64(std::size_t index, std::optional<std::uint64_t>& out) {
  if (tree_[index].kind == Kind::Null) {
    out.reset();
    return true;
  }
  std::uint64_t value = 0;
  if (!u64(index, value)) return false;
  out = value;
  return true;
}

bool Converter::processList(std::size_t index, std::vector<ExternalProcess>& out) {
  const Node& list = tree_[index];
  if (list.kind != Kind::Array) return refuseType(index, Expectation::Sequence);
  const std::size_t count = Tree::count(list);
  out.clear();
  out.reserve(count);
  std::size_t element = index + 1;
  for (std::size_t k = 0; k < count; ++k, element = tree_.next(element)) {
    if (!process(element, out.emplace_back())) return false;
  }
  return true;
}

bool Converter::process(std::size_t index, ExternalProcess& out) {
  const Node& node = tree_[index];
  const std::size_t count = Tree::count(node);
  if (node.kind == Kind::Object) {
    bool seenPid = false;
    bool seenStart = false;
    std::size_t key = index + 1;
    for (std::size_t k = 0; k < count; ++k, key = tree_.next(key + 1)) {
      const std::string_view name = tree_.text(tree_[key]);
      if (name == "pid") {
        if (seenPid) return refuse(duplicateField(name));
        if (!u32(key + 1, out.pid)) return false;
        seenPid = true;
      } else if (name == "startTimeMs") {
        if (seenStart) return refuse(duplicateField(name));
        if (!optionalU64(key + 1, out.startTimeMs)) return false;
        seenStart = true;
      }
    }
    return seenPid || refuse(missingField("pid"));
  }
  if (node.kind == Kind::Array) {
    if (count == 0) return refuse(invalidLength(0, EXTERNAL_PROCESS_POSITIONAL));
    if (!u32(index + 1, out.pid)) return false;
    if (count >= 2 && !optionalU64(tree_.next(index + 1), out.startTimeMs)) return false;
    return count <= 2 || refuse(tooManyElements(count, 2));
  }
  return refuseType(index, Expectation::ExternalProcess);
}

// Reads the top-level value and whatever of the line it needs, noting the variant, the form and
// the retained members or elements. Refusals here are positioned; they end the decode at once.
class TopLevel {
 public:
  TopLevel(std::string_view line, Tree& tree) : reader_(line, tree), tree_(tree) {}

  bool read();

  std::size_t variant = 0;
  bool positional = false;
  std::size_t elementCount = 0;  // positional form: the field elements after the tag
  std::string error;

  // Only white space may follow the value; looked at after the fields were converted.
  bool checkEnd() {
    if (reader_.peek() == Reader::END) return true;
    return refuseAt(syntaxMessage(SyntaxError::TrailingCharacters, reader_.position() + 1));
  }

 private:
  bool readObjectForm();
  bool readArrayForm();
  bool readTag();

  bool refuseAt(std::string message) {
    error = std::move(message);
    return false;
  }
  bool syntax(SyntaxError code, std::size_t column) {
    return refuseAt(syntaxMessage(code, column));
  }
  // The reader has already recorded what went wrong.
  bool readerFailed() { return syntax(reader_.error(), reader_.errorColumn()); }
  // A refusal after a complete token: the column is how far the line has been read.
  bool refuseAfterToken(std::string message) {
    return refuseAt(withPosition(std::move(message), reader_.position()));
  }

  Reader reader_;
  Tree& tree_;
};

bool TopLevel::read() {
  const int c = reader_.peek();
  if (c == '{') return readObjectForm();
  if (c == '[') return readArrayForm();
  if (!reader_.readValue()) return readerFailed();
  return refuseAfterToken(invalidType(describe(tree_, tree_[0]), Expectation::TaggedCommand));
}

bool TopLevel::readTag() {
  const std::size_t mark = tree_.size();
  if (reader_.peek() != '"') {
    if (!reader_.readValue()) return readerFailed();
    return refuseAfterToken(
        invalidType(describe(tree_, tree_[mark]), Expectation::VariantIdentifier));
  }
  if (!reader_.readString()) return readerFailed();
  const std::string_view tag = tree_.text(tree_[mark]);
  for (std::size_t k = 0; k < VARIANTS.size(); ++k) {
    if (VARIANTS[k].tag == tag) {
      variant = k;
      tree_.truncate(mark);
      return true;
    }
  }
  return refuseAfterToken(unknownVariant(tag));
}

bool TopLevel::readObjectForm() {
  if (!reader_.enter()) return readerFailed();
  bool tagSeen = false;
  int c = reader_.peek();
  if (c == Reader::END) return syntax(SyntaxError::EofWhileParsingObject, reader_.lineLength());
  if (c != '}') {
    for (;;) {
      if (c != '"') return syntax(SyntaxError::KeyMustBeAString, reader_.position() + 1);
      const std::size_t key = tree_.size();
      if (!reader_.readString()) return readerFailed();
      const bool isTag = tree_.text(tree_[key]) == "type";
      if (isTag) {
        if (tagSeen) return refuseAfterToken(duplicateField("type"));
        tree_.truncate(key);
      }
      c = reader_.peek();
      if (c == Reader::END) return syntax(SyntaxError::EofWhileParsingObject, reader_.lineLength());
      if (c != ':') return syntax(SyntaxError::ExpectedColon, reader_.position() + 1);
      reader_.advance();
      if (isTag) {
        if (!readTag()) return false;
        tagSeen = true;
      } else if (!reader_.readValue()) {
        return readerFailed();
      }
      c = reader_.peek();
      if (c == ',') {
        reader_.advance();
        c = reader_.peek();
        if (c == Reader::END)
          return syntax(SyntaxError::EofWhileParsingObject, reader_.lineLength());
        if (c == '}') return syntax(SyntaxError::TrailingComma, reader_.position() + 1);
        continue;
      }
      if (c == '}') break;
      if (c == Reader::END) return syntax(SyntaxError::EofWhileParsingObject, reader_.lineLength());
      return syntax(SyntaxError::ExpectedObjectCommaOrEnd, reader_.position() + 1);
    }
  }
  reader_.advance();
  reader_.leave();
  return tagSeen || refuseAfterToken(missingField("type"));
}

bool TopLevel::readArrayForm() {
  positional = true;
  if (!reader_.enter()) return readerFailed();
  int c = reader_.peek();
  if (c == Reader::END) return syntax(SyntaxError::EofWhileParsingList, reader_.lineLength());
  if (c == ']') {
    reader_.advance();
    return refuseAfterToken(missingField("type"));
  }
  if (!readTag()) return false;
  for (;;) {
    c = reader_.peek();
    if (c == ',') {
      reader_.advance();
      c = reader_.peek();
      if (c == Reader::END) return syntax(SyntaxError::EofWhileParsingValue, reader_.lineLength());
      if (c == ']') return syntax(SyntaxError::TrailingComma, reader_.position() + 1);
      if (!reader_.readValue()) return readerFailed();
      ++elementCount;
      continue;
    }
    if (c == ']') break;
    if (c == Reader::END) return syntax(SyntaxError::EofWhileParsingList, reader_.lineLength());
    return syntax(SyntaxError::ExpectedListCommaOrEnd, reader_.position() + 1);
  }
  reader_.advance();
  reader_.leave();
  return true;
}

}  // namespace

Expected<Command, std::string> decodeCommand(std::string_view line) {
  Tree tree(line);
  // About one node per eight bytes of a typical process list; growth covers denser lines.
  tree.reserve(line.size() / 8 + 8);
  TopLevel top(line, tree);
  if (!top.read()) return Unexpected{std::move(top.error)};

  const VariantShape& shape = VARIANTS[top.variant];
  FieldValues values;
  Converter converter(tree);
  const bool converted = top.positional ? converter.elements(shape, 0, top.elementCount, values)
                                        : converter.members(shape, 0, values);
  if (!converted) return Unexpected{std::move(converter.error)};
  if (!top.checkEnd()) return Unexpected{std::move(top.error)};
  return build(top.variant, std::move(values));
}

}  // namespace procsampler::protocol
