// Builds the read-only view of an opened folio document (see document_view.h). Reads only;
// runs on the thread that owns the document. The cost is linear in the size of the document.
#pragma once

#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/folio/document_view.h"
#include "runtime/folio/schema.h"
#include "runtime/util/error.h"

namespace quern::folio::model {

// The whole document: the three regions, notes, comments with replies and anchors, tracked
// changes, bookmarks, styles and metadata. Tombstoned entries are left out.
Result<DocumentView> materialize(const crdt::Document& document, const Schema& schema);
// The live blocks of one region, in order.
Result<std::vector<Block>> materialize_region(const crdt::Document& document, const Schema& schema, Region region);

}  // namespace quern::folio::model
