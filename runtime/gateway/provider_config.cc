#include "runtime/gateway/provider_config.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "runtime/gateway/endpoint.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::gateway {
namespace {

constexpr std::uintmax_t kMaxFileBytes = 1 << 20;

using Failure = std::unexpected<ConfigError>;

Failure failure_at(const toml::node& node, std::string message) {
  const auto& begin = node.source().begin;
  ConfigError e{std::move(message), std::nullopt, std::nullopt};
  if (begin.line > 0) {
    e.line = begin.line;
    e.column = begin.column;
  }
  return std::unexpected(std::move(e));
}

void note_unknown_key(std::string_view where, const toml::key& key) {
  log::warn(kLogTarget, "ignored an unknown key in the provider configuration",
            {{"key", std::string(where) + std::string(key.str())},
             {"line", static_cast<std::uint64_t>(key.source().begin.line)}});
}

std::optional<std::string> env(std::string_view name) {
  const char* v = std::getenv(std::string(name).c_str());
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// Reads an optional string member; a member of another type is an error.
std::expected<std::optional<std::string>, ConfigError> string_of(const toml::table& table, std::string_view key,
                                                                 std::string_view what) {
  const toml::node* node = table.get(key);
  if (node == nullptr) return std::optional<std::string>();
  const auto* s = node->as_string();
  if (s == nullptr) return failure_at(*node, std::string(what) + " must be a string");
  return std::optional<std::string>(s->get());
}

std::expected<std::optional<bool>, ConfigError> bool_of(const toml::table& table, std::string_view key,
                                                        std::string_view what) {
  const toml::node* node = table.get(key);
  if (node == nullptr) return std::optional<bool>();
  const auto* b = node->as_boolean();
  if (b == nullptr) return failure_at(*node, std::string(what) + " must be true or false");
  return std::optional<bool>(b->get());
}

// Entries of a table in the order they appear in the file (toml++ keeps them sorted by key).
std::vector<std::pair<const toml::key*, const toml::node*>> in_file_order(const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> out;
  for (auto&& [k, v] : table) out.emplace_back(&k, &v);
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    const auto& x = a.second->source().begin;
    const auto& y = b.second->source().begin;
    return x.line != y.line ? x.line < y.line : x.column < y.column;
  });
  return out;
}

std::expected<ModelDescriptor, ConfigError> parse_model(const toml::table& table, std::string_view profile_id) {
  const std::string where = "profiles." + std::string(profile_id) + ".models.";
  ModelDescriptor m;
  for (auto&& [k, v] : table) {
    const std::string_view key = k.str();
    if (key != "id" && key != "label" && key != "revision" && key != "flags") note_unknown_key(where, k);
  }
  auto id = string_of(table, "id", "a model's id");
  if (!id) return std::unexpected(id.error());
  if (!*id || unicode::trim(**id).empty())
    return failure_at(table, "a model of profile " + quote_escaped(profile_id) + " has no id");
  m.id = **id;
  auto label = string_of(table, "label", "a model's label");
  if (!label) return std::unexpected(label.error());
  m.label = label->value_or("");
  auto revision = string_of(table, "revision", "a model's revision");
  if (!revision) return std::unexpected(revision.error());
  m.revision = *revision;
  if (const toml::node* flags = table.get("flags")) {
    const auto* list = flags->as_array();
    if (list == nullptr) return failure_at(*flags, "a model's flags must be an array of strings");
    for (const toml::node& f : *list) {
      const auto* s = f.as_string();
      if (s == nullptr) return failure_at(f, "a model's flags must be an array of strings");
      m.flags.push_back(s->get());
    }
  }
  return m;
}

std::expected<ProviderProfile, ConfigError> parse_profile(const toml::key& key, const toml::table& table) {
  ProviderProfile p;
  p.id = std::string(key.str());
  const std::string where = "profiles." + p.id + ".";
  if (unicode::trim(p.id).empty()) return failure_at(table, "a profile needs a non-empty name");
  static constexpr std::string_view kKnown[] = {"label",          "kind",
                                                "endpoint",       "api_key_env",
                                                "selected_model", "action_discovery",
                                                "models",         "local_image_analysis"};
  for (auto&& [k, v] : table) {
    if (std::find(std::begin(kKnown), std::end(kKnown), k.str()) == std::end(kKnown)) note_unknown_key(where, k);
  }

  auto label = string_of(table, "label", "a profile's label");
  if (!label) return std::unexpected(label.error());
  p.label = label->value_or("");

  const toml::node* kind = table.get("kind");
  if (kind == nullptr)
    return failure_at(table, "profile " + quote_escaped(p.id) + " needs a kind (\"anthropic\" or \"openai\")");
  const auto* kind_text = kind->as_string();
  if (kind_text != nullptr && kind_text->get() == "anthropic") {
    p.kind = ProviderKind::Anthropic;
  } else if (kind_text != nullptr && kind_text->get() == "openai") {
    p.kind = ProviderKind::OpenAi;
  } else {
    return failure_at(*kind, "a profile's kind must be \"anthropic\" or \"openai\"");
  }

  auto endpoint = string_of(table, "endpoint", "a profile's endpoint");
  if (!endpoint) return std::unexpected(endpoint.error());
  if (*endpoint) {
    p.endpoint = std::string(unicode::trim(**endpoint));
    if (!is_http_endpoint(p.endpoint)) {
      return failure_at(*table.get("endpoint"), "a profile's endpoint must be an http or https URL");
    }
  } else if (p.kind == ProviderKind::Anthropic) {
    p.endpoint = std::string(kDefaultAnthropicEndpoint);
  } else {
    return failure_at(table, "profile " + quote_escaped(p.id) + " of kind \"openai\" needs an endpoint");
  }

  auto key_env = string_of(table, "api_key_env", "a profile's api_key_env");
  if (!key_env) return std::unexpected(key_env.error());
  if (*key_env) {
    const std::string& name = **key_env;
    if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
      return failure_at(*table.get("api_key_env"), "a profile's api_key_env must name an environment variable");
    }
    p.api_key_env = name;
  }

  auto selected = string_of(table, "selected_model", "a profile's selected_model");
  if (!selected) return std::unexpected(selected.error());
  p.selected_model = *selected;

  auto discovery = bool_of(table, "action_discovery", "a profile's action_discovery");
  if (!discovery) return std::unexpected(discovery.error());
  p.action_discovery = discovery->value_or(p.kind == ProviderKind::Anthropic);

  if (const toml::node* models = table.get("models")) {
    const auto* list = models->as_array();
    if (list == nullptr)
      return failure_at(*models, "a profile's models must be an array of tables ([[profiles.NAME.models]])");
    for (const toml::node& entry : *list) {
      const auto* model_table = entry.as_table();
      if (model_table == nullptr) return failure_at(entry, "a profile's models must be an array of tables");
      auto m = parse_model(*model_table, p.id);
      if (!m) return std::unexpected(m.error());
      if (p.model(m->id) != nullptr) {
        return failure_at(entry,
                          "profile " + quote_escaped(p.id) + " lists the model " + quote_escaped(m->id) + " twice");
      }
      p.models.push_back(std::move(*m));
    }
  }

  if (const toml::node* local = table.get("local_image_analysis")) {
    const auto* flags = local->as_table();
    if (flags == nullptr) return failure_at(*local, "a profile's local_image_analysis must be a table");
    for (auto&& [k, v] : *flags) {
      if (k.str() != "enabled" && k.str() != "verified" && k.str() != "share_results") {
        note_unknown_key(where + "local_image_analysis.", k);
      }
    }
    for (auto [name, slot] : {std::pair{"enabled", &p.local_image_analysis.enabled},
                              std::pair{"verified", &p.local_image_analysis.verified},
                              std::pair{"share_results", &p.local_image_analysis.share_results}}) {
      auto v = bool_of(*flags, name, std::string("local_image_analysis.") + name);
      if (!v) return std::unexpected(v.error());
      *slot = v->value_or(false);
    }
  }
  return p;
}

std::expected<ProviderConfig, ConfigError> parse_document(const toml::table& root) {
  ProviderConfig config;
  for (auto&& [k, v] : root) {
    if (k.str() != "active_profile" && k.str() != "profiles") note_unknown_key("", k);
  }
  auto active = string_of(root, "active_profile", "active_profile");
  if (!active) return std::unexpected(active.error());
  config.active_profile_id = *active;

  if (const toml::node* profiles = root.get("profiles")) {
    const auto* table = profiles->as_table();
    if (table == nullptr) return failure_at(*profiles, "profiles must be a table of profiles ([profiles.NAME])");
    for (auto [key, node] : in_file_order(*table)) {
      const auto* profile_table = node->as_table();
      if (profile_table == nullptr) {
        return failure_at(*node, "profile " + quote_escaped(key->str()) + " must be a table ([profiles." +
                                     std::string(key->str()) + "])");
      }
      auto p = parse_profile(*key, *profile_table);
      if (!p) return std::unexpected(p.error());
      config.profiles.push_back(std::move(*p));
    }
  }
  return config;
}

void warn_malformed(const std::filesystem::path& path, const ConfigError& e) {
  log::warn(kLogTarget, "the provider configuration is malformed; no model is configured",
            {{"path", path.string()}, {"line", e.line}, {"column", e.column}, {"reason", e.message}});
}

}  // namespace

std::string_view kind_name(ProviderKind kind) {
  switch (kind) {
    case ProviderKind::Anthropic: return "anthropic";
    case ProviderKind::OpenAi: return "openai";
  }
  return "anthropic";
}

bool ModelDescriptor::has_flag(std::string_view flag) const {
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::string ModelDescriptor::display_label() const {
  const std::string_view trimmed = unicode::trim(label);
  return trimmed.empty() ? id : std::string(trimmed);
}

const ModelDescriptor* ProviderProfile::model(std::string_view model_id) const {
  for (const auto& m : models) {
    if (m.id == model_id) return &m;
  }
  return nullptr;
}

const ModelDescriptor* ProviderProfile::selected() const { return selected_model ? model(*selected_model) : nullptr; }

std::string ProviderProfile::display_label() const {
  const std::string_view trimmed = unicode::trim(label);
  if (!trimmed.empty()) return std::string(trimmed);
  if (const auto authority = endpoint_authority(endpoint)) return id + " (" + *authority + ")";
  return id;
}

std::string ConfigError::to_string() const {
  if (!line) return message;
  return "line " + std::to_string(*line) + ", column " + std::to_string(column.value_or(0)) + ": " + message;
}

std::optional<std::filesystem::path> ProviderConfig::default_path() {
  if (auto explicit_path = env(kProvidersVariable)) return std::filesystem::path(*explicit_path);
  if (auto xdg = env("XDG_CONFIG_HOME"); xdg && std::filesystem::path(*xdg).is_absolute()) {
    return std::filesystem::path(*xdg) / "quern" / "providers.toml";
  }
  if (auto home = env("HOME")) return std::filesystem::path(*home) / ".config" / "quern" / "providers.toml";
  return std::nullopt;
}

std::optional<ProviderConfig> ProviderConfig::load() {
  const auto path = default_path();
  if (!path) {
    log::debug(kLogTarget, "no provider configuration: neither QUERN_PROVIDERS nor HOME is set");
    return std::nullopt;
  }
  return load_file(*path);
}

std::optional<ProviderConfig> ProviderConfig::load_file(const std::filesystem::path& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    log::debug(kLogTarget, "no provider configuration", {{"path", path.string()}});
    return std::nullopt;
  }
  if (ec || !std::filesystem::is_regular_file(status)) {
    warn_malformed(path, {"not a readable file", std::nullopt, std::nullopt});
    return std::nullopt;
  }
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxFileBytes) {
    warn_malformed(path, {ec ? "not a readable file" : "larger than 1 MiB", std::nullopt, std::nullopt});
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in.good() && !in.eof()) {
    warn_malformed(path, {"not a readable file", std::nullopt, std::nullopt});
    return std::nullopt;
  }
  auto config = parse(text.str());
  if (!config) {
    warn_malformed(path, config.error());
    return std::nullopt;
  }
  if (config->active_profile_id && config->profile(*config->active_profile_id) == nullptr) {
    log::warn(kLogTarget, "the active provider profile is not defined",
              {{"path", path.string()}, {"profile", *config->active_profile_id}});
  }
  log::debug(kLogTarget, "loaded the provider configuration",
             {{"path", path.string()}, {"profiles", config->profiles.size()}});
  return std::move(*config);
}

std::expected<ProviderConfig, ConfigError> ProviderConfig::parse(std::string_view toml_text) {
  try {
    const toml::table root = toml::parse(toml_text);
    return parse_document(root);
  } catch (const toml::parse_error& e) {
    const auto& begin = e.source().begin;
    ConfigError error{std::string(e.description()), std::nullopt, std::nullopt};
    if (begin.line > 0) {
      error.line = begin.line;
      error.column = begin.column;
    }
    return std::unexpected(std::move(error));
  } catch (const std::exception& e) {
    return std::unexpected(ConfigError{e.what(), std::nullopt, std::nullopt});
  }
}

const ProviderProfile* ProviderConfig::profile(std::string_view id) const {
  for (const auto& p : profiles) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

const ProviderProfile* ProviderConfig::active_profile() const {
  if (active_profile_id) return profile(*active_profile_id);
  return profiles.size() == 1 ? &profiles.front() : nullptr;
}

std::optional<ModelChoice> selected_model(const ProviderConfig& config) {
  const ProviderProfile* profile = config.active_profile();
  if (profile == nullptr) return std::nullopt;
  const ModelDescriptor* model = profile->selected();
  if (model == nullptr) return std::nullopt;
  return ModelChoice{profile, model};
}

}  // namespace quern::gateway
