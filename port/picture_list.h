#pragma once
// The result list: every harvested picture, owned by the core. The harvest
// appends to it, the download writes states into it and the preview reads
// from it, each from its own threads and under the list's own lock; the
// window only shows it. Nothing here ever waits for the window.
//
// Rows are only ever appended at the end or all removed at once, so a row's
// id (handed out in append order, never reused) tells at once whether the row
// is still there and where it sits.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "text/text.h"

namespace lumigrab {

// One harvested picture: the cells of a row in list-column order (see the
// column constants in port/controls.h).
struct ImageRecord {
    Text saveName;   // file name without folder and extension
    Text address;    // full-size picture
    Text width;      // pixels, decimal text; empty when the page gave none
    Text height;
    Text state;      // written by the download ("OK" or "失败")
    Text thumbnail;  // thumbnail address
    // Where the service found the picture; no list column shows them.
    Text sourcePage = {};  // the page's address
    Text title = {};       // the page's title as plain text (PlainTitle)
};

// The cell of `record` in list column `column`; empty for an unknown column
// (and a write to it is lost).
const Text& CellOf(const ImageRecord& record, int column);
Text& CellOf(ImageRecord& record, int column);

using RowId = std::uint64_t;

// What changed since the last takeChanges(), for whoever shows the list.
struct ListChanges {
    bool reset = false;                 // emptied first: drop every row shown
    int firstAppended = 0;              // position of appended.front()
    std::vector<ImageRecord> appended;  // new rows at the end, in order
    // Rows shown before whose cells changed, with their whole new content.
    std::vector<std::pair<int, ImageRecord>> changed;
    bool empty() const { return !reset && appended.empty() && changed.empty(); }
};

class PictureList {
public:
    // Appends `records` at the end as one block, nothing of another caller's
    // in between. `name`, when given, makes each row's save name from the
    // row's 1-based position, so names and positions cannot disagree.
    // Returns the id of the first new row.
    RowId append(std::vector<ImageRecord> records,
                 const std::function<Text(int position)>& name = {});
    void clear();

    int size() const;
    // The row at `position` (0-based), with its id; nullopt when out of range.
    std::optional<std::pair<RowId, ImageRecord>> at(int position) const;
    // The row with `id`; nullopt once it has left the list.
    std::optional<ImageRecord> find(RowId id) const;
    // The rows' ids and records, in order.
    std::vector<std::pair<RowId, ImageRecord>> rows() const;

    // Writes one cell of the row with `id`; false (and nothing written) when
    // the row has left the list or the column is unknown.
    bool setCell(RowId id, int column, const Text& value);
    // The same by position, for whoever holds no id (false when out of range).
    bool setCellAt(int position, int column, const Text& value);

    // The changes since the previous call, and a fresh start for the next.
    ListChanges takeChanges();
    // Called, on whichever thread made it, for the first change after each
    // takeChanges(): the observer arranges to take them later. It must not
    // wait for anything, nor call back into the list.
    void setObserver(std::function<void()> changed);

private:
    // Called with the lock held; tells the observer if this is the first
    // change since the last take (the caller calls it after unlocking).
    bool markChangedLocked();
    void notify(bool first);

    mutable std::mutex mutex_;
    std::vector<ImageRecord> rows_;
    RowId firstId_ = 1;  // id of rows_[0]; the next id is firstId_ + size
    // Journal since the last take.
    bool pendingReset_ = false;
    int shownRows_ = 0;          // rows the observer has been given
    std::vector<int> changedRows_;  // positions below shownRows_, may repeat
    bool pending_ = false;
    std::function<void()> observer_;
};

}  // namespace lumigrab
