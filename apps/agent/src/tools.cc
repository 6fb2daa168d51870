#include "apps/agent/src/tools.h"

#include <algorithm>
#include <optional>

#include "apps/agent/src/surface.h"
#include "runtime/actions/action_param.h"
#include "runtime/actions/contract.h"
#include "runtime/util/unicode.h"

namespace quern::agent {
namespace {

constexpr std::string_view kAppKind = "applications.app";
constexpr std::string_view kKnownApps[] = {"word-processor", "chat", "photos"};

Json string_property(std::string_view description) {
  Json p = Json::object();
  p["type"] = "string";
  p["description"] = description;
  return p;
}

Json object_schema(Json properties, std::optional<Json> required) {
  Json s = Json::object();
  s["type"] = "object";
  s["properties"] = std::move(properties);
  if (required) s["required"] = std::move(*required);
  s["additionalProperties"] = false;
  return s;
}

Json tool(std::string_view name, std::string_view description, Json schema) {
  Json t = Json::object();
  t["name"] = name;
  t["description"] = description;
  t["input_schema"] = std::move(schema);
  return t;
}

// The three discovery definitions never change; they are built once.
const Json& discovery_definitions() {
  static const Json defs = [] {
    Json out = Json::array();
    out.push_back(tool(kListApplications,
                       "Every application in this room. Says which are open and which are not, and how many operations "
                       "each is exporting right now. An application exporting nothing has nothing open in it yet — "
                       "opening it onto something is an ordinary step, and what it does is put that application's own "
                       "operations on the list. Call this first when the request might involve an application you have "
                       "not seen.",
                       object_schema(Json::object(), std::nullopt)));
    Json filters = Json::object();
    filters["application"] = string_property("One application's namespace, as `list_applications` gives it.");
    filters["resource"] = string_property("One resource id, for everything that may be done to that one thing.");
    filters["kind"] =
        string_property("A resource kind, for everything that may be done to that kind of thing in any application.");
    filters["search"] = string_property("Words to match against the applications' own labels and descriptions.");
    out.push_back(tool(kListOperations,
                       "What can be done in this room, right now. Every filter is optional and they combine; with none "
                       "of them you get everything, capped. Use `kind` to ask what may be done to a kind of thing in "
                       "any application at all (`files.entry`, `word_processor.section`), `resource` for one named "
                       "thing, `application` for one application, and `search` to match the applications' own words. "
                       "The ids that come back are the only ones `plan` will accept.",
                       object_schema(std::move(filters), std::nullopt)));
    Json operation = Json::object();
    operation["operation"] = string_property("The id of an operation a listing returned.");
    out.push_back(tool(kDescribeOperation,
                       "One operation in full: what the application says it does, what it does it to, whether "
                       "performing it needs an argument, and — when it does — the application's own prompt for that "
                       "argument and its own example of one. Also what the publishing resource says about itself, "
                       "which is where an application states a fact it has no operation to hang on. Call this before "
                       "planning any operation that takes an argument — the example and the facts are what make the "
                       "value computable rather than guessed.",
                       object_schema(std::move(operation), Json::array({"operation"}))));
    return out;
  }();
  return defs;
}

Json plan_definition(const ShownIds& shown, std::size_t step_cap) {
  Json operation = Json::object();
  operation["type"] = "string";
  Json ids = Json::array();
  for (const auto& id : shown) ids.push_back(id);
  operation["enum"] = std::move(ids);
  operation["description"] =
      "The operation to perform, or \"none\" for a step whose operation cannot be named yet because the application "
      "that would export it is not open — that step is asked again after the open, against what that application "
      "then publishes.";
  Json arguments = Json::object();
  arguments["type"] = "object";
  arguments["description"] =
      "The complete JSON argument object described by `describe_operation`, keyed by the application's parameter "
      "names. Use {} for a nullary operation. Values retain their declared JSON types; never stringify numbers, "
      "booleans, arrays, objects or null. When the descriptor's confirmation policy is Confirm, also include "
      "`confirm: true`; for Phrase include `confirmation_phrase` with the exact phrase. Those two names are invocation "
      "metadata, not app parameters.";
  Json step_props = Json::object();
  step_props["operation"] = std::move(operation);
  step_props["arguments"] = std::move(arguments);

  Json steps = Json::object();
  steps["type"] = "array";
  steps["items"] = object_schema(std::move(step_props), Json::array({"operation", "arguments"}));

  Json then = Json::object();
  then["anyOf"] = Json::array({Json{{"type", "string"}}, Json{{"type", "null"}}});
  then["description"] =
      "What the request still asks for that nothing you were shown can express yet, in the request's own words — the "
      "rest of the sentence, after the steps you named. Use it when opening an application is what would put the "
      "needed operation on the list, since that operation cannot be named until it is open. Null when the steps you "
      "named already do all of it.";

  Json props = Json::object();
  props["steps"] = std::move(steps);
  props["why"] = string_property("One short clause.");
  props["then"] = std::move(then);

  std::string description =
      "The answer. The operations to perform, in the order the request asks for them — one for a request that asks "
      "for one thing, which is most of them, and at most ";
  description += std::to_string(step_cap);
  description +=
      ". Call this exactly once, when you know what to do. Every `operation` must be an id a listing actually "
      "returned; nothing else can be named here.";
  return tool(kPlanTool, description, object_schema(std::move(props), Json::array({"steps", "why", "then"})));
}

bool is_app_entry(const CatalogueEntry& entry) { return entry.offer.resource_kind == kAppKind; }

std::string list_applications(const ToolContext& context, ShownIds& shown) {
  std::set<std::string, std::less<>> namespaces;
  for (const auto& entry : context.entries) namespaces.insert(entry.app);
  for (const auto& app : context.open_apps) namespaces.insert(app);
  for (const auto app : kKnownApps) namespaces.emplace(app);

  std::string out;
  for (const auto& ns : namespaces) {
    const bool has_replica = std::ranges::find(context.open_apps, ns) != context.open_apps.end();
    std::size_t count = 0;
    const CatalogueEntry* open_entry = nullptr;
    for (const auto& entry : context.entries) {
      if (entry.app != ns) continue;
      if (!is_app_entry(entry)) ++count;
      if (open_entry == nullptr && open_target(entry.offer)) open_entry = &entry;
    }
    const bool open = has_replica || count > 0;

    out += app_label(ns);
    out += " (";
    out += ns;
    out += ")";
    out += open ? " — open" : " — not open";
    out += ", exporting ";
    out += std::to_string(count);
    out += count == 1 ? " operation" : " operations";
    if (count != 0) {
      out += "; ask `";
      out += kListOperations;
      out += "` with application=\"";
      out += ns;
      out += "\" for them";
    }
    if (open_entry == nullptr && !open) out += ", and there is no opening it from here";
    if (open_entry != nullptr) {
      std::string id = entry_id(*open_entry);
      out += open ? ". Nothing is open in it, so none of what it can do is here to be named yet"
                  : ". None of what it can do is here to be named yet";
      out += " — opening it is what puts its operations on the list: `";
      out += id;
      out += "`";
      if (open_entry->offer.consumes_produced_content()) {
        out +=
            ", which opens onto the content this room already denotes. Leave its argument null: that content is "
            "filled in from what is here";
      }
      shown.insert(std::move(id));
    }
    out += ".\n";
  }
  return out;
}

const std::string* string_input(const Json& input, std::string_view name) {
  if (!input.is_object()) return nullptr;
  const auto it = input.find(name);
  if (it == input.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  std::string current;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = unicode::next_char(text, pos);
    if (unicode::is_white_space(c)) {
      if (!current.empty()) out.push_back(std::move(current));
      current.clear();
    } else {
      current.append(text.substr(start, pos - start));
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

std::string list_operations(const Json& input, const ToolContext& context, ShownIds& shown) {
  const std::string* application = string_input(input, "application");
  const std::string* resource = string_input(input, "resource");
  const std::string* kind = string_input(input, "kind");
  const std::string* search_raw = string_input(input, "search");
  std::optional<std::string> search;
  std::vector<std::string> search_words;
  if (search_raw != nullptr) {
    search = unicode::to_lower(*search_raw);
    search_words = words(*search);
  }

  std::vector<const CatalogueEntry*> matches;
  std::string haystack;
  for (const auto& entry : context.entries) {
    const auto& offer = entry.offer;
    if (application != nullptr && entry.app != *application) continue;
    if (resource != nullptr && offer.resource_id != *resource) continue;
    if (kind != nullptr && offer.resource_kind != *kind) continue;
    if (!search_words.empty()) {
      haystack = entry_id(entry);
      haystack += ' ';
      haystack += offer.action_label;
      haystack += ' ';
      haystack += offer.resource_label;
      haystack += ' ';
      haystack += offer.resource_kind;
      haystack += ' ';
      if (offer.resource_note) haystack += *offer.resource_note;
      haystack = unicode::to_lower(haystack);
      const bool all = std::ranges::all_of(search_words,
                                           [&](const std::string& w) { return haystack.find(w) != std::string::npos; });
      if (!all) continue;
    }
    matches.push_back(&entry);
  }

  if (matches.empty()) {
    std::string filters;
    const auto add = [&](std::string_view name, const std::string* value) {
      if (value == nullptr) return;
      if (!filters.empty()) filters += ", ";
      filters += name;
      filters += '=';
      filters += *value;
    };
    add("application", application);
    add("resource", resource);
    add("kind", kind);
    add("search", search ? &*search : nullptr);
    if (filters.empty()) filters = "anything — this room exports nothing the agent may perform";
    return "Nothing matches " + filters + ".";
  }

  std::string out;
  const std::string* previous_resource = nullptr;
  const std::size_t listed = std::min(matches.size(), kListingCap);
  for (std::size_t i = 0; i < listed; ++i) {
    const CatalogueEntry& entry = *matches[i];
    const auto& offer = entry.offer;
    if (previous_resource == nullptr || *previous_resource != offer.resource_id) {
      out += '\n';
      out += offer.resource_id;
      out += " — ";
      out += offer.resource_label;
      out += " (";
      out += offer.resource_kind;
      out += ")\n";
    }
    previous_resource = &offer.resource_id;
    std::string id = entry_id(entry);
    out += "  ";
    out += id;
    out += " — ";
    out += offer.action_label;
    if (!offer.availability.available) {
      out += "; currently unavailable: ";
      out += offer.availability.detail;
    }
    if (offer.consumes_produced_content()) {
      out += "; takes what an earlier step produced, not words";
    } else if (const std::size_t n = offer.parameters.size(); n >= 1) {
      out += "; takes ";
      out += std::to_string(n);
      out += n == 1 ? " structured argument" : " structured arguments";
      out += " (ask `";
      out += kDescribeOperation;
      out += "` for the schema)";
    }
    out += '\n';
    shown.insert(std::move(id));
  }
  if (matches.size() > kListingCap) {
    out += "\n… and ";
    out += std::to_string(matches.size() - kListingCap);
    out +=
        " more not listed. Ask again with a narrower application=, kind=, resource= or search= to reach them — they "
        "are not out of reach, only out of this reply.\n";
  }
  return out;
}

std::string describe_operation(const Json& input, const ToolContext& context) {
  const std::string* id = string_input(input, "operation");
  if (id == nullptr) return std::string(kDescribeOperation) + " needs an `operation`.";
  const CatalogueEntry* found = find_entry(context.entries, *id);
  if (found == nullptr) return "Nothing matches the operation " + *id + ".";
  const auto& offer = found->offer;

  std::string out = *id;
  out += "\n  does: ";
  out += offer.action_label;
  out += "\n  to: ";
  out += offer.resource_label;
  out += " (";
  out += offer.resource_kind;
  out += ")\n  in: ";
  out += found->app;
  out += '\n';
  if (offer.resource_note) {
    out += "  the application says: ";
    out += *offer.resource_note;
    out += '\n';
  }
  if (offer.availability.available) {
    out += "  availability: available\n";
  } else {
    out += "  availability: unavailable (";
    out += offer.availability.reason;
    out += ") — ";
    out += offer.availability.detail;
    out += '\n';
  }
  out += "  contract: permission=";
  out += actions::to_string(offer.required_role);
  out += "; risk=";
  out += actions::to_string(offer.risk);
  out += "; confirmation=";
  out += actions::to_string(offer.confirmation);
  out += "; retry=";
  out += actions::to_string(offer.retry);
  out += "; reversible=";
  out += offer.reversible ? "true" : "false";
  out += "; execution=";
  out += actions::to_string(offer.execution);
  out += "; result=";
  out += actions::to_string(offer.result);
  out += '\n';

  if (offer.parameters.empty()) {
    out += "  arguments: none. Pass {}.\n";
  } else {
    out += "  structured arguments:\n";
    for (const auto& p : offer.parameters) {
      out += "    ";
      out += p.name;
      out += ": ";
      out += actions::type_name(p.type);
      out += p.required ? " (required)" : " (optional)";
      out += " — ";
      out += p.description;
      if (!p.choices.empty()) {
        out += "; choices: ";
        for (std::size_t i = 0; i < p.choices.size(); ++i) {
          if (i > 0) out += ", ";
          out += p.choices[i];
        }
      }
      if (p.constraints) {
        out += "; constraints: ";
        out += dump_json(*p.constraints);
      }
      out += '\n';
    }
    out += offer.consumes_produced_content()
               ? "  arguments: produced content, not words. It must be bound from the prior step.\n"
               : "  Pass one JSON object containing exactly the parameters above.\n";
  }

  const auto item =
      std::ranges::find_if(context.items, [&](const DocumentItem& i) { return i.resource_id == offer.resource_id; });
  if (item != context.items.end()) {
    for (const auto& fact : item->facts) {
      out += "  about ";
      out += item->text;
      out += ": ";
      out += fact;
      out += '\n';
    }
  }
  return out;
}

}  // namespace

ShownIds initial_shown_ids() { return ShownIds{std::string("none")}; }

Json tool_definitions(const ShownIds& shown, std::size_t step_cap) {
  Json out = discovery_definitions();
  out.push_back(plan_definition(shown, step_cap));
  return out;
}

std::string run_tool(std::string_view name, const Json& input, const ToolContext& context, ShownIds& shown) {
  if (name == kListApplications) return list_applications(context, shown);
  if (name == kListOperations) return list_operations(input, context, shown);
  if (name == kDescribeOperation) return describe_operation(input, context);
  return "There is no tool called " + std::string(name) + ".";
}

std::string app_label(std::string_view app_namespace) {
  for (const Surface* surface : surface_table()) {
    if (surface->short_name() == app_namespace) return std::string(surface->label());
  }
  return std::string(app_namespace);
}

}  // namespace quern::agent
