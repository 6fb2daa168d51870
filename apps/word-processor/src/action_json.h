// The JSON form of WordProcessorAction and its supporting records, the payload of the
// operation type "word-processor.action":
//   {"SpliceText": {"region": "Body", "block": "b1", "at": 0, "del": 0, "ins": "Hi"}}
// An operation is an object with one member named after the variant, holding the variant's
// fields in declaration order. A Region is "Body", "Header" or "Footer"; a MarkValue or
// AttrValue an object with one member "Bool", "Int", "Float" (AttrValue only) or "Str"; a
// TableEdit an object with one member ("InsertRow", ...) or the bare string "Delete". Absent
// optional values are written as null, and so are floats that are not finite; bytes are an
// array of integers 0 to 255.
//
// Writing never fails. Reading rejects unknown variant names, missing members that are not
// optional and members of the wrong type, with an error naming the member
// ("SpliceText.at: expected an unsigned integer"); members it does not know are ignored. A
// missing or null optional member reads as absent, and a null float as NaN (so that every
// written value reads back; the applier refuses NaN where a float is checked).
//
// Stateless; call from any thread.
#pragma once

#include <string_view>

#include "apps/word-processor/src/action.h"
#include "runtime/util/error.h"
#include "runtime/util/json.h"

namespace quern::word_processor {

Json to_json(const WordProcessorAction& action);
Json to_json(const Span& span);
Json to_json(const MarkSpan& mark);
Json to_json(const ClipBlock& block);
Json to_json(const TocTarget& target);
Json to_json(const TableEdit& edit);
Json mark_value_to_json(const MarkValue& value);
Json attr_value_to_json(const AttrValue& value);

Result<WordProcessorAction> action_from_json(const Json& json);
// Parses the text as JSON first.
Result<WordProcessorAction> parse_action(std::string_view text);

Result<Span> span_from_json(const Json& json);
Result<MarkSpan> mark_span_from_json(const Json& json);
Result<ClipBlock> clip_block_from_json(const Json& json);
Result<TocTarget> toc_target_from_json(const Json& json);
Result<TableEdit> table_edit_from_json(const Json& json);
Result<MarkValue> mark_value_from_json(const Json& json);
Result<AttrValue> attr_value_from_json(const Json& json);

}  // namespace quern::word_processor
