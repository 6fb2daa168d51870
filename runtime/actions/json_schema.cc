#include "runtime/actions/json_schema.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <regex>
#include <unordered_set>
#include <vector>

#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::actions::schema {
namespace {

constexpr std::string_view kTypeNames[] = {"string", "integer", "number", "boolean", "object", "array", "null"};

std::string plural(std::uint64_t n, std::string_view word) {
  std::string out = std::to_string(n) + " " + std::string(word);
  if (n != 1) out += "s";
  return out;
}

// The flags every pattern is compiled with: ECMAScript syntax, run by the breadth-first matcher
// so that matching is polynomial and does not recurse once per character of the text.
std::regex::flag_type pattern_flags() {
  auto flags = std::regex::ECMAScript;
#if defined(__GLIBCXX__)
  flags |= std::regex_constants::__polynomial;
#endif
  return flags;
}

struct CompiledPattern {
  std::regex search;  // the pattern wrapped so that a whole-text match means "found somewhere"
  double states = 0;
};

// One check: the compiled patterns, shared by the items of an array.
class Checker {
 public:
  std::optional<Failure> validate(const Json& schema, std::string_view subject, int depth) {
    if (depth > kMaxSchemaDepth) return broken(subject, "it nests too deeply");
    if (schema.is_boolean()) return std::nullopt;
    if (!schema.is_object()) return broken(subject, "it is not a JSON object");
    if (const Json* type = member(schema, "type")) {
      if (!type_names(*type)) return broken(subject, "\"type\" names no JSON type");
    }
    for (const char* key : {"minLength", "maxLength", "minItems", "maxItems"}) {
      if (member(schema, key) != nullptr && !unsigned_member(schema, key)) {
        return broken(subject, quote_escaped(key) + " is not a count");
      }
    }
    if (const Json* u = member(schema, "uniqueItems"); u != nullptr && !u->is_boolean()) {
      return broken(subject, "\"uniqueItems\" is not true or false");
    }
    if (const Json* p = member(schema, "pattern")) {
      if (!p->is_string()) return broken(subject, "\"pattern\" is not a text");
      auto compiled = compile(p->get_ref<const std::string&>());
      if (!compiled) return broken(subject, compiled.error());
    }
    if (const Json* items = member(schema, "items")) {
      if (items->is_array()) {
        for (const Json& item : *items) {
          if (auto f = validate(item, subject, depth + 1)) return f;
        }
      } else if (auto f = validate(*items, subject, depth + 1)) {
        return f;
      }
    }
    return std::nullopt;
  }

  // Precondition: `validate` passed for `schema`.
  std::optional<Failure> check(const Json& schema, const Json& value, const std::string& subject) {
    if (schema.is_boolean()) {
      if (schema.get<bool>()) return std::nullopt;
      return Failure{false, subject + " is not allowed"};
    }
    if (const Json* type = member(schema, "type")) {
      const auto names = *type_names(*type);
      if (std::none_of(names.begin(), names.end(), [&](std::string_view n) { return has_type(value, n); })) {
        std::string text = subject + " must be of JSON type ";
        for (std::size_t i = 0; i < names.size(); ++i) {
          if (i > 0) text += " or ";
          text += quote_escaped(names[i]);
        }
        return Failure{false, std::move(text)};
      }
    }
    if (value.is_string()) {
      const auto& text = value.get_ref<const std::string&>();
      const std::size_t chars = unicode::char_count(text);
      if (auto n = count(schema, "minLength"); n && chars < *n) {
        return Failure{false, subject + " must be at least " + plural(*n, "character") + " long"};
      }
      if (auto n = count(schema, "maxLength"); n && chars > *n) {
        return Failure{false, subject + " must be at most " + plural(*n, "character") + " long"};
      }
      if (auto pattern = string_member(schema, "pattern")) {
        const CompiledPattern& compiled = **compile(*pattern);
        if (compiled.states * (static_cast<double>(text.size()) + 1) > kMaxPatternWork) {
          return Failure{false, subject + " is too long to be checked against its pattern"};
        }
        bool found = false;
        try {
          found = std::regex_match(text, compiled.search);
        } catch (const std::exception&) {
          return Failure{true, subject + " has a schema that cannot be checked: its pattern could not be run"};
        }
        if (!found) return Failure{false, subject + " must match the pattern " + quote_escaped(*pattern)};
      }
    }
    if (value.is_array()) {
      if (auto n = count(schema, "minItems"); n && value.size() < *n) {
        return Failure{false, subject + " must hold at least " + plural(*n, "item")};
      }
      if (auto n = count(schema, "maxItems"); n && value.size() > *n) {
        return Failure{false, subject + " must hold at most " + plural(*n, "item")};
      }
      if (bool_member(schema, "uniqueItems").value_or(false)) {
        std::unordered_set<std::string> seen;
        for (const Json& item : value) {
          if (!seen.insert(canonical(item)).second) {
            return Failure{false, subject + " must not hold the same item twice"};
          }
        }
      }
      if (const Json* items = member(schema, "items")) {
        for (std::size_t i = 0; i < value.size(); ++i) {
          const Json* item_schema = items;
          if (items->is_array()) {
            if (i >= items->size()) break;
            item_schema = &(*items)[i];
          }
          if (auto f = check(*item_schema, value[i], subject + "[" + std::to_string(i) + "]")) return f;
        }
      }
    }
    return std::nullopt;
  }

 private:
  static Failure broken(std::string_view subject, std::string_view why) {
    return Failure{true, std::string(subject) + " has a schema that cannot be checked: " + std::string(why)};
  }

  static std::optional<std::vector<std::string_view>> type_names(const Json& type) {
    std::vector<std::string_view> names;
    auto add = [&](const Json& name) {
      if (!name.is_string()) return false;
      const auto& text = name.get_ref<const std::string&>();
      for (std::string_view known : kTypeNames) {
        if (known == text) {
          names.push_back(known);
          return true;
        }
      }
      return false;
    };
    if (type.is_array()) {
      if (type.empty()) return std::nullopt;
      for (const Json& name : type) {
        if (!add(name)) return std::nullopt;
      }
    } else if (!add(type)) {
      return std::nullopt;
    }
    return names;
  }

  static bool has_type(const Json& value, std::string_view name) {
    if (name == "string") return value.is_string();
    if (name == "integer") return value.is_number_integer();
    if (name == "number") return value.is_number();
    if (name == "boolean") return value.is_boolean();
    if (name == "object") return value.is_object();
    if (name == "array") return value.is_array();
    return value.is_null();
  }

  static std::optional<std::uint64_t> count(const Json& schema, std::string_view key) {
    return unsigned_member(schema, key);
  }

  // Equal JSON values give equal texts: object members are sorted, and a number is written by
  // its value (so 1 and 1.0 are one item, as JSON schema counts them).
  static std::string canonical(const Json& value) {
    if (value.is_object()) {
      std::vector<std::pair<std::string, std::string>> members;
      for (auto it = value.begin(); it != value.end(); ++it) members.emplace_back(it.key(), canonical(it.value()));
      std::sort(members.begin(), members.end());
      std::string out = "{";
      for (const auto& [k, v] : members) out += dump_json(Json(k)) + ":" + v + ",";
      return out + "}";
    }
    if (value.is_array()) {
      std::string out = "[";
      for (const Json& item : value) out += canonical(item) + ",";
      return out + "]";
    }
    if (value.is_number_float()) {
      const double d = value.get<double>();
      if (std::trunc(d) == d && std::fabs(d) < 9.2e18) return std::to_string(static_cast<std::int64_t>(d));
    }
    return dump_json(value);
  }

  std::expected<const CompiledPattern*, std::string> compile(const std::string& pattern) {
    if (auto it = patterns_.find(pattern); it != patterns_.end()) return it->second.get();
    auto compiled = std::make_unique<CompiledPattern>();
    compiled->states = estimate_pattern_states(pattern) + 4;
    if (compiled->states > kMaxPatternStates) return std::unexpected("its pattern is too complex");
    try {
      // Compiling the pattern alone first refuses texts that only compile once wrapped ("a)(b").
      std::regex alone(pattern, pattern_flags());
      compiled->search = std::regex("[\\s\\S]*(?:" + pattern + ")[\\s\\S]*", pattern_flags());
    } catch (const std::exception&) {
      return std::unexpected("its pattern does not compile");
    }
    const CompiledPattern* out = compiled.get();
    patterns_.emplace(pattern, std::move(compiled));
    return out;
  }

  std::map<std::string, std::unique_ptr<CompiledPattern>, std::less<>> patterns_;
};

}  // namespace

std::optional<Failure> check(const Json& schema, const Json& value, std::string_view subject) {
  Checker checker;
  if (auto f = checker.validate(schema, subject, 0)) return f;
  return checker.check(schema, value, std::string(subject));
}

double estimate_pattern_states(std::string_view p) {
  constexpr double kCap = 1e12;
  struct Frame {
    double sum = 0;   // committed weight
    double last = 0;  // weight of the latest atom, which a quantifier may still repeat
  };
  std::vector<Frame> stack(1);
  auto atom = [&](double w) {
    Frame& f = stack.back();
    f.sum = std::min(kCap, f.sum + f.last);
    f.last = w;
  };
  auto repeat = [&](double times) {
    Frame& f = stack.back();
    f.last = std::min(kCap, f.last * times + 1);
  };
  auto read_number = [&](std::size_t& i, double& out) {
    const std::size_t start = i;
    out = 0;
    while (i < p.size() && p[i] >= '0' && p[i] <= '9') out = std::min(kCap, out * 10 + (p[i++] - '0'));
    return i > start;
  };
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    switch (c) {
      case '\\':
        ++i;
        atom(1);
        break;
      case '[': {
        ++i;
        if (i < p.size() && p[i] == '^') ++i;
        if (i < p.size() && p[i] == ']') ++i;
        while (i < p.size() && p[i] != ']') {
          if (p[i] == '\\') ++i;
          if (i + 1 < p.size() && p[i] == '[' && (p[i + 1] == ':' || p[i + 1] == '.' || p[i + 1] == '=')) {
            const auto close = p.find(']', i + 2);
            if (close == std::string_view::npos) break;
            i = close;
          }
          ++i;
        }
        atom(2);
        break;
      }
      case '(':
        stack.emplace_back();
        if (i + 1 < p.size() && p[i + 1] == '?') i = std::min(p.size() - 1, i + 2);
        break;
      case ')':
        if (stack.size() > 1) {
          const Frame inner = stack.back();
          stack.pop_back();
          atom(std::min(kCap, inner.sum + inner.last + 2));
        } else {
          atom(1);
        }
        break;
      case '|': {
        Frame& f = stack.back();
        f.sum = std::min(kCap, f.sum + f.last + 1);
        f.last = 0;
        break;
      }
      case '*':
      case '+':
      case '?':
        repeat(2);
        if (i + 1 < p.size() && p[i + 1] == '?') ++i;
        break;
      case '{': {
        std::size_t j = i + 1;
        double low = 0, high = 0;
        if (read_number(j, low)) {
          high = low;
          if (j < p.size() && p[j] == ',') {
            ++j;
            if (!read_number(j, high)) high = low + 1;
          }
          if (j < p.size() && p[j] == '}') {
            repeat(std::max({low, high, 1.0}));
            i = j;
            if (i + 1 < p.size() && p[i + 1] == '?') ++i;
            break;
          }
        }
        atom(1);
        break;
      }
      default: atom(1);
    }
  }
  double total = 0;
  while (!stack.empty()) {
    total = std::min(kCap, total + stack.back().sum + stack.back().last);
    stack.pop_back();
  }
  return total;
}

}  // namespace quern::actions::schema
