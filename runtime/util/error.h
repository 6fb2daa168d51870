// Errors as values: a fixed message and a chain of context messages added by each layer that
// failed on the way up. `Result<T>` is the return type of every fallible call; only the program
// entry turns an error into output (`Error::report`).
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quern {

class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // Wraps this error: `context` becomes the outermost message, the old chain its causes.
  Error with_context(std::string context) && {
    chain_.insert(chain_.begin(), std::move(context));
    return std::move(*this);
  }
  Error with_context(std::string context) const& { return Error(*this).with_context(std::move(context)); }

  // The outermost message: what the failed operation was.
  const std::string& message() const { return chain_.front(); }
  // The innermost message: where the failure started.
  const std::string& root_cause() const { return chain_.back(); }
  // Outermost first.
  const std::vector<std::string>& chain() const { return chain_; }

  // Every message of the chain on one line, outermost first, joined by ": ".
  std::string to_string() const;
  // The multi-line form shown to a user after "Error: ": the message, then its causes.
  std::string report() const;

  bool operator==(const Error&) const = default;

 private:
  std::vector<std::string> chain_;  // never empty
};

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error(std::move(message))); }
inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }

namespace detail {
template <typename T>
T take(std::expected<T, Error>&& r) {
  return std::move(*r);
}
inline void take(std::expected<void, Error>&&) {}
}  // namespace detail

}  // namespace quern

// QUERN_TRY(expr): evaluates a Result; on error returns it from the enclosing function, otherwise
// yields the value. QUERN_TRY_CTX adds a context message to the error on the way out.
#define QUERN_TRY(expr)                                                                   \
  __extension__({                                                                         \
    auto quern_try_result_ = (expr);                                                      \
    if (!quern_try_result_) return std::unexpected(std::move(quern_try_result_).error()); \
    ::quern::detail::take(std::move(quern_try_result_));                                  \
  })

#define QUERN_TRY_CTX(expr, context)                                                                            \
  __extension__({                                                                                               \
    auto quern_try_result_ = (expr);                                                                            \
    if (!quern_try_result_) return std::unexpected(std::move(quern_try_result_).error().with_context(context)); \
    ::quern::detail::take(std::move(quern_try_result_));                                                        \
  })
