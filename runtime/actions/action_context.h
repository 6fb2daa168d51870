// The context that travels with an invocation: on whose behalf (the app and resource the
// request came through), what for (the action label and purpose), as part of what (a group:
// a task, an agent run), and any further labelled facts (facets). It labels commits and
// invocation announcements and binds a task to its lease. A plain value.
//
// JSON form: an object with the members app, resource, action_label, purpose, group, facets in
// that order; an absent optional member is written as null. Reading is lenient about absence
// and strict about shape: any member may be missing (or null), a missing action_label reads as
// empty text, missing facets as none, the others as absent; but a member that is present must
// have its type, and the inner records (app, resource, group, each facet) need every member as
// a text. Unknown members are ignored.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/util/error.h"
#include "runtime/util/json.h"

namespace quern::actions {

struct ActionApp {
  std::string id;
  std::string label;
  bool operator==(const ActionApp&) const = default;
};

struct ActionResource {
  std::string id;
  std::string kind;
  std::string label;
  bool operator==(const ActionResource&) const = default;
};

struct ActionGroup {
  std::string id;
  std::string label;
  std::string kind;
  bool operator==(const ActionGroup&) const = default;
};

struct ActionFacet {
  std::string key;
  std::string value;
  bool operator==(const ActionFacet&) const = default;
};

struct ActionContext {
  std::optional<ActionApp> app;
  std::optional<ActionResource> resource;
  std::string action_label;
  std::optional<std::string> purpose;
  std::optional<ActionGroup> group;
  std::vector<ActionFacet> facets;

  // The context with one more facet, after those it has.
  ActionContext with_facet(std::string key, std::string value) const&;
  ActionContext with_facet(std::string key, std::string value) &&;

  // A one-line commit message for changes made in this context:
  //   "{head}: {detail}", or "{head}" alone when there is no detail or it equals the head,
  // where head is the action label, else the resource's label, else the app's label, else
  // "Change"; and detail is the group's label, else the purpose. White space runs become one
  // space, the ends are trimmed, and a message over 240 characters is cut to 239 and "…".
  std::string change_message() const;

  Json to_json() const;
  static Result<ActionContext> from_json(const Json& json);

  bool operator==(const ActionContext&) const = default;
};

namespace context {

// The text, or nothing when it is empty.
std::optional<std::string> nonempty(std::string_view text);

}  // namespace context

}  // namespace quern::actions
