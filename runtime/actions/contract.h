// What an action promises its callers: how it must be confirmed, how it runs, what it returns,
// whether it can be undone or retried, how risky it is and which role it needs; plus whether it
// can be performed right now. Plain values, safe to copy and share between threads.
//
// Each enumeration has a printed form (`to_string`) used in contract lines and error texts: a
// variant without fields is its bare name ("Immediate"); one with fields is its name followed
// by "{ field: value, ... }" ("Background { cancellable: true }"), texts quoted and escaped,
// schemas as their compact JSON text.
#pragma once

#include <string>

#include "runtime/ui/permissions.h"
#include "runtime/util/json.h"

namespace quern::actions {

using Role = ui::permissions::Role;

// What a caller must add to its request before the action may run.
struct Confirmation {
  enum class Kind { None, Confirm, Phrase };
  Kind kind = Kind::None;
  std::string phrase;  // Phrase only: the exact text the caller must repeat

  static Confirmation none() { return {}; }
  static Confirmation confirm() { return {Kind::Confirm, {}}; }
  static Confirmation with_phrase(std::string phrase) { return {Kind::Phrase, std::move(phrase)}; }

  bool operator==(const Confirmation&) const = default;
};

// How the action runs once started.
struct Execution {
  enum class Kind { Immediate, Background, Streaming };
  Kind kind = Kind::Immediate;
  bool cancellable = false;  // Background and Streaming
  Json item_schema;          // Streaming: the schema of each streamed item

  static Execution immediate() { return {}; }
  static Execution background(bool cancellable) { return {Kind::Background, cancellable, {}}; }
  static Execution streaming(bool cancellable, Json item_schema) {
    return {Kind::Streaming, cancellable, std::move(item_schema)};
  }

  bool operator==(const Execution&) const = default;
};

// What the action gives back.
struct ActionResult {
  enum class Kind { None, Resource, Job, Json };
  Kind kind = Kind::None;
  std::string resource_kind;  // Resource: the kind of the resource returned
  quern::Json schema;         // Json: the schema of the returned value

  static ActionResult none() { return {}; }
  static ActionResult resource(std::string resource_kind) { return {Kind::Resource, std::move(resource_kind), {}}; }
  static ActionResult job() { return {Kind::Job, {}, {}}; }
  static ActionResult json(quern::Json schema) { return {Kind::Json, {}, std::move(schema)}; }

  bool operator==(const ActionResult&) const = default;
};

enum class Retry { Idempotent, RetryWithInvocationId, AtMostOnce };
enum class Risk { None, Low, Destructive, Privileged, Sensitive };

// The part of a contract an action spec sets in one go (`ActionSpec::with_contract`); execution
// and result are set on their own. The defaults describe an ordinary document edit.
struct ActionContract {
  Role required_role = Role::Write;
  Risk risk = Risk::Low;
  Confirmation confirmation;
  Retry retry = Retry::AtMostOnce;
  bool reversible = false;

  bool operator==(const ActionContract&) const = default;
};

// Whether the action can be performed now; an unavailable one says why (a short machine reason
// such as "local_vision_unavailable") and what a person can do about it (the detail). A default
// value is available.
struct Availability {
  bool available = true;
  std::string reason;
  std::string detail;

  static Availability unavailable(std::string reason, std::string detail) {
    return {false, std::move(reason), std::move(detail)};
  }

  bool operator==(const Availability&) const = default;
};

std::string to_string(const Confirmation& confirmation);
std::string to_string(const Execution& execution);
std::string to_string(const ActionResult& result);
std::string to_string(Retry retry);
std::string to_string(Risk risk);
std::string to_string(Role role);

}  // namespace quern::actions
