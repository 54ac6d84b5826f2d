#include "window/picture_list_model.h"

#include <algorithm>
#include <mutex>

#include "window/gbk_mirror.h"

namespace lumigrab::ui {

namespace {

const char* const kTitles[PictureListModel::kColumns] = {"保存名称", "图片地址", "宽度",
                                                         "高度",     "下载状态", "小图地址"};

// What a cell shows of a long text: no column is wide enough for more, and
// laying out a text of a megabyte on every repaint froze the window for
// seconds. The list still holds every byte.
constexpr std::size_t kShownBytes = 1024;

QString Shown(const Text& value) {
    if (value.size() <= kShownBytes) return ToQt(value);
    // Cut at a character boundary: bytes 0x81 to 0xFE lead a pair.
    std::size_t cut = 0;
    while (cut < kShownBytes) {
        const unsigned char lead = static_cast<unsigned char>(value[cut]);
        const std::size_t length = lead >= 0x81 && lead <= 0xFE ? 2 : 1;
        if (cut + length > kShownBytes) break;
        cut += length;
    }
    return ToQt(std::string_view(value).substr(0, cut)) + QChar(0x2026);  // "…"
}

}  // namespace

struct PictureListModel::Gate {
    std::mutex mutex;
    BatchTimer* batch = nullptr;
};

PictureListModel::PictureListModel(PictureList& list, QObject* parent)
    : QAbstractTableModel(parent),
      list_(list),
      batch_([this] { applyChanges(); }, this),
      gate_(std::make_shared<Gate>()) {
    gate_->batch = &batch_;
    list_.setObserver([gate = gate_] {
        std::lock_guard lock(gate->mutex);
        if (gate->batch) gate->batch->request();
    });
    applyChanges();
}

PictureListModel::~PictureListModel() {
    list_.setObserver({});
    // A worker may have picked up the observer just before; it finds nothing.
    std::lock_guard lock(gate_->mutex);
    gate_->batch = nullptr;
}

int PictureListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int PictureListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant PictureListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    return Shown(cell(index.row(), index.column()));
}

QVariant PictureListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kColumns) {
        return QString::fromUtf8(kTitles[section]);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags PictureListModel::flags(const QModelIndex& index) const {
    // Selectable but never editable in place.
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}

const Text& PictureListModel::cell(int row, int column) const {
    static const Text none;
    if (row < 0 || row >= static_cast<int>(rows_.size())) return none;
    return CellOf(rows_[static_cast<std::size_t>(row)], column);
}

void PictureListModel::applyChanges() {
    ListChanges changes = list_.takeChanges();
    if (changes.empty()) return;
    if (changes.reset) {
        // Whatever was shown has gone; the rows appended since come with it.
        beginResetModel();
        rows_ = std::move(changes.appended);
        endResetModel();
        return;
    }
    const int shown = static_cast<int>(rows_.size());
    int first = shown;
    int last = -1;
    for (auto& [position, record] : changes.changed) {
        if (position < 0 || position >= shown) continue;
        rows_[static_cast<std::size_t>(position)] = std::move(record);
        first = std::min(first, position);
        last = std::max(last, position);
    }
    // One notice for the span: the view repaints what it shows of it once.
    if (last >= first) emit dataChanged(index(first, 0), index(last, kColumns - 1));
    if (!changes.appended.empty()) {
        const int count = static_cast<int>(changes.appended.size());
        beginInsertRows(QModelIndex(), shown, shown + count - 1);
        rows_.insert(rows_.end(), std::make_move_iterator(changes.appended.begin()),
                     std::make_move_iterator(changes.appended.end()));
        endInsertRows();
    }
}

}  // namespace lumigrab::ui
