#include "tools/room/message_json.h"

#include <array>
#include <utility>

#include "runtime/util/sha256.h"

namespace quern::room {
namespace {

using namespace quern::collab;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// --- output helpers ---

Json optional_text(const std::optional<std::string>& s) { return s ? Json(*s) : Json(nullptr); }

// JSON carried as text: the value when it parses, the raw text otherwise.
void put_json_text(Json& out, const std::string& name, const std::string& text) {
  if (text.empty()) {
    out[name] = nullptr;
    return;
  }
  if (auto parsed = parse_json(text)) {
    out[name] = std::move(*parsed);
  } else {
    out[name + "_json"] = text;
  }
}

template <typename E, std::size_t N>
std::string_view name_of(const std::array<std::pair<E, std::string_view>, N>& names, E value) {
  for (const auto& [v, n] : names) {
    if (v == value) return n;
  }
  return "?";
}

constexpr std::array<std::pair<Retry, std::string_view>, 3> kRetries{{
    {Retry::Idempotent, "Idempotent"},
    {Retry::RetryWithInvocationId, "RetryWithInvocationId"},
    {Retry::AtMostOnce, "AtMostOnce"},
}};
constexpr std::array<std::pair<Risk, std::string_view>, 5> kRisks{{
    {Risk::None, "None"},
    {Risk::Low, "Low"},
    {Risk::Destructive, "Destructive"},
    {Risk::Privileged, "Privileged"},
    {Risk::Sensitive, "Sensitive"},
}};
constexpr std::array<std::pair<RequiredRole, std::string_view>, 6> kRoles{{
    {RequiredRole::None, "None"},
    {RequiredRole::Read, "Read"},
    {RequiredRole::Comment, "Comment"},
    {RequiredRole::Write, "Write"},
    {RequiredRole::Invite, "Invite"},
    {RequiredRole::Admin, "Admin"},
}};
constexpr std::array<std::pair<InvocationStatus, std::string_view>, 3> kStatuses{{
    {InvocationStatus::Completed, "completed"},
    {InvocationStatus::NoChange, "no_change"},
    {InvocationStatus::Failed, "failed"},
}};

Json resource_json(const ResourceRef& r) { return Json{{"id", r.id}, {"kind", r.kind}, {"label", r.label}}; }

Json state_json(const ActionState& s) {
  Json out{{"state", action_state_name(s.kind)}};
  out["message"] = s.message.empty() ? Json(nullptr) : Json(s.message);
  return out;
}

Json invocation_json(const Invocation& inv) {
  Json out = Json::object();
  put_json_text(out, "context", inv.context_json);
  out["invocation_id"] = inv.invocation_id;
  out["label"] = inv.label;
  out["resource"] = resource_json(inv.resource);
  out["touched"] =
      std::visit(Overloaded{
                     [](const NothingTouched&) { return Json("nothing"); },
                     [](const std::vector<TextRange>& ranges) {
                       Json list = Json::array();
                       for (const auto& r : ranges) {
                         list.push_back({{"kind", r.kind}, {"block", r.block}, {"start", r.start}, {"end", r.end}});
                       }
                       return Json{{"ranges", list}};
                     },
                     [](const std::vector<std::string>& ids) {
                       return Json{{"ids", ids}};
                     },
                 },
                 inv.touched);
  return out;
}

Json task_json(const TaskEnvelope& t) {
  Json out{{"id", t.id}, {"title", t.title}, {"lease", t.lease}};
  put_json_text(out, "action_context", t.context_json);
  out["run_id"] = t.run_id;
  out["version"] = t.version;
  out["model_allowed"] = t.model_allowed;
  return out;
}

// --- input helpers ---

class In {
 public:
  In(const Json& json, std::string what) : json_(json), what_(std::move(what)) {
    if (!json.is_object()) note("is not a JSON object");
  }

  std::string text(std::string_view name, std::string fallback = "") {
    const Json* m = member(json_, name);
    if (m == nullptr || m->is_null()) return fallback;
    if (!m->is_string()) {
      note(std::string("member ") + std::string(name) + " is not a text");
      return fallback;
    }
    return m->get<std::string>();
  }
  std::optional<std::string> optional_text(std::string_view name) {
    const Json* m = member(json_, name);
    if (m == nullptr || m->is_null()) return std::nullopt;
    return text(name);
  }
  std::uint64_t number(std::string_view name, std::uint64_t fallback = 0) {
    const Json* m = member(json_, name);
    if (m == nullptr || m->is_null()) return fallback;
    if (auto v = unsigned_member(json_, name)) return *v;
    note(std::string("member ") + std::string(name) + " is not an unsigned number");
    return fallback;
  }
  bool flag(std::string_view name, bool fallback = false) {
    const Json* m = member(json_, name);
    if (m == nullptr || m->is_null()) return fallback;
    if (!m->is_boolean()) {
      note(std::string("member ") + std::string(name) + " is not a boolean");
      return fallback;
    }
    return m->get<bool>();
  }
  std::vector<std::string> texts(std::string_view name) {
    std::vector<std::string> out;
    const Json* m = member(json_, name);
    if (m == nullptr || m->is_null()) return out;
    if (!m->is_array()) {
      note(std::string("member ") + std::string(name) + " is not a list");
      return out;
    }
    for (const auto& v : *m) {
      if (!v.is_string()) {
        note(std::string("member ") + std::string(name) + " holds something other than texts");
        return {};
      }
      out.push_back(v.get<std::string>());
    }
    return out;
  }
  // JSON carried as text: `name` holds the value, `name_json` the raw text.
  std::string json_text(const std::string& name) {
    if (const Json* m = member(json_, name); m != nullptr && !m->is_null()) return dump_json(*m);
    return text(name + "_json");
  }
  const Json* get(std::string_view name) const {
    const Json* m = member(json_, name);
    return (m == nullptr || m->is_null()) ? nullptr : m;
  }
  void note(std::string problem) {
    if (!error_) error_ = what_ + ": " + problem;
  }
  void take(Result<void> r) {
    if (!r) note(r.error().to_string());
  }
  Result<void> status() const {
    if (error_) return fail(*error_);
    return {};
  }
  template <typename T>
  Result<T> finish(T value) {
    if (error_) return fail(*error_);
    return value;
  }

 private:
  const Json& json_;
  std::string what_;
  std::optional<std::string> error_;
};

template <typename E, std::size_t N>
E parse_name(In& in, const std::array<std::pair<E, std::string_view>, N>& names, std::string_view member_name,
             E fallback) {
  const std::string text = in.text(member_name);
  if (text.empty()) return fallback;
  for (const auto& [v, n] : names) {
    if (n == text) return v;
  }
  in.note("member " + std::string(member_name) + " names no known value: " + text);
  return fallback;
}

// A variant value: the bare name, or {"Name": {fields}}. Gives the name and the fields.
std::pair<std::string, const Json*> variant_of(const Json* v) {
  static const Json kEmpty = Json::object();
  if (v == nullptr) return {"", &kEmpty};
  if (v->is_string()) return {v->get<std::string>(), &kEmpty};
  if (v->is_object() && v->size() == 1) return {v->begin().key(), &v->begin().value()};
  return {"?", &kEmpty};
}

ResourceRef resource_from(const Json* j, In& outer) {
  if (j == nullptr) return {};
  In in(*j, "resource");
  ResourceRef r{in.text("id"), in.text("kind"), in.text("label")};
  outer.take(in.status());
  return r;
}

ActionState state_from(In& in) {
  ActionState s;
  const std::string name = in.text("state", "accepted");
  if (auto k = action_state_from_name(name)) {
    s.kind = *k;
  } else {
    in.note("names no known action state: " + name);
  }
  s.message = in.text("message");
  return s;
}

Result<TaskEnvelope> task_from(const Json& j) {
  In in(j, "task");
  TaskEnvelope t;
  t.id = in.text("id");
  t.title = in.text("title");
  t.lease = in.text("lease");
  t.context_json = in.json_text("action_context");
  t.run_id = in.number("run_id");
  t.version = static_cast<std::uint16_t>(in.number("version", 1));
  t.model_allowed = in.flag("model_allowed");
  return in.finish(std::move(t));
}

Invocation invocation_from(In& in) {
  Invocation inv;
  inv.context_json = in.json_text("context");
  inv.invocation_id = in.text("invocation_id");
  inv.label = in.text("label");
  inv.resource = resource_from(in.get("resource"), in);
  const auto [kind, fields] = variant_of(in.get("touched"));
  if (kind.empty() || kind == "nothing") {
    inv.touched = NothingTouched{};
  } else if (kind == "ids") {
    In ids(Json{{"ids", *fields}}, "touched");
    inv.touched = ids.texts("ids");
  } else if (kind == "ranges" && fields->is_array()) {
    std::vector<TextRange> ranges;
    for (const auto& r : *fields) {
      In x(r, "range");
      ranges.push_back(TextRange{x.text("kind", "document"), x.text("block"), x.number("start"), x.number("end")});
      in.take(x.status());
    }
    inv.touched = std::move(ranges);
  } else {
    in.note("touched is neither \"nothing\", {\"ranges\": [...]} nor {\"ids\": [...]}");
  }
  return inv;
}

}  // namespace

Json route_to_json(const Route& route) {
  return Json{{"app", route.app}, {"room", route.room}, {"record", optional_text(route.record)}};
}

Result<Route> route_from_json(const Json& json) {
  In in(json, "route");
  Route r{in.text("app"), in.text("room"), in.optional_text("record")};
  return in.finish(std::move(r));
}

Json offer_to_json(const BrokerOffer& o) {
  Json out{{"resource_id", o.resource_id},
           {"action_name", o.action_name},
           {"resource_kind", o.resource_kind},
           {"resource_label", o.resource_label},
           {"action_label", o.action_label}};
  out["availability"] = std::visit(Overloaded{
                                       [](const Available&) { return Json("Available"); },
                                       [](const Unavailable& u) {
                                         return Json{{"Unavailable", {{"reason", u.reason}, {"detail", u.detail}}}};
                                       },
                                   },
                                   o.availability);
  out["confirmation"] = std::visit(Overloaded{
                                       [](const NoConfirmation&) { return Json("None"); },
                                       [](const Confirm&) { return Json("Confirm"); },
                                       [](const Phrase& p) {
                                         return Json{{"Phrase", {{"phrase", p.phrase}}}};
                                       },
                                   },
                                   o.confirmation);
  out["execution"] = std::visit(Overloaded{
                                    [](const Immediate&) { return Json("Immediate"); },
                                    [](const Background& b) {
                                      return Json{{"Background", {{"cancellable", b.cancellable}}}};
                                    },
                                    [](const Streaming& s) {
                                      Json fields{{"cancellable", s.cancellable}};
                                      put_json_text(fields, "item_schema", s.item_schema);
                                      return Json{{"Streaming", fields}};
                                    },
                                },
                                o.execution);
  out["result"] = std::visit(Overloaded{
                                 [](const NoResult&) { return Json("None"); },
                                 [](const ResourceResult& r) {
                                   return Json{{"Resource", {{"resource_kind", r.resource_kind}}}};
                                 },
                                 [](const JobResult&) { return Json("Job"); },
                                 [](const JsonResult& j) {
                                   Json fields = Json::object();
                                   put_json_text(fields, "schema", j.schema);
                                   return Json{{"Json", fields}};
                                 },
                             },
                             o.result);
  out["reversible"] = o.reversible;
  out["retry"] = name_of(kRetries, o.retry);
  out["risk"] = name_of(kRisks, o.risk);
  out["required_role"] = name_of(kRoles, o.required_role);
  Json params = Json::array();
  for (const auto& p : o.parameters) {
    Json pj{{"name", p.name},
            {"description", p.description},
            {"type", p.type},
            {"required", p.required},
            {"choices", p.choices}};
    if (p.constraints) {
      put_json_text(pj, "constraints", *p.constraints);
    } else {
      pj["constraints"] = nullptr;
    }
    params.push_back(std::move(pj));
  }
  out["parameters"] = std::move(params);
  out["resource_note"] = optional_text(o.resource_note);
  if (o.content_input) {
    out["content_input"] = {{"name", o.content_input->name},
                            {"type", o.content_input->type},
                            {"description", o.content_input->description},
                            {"consumes_produced_content", o.content_input->consumes_produced_content}};
  } else {
    out["content_input"] = nullptr;
  }
  return out;
}

Result<BrokerOffer> offer_from_json(const Json& json) {
  In in(json, "offer");
  BrokerOffer o;
  o.resource_id = in.text("resource_id");
  o.action_name = in.text("action_name");
  o.resource_kind = in.text("resource_kind");
  o.resource_label = in.text("resource_label");
  o.action_label = in.text("action_label");
  {
    const auto [name, fields] = variant_of(in.get("availability"));
    In f(*fields, "availability");
    if (name.empty() || name == "Available") {
      o.availability = Available{};
    } else if (name == "Unavailable") {
      o.availability = Unavailable{f.text("reason"), f.text("detail")};
    } else {
      in.note("availability names no known variant: " + name);
    }
    in.take(f.status());
  }
  {
    const auto [name, fields] = variant_of(in.get("confirmation"));
    In f(*fields, "confirmation");
    if (name.empty() || name == "None") {
      o.confirmation = NoConfirmation{};
    } else if (name == "Confirm") {
      o.confirmation = Confirm{};
    } else if (name == "Phrase") {
      o.confirmation = Phrase{f.text("phrase")};
    } else {
      in.note("confirmation names no known variant: " + name);
    }
    in.take(f.status());
  }
  {
    const auto [name, fields] = variant_of(in.get("execution"));
    In f(*fields, "execution");
    if (name.empty() || name == "Immediate") {
      o.execution = Immediate{};
    } else if (name == "Background") {
      o.execution = Background{f.flag("cancellable")};
    } else if (name == "Streaming") {
      o.execution = Streaming{f.flag("cancellable"), f.json_text("item_schema")};
    } else {
      in.note("execution names no known variant: " + name);
    }
    in.take(f.status());
  }
  {
    const auto [name, fields] = variant_of(in.get("result"));
    In f(*fields, "result");
    if (name.empty() || name == "None") {
      o.result = NoResult{};
    } else if (name == "Resource") {
      o.result = ResourceResult{f.text("resource_kind")};
    } else if (name == "Job") {
      o.result = JobResult{};
    } else if (name == "Json") {
      o.result = JsonResult{f.json_text("schema")};
    } else {
      in.note("result names no known variant: " + name);
    }
    in.take(f.status());
  }
  o.reversible = in.flag("reversible");
  o.retry = parse_name(in, kRetries, "retry", Retry::AtMostOnce);
  o.risk = parse_name(in, kRisks, "risk", Risk::Low);
  o.required_role = parse_name(in, kRoles, "required_role", RequiredRole::Write);
  if (const Json* params = in.get("parameters")) {
    if (!params->is_array()) in.note("parameters is not a list");
    for (const auto& pj : params->is_array() ? *params : Json::array()) {
      In p(pj, "parameter");
      Parameter param;
      param.name = p.text("name");
      param.description = p.text("description");
      param.type = p.text("type", "text");
      param.required = p.flag("required");
      param.choices = p.texts("choices");
      if (p.get("constraints") != nullptr || p.get("constraints_json") != nullptr) {
        param.constraints = p.json_text("constraints");
      }
      in.take(p.status());
      o.parameters.push_back(std::move(param));
    }
  }
  o.resource_note = in.optional_text("resource_note");
  if (const Json* c = in.get("content_input")) {
    In ci(*c, "content_input");
    o.content_input = ContentInput{ci.text("name"), ci.text("type", "text"), ci.text("description"),
                                   ci.flag("consumes_produced_content")};
    in.take(ci.status());
  }
  return in.finish(std::move(o));
}

Json message_to_json(const Message& message) {
  Json out{{"frame", message_name(message)}};
  std::visit(
      Overloaded{
          [&](const Hello& h) {
            out["version"] = h.version;
            out["name"] = h.name;
            out["kind"] = participant_kind_name(h.kind);
            out["route"] = route_to_json(h.route);
          },
          [&](const Welcome& w) { out["participant"] = w.participant; },
          [&](const Refused& r) { out["reason"] = r.reason; },
          [&](const Join& j) { out["room"] = j.room; },
          [&](const Joined& j) { out["room"] = j.room; },
          [&](const DocumentRequest& r) {
            out["app"] = r.app;
            out["record"] = optional_text(r.record);
          },
          [&](const DocumentBytes& d) {
            switch (d.payload) {
              case DocumentPayload::None: out["payload"] = "none"; break;
              case DocumentPayload::Whole: out["payload"] = "whole"; break;
              case DocumentPayload::Incremental: out["payload"] = "incremental"; break;
              case DocumentPayload::Unknown: out["payload"] = "unknown"; break;
            }
            out["bytes"] = d.bytes.size();
            out["sha256"] = to_hex(sha256(d.bytes.bytes()));
          },
          [&](const RoomAnnouncement& a) { out["room"] = a.room; },
          [&](const InvocationAnnounced& a) { out.update(invocation_json(a.invocation)); },
          [&](const InvocationOutcome& o) {
            out.update(invocation_json(o.invocation));
            out["status"] = name_of(kStatuses, o.status);
            out["message"] = o.message;
          },
          [&](const StepReport& s) {
            out["agent"] = s.agent;
            put_json_text(out, "context", s.context_json);
            out["app"] = s.app;
            out["resource"] = resource_json(s.resource);
            out["action_name"] = s.action_name;
            out["action_label"] = s.action_label;
            out["number"] = s.number;
            out.update(state_json(s.state));
            out["target"] = std::visit(Overloaded{
                                           [](const StepTargetNone&) { return Json(nullptr); },
                                           [](const std::string& t) { return Json(t); },
                                           [](const std::vector<std::string>& ids) { return Json(ids); },
                                       },
                                       s.target);
          },
          [&](const CataloguePublish& p) {
            out["app"] = p.app;
            Json offers = Json::array();
            for (const auto& o : p.offers) offers.push_back(offer_to_json(o));
            out["offers"] = std::move(offers);
          },
          [&](const CatalogueUpdate& u) {
            Json records = Json::array();
            for (const auto& r : u.records) {
              Json offers = Json::array();
              for (const auto& o : r.offers) offers.push_back(offer_to_json(o));
              records.push_back(
                  {{"app", r.app}, {"participant", r.participant}, {"admitted", r.admitted}, {"offers", offers}});
            }
            out["records"] = std::move(records);
          },
          [&](const ActionRequest& r) {
            out["request"] = r.request;
            out["participant"] = r.participant;
            out["resource_id"] = r.resource_id;
            out["action_name"] = r.action_name;
            put_json_text(out, "arguments", r.arguments_json);
            put_json_text(out, "context", r.context_json);
            out["invocation_id"] = r.invocation_id;
          },
          [&](const TaskActionRequest& r) {
            out["request"] = r.request;
            out["participant"] = r.participant;
            out["resource_id"] = r.resource_id;
            out["action_name"] = r.action_name;
            put_json_text(out, "arguments", r.arguments_json);
            out["lease"] = r.lease;
            out["run_id"] = r.run_id;
          },
          [&](const ActionAccepted& a) {
            out["request"] = a.request;
            out["handle"] = a.handle;
            out.update(state_json(a.state));
          },
          [&](const ActionOutcome& o) {
            out["request"] = o.request;
            out.update(state_json(o.state));
            put_json_text(out, "output", o.output);
            out["resources"] = o.resources;
          },
          [&](const ActionStatusQuery& q) {
            out["request"] = q.request;
            out["handle"] = q.handle;
          },
          [&](const ActionCancel& q) {
            out["request"] = q.request;
            out["handle"] = q.handle;
          },
          [&](const TaskEnvelope& t) { out.update(task_json(t)); },
          [&](const TaskStatusReport& r) {
            out["lease"] = r.lease;
            out["run_id"] = r.run_id;
            out["state"] = task_state_name(r.state);
            out["text"] = optional_text(r.text);
          },
          [&](const CancellationStatusQuery& q) {
            out["lease"] = q.lease;
            out["request"] = q.request;
            out["run_id"] = q.run_id;
          },
          [&](const CancellationStatus& s) {
            out["request"] = s.request;
            if (const bool* c = std::get_if<bool>(&s.answer)) {
              out["cancelled"] = *c;
            } else {
              out["error"] = std::get<CancellationError>(s.answer).message;
            }
          },
          [&](const TaskMint& m) {
            out["agent"] = m.agent;
            out["task"] = task_json(m.envelope);
          },
          [&](const TaskCancel& c) { out["lease"] = c.lease; },
          [&](const TaskCenterReply& r) {
            out["lease"] = r.lease;
            out["ok"] = r.ok;
            out["message"] = r.message;
          },
      },
      message);
  return out;
}

Result<Message> message_from_json(const Json& json) {
  In in(json, "message");
  const std::string frame = in.text("frame");
  auto done = [&](Message m) { return in.finish(std::move(m)); };
  if (frame == "join") return done(Join{in.text("room")});
  if (frame == "document_request") return done(DocumentRequest{in.text("app"), in.optional_text("record")});
  if (frame == "room_announcement") return done(RoomAnnouncement{in.text("room")});
  if (frame == "invocation_announced") return done(InvocationAnnounced{invocation_from(in)});
  if (frame == "invocation_outcome") {
    InvocationOutcome o{invocation_from(in), parse_name(in, kStatuses, "status", InvocationStatus::Completed),
                        in.text("message")};
    return done(std::move(o));
  }
  if (frame == "step_report") {
    StepReport s;
    s.agent = in.text("agent");
    s.context_json = in.json_text("context");
    s.app = in.text("app");
    s.resource = resource_from(in.get("resource"), in);
    s.action_name = in.text("action_name");
    s.action_label = in.text("action_label");
    s.number = in.number("number");
    s.state = state_from(in);
    if (const Json* t = in.get("target")) {
      if (t->is_string()) {
        s.target = t->get<std::string>();
      } else {
        s.target = in.texts("target");
      }
    }
    return done(std::move(s));
  }
  if (frame == "catalogue_publish") {
    CataloguePublish p{in.text("app"), {}};
    if (const Json* offers = in.get("offers"); offers != nullptr && offers->is_array()) {
      for (const auto& o : *offers) {
        auto offer = offer_from_json(o);
        if (!offer) return fail(offer.error());
        p.offers.push_back(std::move(*offer));
      }
    }
    return done(std::move(p));
  }
  if (frame == "action_request") {
    return done(ActionRequest{in.number("request"), in.number("participant"), in.text("resource_id"),
                              in.text("action_name"), in.json_text("arguments"), in.json_text("context"),
                              in.text("invocation_id")});
  }
  if (frame == "task_action_request") {
    return done(TaskActionRequest{in.number("request"), in.number("participant"), in.text("resource_id"),
                                  in.text("action_name"), in.json_text("arguments"), in.text("lease"),
                                  in.number("run_id")});
  }
  if (frame == "action_accepted") {
    ActionAccepted a{in.number("request"), in.text("handle"), {}};
    a.state = state_from(in);
    return done(std::move(a));
  }
  if (frame == "action_outcome") {
    ActionOutcome o{in.number("request"), {}, in.json_text("output"), in.texts("resources")};
    o.state = state_from(in);
    return done(std::move(o));
  }
  if (frame == "action_status_query") return done(ActionStatusQuery{in.number("request"), in.text("handle")});
  if (frame == "action_cancel") return done(ActionCancel{in.number("request"), in.text("handle")});
  if (frame == "task_envelope") {
    auto t = task_from(json);
    if (!t) return fail(t.error());
    return done(std::move(*t));
  }
  if (frame == "task_status_report") {
    TaskStatusReport r{in.text("lease"), in.number("run_id"), TaskState::Started, in.optional_text("text")};
    const std::string state = in.text("state", "started");
    if (auto s = task_state_from_name(state)) {
      r.state = *s;
    } else {
      in.note("names no known task state: " + state);
    }
    return done(std::move(r));
  }
  if (frame == "cancellation_status_query") {
    return done(CancellationStatusQuery{in.text("lease"), in.number("request"), in.number("run_id")});
  }
  if (frame == "task_mint") {
    const Json* task = in.get("task");
    if (task == nullptr) return fail("message: task_mint needs a task");
    auto t = task_from(*task);
    if (!t) return fail(t.error());
    return done(TaskMint{in.text("agent"), std::move(*t)});
  }
  if (frame == "task_cancel") return done(TaskCancel{in.text("lease")});
  if (frame == "hello") {
    Hello h;
    h.version = static_cast<std::uint16_t>(in.number("version", kProtocolVersion));
    h.name = in.text("name");
    h.kind = participant_kind_from_name(in.text("kind", "app")).value_or(ParticipantKind::App);
    if (const Json* r = in.get("route")) {
      auto route = route_from_json(*r);
      if (!route) return fail(route.error());
      h.route = std::move(*route);
    }
    return done(std::move(h));
  }
  return fail("message: " + (frame.empty() ? std::string("no frame named") : "unknown frame " + frame));
}

Json event_to_json(const CollabEvent& event) {
  Json from{{"participant", event.from.participant},
            {"name", event.from.name},
            {"kind", participant_kind_name(event.from.kind)}};
  from.update(route_to_json(event.from.route));
  Json out{{"frame", message_name(event.body)}, {"from", std::move(from)}};
  if (event.to) out["to"] = route_to_json(*event.to);
  out.update(message_to_json(event.body));
  return out;
}

}  // namespace quern::room
