#pragma once
// The result list as the window shows it. The core owns the list and its
// workers write into it from their own threads; the window keeps a copy of
// the rows it shows and brings it up to date in batches, so painting never
// takes the list's lock and a burst of rows costs one insertion, not one each.
#include <QAbstractTableModel>
#include <memory>
#include <vector>

#include "port/picture_list.h"
#include "window/batch_timer.h"

namespace lumigrab::ui {

class PictureListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 6;

    // Shows `list` from now on and takes what it already holds. The model
    // must be the only one taking the list's changes; `list` outlives it.
    explicit PictureListModel(PictureList& list, QObject* parent = nullptr);
    ~PictureListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Applies what the list changed since the last call. The batch timer
    // calls it; a test may call it rather than wait.
    void applyChanges();

    // Every byte of a shown cell (the view shows at most a head of it); empty
    // out of range.
    const Text& cell(int row, int column) const;

private:
    struct Gate;

    PictureList& list_;
    std::vector<ImageRecord> rows_;
    BatchTimer batch_;
    // Lets a worker that is telling the model about a change find out safely
    // that the model has gone.
    std::shared_ptr<Gate> gate_;
};

}  // namespace lumigrab::ui
