#include "runtime/gateway/provider_config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "runtime/gateway/model_gateway.h"
#include "runtime/util/log.h"
#include "tests/runtime/gateway/env_guard.h"
#include "tests/support/temp_dir.h"

namespace quern::gateway {
namespace {

using quern::test::TempDir;
using quern::test::write_file;
using test::EnvGuard;

constexpr std::string_view kExample = R"(# two profiles; the local one is used
active_profile = "local"

[profiles.hosted]
label = "  Hosted models  "
kind = "anthropic"
api_key_env = "QUERN_TEST_HOSTED_KEY"
selected_model = "big"

[[profiles.hosted.models]]
id = "big"
label = "Big model"
flags = ["tools"]

[[profiles.hosted.models]]
id = "small"

[profiles.local]
kind = "openai"
endpoint = "http://127.0.0.1:8080/v1"
selected_model = "open-7b"
action_discovery = true
local_image_analysis = { enabled = true, verified = true, share_results = false }

[[profiles.local.models]]
id = "open-7b"
revision = "0123456789abcdef0123456789abcdef01234567"
flags = ["tools", "image-analysis"]
)";

TEST(ProviderConfig, ReadsEveryFieldOfTheExample) {
  auto config = ProviderConfig::parse(kExample);
  ASSERT_TRUE(config) << config.error().to_string();
  EXPECT_EQ(config->active_profile_id, "local");
  ASSERT_EQ(config->profiles.size(), 2u);

  const ProviderProfile& hosted = config->profiles[0];  // file order, not key order
  EXPECT_EQ(hosted.id, "hosted");
  EXPECT_EQ(hosted.kind, ProviderKind::Anthropic);
  EXPECT_EQ(hosted.endpoint, kDefaultAnthropicEndpoint);
  EXPECT_EQ(hosted.api_key_env, "QUERN_TEST_HOSTED_KEY");
  EXPECT_TRUE(hosted.action_discovery) << "the messages API negotiates tool use by default";
  EXPECT_FALSE(hosted.local_image_analysis.enabled);
  ASSERT_EQ(hosted.models.size(), 2u);
  EXPECT_EQ(hosted.models[0].id, "big");
  EXPECT_EQ(hosted.models[1].id, "small");
  EXPECT_EQ(hosted.models[1].revision, std::nullopt);
  EXPECT_EQ(hosted.selected(), &hosted.models[0]);

  const ProviderProfile& local = config->profiles[1];
  EXPECT_EQ(local.kind, ProviderKind::OpenAi);
  EXPECT_EQ(local.endpoint, "http://127.0.0.1:8080/v1");
  EXPECT_EQ(local.api_key_env, std::nullopt);
  EXPECT_TRUE(local.action_discovery);
  EXPECT_TRUE(local.local_image_analysis.enabled);
  EXPECT_TRUE(local.local_image_analysis.verified);
  EXPECT_FALSE(local.local_image_analysis.share_results);
  EXPECT_FALSE(local.local_image_analysis.all());
  ASSERT_EQ(local.models.size(), 1u);
  EXPECT_EQ(local.models[0].revision, "0123456789abcdef0123456789abcdef01234567");
  EXPECT_TRUE(local.models[0].has_flag(kImageAnalysisFlag));
  EXPECT_FALSE(local.models[0].has_flag("image"));

  EXPECT_EQ(config->active_profile(), &local);
  const auto choice = selected_model(*config);
  ASSERT_TRUE(choice);
  EXPECT_EQ(choice->profile, &local);
  EXPECT_EQ(choice->model, &local.models[0]);
}

TEST(ProviderConfig, ChatCompletionsProfilesNeedDiscoveryTurnedOn) {
  auto config = ProviderConfig::parse(R"(
[profiles.p]
kind = "openai"
endpoint = "http://localhost:11434"
)");
  ASSERT_TRUE(config) << config.error().to_string();
  EXPECT_FALSE(config->profiles[0].action_discovery);
}

TEST(ProviderConfig, MalformedTextNamesWhereItWentWrong) {
  struct Case {
    std::string_view text;
    std::string_view message_part;
    std::uint32_t line;
  };
  for (auto c : {
           Case{"active_profile = \"a\"\n[profiles.a\nkind = 1\n", "", 2},
           Case{"active_profile = 3\n", "active_profile must be a string", 1},
           Case{"profiles = 1\n", "profiles must be a table", 1},
           Case{"[profiles]\na = 1\n", "profile \"a\" must be a table", 2},
           Case{"[profiles.a]\nkind = \"gemini\"\n", "kind must be \"anthropic\" or \"openai\"", 2},
           Case{"[profiles.a]\nlabel = \"x\"\n", "needs a kind", 1},
           Case{"[profiles.a]\nkind = \"openai\"\n", "needs an endpoint", 1},
           Case{"[profiles.a]\nkind = \"openai\"\nendpoint = \"ftp://x\"\n", "http or https URL", 3},
           Case{"[profiles.a]\nkind = \"openai\"\nendpoint = \"localhost:8080\"\n", "http or https URL", 3},
           Case{"[profiles.a]\nkind = \"anthropic\"\napi_key_env = \"\"\n", "must name an environment variable", 3},
           Case{"[profiles.a]\nkind = \"anthropic\"\naction_discovery = \"yes\"\n", "true or false", 3},
           Case{"[profiles.a]\nkind = \"anthropic\"\nmodels = \"m\"\n", "array of tables", 3},
           Case{"[profiles.a]\nkind = \"anthropic\"\n[[profiles.a.models]]\nlabel = \"no id\"\n", "has no id", 3},
           Case{"[profiles.a]\nkind = \"anthropic\"\n[[profiles.a.models]]\nid = \"m\"\nflags = [\"x\", 2]\n",
                "flags must be an array of strings", 5},
           Case{"[profiles.a]\nkind = \"anthropic\"\n[[profiles.a.models]]\nid = \"m\"\n[[profiles.a.models]]\nid = "
                "\"m\"\n",
                "lists the model \"m\" twice", 5},
           Case{"[profiles.a]\nkind = \"anthropic\"\nlocal_image_analysis = { enabled = 1 }\n", "true or false", 3},
       }) {
    auto config = ProviderConfig::parse(c.text);
    ASSERT_FALSE(config) << c.text;
    EXPECT_NE(config.error().message.find(c.message_part), std::string::npos) << config.error().message;
    EXPECT_EQ(config.error().line, c.line) << c.text << " -> " << config.error().to_string();
    EXPECT_TRUE(config.error().column.has_value()) << c.text;
  }
}

TEST(ProviderConfig, UnknownKeysAreLoggedAndIgnored) {
  log::Capture capture("warn");
  auto config = ProviderConfig::parse("active_profle = \"a\"\n[profiles.a]\nkind = \"anthropic\"\nmodel = \"m\"\n");
  ASSERT_TRUE(config) << config.error().to_string();
  EXPECT_EQ(config->active_profile_id, std::nullopt);
  EXPECT_TRUE(capture.contains("ignored an unknown key in the provider configuration key=\"active_profle\" line=1"))
      << capture.text();
  EXPECT_TRUE(capture.contains("key=\"profiles.a.model\" line=4")) << capture.text();
}

TEST(ProviderConfig, SelectionNeedsAnActiveProfileAndAListedSelectedModel) {
  constexpr std::string_view kTwo = R"(
[profiles.a]
kind = "anthropic"
selected_model = "m"
[[profiles.a.models]]
id = "m"
[profiles.b]
kind = "anthropic"
selected_model = "n"
[[profiles.b.models]]
id = "n"
)";
  struct Case {
    std::string text;
    std::optional<std::string_view> active, model;
  };
  const std::string one = "[profiles.a]\nkind = \"anthropic\"\n[[profiles.a.models]]\nid = \"m\"\n";
  for (const auto& c : {
           Case{"active_profile = \"b\"\n" + std::string(kTwo), "b", "n"},
           Case{std::string(kTwo), std::nullopt, std::nullopt},  // two profiles and none named
           Case{"active_profile = \"c\"\n" + std::string(kTwo), std::nullopt, std::nullopt},
           Case{"[profiles.a]\nkind = \"anthropic\"\nselected_model = \"m\"\n[[profiles.a.models]]\nid = \"m\"\n", "a",
                "m"},                     // the only profile is active without being named
           Case{one, "a", std::nullopt},  // no selected model
           Case{"[profiles.a]\nkind = \"anthropic\"\nselected_model = \"M\"\n[[profiles.a.models]]\nid = \"m\"\n", "a",
                std::nullopt},  // ids compare exactly
           Case{"", std::nullopt, std::nullopt},
       }) {
    auto config = ProviderConfig::parse(c.text);
    ASSERT_TRUE(config) << c.text << config.error().to_string();
    const ProviderProfile* active = config->active_profile();
    EXPECT_EQ(active ? std::optional<std::string_view>(active->id) : std::nullopt, c.active) << c.text;
    const auto choice = selected_model(*config);
    EXPECT_EQ(choice ? std::optional<std::string_view>(choice->model->id) : std::nullopt, c.model) << c.text;
  }
}

TEST(ProviderConfig, DisplayLabels) {
  struct Case {
    std::string label, endpoint, want;
  };
  for (const auto& c : {
           Case{"Work account", "https://api.example.com", "Work account"},
           Case{"  Padded\t", "https://api.example.com", "Padded"},
           Case{"", "https://api.example.com/v1", "p (api.example.com)"},
           Case{" \u00a0 ", "http://127.0.0.1:8080", "p (127.0.0.1:8080)"},  // no-break space is white space
           Case{"", "http://user:secret@[::1]:9000/", "p ([::1]:9000)"},     // never shows user info
           Case{"", "not a url", "p"},
       }) {
    ProviderProfile p;
    p.id = "p";
    p.label = c.label;
    p.endpoint = c.endpoint;
    EXPECT_EQ(p.display_label(), c.want) << c.label << " " << c.endpoint;
  }
  for (auto [label, want] : {std::pair{"Open 7B", "Open 7B"}, std::pair{"", "open-7b"}, std::pair{"   ", "open-7b"},
                             std::pair{" Open 7B ", "Open 7B"}}) {
    ModelDescriptor m{"open-7b", label, std::nullopt, {}};
    EXPECT_EQ(m.display_label(), want) << label;
  }
}

TEST(ProviderConfigFile, MissingIsNoConfigurationAndNoWarning) {
  TempDir dir;
  log::Capture capture("warn");
  EXPECT_EQ(ProviderConfig::load_file(dir.file("providers.toml")), std::nullopt);
  EXPECT_EQ(capture.text(), "");
}

TEST(ProviderConfigFile, MalformedIsLoggedWithItsLineAndIsNoConfiguration) {
  TempDir dir;
  const std::string path = dir.file("providers.toml");
  write_file(path, "active_profile = \"a\"\n\n[profiles.a]\nkind = \"anthropic\"\nendpoint = 'https://x\n");
  log::Capture capture("warn");
  EXPECT_EQ(ProviderConfig::load_file(path), std::nullopt);
  EXPECT_TRUE(
      capture.contains(" WARN quern_gateway: the provider configuration is malformed; no model is configured path=\"" +
                       path + "\" line=5 column="))
      << capture.text();
  EXPECT_TRUE(capture.contains("reason=")) << capture.text();
}

TEST(ProviderConfigFile, ADirectoryIsNoConfigurationAndIsLogged) {
  TempDir dir;
  log::Capture capture("warn");
  EXPECT_EQ(ProviderConfig::load_file(dir.path()), std::nullopt);
  EXPECT_TRUE(capture.contains("not a readable file")) << capture.text();
}

TEST(ProviderConfigFile, LoadFindsTheFileByTheEnvironment) {
  TempDir dir;
  EnvGuard env;
  std::filesystem::create_directories(dir.path() + "/xdg/quern");
  std::filesystem::create_directories(dir.path() + "/home/.config/quern");
  write_file(dir.file("explicit.toml"), "[profiles.explicit]\nkind = \"anthropic\"\n");
  write_file(dir.file("xdg/quern/providers.toml"), "[profiles.xdg]\nkind = \"anthropic\"\n");
  write_file(dir.file("home/.config/quern/providers.toml"), "[profiles.home]\nkind = \"anthropic\"\n");

  struct Case {
    std::optional<std::string> providers, xdg, home;
    std::optional<std::string_view> want;
  };
  for (const auto& c : {
           Case{dir.file("explicit.toml"), dir.file("xdg"), dir.file("home"), "explicit"},
           Case{std::nullopt, dir.file("xdg"), dir.file("home"), "xdg"},
           Case{"", dir.file("xdg"), dir.file("home"), "xdg"},            // empty counts as unset
           Case{std::nullopt, "relative/xdg", dir.file("home"), "home"},  // a relative XDG path is ignored
           Case{std::nullopt, std::nullopt, dir.file("home"), "home"},
           Case{dir.file("absent.toml"), dir.file("xdg"), dir.file("home"), std::nullopt},
           Case{std::nullopt, std::nullopt, std::nullopt, std::nullopt},
       }) {
    env.set(std::string(kProvidersVariable), c.providers);
    env.set("XDG_CONFIG_HOME", c.xdg);
    env.set("HOME", c.home);
    const auto config = ProviderConfig::load();
    const ProviderProfile* active = config ? config->active_profile() : nullptr;
    EXPECT_EQ(active ? std::optional<std::string_view>(active->id) : std::nullopt, c.want)
        << c.providers.value_or("-") << " " << c.xdg.value_or("-") << " " << c.home.value_or("-");
  }
}

TEST(Availability, NeedsTheSwitchASelectionAndACredentialOrLoopback) {
  EnvGuard env;
  env.set("QUERN_TEST_GATEWAY_KEY", std::nullopt);
  auto config_with = [](std::string endpoint, std::string key_line, std::string selected = "m") {
    auto parsed =
        ProviderConfig::parse("[profiles.p]\nkind = \"openai\"\nendpoint = \"" + endpoint + "\"\n" + key_line +
                              "\nselected_model = \"" + selected + "\"\n[[profiles.p.models]]\nid = \"m\"\n");
    EXPECT_TRUE(parsed) << parsed.error().to_string();
    return parsed ? std::optional<ProviderConfig>(*parsed) : std::nullopt;
  };
  const std::string key_line = "api_key_env = \"QUERN_TEST_GATEWAY_KEY\"";
  struct Case {
    std::string name;
    std::optional<ProviderConfig> config;
    std::optional<std::string> key;
    bool live, want;
  };
  for (const auto& c : {
           Case{"hosted with key", config_with("https://api.example.com", key_line), "k", true, true},
           Case{"switched off", config_with("https://api.example.com", key_line), "k", false, false},
           Case{"hosted, key unset", config_with("https://api.example.com", key_line), std::nullopt, true, false},
           Case{"hosted, key empty", config_with("https://api.example.com", key_line), "", true, false},
           Case{"hosted, no key variable", config_with("https://api.example.com", ""), "k", true, false},
           Case{"loopback v4", config_with("http://127.0.0.1:8080", ""), std::nullopt, true, true},
           Case{"loopback 127/8", config_with("http://127.10.20.30:8080", key_line), std::nullopt, true, true},
           Case{"loopback v6", config_with("http://[::1]:8080", ""), std::nullopt, true, true},
           Case{"localhost", config_with("http://LocalHost:11434/v1", ""), std::nullopt, true, true},
           Case{"loopback switched off", config_with("http://127.0.0.1:8080", ""), std::nullopt, false, false},
           Case{"look-alike host", config_with("http://127.0.0.1.example.com", ""), std::nullopt, true, false},
           Case{"selection not listed", config_with("http://127.0.0.1:8080", "", "other"), std::nullopt, true, false},
           Case{"no configuration", std::nullopt, "k", true, false},
       }) {
    env.set("QUERN_TEST_GATEWAY_KEY", c.key);
    EXPECT_EQ(available(c.config, c.live), c.want) << c.name;
    ModelGateway gateway(c.config);
    EXPECT_EQ(gateway.available(c.live), c.want) << c.name;
  }
}

}  // namespace
}  // namespace quern::gateway
