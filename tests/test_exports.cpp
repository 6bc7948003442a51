// Through the public header only, against the shared library: the exported
// symbol list and the result convention that hosts rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "reraruvozari.h"
#include "test_util.h"

TEST(Exports, SharedLibraryExportsExactlyThePublicNames) {
  REQUIRE_TOOL("nm");
  tu::run_result r =
      tu::run(std::string("nm -D --defined-only ") + RRV_SHARED_LIB);
  ASSERT_EQ(r.status, 0) << r.out;
  std::set<std::string> names;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    // "<address> <type> <name>": only text (code) and data symbols count.
    std::istringstream f(line);
    std::string addr, type, name;
    if (!(f >> addr >> type >> name)) continue;
    if (type == "T" || type == "D" || type == "B" || type == "R" ||
        type == "W" || type == "V" || type == "i")
      names.insert(name);
  }
  // Every function the public header declares, and nothing else.
  const std::string header =
      tu::read_text(std::string(RRV_TEST_DATA) + "/../../include/reraruvozari.h");
  std::set<std::string> expected;
  for (size_t at = header.find("RERARUVOZARI_CALL"); at != std::string::npos;
       at = header.find("RERARUVOZARI_CALL", at + 1)) {
    size_t name = header.find("reraruvozari_", at);
    size_t paren = header.find('(', at);
    if (name == std::string::npos || paren == std::string::npos || name > paren)
      continue;  // the macro's own definition
    expected.insert(header.substr(name, paren - name));
  }
  ASSERT_GE(expected.size(), 8u) << "the header was not read";
  EXPECT_TRUE(expected.count("reraruvozari_stamp_text"));
  EXPECT_EQ(names, expected);
}

TEST(Exports, ResultConventionAndErrorText) {
  EXPECT_EQ(reraruvozari_init(), 1);
  EXPECT_STREQ(reraruvozari_last_error(), "");

  int pages = -7;
  EXPECT_EQ(reraruvozari_page_count(nullptr, nullptr), 0);
  EXPECT_STREQ(reraruvozari_last_error(), "NULL path argument");
  EXPECT_EQ(reraruvozari_page_count("/nonexistent/x.pdf", &pages), 0);
  EXPECT_EQ(pages, -7) << "written only on success";
  EXPECT_STREQ(reraruvozari_last_error(),
               "cannot open /nonexistent/x.pdf: No such file or directory");

  // A successful call clears the previous message.
  const std::string f = tu::corpus("pdf/pysample_pdflatex-4-pages.pdf");
  EXPECT_EQ(reraruvozari_page_count(f.c_str(), &pages), 1);
  EXPECT_EQ(pages, 4);
  EXPECT_STREQ(reraruvozari_last_error(), "");

  // Removal: the same convention; its notice is empty after any other call.
  int stamps = -3;
  EXPECT_EQ(reraruvozari_remove("/nonexistent/x.pdf", "o.pdf", nullptr, &stamps, nullptr), 0);
  EXPECT_EQ(stamps, -3) << "written only on success";
  EXPECT_STREQ(reraruvozari_last_error(),
               "cannot open /nonexistent/x.pdf: No such file or directory");
  EXPECT_STREQ(reraruvozari_last_notice(), "");

  reraruvozari_page_count(nullptr, &pages);
  reraruvozari_cleanup();
  EXPECT_STREQ(reraruvozari_last_error(), "") << "cleanup clears the text";
}
