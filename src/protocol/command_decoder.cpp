#include "protocol/command_decoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <variant>

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

// The union of every variant's fields, filled as members are converted.
struct FieldValues {
  std::uint32_t version = 0;
  std::uint32_t rootPid = 0;
  std::uint64_t sampleIntervalMs = 0;
  std::uint64_t windowMs = 0;
  bool enabled = false;
  std::string requestId;
  std::vector<ExternalProcess> processes;        // externalProcesses or processes
  std::optional<std::string> optionalRequestId;  // version 3, on the variants without requestId
  bool latest = false;                           // version 3, setStreaming
  bool lifecycle = false;                        // version 3, configure
  std::uint64_t stepMs = 0;                      // version 3, readHistory
};

// A converted field's value, moved out of the union.
template <Field F>
auto take(FieldValues& v) {
  if constexpr (F == Field::Version) return v.version;
  if constexpr (F == Field::RootPid) return v.rootPid;
  if constexpr (F == Field::SampleIntervalMs) return v.sampleIntervalMs;
  if constexpr (F == Field::WindowMs) return v.windowMs;
  if constexpr (F == Field::Enabled) return v.enabled;
  if constexpr (F == Field::RequestId) return std::move(v.requestId);
  if constexpr (F == Field::ExternalProcesses || F == Field::Processes) {
    return std::move(v.processes);
  }
}

// How one variant is read: its tag, its name in refusals, its fields in declaration order (which
// is also the order of its members), and how their values make it.
struct VariantShape {
  std::string_view tag;
  std::string_view name;
  std::array<Field, 4> fields;
  std::size_t fieldCount = 0;
  Command (*build)(FieldValues& values) = nullptr;
};

template <class Variant, Field... Fields>
constexpr VariantShape shape(std::string_view tag, std::string_view name) {
  return {tag, name, {Fields...}, sizeof...(Fields), [](FieldValues& v) -> Command {
            return Variant{take<Fields>(v)...};
          }};
}

// One shape per Command alternative, found by its type, so that Command alone fixes the order.
using F = Field;
template <class Variant>
constexpr VariantShape SHAPE{};
template <>
constexpr VariantShape SHAPE<Configure> =
    shape<Configure, F::Version, F::RootPid, F::SampleIntervalMs, F::ExternalProcesses>(
        "configure", "Configure");
template <>
constexpr VariantShape SHAPE<SetExternalProcesses> =
    shape<SetExternalProcesses, F::Version, F::Processes>("setExternalProcesses",
                                                          "SetExternalProcesses");
template <>
constexpr VariantShape SHAPE<SetSampleInterval> =
    shape<SetSampleInterval, F::Version, F::SampleIntervalMs>("setSampleInterval",
                                                              "SetSampleInterval");
template <>
constexpr VariantShape SHAPE<SetStreaming> =
    shape<SetStreaming, F::Version, F::Enabled>("setStreaming", "SetStreaming");
template <>
constexpr VariantShape SHAPE<SampleNow> = shape<SampleNow, F::Version, F::RequestId>("sampleNow",
                                                                                     "SampleNow");
template <>
constexpr VariantShape SHAPE<ReadHistory> =
    shape<ReadHistory, F::Version, F::RequestId, F::WindowMs>("readHistory", "ReadHistory");
template <>
constexpr VariantShape SHAPE<Shutdown> = shape<Shutdown, F::Version>("shutdown", "Shutdown");

template <std::size_t... Index>
constexpr auto shapesInCommandOrder(std::index_sequence<Index...>) {
  return std::array{SHAPE<std::variant_alternative_t<Index, Command>>...};
}
constexpr auto VARIANTS =
    shapesInCommandOrder(std::make_index_sequence<std::variant_size_v<Command>>{});
static_assert(std::ranges::none_of(VARIANTS, [](const VariantShape& v) { return v.tag.empty(); }),
              "every Command alternative needs its SHAPE");

// The tags in variant order, as the unknown-variant refusal lists them.
constexpr auto TAGS = [] {
  std::array<std::string_view, VARIANTS.size()> tags{};
  for (std::size_t k = 0; k < VARIANTS.size(); ++k) tags[k] = VARIANTS[k].tag;
  return tags;
}();

constexpr std::string_view EXTERNAL_PROCESS = "ExternalProcess";

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
  // The version 3 members of the object form that a version 2 decode ignores like any unknown one.
  bool laterMembers(const VariantShape& shape, std::size_t begin, FieldValues& out);

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
    const Field which = shape.fields[k];
    if (!seen[k] && isRequired(which)) return refuse(missingField(fieldName(which)));
  }
  return true;
}

bool Converter::laterMembers(const VariantShape& shape, std::size_t begin, FieldValues& out) {
  const auto fields = std::span(shape.fields).first(shape.fieldCount);
  const bool takesRequestId = std::ranges::find(fields, Field::RequestId) == fields.end();
  const bool takesLatest = shape.tag == "setStreaming";
  const bool takesStep = shape.tag == "readHistory";
  const bool takesLifecycle = shape.tag == "configure";
  bool seenLatest = false;
  bool seenStep = false;
  bool seenLifecycle = false;
  for (std::size_t key = begin; key < tree_.size(); key = tree_.next(key + 1)) {
    const std::string_view name = tree_.text(tree_[key]);
    const Node& value = tree_[key + 1];
    if (takesRequestId && name == fieldName(Field::RequestId)) {
      if (out.optionalRequestId) return refuse(duplicateField(name));
      if (value.kind != Kind::String) return refuseType(key + 1, Expectation::String);
      out.optionalRequestId.emplace(tree_.text(value));
    } else if (takesLatest && name == "latest") {
      if (std::exchange(seenLatest, true)) return refuse(duplicateField(name));
      if (value.kind != Kind::True && value.kind != Kind::False) {
        return refuseType(key + 1, Expectation::Boolean);
      }
      out.latest = value.kind == Kind::True;
    } else if (takesLifecycle && name == "lifecycle") {
      if (std::exchange(seenLifecycle, true)) return refuse(duplicateField(name));
      if (value.kind != Kind::True && value.kind != Kind::False) {
        return refuseType(key + 1, Expectation::Boolean);
      }
      out.lifecycle = value.kind == Kind::True;
    } else if (takesStep && name == "stepMs") {
      if (std::exchange(seenStep, true)) return refuse(duplicateField(name));
      if (!u64(key + 1, out.stepMs)) return false;
    }
  }
  return true;
}

bool Converter::elements(const VariantShape& shape, std::size_t begin, std::size_t count,
                         FieldValues& out) {
  std::size_t index = begin;
  for (std::size_t k = 0; k < shape.fieldCount; ++k) {
    if (k == count) {
      if (isRequired(shape.fields[k])) {
        return refuse(variantTooShort(k, shape.name, shape.fieldCount));
      }
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
    if (count == 0) return refuse(structTooShort(0, EXTERNAL_PROCESS, 2));
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
  // The reader has already recorded what went wrong.
  bool readerFailed() { return refuseAt(syntaxMessage(reader_.error(), reader_.errorColumn())); }
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
  return refuseAfterToken(unknownVariant(tag, TAGS));
}

// Members other than the tag stay in the tree, key then value, for the converter.
bool TopLevel::readObjectForm() {
  if (!reader_.enter()) return readerFailed();
  bool tagSeen = false;
  for (bool first = true;; first = false) {
    const std::size_t key = tree_.size();
    const Reader::Step step = reader_.nextKey(first);
    if (step == Reader::Step::Failed) return readerFailed();
    if (step == Reader::Step::End) break;
    if (tree_.text(tree_[key]) != "type") {
      if (!reader_.readColon() || !reader_.readValue()) return readerFailed();
      continue;
    }
    if (tagSeen) return refuseAfterToken(duplicateField("type"));
    tree_.truncate(key);
    if (!reader_.readColon()) return readerFailed();
    if (!readTag()) return false;
    tagSeen = true;
  }
  return tagSeen || refuseAfterToken(missingField("type"));
}

// The tag comes first; the elements after it stay in the tree for the converter.
bool TopLevel::readArrayForm() {
  positional = true;
  if (!reader_.enter()) return readerFailed();
  Reader::Step step = reader_.nextElement(true);
  if (step == Reader::Step::Failed) return readerFailed();
  if (step == Reader::Step::End) return refuseAfterToken(missingField("type"));
  if (!readTag()) return false;
  while ((step = reader_.nextElement(false)) == Reader::Step::Item) {
    if (!reader_.readValue()) return readerFailed();
    ++elementCount;
  }
  return step == Reader::Step::End || readerFailed();
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
  const bool converted = top.positional
                             ? converter.elements(shape, 0, top.elementCount, values)
                             : converter.members(shape, 0, values) &&
                                   (values.version < 3 || converter.laterMembers(shape, 0, values));
  if (!converted) return Unexpected{std::move(converter.error)};
  if (!top.checkEnd()) return Unexpected{std::move(top.error)};
  Command command = VARIANTS[top.variant].build(values);
  std::visit(
      [&](auto& c) {
        if constexpr (requires { c.optionalRequestId; }) {
          c.optionalRequestId = std::move(values.optionalRequestId);
        }
        if constexpr (requires { c.latest; }) c.latest = values.latest;
        if constexpr (requires { c.lifecycle; }) c.lifecycle = values.lifecycle;
        if constexpr (requires { c.stepMs; }) c.stepMs = values.stepMs;
      },
      command);
  return command;
}

std::optional<std::string> requestIdOfObject(std::string_view line) {
  Tree tree(line);
  Reader reader(line, tree);
  if (reader.peek() != '{' || !reader.enter()) return std::nullopt;
  std::optional<std::string> found;
  for (bool first = true;; first = false) {
    const std::size_t key = tree.size();
    const Reader::Step step = reader.nextKey(first);
    if (step == Reader::Step::Failed) return std::nullopt;
    if (step == Reader::Step::End) break;
    if (!reader.readColon() || !reader.readValue()) return std::nullopt;
    const Node& value = tree[key + 1];
    if (tree.text(tree[key]) == fieldName(Field::RequestId) && value.kind == Kind::String &&
        !found) {
      found.emplace(tree.text(value));
    }
  }
  if (reader.peek() != Reader::END) return std::nullopt;
  return found;
}

}  // namespace procsampler::protocol
