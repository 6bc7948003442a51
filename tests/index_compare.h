// Two loads of one document compared: the object index read lazily from the
// cross-reference chain (doc_open_opts.lean) against the one built by
// scanning the whole file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pdf_parse.h"

namespace tu {

// Every fact of `scanned` that an operation reads is the same in `lazy`:
// catalog, info, version, /ID, the newest section and its judgement, the
// page list, and for every object number the record (read on demand).
inline void expect_same_index(const pdf_doc &scanned, const pdf_doc &lazy) {
  EXPECT_EQ(lazy.root, scanned.root);
  EXPECT_EQ(lazy.info, scanned.info);
  EXPECT_EQ(lazy.version, scanned.version);
  EXPECT_EQ(lazy.id_off, scanned.id_off);
  EXPECT_EQ(lazy.id_len, scanned.id_len);
  EXPECT_EQ(lazy.xref_off, scanned.xref_off);
  EXPECT_EQ(lazy.xref_kind, scanned.xref_kind);
  EXPECT_EQ(lazy.xref_trusted, scanned.xref_trusted);
  EXPECT_EQ(lazy.max_num, scanned.max_num);
  ASSERT_EQ(lazy.pages.count, scanned.pages.count);
  for (int64_t i = 0; i < scanned.pages.count; i++) {
    const page_info &a = scanned.pages.items[i], &b = lazy.pages.items[i];
    EXPECT_EQ(b.num, a.num);
    EXPECT_EQ(b.parent, a.parent);
    EXPECT_EQ(b.media_w, a.media_w);
    EXPECT_EQ(b.crop_h, a.crop_h);
    EXPECT_EQ(b.has_crop, a.has_crop);
  }
  // The numbers of both indexes (those of the lazy one are filled here).
  std::vector<int64_t> nums;
  for (int64_t i = 0; i < scanned.objects.count; i++) nums.push_back(scanned.objects.items[i].num);
  for (int64_t i = 0; i < lazy.objects.count; i++) nums.push_back(lazy.objects.items[i].num);
  for (int64_t n : nums) {
    const pdf_obj *a = obj_find(&scanned.objects, n);
    const pdf_obj *b = obj_find(&lazy.objects, n);
    SCOPED_TRACE("object " + std::to_string(n));
    ASSERT_EQ(b != nullptr, a != nullptr);
    if (!a) continue;
    EXPECT_EQ(b->lazy, 0);
    EXPECT_EQ(b->gen, a->gen);
    EXPECT_EQ(b->hdr_off, a->hdr_off);
    EXPECT_EQ(b->dict_off, a->dict_off);
    EXPECT_EQ(b->dict_close, a->dict_close);
    EXPECT_EQ(b->stream_kw_off, a->stream_kw_off);
    EXPECT_EQ(b->data_off, a->data_off);
    EXPECT_EQ(b->data_end, a->data_end);
    EXPECT_EQ(b->endobj_off, a->endobj_off);
    EXPECT_EQ(b->has_stream, a->has_stream);
    EXPECT_EQ(b->in_objstm, a->in_objstm);
    ASSERT_EQ(b->text_len, a->text_len);
    if (a->text_len > 0) {
      EXPECT_EQ(std::string(b->text, (size_t)b->text_len),
                std::string(a->text, (size_t)a->text_len));
    }
  }
}

}  // namespace tu
