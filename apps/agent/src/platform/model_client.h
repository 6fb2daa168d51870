// The agent's view of the model gateway: whether a profile's model can be asked now, and one
// conversation turn. The production adapter wraps the runtime's `ModelGateway` (which owns the
// connection); a benchmark may plug in an instant in-process answerer. Called from the session
// thread only.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "runtime/gateway/client_error.h"
#include "runtime/gateway/model_gateway.h"
#include "runtime/util/clock.h"
#include "runtime/util/json.h"

namespace quern::agent::platform {

class ModelClient {
 public:
  virtual ~ModelClient() = default;
  // A model may be asked through this profile now (configured, and a usable credential).
  virtual bool available(std::string_view profile_id, std::string_view model_id) const = 0;
  // The response body in the messages-API shape, or why there is none; never takes longer than
  // `remaining`.
  virtual std::expected<std::string, gateway::ClientError> plan(std::string_view profile_id, std::string_view model_id,
                                                                const Json& request, Duration remaining) = 0;
};

class GatewayModelClient final : public ModelClient {
 public:
  explicit GatewayModelClient(gateway::ModelGateway& gateway) : gateway_(gateway) {}
  bool available(std::string_view profile_id, std::string_view model_id) const override {
    return gateway_.available(profile_id, model_id, true);
  }
  std::expected<std::string, gateway::ClientError> plan(std::string_view profile_id, std::string_view model_id,
                                                        const Json& request, Duration remaining) override {
    return gateway_.plan(profile_id, model_id, request, remaining);
  }

 private:
  gateway::ModelGateway& gateway_;
};

}  // namespace quern::agent::platform
