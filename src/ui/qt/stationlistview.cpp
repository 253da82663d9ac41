#include "stationlistview.h"

#include "error.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QStyledItemDelegate>

namespace orvendal::ui {
namespace {

// Text fields are kept at their full width, so most cells end in blanks that nobody sees. A cell
// is painted (and measured) without them: it ends in "…" only when a column cuts a visible
// character.
class VisibleTextDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        qsizetype end = option->text.size();
        while (end > 0 && option->text.at(end - 1) == u' ') {
            --end;
        }
        option->text.truncate(end);
    }
};

} // namespace

StationListView::StationListView(QWidget* parent)
    : QTreeView(parent), model_(new StationListModel(this)) {
    setModel(model_);
    // A flat list: no expanding, and rows of one height so that a refill of thousands of rows
    // lays out without measuring each.
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setItemDelegate(new VisibleTextDelegate(this));
    setTextElideMode(Qt::ElideRight);
    setEditTriggers(NoEditTriggers);
    setSelectionMode(SingleSelection);
    // Headings belong to the report view, which the list is switched to when it is set up.
    header()->hide();
}

void StationListView::clearColumnHeaders() {
    changeRows().clearHeadings();
}

void StationListView::addColumnHeader(std::u16string_view text) {
    changeRows().addHeading(text);
}

void StationListView::clearListItems() {
    changeRows().clearRows();
    pendingSelection_.reset();
    pendingVisible_.reset();
}

StationListView::Item StationListView::addListItem(std::u16string_view text) {
    return changeRows().addRow(text);
}

void StationListView::setSubItem(Item item, int index, std::u16string_view text) {
    // Sub-item 0 would be the row's own text, which only addListItem() sets.
    if (index < 1) {
        throw Error::of(errc::InvalidValue);
    }
    changeRows().setCell(item, index, text);
}

void StationListView::setView(int view) {
    // The report view is the only view this list has.
    if (view != kReportView) {
        throw Error::of(errc::InvalidValue);
    }
    header()->show();
}

void StationListView::setLabelEdit(int mode) {
    // Rows are never edited in place: manual is the only mode this list has.
    if (mode != kLabelEditManual) {
        throw Error::of(errc::InvalidValue);
    }
}

void StationListView::setFullRowSelect(bool on) {
    setSelectionBehavior(on ? SelectRows : SelectItems);
    setAllColumnsShowFocus(on);
}

void StationListView::setSelectedItem(Item item) {
    model_->checkRow(item);
    if (model_->changing()) {
        pendingSelection_ = item;
        return;
    }
    const auto rows = selectionBehavior() == SelectRows ? QItemSelectionModel::Rows
                                                        : QItemSelectionModel::NoUpdate;
    // Selecting does not scroll; ensureVisible() does, when it is asked to.
    const bool autoScroll = hasAutoScroll();
    setAutoScroll(false);
    selectionModel()->setCurrentIndex(model_->index(item, 0),
                                      QItemSelectionModel::ClearAndSelect | rows);
    setAutoScroll(autoScroll);
}

bool StationListView::event(QEvent* event) {
    // Seen here, after the list's own handling: a key filter on the list would see it before the
    // list moves, and Tab never reaches keyPressEvent().
    const bool handled = QTreeView::event(event);
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        emit keyHandled(key->key(), key->modifiers());
    }
    return handled;
}

std::optional<StationListView::Item> StationListView::selectedItem() const {
    return model_->changing() ? pendingSelection_ : viewSelection();
}

void StationListView::ensureVisible(Item item) {
    model_->checkRow(item);
    if (model_->changing()) {
        pendingVisible_ = item;
        return;
    }
    scrollTo(model_->index(item, 0), EnsureVisible);
}

std::u16string StationListView::itemText(Item item) const {
    model_->checkRow(item);
    return std::u16string(model_->cell(item, 0));
}

void StationListView::publishRows() {
    if (!model_->changing()) {
        return;
    }
    model_->publish();
    if (const auto item = std::exchange(pendingSelection_, std::nullopt)) {
        setSelectedItem(*item);
    }
    if (const auto item = std::exchange(pendingVisible_, std::nullopt)) {
        ensureVisible(*item);
    }
}

StationListModel& StationListView::changeRows() {
    if (!model_->changing()) {
        pendingSelection_ = viewSelection();
        pendingVisible_.reset();
    }
    return *model_;
}

std::optional<StationListView::Item> StationListView::viewSelection() const {
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    if (selected.isEmpty()) {
        return std::nullopt;
    }
    return selected.front().row();
}

} // namespace orvendal::ui
