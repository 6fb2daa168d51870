#include "runtime/ui/permissions.h"

#include <algorithm>

namespace quern::ui::permissions {
namespace {

int ceiling_of(std::string_view membership) {
  if (membership == "invited" || membership == "member") return kLevelWrite;
  if (membership == "owner" || membership == "admin") return kLevelAdmin;
  return -1;
}

}  // namespace

std::uint8_t level_of(Role role) {
  switch (role) {
    case Role::None:
    case Role::Read: return kLevelRead;
    case Role::Comment: return kLevelComment;
    case Role::Write: return kLevelWrite;
    case Role::Invite: return kLevelInvite;
    case Role::Admin: return kLevelAdmin;
  }
  return kLevelAdmin;
}

PermissionContext PermissionContext::from_capabilities(std::vector<std::string> identities, std::vector<Grant> grants) {
  PermissionContext ctx;
  ctx.identities_ = std::move(identities);
  ctx.grants_ = std::move(grants);
  for (const auto& g : ctx.grants_) {
    const bool ours = std::find(ctx.identities_.begin(), ctx.identities_.end(), g.principal) != ctx.identities_.end();
    if (ours) ctx.ceiling_ = std::max(ctx.ceiling_, ceiling_of(g.membership));
  }
  return ctx;
}

bool PermissionContext::check(const Scope& /*scope: every scope of the room is covered alike*/,
                              std::uint8_t level) const {
  return ceiling_ >= 0 && static_cast<int>(level) <= ceiling_;
}

}  // namespace quern::ui::permissions
