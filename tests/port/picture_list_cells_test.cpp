// A row's cells by column number.
#include <gtest/gtest.h>

#include <utility>

#include "port/controls.h"
#include "port/picture_list.h"

namespace lumigrab {
namespace {

// Every unknown column reads as one shared empty cell: a write to an unknown
// column must not land there.
TEST(PictureListCells, WriteToUnknownColumnIsLost) {
    PictureList list;
    const RowId id = list.append({ImageRecord{}});
    EXPECT_FALSE(list.setCell(id, ctl::kColThumbnail + 1, "x"));
    EXPECT_FALSE(list.setCellAt(0, -1, "x"));
    ImageRecord record;
    CellOf(record, 99) = "y";
    for (int column : {-1, ctl::kColThumbnail + 1, 99}) {
        EXPECT_EQ(CellOf(std::as_const(record), column), "") << column;
        EXPECT_EQ(CellOf(*list.find(id), column), "") << column;
    }
    EXPECT_TRUE(list.setCell(id, ctl::kColState, "OK"));
    EXPECT_EQ(list.find(id)->state, "OK");
}

}  // namespace
}  // namespace lumigrab
