#include "recovery/filter_table.h"
#include "recovery/recovery_settings.h"
#include "text/messages.h"

#include <gtest/gtest.h>

namespace trevik {
namespace {

TEST(FilterEditor, RefusesWithTheDialogsTextsAndKeepsTheList) {
    FilterTable table;
    FilterEditor ed(table);
    EXPECT_EQ(text::FilterRefusal(ed.Add("")), "      You can not add a blank entry.     ");
    EXPECT_EQ(text::FilterRefusal(ed.Add(std::string(20, 'x'))), "      Filter too long     ");
    EXPECT_EQ(ed.Add(std::string(19, 'x')), FilterEditor::Outcome::Added);
    EXPECT_EQ(ed.Add("   "), FilterEditor::Outcome::Added); // blanks are not empty
    EXPECT_EQ(ed.Add("*.doc"), FilterEditor::Outcome::Added);
    EXPECT_EQ(ed.Add("*.DOC"), FilterEditor::Outcome::Added); // case-sensitive test
    EXPECT_EQ(text::FilterRefusal(ed.Add("*.doc")), "      Filter already exists in the list     ");
    ASSERT_EQ(ed.Entries().size(), 4u);
    EXPECT_EQ(ed.Entries().front(), "*.DOC"); // newest first
}

TEST(FilterEditor, NinetyNineFiltersIsTheLimitEvenForABlankEntry) {
    FilterTable table;
    FilterEditor ed(table);
    for (int i = 0; i < 99; ++i) {
        ASSERT_EQ(ed.Add("f" + std::to_string(i)), FilterEditor::Outcome::Added);
    }
    EXPECT_EQ(text::FilterRefusal(ed.Add("")), "      You cannot add more Filters     ");
    EXPECT_EQ(ed.Add("new"), FilterEditor::Outcome::TooMany);
    EXPECT_TRUE(ed.Remove(0));
    EXPECT_FALSE(ed.Remove(98)); // past the end now: nothing selected there
    EXPECT_EQ(ed.Add("new"), FilterEditor::Outcome::Added);
}

TEST(FilterEditor, ChangesReachTheTableOnlyWhenCommitted) {
    FilterTable table;
    FilterEditor ed(table);
    ed.Add("*.txt");
    EXPECT_EQ(table.Count(), 0u);
    ed.CommitTo(table);
    ASSERT_EQ(table.Count(), 1u);
    EXPECT_TRUE(table.Shows("README.txt"));
    EXPECT_FALSE(table.Shows("README.doc"));
    table.Clear(); // a new mount starts without filters
    EXPECT_TRUE(table.Shows("README.doc"));
}

TEST(FilterTable, AFileIsShownWhenAnyFilterMatches) {
    FilterTable table;
    table.Assign({"*.doc", "*.DOC", "REPORT?"});
    EXPECT_TRUE(table.Shows("letter.Doc"));
    EXPECT_TRUE(table.Shows("report7"));
    EXPECT_FALSE(table.Shows("image.png"));
}

} // namespace
} // namespace trevik
