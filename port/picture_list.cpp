#include "port/picture_list.h"

#include <algorithm>
#include <iterator>

#include "port/controls.h"

namespace lumigrab {

namespace {

// The record's members in list-column order (port/controls.h).
constexpr Text ImageRecord::* kColumns[] = {&ImageRecord::saveName, &ImageRecord::address,
                                            &ImageRecord::width,    &ImageRecord::height,
                                            &ImageRecord::state,    &ImageRecord::thumbnail};
static_assert(ctl::kColSaveName == 0 && ctl::kColAddress == 1 && ctl::kColWidth == 2 &&
              ctl::kColHeight == 3 && ctl::kColState == 4 && ctl::kColThumbnail == 5);

bool KnownColumn(int column) { return column >= 0 && column < static_cast<int>(std::size(kColumns)); }

}  // namespace

const Text& CellOf(const ImageRecord& record, int column) {
    static const Text none;
    return KnownColumn(column) ? record.*kColumns[column] : none;
}

Text& CellOf(ImageRecord& record, int column) {
    if (KnownColumn(column)) return record.*kColumns[column];
    // A write to an unknown column goes nowhere, and the next caller still
    // finds it empty.
    thread_local Text nowhere;
    nowhere.clear();
    return nowhere;
}

RowId PictureList::append(std::vector<ImageRecord> records,
                          const std::function<Text(int position)>& name) {
    bool first = false;
    RowId id = 0;
    {
        std::lock_guard lock(mutex_);
        id = firstId_ + rows_.size();
        if (records.empty()) return id;
        rows_.reserve(rows_.size() + records.size());
        for (ImageRecord& record : records) {
            if (name) record.saveName = name(static_cast<int>(rows_.size()) + 1);
            rows_.push_back(std::move(record));
        }
        first = markChangedLocked();
    }
    notify(first);
    return id;
}

void PictureList::clear() {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        firstId_ += rows_.size();
        rows_.clear();
        // What the observer was given goes; nothing of it can change any more.
        pendingReset_ = true;
        shownRows_ = 0;
        changedRows_.clear();
        first = markChangedLocked();
    }
    notify(first);
}

int PictureList::size() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(rows_.size());
}

std::optional<std::pair<RowId, ImageRecord>> PictureList::at(int position) const {
    std::lock_guard lock(mutex_);
    if (position < 0 || position >= static_cast<int>(rows_.size())) return std::nullopt;
    return std::pair{firstId_ + static_cast<RowId>(position), rows_[static_cast<std::size_t>(position)]};
}

std::optional<ImageRecord> PictureList::find(RowId id) const {
    std::lock_guard lock(mutex_);
    if (id < firstId_ || id - firstId_ >= rows_.size()) return std::nullopt;
    return rows_[id - firstId_];
}

std::vector<std::pair<RowId, ImageRecord>> PictureList::rows() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<RowId, ImageRecord>> out;
    out.reserve(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) out.emplace_back(firstId_ + i, rows_[i]);
    return out;
}

bool PictureList::setCell(RowId id, int column, const Text& value) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (id < firstId_ || id - firstId_ >= rows_.size()) return false;
        if (column < 0 || column > ctl::kColThumbnail) return false;
        const auto position = static_cast<int>(id - firstId_);
        CellOf(rows_[static_cast<std::size_t>(position)], column) = value;
        if (position < shownRows_) changedRows_.push_back(position);
        first = markChangedLocked();
    }
    notify(first);
    return true;
}

bool PictureList::setCellAt(int position, int column, const Text& value) {
    RowId id = 0;
    {
        std::lock_guard lock(mutex_);
        if (position < 0 || position >= static_cast<int>(rows_.size())) return false;
        id = firstId_ + static_cast<RowId>(position);
    }
    return setCell(id, column, value);
}

ListChanges PictureList::takeChanges() {
    std::lock_guard lock(mutex_);
    ListChanges changes;
    changes.reset = pendingReset_;
    changes.firstAppended = shownRows_;
    std::sort(changedRows_.begin(), changedRows_.end());
    changedRows_.erase(std::unique(changedRows_.begin(), changedRows_.end()), changedRows_.end());
    for (int position : changedRows_)
        changes.changed.emplace_back(position, rows_[static_cast<std::size_t>(position)]);
    changes.appended.assign(rows_.begin() + shownRows_, rows_.end());
    shownRows_ = static_cast<int>(rows_.size());
    pendingReset_ = false;
    changedRows_.clear();
    pending_ = false;
    return changes;
}

void PictureList::setObserver(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(changed);
}

bool PictureList::markChangedLocked() {
    if (pending_ || !observer_) return false;
    pending_ = true;
    return true;
}

void PictureList::notify(bool first) {
    if (!first) return;
    std::function<void()> observer;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
    }
    if (observer) observer();
}

}  // namespace lumigrab
