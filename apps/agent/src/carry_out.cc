#include "apps/agent/src/carry_out.h"

#include <algorithm>
#include <functional>

#include "apps/agent/src/apply.h"
#include "apps/agent/src/offer_lookup.h"
#include "apps/agent/src/recipes.h"
#include "apps/agent/src/run_record.h"
#include "apps/agent/src/session.h"
#include "apps/agent/src/wire.h"
#include "apps/word-processor/src/action_json.h"
#include "apps/word-processor/src/action_summary.h"
#include "runtime/actions/door.h"
#include "runtime/actions/invocation_id.h"
#include "runtime/actions/transport.h"
#include "runtime/folio/history.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "runtime/ui/history_source.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::agent {
namespace {

constexpr std::string_view kSession = "quern_agent::session";
constexpr std::string_view kApply = "quern_agent::apply";

// Request numbers of the agent's brokered actions, unique for the life of the process.
std::uint64_t next_request_number() {
  static std::uint64_t next = 0;
  return ++next;
}

std::string context_json(const Session& session) {
  auto context = run_context(session);
  return context ? dump_json(context->to_json()) : std::string();
}

std::string commit_message(const Session& session, const Replica& replica) {
  if (auto context = run_context(session)) return context->change_message();
  return replica.pending_message.value_or("");
}

collab::Touched to_wire(const word_processor::TouchedTargets& touched) {
  if (const auto* ranges = std::get_if<std::vector<word_processor::DocumentRange>>(&touched)) {
    std::vector<collab::TextRange> out;
    for (const auto& r : *ranges) out.push_back(collab::TextRange{"document", r.block, r.start, r.end});
    return out;
  }
  if (const auto* ids = std::get_if<std::vector<std::string>>(&touched)) return *ids;
  return collab::NothingTouched{};
}

void send_change_set(Session& session, Replica& replica) {
  crdt::Bytes bytes = replica.document.save_incremental();
  if (bytes.empty()) return;
  collab::DocumentBytes message{collab::DocumentPayload::Incremental, collab::Blob::take(std::move(bytes))};
  if (&replica == &*session.own) {
    send(session, std::move(message));
  } else {
    send_to(session, replica.route, std::move(message));
  }
}

void pace(Session& session) {
  if (session.settings.pace > Duration::zero()) session.clock->sleep_for(session.settings.pace);
}

// Events taken from the room while waiting that the wait does not consume, in arrival order;
// they go back to the front of the session's queue when the wait ends.
class SetAside {
 public:
  explicit SetAside(Session& session) : session_(session) {}
  ~SetAside() {
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) session_.events.push_front(std::move(*it));
  }
  void keep(collab::CollabEvent event) { events_.push_back(std::move(event)); }

 private:
  Session& session_;
  std::vector<collab::CollabEvent> events_;
};

enum class WaitMode { CatalogueOnly, ApplyDocuments };

// Waits until `accept` takes an event or `timeout` passes. In ApplyDocuments mode document
// events are applied to the replicas meanwhile; everything else not accepted is set aside.
Result<bool> wait_for(Session& session, Duration timeout, WaitMode mode, SetAside& aside,
                      const std::function<bool(const collab::CollabEvent&)>& accept) {
  const Instant deadline = session.clock->now() + timeout;
  while (true) {
    const Instant now = session.clock->now();
    if (now >= deadline) return false;
    auto event = QUERN_TRY(next_event(session, deadline - now));
    if (!event) return false;
    if (accept(*event)) return true;
    if (mode == WaitMode::ApplyDocuments && event->is<collab::DocumentBytes>()) {
      QUERN_TRY(apply_document_event(session, *event));
      continue;
    }
    aside.keep(std::move(*event));
  }
}

struct Failure {
  std::string reason;
};

std::string failure_reply(const CarryingOut& work, std::string_view reason) {
  return step_failure_reply(work.session.settings.name, reason);
}

// Whether an action step opens an application ("{app}.app#open", "app.{app}#open").
bool opens_application(const Step& step) {
  const auto* action = std::get_if<ActionStep>(&step);
  if (action == nullptr) return false;
  std::string_view id = action->operation;
  if (id.starts_with("broker:")) {
    const std::size_t colon = id.find(':', 7);
    if (colon == std::string_view::npos) return false;
    id.remove_prefix(colon + 1);
  }
  auto split = actions::door::split_operation_id(id);
  if (!split || split->second != "open") return false;
  const std::string_view resource = split->first;
  const std::size_t dot = resource.find('.');
  if (dot == std::string_view::npos) return false;
  return resource.substr(0, dot) == "app" || resource.substr(dot + 1) == "app";
}

// The offer the step names, waiting up to the catalogue wait for it to be published.
Result<std::optional<FoundOffer>> find_offer_waiting(CarryingOut& work, std::string_view operation) {
  Session& session = work.session;
  if (auto found = find_current_offer(session, operation)) return found;
  SetAside aside(session);
  const Instant deadline = session.clock->now() + work.timings.catalogue_wait;
  while (true) {
    const Instant now = session.clock->now();
    if (now >= deadline) return std::nullopt;
    bool got = false;
    QUERN_TRY(wait_for(session, deadline - now, WaitMode::CatalogueOnly, aside, [&](const collab::CollabEvent& e) {
      if (const auto* update = e.get<collab::CatalogueUpdate>()) {
        store_catalogue(session, *update);
        got = true;
        return true;
      }
      return false;
    }));
    if (!got) return std::nullopt;
    if (auto found = find_current_offer(session, operation)) return found;
  }
}

// ---- The broker path.

struct BrokerAnswer {
  std::optional<collab::ActionAccepted> accepted;
  std::optional<collab::ActionOutcome> outcome;
};

Result<std::optional<BrokerAnswer>> await_answer(Session& session, std::uint64_t request, Duration timeout,
                                                 SetAside& aside) {
  BrokerAnswer answer;
  const bool got = QUERN_TRY(wait_for(session, timeout, WaitMode::ApplyDocuments, aside, [&](const auto& e) {
    if (const auto* a = e.template get<collab::ActionAccepted>(); a && a->request == request) {
      answer.accepted = *a;
      return true;
    }
    if (const auto* o = e.template get<collab::ActionOutcome>(); o && o->request == request) {
      answer.outcome = *o;
      return true;
    }
    return false;
  }));
  if (!got) return std::nullopt;
  return answer;
}

// The verdict on a terminal state; success stores what the action produced.
StepVerdict terminal_verdict(CarryingOut& work, const std::string& operation, const std::string& invocation,
                             const collab::ActionState& state, const std::string& output,
                             const std::vector<std::string>& resources) {
  switch (state.kind) {
    case collab::ActionStateKind::Succeeded: {
      log::info(kSession, "broker action completed",
                {{"id", operation}, {"invocation_id", invocation}, {"output", output}});
      PreviousResult produced;
      for (const auto& id : resources) {
        produced.resources.push_back(
            actions::ResourceRef{id, id.starts_with("content:") ? std::string(actions::outcome::kContentKind) : ""});
      }
      if (!output.empty()) produced.value = output;
      work.produced = std::move(produced);
      return std::nullopt;
    }
    case collab::ActionStateKind::Cancelled: return failure_reply(work, "that action was cancelled");
    default: return failure_reply(work, state.message.empty() ? "the action failed" : state.message);
  }
}

Result<StepVerdict> broker_step(CarryingOut& work, const std::string& operation, const FoundOffer& found,
                                const Json& arguments) {
  Session& session = work.session;
  const std::uint64_t request = next_request_number();
  const std::string invocation = actions::InvocationId::generate().text();
  send(session,
       collab::ActionRequest{request, found.participant.value_or(0), found.offer.resource_id, found.offer.action_name,
                             dump_json(arguments), context_json(session), invocation});
  StepVerdict verdict;
  {
    SetAside aside(session);
    auto answer = QUERN_TRY(await_answer(session, request, work.timings.broker_answer, aside));
    if (!answer) {
      verdict = failure_reply(work, "the broker did not answer the action request");
    } else if (answer->outcome) {
      if (answer->outcome->state.terminal()) {
        verdict = terminal_verdict(work, operation, invocation, answer->outcome->state, answer->outcome->output,
                                   answer->outcome->resources);
      } else {
        verdict = failure_reply(work, "the broker returned an invalid nonterminal result");
      }
    } else if (answer->accepted->state.terminal()) {
      verdict = terminal_verdict(work, operation, invocation, answer->accepted->state, "", {});
    } else if (!answer->accepted->state.unfinished()) {
      verdict = failure_reply(work, "the broker returned an invalid nonterminal result");
    } else {
      // Admitted: follow it up until it ends or the admission deadline passes.
      const std::string handle = answer->accepted->handle;
      const Instant admitted = session.clock->now();
      bool ended = false;
      while (!ended) {
        if (session.clock->now() - admitted >= work.timings.admission) {
          verdict = failure_reply(
              work, "action " + quote_escaped(operation) + " was admitted but did not reach a terminal state in time");
          break;
        }
        QUERN_TRY(wait_for(session, work.timings.state_poll, WaitMode::ApplyDocuments, aside,
                           [](const collab::CollabEvent&) { return false; }));
        send(session, collab::ActionStatusQuery{request, handle});
        auto state = QUERN_TRY(await_answer(session, request, work.timings.broker_answer, aside));
        if (!state || !state->outcome) {
          verdict = failure_reply(work, "I couldn't observe that action - the broker did not answer the status query");
          break;
        }
        const collab::ActionOutcome& o = *state->outcome;
        if (o.state.terminal()) {
          verdict = terminal_verdict(work, operation, invocation, o.state, o.output, o.resources);
          ended = true;
        } else if (!o.state.unfinished()) {
          verdict = failure_reply(work, "the broker returned an invalid nonterminal result");
          ended = true;
        }
      }
    }
  }
  ++work.performed;
  pace(session);
  return verdict;
}

// ---- The local path.

std::string door_failure_reason(const actions::door::DoorError& error) {
  using Kind = actions::door::DoorError::Kind;
  switch (error.kind()) {
    case Kind::NotFound: return "that no longer names anything I can find";
    case Kind::ConfirmationRequired: return "that action requires explicit confirmation";
    default: return error.display();
  }
}

Result<StepVerdict> local_step(CarryingOut& work, const std::string& operation, const FoundOffer& found,
                               const Json& arguments, const actions::Confirmation& confirmation) {
  Session& session = work.session;
  Replica* replica = find_replica(session, found.app);
  if (replica == nullptr) return StepVerdict{failure_reply(work, "that isn't open here, so I can't act on it")};
  const bool watched = replica == &*session.own;

  const actions::Directory directory = replica->surface->document_directory(replica->document, EditingContext{});
  actions::LocalTransport transport;
  const std::string actor(replica->actor.bytes().begin(), replica->actor.bytes().end());
  auto invoked = actions::door::invoke_json_confirmed(directory, found.offer.operation_id(), arguments, actor,
                                                      transport, confirmation);
  if (!invoked) {
    log::warn(kSession, "refused: " + invoked.error().display(), {{"id", operation}});
    return StepVerdict{failure_reply(work, door_failure_reason(invoked.error()))};
  }

  for (actions::ReplicatedAction& change : transport.take_changes()) {
    if (watched && change.action.operation_type == "word-processor.action") {
      auto action = word_processor::action_from_json(change.action.payload);
      if (!action) return StepVerdict{error_reply(session.settings.name, action.error().to_string())};
      auto performed = perform(work, *action);
      if (!performed) {
        if (word_processor::is_rejection(performed.error())) {
          return StepVerdict{failure_reply(work, performed.error().message())};
        }
        return std::unexpected(performed.error());
      }
      if (*performed == Performed::NoChange) {
        log::warn(kSession, "the operation changed nothing", {{"id", operation}});
        return StepVerdict{failure_reply(work, "that didn't change anything")};
      }
      work.produced = PreviousResult{};
      continue;
    }
    // Another app's replica (or a payload the word processor's own path does not take).
    auto registry = surface_registry();
    if (!registry) return std::unexpected(registry.error());
    replica->document.set_actor(replica->actor);
    const auto before = replica->document.heads();
    auto applied = registry->apply(change.action, replica->document, actor);
    if (!applied) {
      replica->document.rollback();
      log::warn(kSession, "refused: " + applied.error().to_string(), {{"id", operation}});
      ++work.performed;
      pace(session);
      return StepVerdict{failure_reply(work, applied.error().message())};
    }
    folio::history::commit_stamped_with_message(replica->document, commit_message(session, *replica), *session.clock);
    ++work.performed;
    if (replica->document.heads() == before) {
      log::warn(kSession, "the operation changed nothing", {{"id", operation}});
      pace(session);
      return StepVerdict{failure_reply(work, "that didn't change anything")};
    }
    send_change_set(session, *replica);
    log::info(kSession, "performed a discovered operation", {{"id", operation}});
    PreviousResult produced;
    if (auto hash = replica->surface->content(replica->document)) {
      produced.resources.push_back(actions::outcome::content_ref(*hash));
    }
    work.produced = std::move(produced);
    pace(session);
  }
  return StepVerdict{};
}

Result<StepVerdict> action_step(CarryingOut& work, const ActionStep& step) {
  auto arguments = bind_produced_content(step.consumes_content, step.arguments, work.produced);
  if (!arguments) return StepVerdict{failure_reply(work, arguments.error())};
  std::string fingerprint = step.operation;
  fingerprint.push_back('\0');
  fingerprint += dump_json(*arguments);
  if (work.fingerprints.contains(fingerprint)) {
    log::debug(kSession, "skipped a step already performed in this decision", {{"id", step.operation}});
    return StepVerdict{};
  }
  auto found = QUERN_TRY(find_offer_waiting(work, step.operation));
  if (!found) return StepVerdict{failure_reply(work, "that no longer names anything I can find")};
  work.fingerprints.insert(std::move(fingerprint));
  if (found->participant) return broker_step(work, step.operation, *found, *arguments);
  return local_step(work, step.operation, *found, *arguments, step.confirmation);
}

std::optional<std::size_t> position_of(std::span<const folio::model::Block> paragraphs, std::string_view block) {
  for (std::size_t i = 0; i < paragraphs.size(); ++i) {
    if (paragraphs[i].id == block) return i;
  }
  return std::nullopt;
}

Result<StepVerdict> recipe_step(CarryingOut& work, Recipe recipe) {
  const auto paragraphs = QUERN_TRY(watched_paragraphs(work.session));
  const std::size_t position = position_of(paragraphs, work.block).value_or(paragraphs.size());
  switch (recipe) {
    case Recipe::Table: return table_recipe(work, paragraphs, position);
    case Recipe::Caption: return caption_recipe(work, paragraphs);
    case Recipe::Heading: return heading_recipe(work, paragraphs, position);
  }
  return StepVerdict{};
}

}  // namespace

std::string refusal_reply(std::string_view name, std::string_view what) {
  return std::string(name) + ": I can't \"" + std::string(what) + "\", so I haven't done any of it.";
}
std::string unresolved_reply(std::string_view name, std::string_view what) {
  return std::string(name) + ": I can't \"" + std::string(what) + "\".";
}
std::string step_failure_reply(std::string_view name, std::string_view reason) {
  return std::string(name) + ": I couldn't do that - " + std::string(reason);
}
std::string error_reply(std::string_view name, std::string_view error) {
  return std::string(name) + ": " + std::string(error);
}

Result<std::vector<folio::model::Block>> watched_paragraphs(const Session& session) {
  if (!session.own) return fail("no document");
  auto schema = folio::model::open(session.own->document);
  if (!schema) return fail("the document has no folio schema: " + schema.error().to_string());
  auto body = folio::model::materialize_region(session.own->document, *schema, folio::model::Region::Body);
  if (!body) return fail("the document has no folio schema: " + body.error().to_string());
  return std::move(*body);
}

Result<Performed> perform(CarryingOut& work, const word_processor::WordProcessorAction& action) {
  Session& session = work.session;
  Replica& own = *session.own;
  const std::string label = word_processor::operation_label(action);
  collab::Invocation invocation{context_json(session), actions::InvocationId::generate().text(), label,
                                collab::ResourceRef{"word-processor.edit", "word-processor.document", "Word Processor"},
                                to_wire(word_processor::touched_targets(action))};
  send(session, collab::InvocationAnnounced{invocation});

  own.document.set_actor(own.actor);
  const auto before = own.document.heads();
  auto applied = word_processor::apply_word_processor_action(action, own.document, work.writer);
  if (!applied) {
    own.document.rollback();
    send(session, collab::InvocationOutcome{invocation, collab::InvocationStatus::Failed, applied.error().message()});
    log::warn(kSession, label + " was refused", {{"block", work.block}, {"error", applied.error().to_string()}});
    ++work.performed;
    pace(session);
    return std::unexpected(applied.error());
  }
  const auto stamped =
      folio::history::commit_stamped_with_message(own.document, commit_message(session, own), *session.clock);
  const auto after = own.document.heads();
  const bool changed = after != before;
  if (changed && !stamped) {
    log::warn(kApply,
              "this action closed its own transaction before the commit could be stamped, so its change carries no "
              "wall clock",
              {{"action", label}});
  }
  if (changed) send_change_set(session, own);

  if (changed) {
    send(session, collab::InvocationOutcome{invocation, collab::InvocationStatus::Completed, ""});
    log::info(kSession, "applied " + label, {{"block", work.block}});
    const crdt::ChangeHash entry = stamped ? *stamped : after.front();
    add_step(session, label, ui::history_source::entry_id_from_hash(entry));
  } else {
    send(session,
         collab::InvocationOutcome{invocation, collab::InvocationStatus::NoChange, "The operation made no change"});
    log::warn(kSession, label + " changed nothing", {{"block", work.block}});
  }
  ++work.performed;
  pace(session);
  return changed ? Performed::Changed : Performed::NoChange;
}

Result<void> write_reply(CarryingOut& work, std::string_view text) {
  Session& session = work.session;
  const auto paragraphs = QUERN_TRY(watched_paragraphs(session));
  const auto at = position_of(paragraphs, work.block);
  if (!at) return {};
  Replica& own = *session.own;
  const word_processor::SpliceText splice{folio::model::Region::Body, work.block, 0,
                                          unicode::char_count(paragraphs[*at].text), std::string(text)};
  own.document.set_actor(own.actor);
  auto applied = word_processor::apply_word_processor_action(splice, own.document, work.writer);
  if (!applied) {
    own.document.rollback();
    log::warn(kSession, "the reply could not be written",
              {{"block", work.block}, {"error", applied.error().to_string()}});
    return {};
  }
  folio::history::commit_stamped_with_message(own.document, commit_message(session, own), *session.clock);
  send_change_set(session, own);
  return {};
}

Result<CarryOutReport> carry_out(Session& session, const Instruction& instruction, const Decision& decision,
                                 word_processor::WriterHandle& writer, const CarryOutTimings& timings) {
  CarryingOut work{session, writer, timings, instruction.block, {}, std::nullopt, 0};
  CarryOutReport report;
  auto finish = [&](Ending ending, std::optional<std::string> reply) -> Result<CarryOutReport> {
    if (reply) QUERN_TRY(write_reply(work, *reply));
    QUERN_TRY(finish_run(session));
    report.ending = ending;
    report.performed = work.performed;
    report.reply = std::move(reply);
    return report;
  };

  if (session.own) {
    if (auto context = run_context(session)) session.own->pending_message = context->change_message();
  }
  if (!session.own) {
    session.run.reset();
    return fail("no document");
  }
  QUERN_TRY(watched_paragraphs(session));

  // Refusal: an unresolved step not preceded by a step that opens an application.
  bool opened = false;
  for (const Step& step : decision.steps) {
    if (opens_application(step)) opened = true;
    const auto* unresolved = std::get_if<UnresolvedStep>(&step);
    if (unresolved == nullptr || opened) continue;
    log::warn(kSession, "refused a sequence whole; nothing was touched",
              {{"what", unresolved->text}, {"steps", decision.steps.size()}});
    return finish(Ending::Refused, refusal_reply(session.settings.name, unresolved->text));
  }

  for (const Step& step : decision.steps) {
    StepVerdict verdict;
    if (const auto* action = std::get_if<ActionStep>(&step)) {
      verdict = QUERN_TRY(action_step(work, *action));
    } else if (const auto* recipe = std::get_if<RecipeStep>(&step)) {
      // A recipe named twice in one decision is carried out once, like a repeated operation.
      std::string fingerprint(recipe_name(recipe->recipe));
      fingerprint += std::string_view("\0{}", 3);
      if (!work.fingerprints.insert(std::move(fingerprint)).second) continue;
      verdict = QUERN_TRY(recipe_step(work, recipe->recipe));
    } else {
      verdict = unresolved_reply(session.settings.name, std::get<UnresolvedStep>(step).text);
    }
    if (verdict) return finish(Ending::FailedPartWay, std::move(verdict));
  }

  const auto paragraphs = QUERN_TRY(watched_paragraphs(session));
  if (position_of(paragraphs, work.block)) {
    auto removed = perform(work, word_processor::RemoveBlocks{{work.block}});
    if (!removed && !word_processor::is_rejection(removed.error())) return std::unexpected(removed.error());
  }
  return finish(Ending::Completed, std::nullopt);
}

Result<CarryOutReport> CarryOutExecutor::carry_out(Session& session, const Instruction& instruction,
                                                   const Decision& decision) {
  return agent::carry_out(session, instruction, decision, writer_, timings_);
}

std::unique_ptr<Executor> carry_out_executor(CarryOutTimings timings) {
  return std::make_unique<CarryOutExecutor>(timings);
}

}  // namespace quern::agent
