// Who may do what in the room. A permission context is built once from the participant's
// identities and the grants the room gave them, and answers whether an action needing a given
// level may be performed on a scope (an application, or one resource of an application).
//
// The rule: a grant gives its principal a ceiling level on every application and resource of
// the room. The ceiling follows the grant's membership state:
//   "invited", "member"  -> Write (2): read, comment and change; never invite or administer
//   "owner", "admin"     -> Admin (4)
//   anything else        -> nothing at all
// A check passes when some identity of the context holds a grant whose ceiling is at least the
// asked level. Levels order the roles an action may require.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quern::ui::permissions {

// The role an action requires, and the level each maps to (None and Read share level 0).
enum class Role { None, Read, Comment, Write, Invite, Admin };
std::uint8_t level_of(Role role);

inline constexpr std::uint8_t kLevelRead = 0;
inline constexpr std::uint8_t kLevelComment = 1;
inline constexpr std::uint8_t kLevelWrite = 2;
inline constexpr std::uint8_t kLevelInvite = 3;
inline constexpr std::uint8_t kLevelAdmin = 4;

struct Grant {
  std::string principal;   // the identity the grant is for
  std::string app;         // the application through which the membership was given
  std::string membership;  // "invited", "member", "owner", "admin", ...
};

struct AppScope {
  std::string app;  // an application namespace or id
};
struct ResourceScope {
  std::string app;  // the part of the resource kind before its first "."
  std::string id;   // the resource id
};
using Scope = std::variant<AppScope, ResourceScope>;

class PermissionContext {
 public:
  static PermissionContext from_capabilities(std::vector<std::string> identities, std::vector<Grant> grants);

  bool check(const Scope& scope, std::uint8_t level) const;
  // The highest level any identity of the context holds; -1 when it holds none.
  int ceiling() const { return ceiling_; }

 private:
  std::vector<std::string> identities_;
  std::vector<Grant> grants_;
  int ceiling_ = -1;
};

}  // namespace quern::ui::permissions
