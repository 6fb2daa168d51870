#include "apps/word-processor/src/hyperlink.h"

#include <curl/curl.h>

#include <memory>
#include <string>

#include "runtime/folio/id_gen.h"
#include "runtime/util/unicode.h"

namespace quern::word_processor {

namespace {

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The scheme of an absolute URL ("scheme:" with ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )),
// lower-cased; empty when the text does not start with one.
std::string scheme_of(std::string_view url) {
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || !is_ascii_alpha(url[0])) return {};
  std::string scheme;
  for (char c : url.substr(0, colon)) {
    const bool ok = is_ascii_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!ok) return {};
    scheme.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return scheme;
}

struct UrlDeleter {
  void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct PartDeleter {
  void operator()(char* p) const { curl_free(p); }
};

bool https_passes(const std::string& target) {
  // curl reads a C string: a NUL would cut the target short.
  if (target.find('\0') != std::string::npos) return false;
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) return false;
  // Default flags: white space, control characters and malformed parts are refused.
  if (curl_url_set(url.get(), CURLUPART_URL, target.c_str(), 0) != CURLUE_OK) return false;
  const auto part = [&](CURLUPart which, CURLUcode& code) {
    char* raw = nullptr;
    code = curl_url_get(url.get(), which, &raw, 0);
    return std::unique_ptr<char, PartDeleter>(raw);
  };
  CURLUcode code = CURLUE_OK;
  auto scheme = part(CURLUPART_SCHEME, code);
  if (code != CURLUE_OK || std::string_view(scheme.get()) != "https") return false;
  auto host = part(CURLUPART_HOST, code);
  if (code != CURLUE_OK || !host || *host.get() == '\0') return false;
  // An empty user name ("https://@host") counts as one.
  part(CURLUPART_USER, code);
  if (code != CURLUE_NO_USER) return false;
  part(CURLUPART_PASSWORD, code);
  return code == CURLUE_NO_PASSWORD;
}

// A byte that may not appear in a URL as typed: controls, space, DEL and the characters
// RFC 3986 excludes.
bool is_forbidden_url_byte(unsigned char c) {
  if (c <= 0x20 || c == 0x7f) return true;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}': return true;
    default: return false;
  }
}

// curl's parser only takes URLs of the hierarchical form ("scheme://"), so a mailto URL
// ("mailto:to?headers") is taken apart here: its address is the text before "?" or "#".
bool mailto_passes(std::string_view target) {
  const std::string_view rest = target.substr(target.find(':') + 1);
  for (char c : rest)
    if (is_forbidden_url_byte(static_cast<unsigned char>(c))) return false;
  const std::string_view address = rest.substr(0, rest.find_first_of("?#"));
  const std::size_t at = address.find('@');
  return at != std::string_view::npos && at > 0 && at + 1 < address.size();
}

}  // namespace

bool is_safe_hyperlink_target(std::string_view target) {
  if (target.empty() || unicode::trim(target).size() != target.size()) return false;
  if (unicode::char_count(target) > kMaxHyperlinkChars) return false;
  if (target.front() == '#') return folio::model::is_identifier_token(target.substr(1));
  const std::string scheme = scheme_of(target);
  if (scheme == "https") return https_passes(std::string(target));
  if (scheme == "mailto") return mailto_passes(target);
  return false;
}

}  // namespace quern::word_processor
