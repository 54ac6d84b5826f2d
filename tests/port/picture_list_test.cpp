#include "port/picture_list.h"

#include <gtest/gtest.h>

#include <utility>

#include "port/controls.h"

namespace lumigrab::testing {
namespace {

ImageRecord Named(const char* name) {
    ImageRecord record;
    record.address = name;
    return record;
}

// A writer that read its row before the list was emptied and refilled must
// find the row gone, not write into the new row that took its place.
TEST(PictureListTest, IdOfAnEmptiedListNeverReachesItsNewRows) {
    PictureList list;
    const RowId old = list.append({Named("old")});
    list.clear();
    list.append({Named("new")});

    EXPECT_FALSE(list.setCell(old, ctl::kColState, "OK"));
    EXPECT_FALSE(list.find(old).has_value());
    EXPECT_EQ(list.at(0)->second.state, "");
}

// What an observer takes: a clear drops all it was shown, then only what
// came after; states of rows it was shown come as changes, once each.
TEST(PictureListTest, ChangesSinceTheLastTake) {
    PictureList list;
    int notices = 0;
    list.setObserver([&notices] { ++notices; });
    const RowId first = list.append({Named("a"), Named("b")}, [](int position) { return std::to_string(position); });
    list.append({Named("c")});
    EXPECT_EQ(notices, 1) << "one notice until the changes are taken";

    ListChanges changes = list.takeChanges();
    ASSERT_EQ(changes.appended.size(), 3u);
    EXPECT_EQ(changes.appended[1].saveName, "2");
    EXPECT_FALSE(changes.reset);

    list.setCell(first + 1, ctl::kColState, "OK");
    list.setCell(first + 1, ctl::kColState, "OK");
    changes = list.takeChanges();
    EXPECT_EQ(notices, 2);
    ASSERT_EQ(changes.changed.size(), 1u);
    EXPECT_EQ(changes.changed[0].first, 1);
    EXPECT_EQ(changes.changed[0].second.state, "OK");

    list.setCell(first, ctl::kColState, "OK");
    list.clear();
    list.append({Named("d")});
    changes = list.takeChanges();
    EXPECT_TRUE(changes.reset);
    EXPECT_TRUE(changes.changed.empty());
    EXPECT_EQ(changes.firstAppended, 0);
    ASSERT_EQ(changes.appended.size(), 1u);
    EXPECT_EQ(changes.appended[0].address, "d");
}

// Every unknown column reads as one shared empty cell: a write to an unknown
// column must not land there.
TEST(PictureListTest, WriteToUnknownColumnIsLost) {
    PictureList list;
    const RowId id = list.append({Named("a")});
    EXPECT_FALSE(list.setCell(id, ctl::kColThumbnail + 1, "x"));
    EXPECT_FALSE(list.setCellAt(0, -1, "x"));
    ImageRecord record;
    CellOf(record, 99) = "y";
    for (int column : {-1, ctl::kColThumbnail + 1, 99}) {
        EXPECT_EQ(CellOf(std::as_const(record), column), "") << column;
        EXPECT_EQ(CellOf(*list.find(id), column), "") << column;
    }
}

}  // namespace
}  // namespace lumigrab::testing
