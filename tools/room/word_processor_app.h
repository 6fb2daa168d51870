// The scripted word-processor participant behind `quern-room app word-processor`: holds a real
// folio document (built from markdown, or loaded from a saved state), answers document requests
// with its whole save, merges the states and change sets of the same document that reach it,
// makes the edits it is told to (appending, editing or removing a paragraph) and sends each as
// an incremental change set. It prints one JSON object per line on standard output, among them
// the document (as markdown and as blocks) each time it changes, or only once at exit with
// `print_final`. tools/room/README.md documents the command line, the line protocol and the
// output.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/util/uuid.h"

namespace quern::room {

struct WordProcessorAppOptions {
  std::string socket;
  Uuid room;
  std::string app = "ix.quern.word-processor";
  std::optional<std::string> record;
  std::string name = "writer";
  std::optional<std::string> markdown_file;  // the document's first content
  std::optional<std::string> state_file;     // or a saved document to start from
  std::vector<std::string> commands;         // line-protocol commands run once joined
  bool print_final = false;                  // print the document only at exit
  bool read_stdin = true;                    // commands from standard input; its end ends the run
};

// Runs until a stop signal, a "quit" command, the end of standard input, or the broker going
// away (status 1).
int run_word_processor_app(const WordProcessorAppOptions& options);

}  // namespace quern::room
