#pragma once

#include "stationlist.h"
#include "stationlistmodel.h"

#include <QTreeView>

#include <optional>

namespace orvendal::ui {

// The station list control: a report list on a QTreeView that provides the members the station
// monitor uses. A refill is published to the view as one model reset, in the same pass of the
// event loop, so the list never flickers and keeps the user's scroll position; the selection and
// scrolling asked for during the refill are applied when it is published.
class StationListView final : public QTreeView, public StationList {
    Q_OBJECT

public:
    explicit StationListView(QWidget* parent = nullptr);

    int columnHeaderCount() const override { return model_->headingCount(); }
    void clearColumnHeaders() override;
    void addColumnHeader(std::u16string_view text) override;

    void clearListItems() override;
    Item addListItem(std::u16string_view text) override;
    void setSubItem(Item item, int index, std::u16string_view text) override;

    void setView(int view) override;
    void setLabelEdit(int mode) override;
    // Maps to the whole-row selection of the view (SelectRows, with the focus frame across all
    // columns).
    void setFullRowSelect(bool on) override;

    void setSelectedItem(Item item) override;
    std::optional<Item> selectedItem() const override;
    void ensureVisible(Item item) override;
    std::u16string itemText(Item item) const override;

    // Shows the changes made since the last call, then selects and scrolls as the refill asked.
    // Must run before the event loop runs again: a message box or the end of a refresh.
    void publishRows();

signals:
    // A key went down while the list had the focus, and the list has acted on it: a Down key has
    // moved the selection by now. Every key counts, Tab and keys that move nothing included.
    void keyHandled(int key, Qt::KeyboardModifiers modifiers);

protected:
    bool event(QEvent* event) override;

private:
    // The model, about to change: the view's selection is noted first, as a reset drops it.
    StationListModel& changeRows();
    std::optional<Item> viewSelection() const;

    StationListModel* model_; // a child of the view, so that it outlives the view's use of it
    std::optional<Item> pendingSelection_;
    std::optional<Item> pendingVisible_;
};

} // namespace orvendal::ui
