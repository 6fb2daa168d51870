// Quoting texts for people and logs: the text in double quotes with `"`, `\`, and control
// characters escaped (`\n`, `\r`, `\t`, `\0`, others as `\u{1b}`). Used wherever an id or a
// value is embedded in a message ("named \"x#y\", which no listing ... returned").
#pragma once

#include <string>
#include <string_view>

namespace quern {

std::string quote_escaped(std::string_view text);

}  // namespace quern
