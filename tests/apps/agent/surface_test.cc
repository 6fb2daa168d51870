// The surface table: its order and identities, which surface claims a document (two passes,
// the word processor last), exact app look-up, and the word processor's content hook over real
// documents and a real blob store.
#include "apps/agent/src/surface.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "runtime/folio/blobstore.h"
#include "tests/apps/agent/writer.h"
#include "tests/support/temp_dir.h"

namespace quern::agent {
namespace {

using test::Writer;

TEST(SurfaceTable, ListsTheThreeAppsInOrderWithTheWordProcessorClaimedLast) {
  struct Row {
    std::string_view app, label, short_name;
    bool last;
  };
  const std::vector<Row> want = {{"ix.quern.word-processor", "the word processor", "word-processor", true},
                                 {"ix.quern.chat", "the conversation", "chat", false},
                                 {"ix.quern.photos", "the photo editor", "photos", false}};
  const auto table = surface_table();
  ASSERT_EQ(table.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(table[i]->app(), want[i].app);
    EXPECT_EQ(table[i]->label(), want[i].label);
    EXPECT_EQ(table[i]->short_name(), want[i].short_name);
    EXPECT_EQ(table[i]->claimed_last(), want[i].last) << want[i].app;
  }
}

TEST(SurfaceTable, FindsAnAppOnlyByItsExactId) {
  EXPECT_EQ(surface_for_app("ix.quern.photos"), &photos_surface());
  EXPECT_EQ(surface_for_app("ix.quern.chat"), &chat_surface());
  EXPECT_EQ(surface_for_app("ix.quern.word-processor"), &word_processor_surface());
  for (std::string_view miss : {"ix.quern.photos ", " ix.quern.photos", "IX.QUERN.PHOTOS", "photos", ""}) {
    EXPECT_EQ(surface_for_app(miss), nullptr) << '"' << miss << '"';
  }
}

crdt::Document with_root(std::string_view key, crdt::ScalarValue value) {
  crdt::Document doc;
  EXPECT_TRUE(doc.put(crdt::ObjId::root(), key, std::move(value)).has_value());
  doc.commit();
  return doc;
}

crdt::Document with_root_object(std::string_view key, crdt::ObjType type) {
  crdt::Document doc;
  EXPECT_TRUE(doc.put_object(crdt::ObjId::root(), key, type).has_value());
  doc.commit();
  return doc;
}

TEST(ClaimingSurface, TakesTheAppsOwnTestsBeforeTheFolioSchema) {
  struct Case {
    std::string_view name;
    crdt::Document doc;
    const Surface* want;
  };
  std::vector<Case> cases;
  cases.push_back({"a folio document", std::move(Writer().doc()), &word_processor_surface()});
  cases.push_back({"a seeded chat document", test::chat_document(), &chat_surface()});
  cases.push_back(
      {"a chat document that also opens under the folio schema", test::chat_document(true), &chat_surface()});
  cases.push_back({"chat seeded false", with_root("seeded", false), nullptr});
  cases.push_back({"chat seeded the integer 1", with_root("seeded", 1), nullptr});
  cases.push_back({"chat seeded the text true", with_root("seeded", "true"), nullptr});
  cases.push_back({"a photos_edits map", test::photos_document(), &photos_surface()});
  cases.push_back({"the legacy edits register", with_root("edits", "{\"rotate\":90}"), &photos_surface()});
  cases.push_back({"photos_edits that is not a map, no edits", with_root("photos_edits", "x"), nullptr});
  cases.push_back({"photos_edits a list", with_root_object("photos_edits", crdt::ObjType::List), nullptr});
  cases.push_back({"edits holding an object", with_root_object("edits", crdt::ObjType::Map), nullptr});
  cases.push_back({"a library map alone", with_root_object("library", crdt::ObjType::Map), nullptr});
  cases.push_back({"an empty document", crdt::Document(), nullptr});
  {
    crdt::Document both = test::photos_document();
    EXPECT_TRUE(both.put(crdt::ObjId::root(), "seeded", true).has_value());
    both.commit();
    cases.push_back({"seeded chat and photos: chat comes first in the table", std::move(both), &chat_surface()});
  }
  for (auto& c : cases) {
    EXPECT_EQ(claiming_surface(c.doc), c.want) << c.name;
    EXPECT_EQ(claiming_surface(c.doc.save()), c.want) << c.name << " (saved bytes)";
  }
}

TEST(ClaimingSurface, BytesThatDoNotLoadAreClaimedByNobody) {
  const std::string garbage = "not a document";
  EXPECT_EQ(claiming_surface(crdt::ByteView(reinterpret_cast<const std::uint8_t*>(garbage.data()), garbage.size())),
            nullptr);
  EXPECT_EQ(claiming_surface(crdt::ByteView()), nullptr);
}

class BlobDir {
 public:
  BlobDir() { ::setenv("QUERN_BLOB_DIR", dir_.path().c_str(), 1); }
  ~BlobDir() { ::unsetenv("QUERN_BLOB_DIR"); }

 private:
  quern::test::TempDir dir_;
};

// Appends an image block showing `bytes`, embedded in the document's blob table.
std::string add_image(Writer& w, std::string_view bytes) {
  auto schema = folio::model::open(w.doc());
  const std::string id = w.append("", "image");
  folio::model::DocMut mut(w.doc(), *schema);
  auto hash = mut.put_blob(crdt::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  EXPECT_TRUE(hash.has_value());
  EXPECT_TRUE(mut.set_attr(folio::model::Region::Body, id, "blob", *hash).has_value());
  w.doc().commit();
  return *hash;
}

TEST(WordProcessorContent, IsTheSingleImageStoredInTheBlobStore) {
  const Surface& wp = word_processor_surface();
  std::string hash;
  Writer w;
  w.append("no picture yet");
  {
    BlobDir first;
    EXPECT_EQ(wp.content(w.doc()), std::nullopt) << "no image";
    hash = add_image(w, "pretend-picture-bytes");
  }
  BlobDir fresh;  // a store that has never seen the picture
  ASSERT_FALSE(folio::blobstore::get(hash));
  EXPECT_EQ(wp.content(w.doc()), hash);
  EXPECT_TRUE(folio::blobstore::get(hash)) << "the embedded bytes were put into the store";

  add_image(w, "a-second-picture");
  EXPECT_EQ(wp.content(w.doc()), std::nullopt) << "two images denote nothing";
  EXPECT_EQ(chat_surface().content(test::chat_document()), std::nullopt);
}

}  // namespace
}  // namespace quern::agent
