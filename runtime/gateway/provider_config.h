// The model provider configuration: a TOML file the person edits, naming provider profiles
// (where a model service is, which API it speaks, which environment variable holds its key,
// which models it offers) and the profile in use. Loaded at start-up and by whoever needs to
// know about the configured models; a loaded value is immutable and safe to share.
//
// Where the file is: `$QUERN_PROVIDERS` when set, otherwise
// `$XDG_CONFIG_HOME/quern/providers.toml` (`~/.config` when XDG_CONFIG_HOME is unset or not an
// absolute path). A missing file is no configuration; a file that does not parse, or whose
// values are of the wrong type, is logged (target `quern_gateway`, warn, with its line and
// column) and is no configuration either. runtime/gateway/README.md shows the layout.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quern::gateway {

inline constexpr std::string_view kProvidersVariable = "QUERN_PROVIDERS";
inline constexpr std::string_view kLogTarget = "quern_gateway";
// The flag of a model descriptor that marks it usable for local image analysis.
inline constexpr std::string_view kImageAnalysisFlag = "image-analysis";
inline constexpr std::string_view kDefaultAnthropicEndpoint = "https://api.anthropic.com";

enum class ProviderKind {
  Anthropic,  // the messages API ("anthropic")
  OpenAi,     // an OpenAI-compatible chat-completions API ("openai")
};
std::string_view kind_name(ProviderKind kind);

struct ModelDescriptor {
  std::string id;                       // sent as the request's model
  std::string label;                    // as written; may be empty
  std::optional<std::string> revision;  // e.g. the commit or digest of local weights
  std::vector<std::string> flags;       // as written, e.g. "image-analysis"

  bool has_flag(std::string_view flag) const;
  // The trimmed label, or the id when the label is empty or only white space.
  std::string display_label() const;
};

// Three switches a profile needs before its model may analyse images locally: the person
// enabled it, the model's files were verified, and the person agreed that bounded results are
// shared into documents.
struct LocalImageAnalysis {
  bool enabled = false;
  bool verified = false;
  bool share_results = false;

  bool all() const { return enabled && verified && share_results; }
};

struct ProviderProfile {
  std::string id;     // the profile's table name in the file
  std::string label;  // as written; may be empty
  ProviderKind kind = ProviderKind::Anthropic;
  std::string endpoint;                    // base URL; the API path is added by the gateway
  std::optional<std::string> api_key_env;  // name of the environment variable with the key
  std::vector<ModelDescriptor> models;
  std::optional<std::string> selected_model;
  // Whether tool use ("action discovery") is known to work with this provider. Defaults to
  // true for the messages API and false for chat-completions servers, which differ in it.
  bool action_discovery = false;
  LocalImageAnalysis local_image_analysis;

  const ModelDescriptor* model(std::string_view model_id) const;
  // The selected model when it names one of `models`.
  const ModelDescriptor* selected() const;
  // The trimmed label; otherwise "{id} ({host[:port]})" from the endpoint; otherwise the id.
  std::string display_label() const;
};

// A parse or validation failure, where it is in the file when that is known.
struct ConfigError {
  std::string message;
  std::optional<std::uint32_t> line;
  std::optional<std::uint32_t> column;

  // "line 3, column 7: {message}", or the message alone.
  std::string to_string() const;
};

struct ProviderConfig {
  std::optional<std::string> active_profile_id;  // as written
  std::vector<ProviderProfile> profiles;         // in file order

  // The file's path by the rules above; nothing when neither variable nor HOME is set.
  static std::optional<std::filesystem::path> default_path();
  // Loads the file at `default_path()`.
  static std::optional<ProviderConfig> load();
  // Nothing when the file is missing (logged at debug), unreadable or malformed (logged at
  // warn with the path, line, column and reason).
  static std::optional<ProviderConfig> load_file(const std::filesystem::path& path);
  static std::expected<ProviderConfig, ConfigError> parse(std::string_view toml_text);

  const ProviderProfile* profile(std::string_view id) const;
  // The profile `active_profile_id` names; without it, the only profile when there is exactly
  // one. Nothing otherwise.
  const ProviderProfile* active_profile() const;
};

// The profile and model a conversation would use: the active profile and its selected model,
// when that model is one of the profile's descriptors.
struct ModelChoice {
  const ProviderProfile* profile;
  const ModelDescriptor* model;
};
std::optional<ModelChoice> selected_model(const ProviderConfig& config);

}  // namespace quern::gateway
