#include "apps/agent/src/recipes.h"

#include <algorithm>
#include <set>

#include "apps/agent/src/session.h"
#include "runtime/util/log.h"

#include "runtime/util/unicode.h"

namespace quern::agent {

bool is_label_like(std::string_view text) {
  const std::string_view t = unicode::trim(text);
  if (t.empty() || unicode::char_count(t) > 60) return false;
  std::size_t words = 0;
  bool in_word = false;
  std::size_t pos = 0;
  while (pos < t.size()) {
    const char32_t c = unicode::next_char(t, pos);
    const bool space = unicode::is_white_space(c);
    if (!space && !in_word) ++words;
    in_word = !space;
  }
  if (words > 8) return false;
  const char last = t.back();
  return last != '.' && last != '?' && last != '!' && last != ',';
}

std::vector<std::string> split_cells(std::string_view bullet) {
  const std::string_view t = unicode::trim(bullet);
  for (std::string_view sep : kCellSeparators) {
    if (t.find(sep) == std::string_view::npos) continue;
    std::vector<std::string> cells;
    std::size_t start = 0;
    while (true) {
      const std::size_t at = t.find(sep, start);
      if (at == std::string_view::npos) {
        cells.emplace_back(unicode::trim(t.substr(start)));
        break;
      }
      cells.emplace_back(unicode::trim(t.substr(start, at - start)));
      start = at + sep.size();
    }
    return cells;
  }
  return {std::string(t)};
}

std::vector<std::vector<std::string>> table_rows(std::span<const std::string> bullets) {
  std::vector<std::vector<std::string>> rows;
  std::size_t width = 1;
  for (const auto& bullet : bullets) {
    rows.push_back(split_cells(bullet));
    width = std::max(width, rows.back().size());
  }
  for (auto& row : rows) row.resize(width);
  return rows;
}

std::vector<std::size_t> bullets_above(std::span<const folio::model::Block> paragraphs, std::size_t position) {
  std::vector<std::size_t> out;
  std::size_t i = std::min(position, paragraphs.size());
  while (i > 0 && paragraphs[i - 1].kind == "paragraph" && unicode::trim(paragraphs[i - 1].text).empty()) --i;
  while (i > 0 && paragraphs[i - 1].kind == "list_item") {
    --i;
    out.push_back(i);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::optional<DraftStructure> draft_structure(std::span<const folio::model::Block> paragraphs, std::size_t position) {
  std::vector<std::size_t> considered;
  for (std::size_t i = 0; i < std::min(position, paragraphs.size()); ++i) {
    if (paragraphs[i].kind == "cell" || paragraphs[i].text.empty()) continue;
    considered.push_back(i);
  }
  if (considered.empty()) return std::nullopt;
  DraftStructure out;
  out.title = considered.front();
  for (std::size_t k = 1; k + 1 < considered.size(); ++k) {
    const auto& label = paragraphs[considered[k]];
    const auto& next = paragraphs[considered[k + 1]];
    if (label.kind != "paragraph" || !is_label_like(label.text)) continue;
    if (next.kind != "paragraph" || is_label_like(next.text)) continue;
    if (unicode::char_count(unicode::trim(next.text)) <= unicode::char_count(unicode::trim(label.text))) continue;
    out.sections.push_back(considered[k]);
  }
  return out;
}

namespace {

// The verdict on an operation the applier refused: the step fails with its reason.
Result<StepVerdict> performed_or_reply(CarryingOut& work, const word_processor::WordProcessorAction& action) {
  auto performed = perform(work, action);
  if (performed) return StepVerdict{};
  if (word_processor::is_rejection(performed.error())) {
    return StepVerdict{step_failure_reply(work.session.settings.name, performed.error().message())};
  }
  return std::unexpected(performed.error());
}

}  // namespace

Result<StepVerdict> table_recipe(CarryingOut& work, std::span<const folio::model::Block> paragraphs,
                                 std::size_t position) {
  const std::string& name = work.session.settings.name;
  const auto bullets = bullets_above(paragraphs, position);
  if (bullets.empty()) return StepVerdict{name + ": I looked for bullets above this line and found none."};
  std::vector<std::string> texts;
  std::vector<std::string> bullet_ids;
  for (std::size_t i : bullets) {
    texts.push_back(paragraphs[i].text);
    bullet_ids.push_back(paragraphs[i].id);
  }
  const auto rows = table_rows(texts);
  std::set<std::string, std::less<>> cells_before;
  for (const auto& block : paragraphs) {
    if (block.kind == "cell") cells_before.insert(block.id);
  }
  auto inserted = QUERN_TRY(performed_or_reply(
      work, word_processor::InsertTable{bullet_ids.back(), rows.size(), rows.empty() ? 1 : rows.front().size()}));
  if (inserted) return inserted;

  const auto after = QUERN_TRY(watched_paragraphs(work.session));
  std::vector<std::string> cells;
  for (const auto& block : after) {
    if (block.kind == "cell" && !cells_before.contains(block.id)) cells.push_back(block.id);
  }
  if (cells.empty()) return StepVerdict{error_reply(name, "the inserted table's cells were not found")};

  std::size_t k = 0;
  for (const auto& row : rows) {
    for (const auto& text : row) {
      const std::size_t at = k++;
      if (text.empty() || at >= cells.size()) continue;
      auto filled = QUERN_TRY(
          performed_or_reply(work, word_processor::SpliceText{folio::model::Region::Body, cells[at], 0, 0, text}));
      if (filled) return filled;
    }
  }
  return performed_or_reply(work, word_processor::RemoveBlocks{bullet_ids});
}

Result<StepVerdict> caption_recipe(CarryingOut& work, std::span<const folio::model::Block> paragraphs) {
  for (const auto& block : paragraphs) {
    if (block.kind != "image") continue;
    return performed_or_reply(work, word_processor::InsertParagraph{block.id, "Figure 1"});
  }
  return StepVerdict{work.session.settings.name + ": there is no image in this document to caption."};
}

Result<StepVerdict> heading_recipe(CarryingOut& work, std::span<const folio::model::Block> paragraphs,
                                   std::size_t position) {
  const auto structure = draft_structure(paragraphs, position);
  if (!structure) return StepVerdict{};
  auto titled = QUERN_TRY(performed_or_reply(
      work, word_processor::SetParagraphStyle{
                folio::model::Region::Body, {paragraphs[structure->title].id}, "heading", 1, std::nullopt}));
  if (titled) return titled;
  for (std::size_t i : structure->sections) {
    auto styled = QUERN_TRY(performed_or_reply(
        work,
        word_processor::SetParagraphStyle{folio::model::Region::Body, {paragraphs[i].id}, "heading", 2, std::nullopt}));
    if (styled) return styled;
  }
  log::info("quern_agent::session", "made the draft a document", {{"sections", structure->sections.size()}});
  return StepVerdict{};
}

}  // namespace quern::agent
