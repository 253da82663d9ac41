#include "stationlistmodel.h"

#include "error.h"

#include <algorithm>
#include <climits>

namespace orvendal::ui {
namespace {

Error invalidValue() {
    return Error::of(errc::InvalidValue);
}

} // namespace

int StationListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int StationListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : headingCount();
}

QVariant StationListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) {
        return {};
    }
    const std::u16string_view text = cell(index.row(), index.column());
    return QString(reinterpret_cast<const QChar*>(text.data()),
                   static_cast<qsizetype>(text.size()));
}

QVariant StationListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= headingCount()) {
        return {};
    }
    return headings_[static_cast<std::size_t>(section)];
}

Qt::ItemFlags StationListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    // Never editable: the row's text is the station's number, which the look-up reads back.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void StationListModel::clearHeadings() {
    change();
    headings_.clear();
}

void StationListModel::addHeading(std::u16string_view text) {
    change();
    headings_.push_back(QString::fromStdU16String(std::u16string(text)));
    widenRows(headings_.size());
}

void StationListModel::clearRows() {
    change();
    rows_ = 0;
    text_.clear();
    cells_.clear();
    stride_ = std::max<std::size_t>(1, headings_.size());
}

int StationListModel::addRow(std::u16string_view text) {
    if (rows_ == INT_MAX) {
        throw Error::of(errc::Overflow);
    }
    change();
    cells_.resize(cells_.size() + stride_);
    cells_[static_cast<std::size_t>(rows_) * stride_] = store(text);
    return rows_++;
}

void StationListModel::setCell(int row, int column, std::u16string_view text) {
    checkRow(row);
    if (column < 0 || column >= headingCount()) {
        throw invalidValue();
    }
    change();
    cells_[static_cast<std::size_t>(row) * stride_ + static_cast<std::size_t>(column)] =
        store(text);
}

std::u16string_view StationListModel::cell(int row, int column) const {
    if (row < 0 || row >= rows_ || column < 0 || static_cast<std::size_t>(column) >= stride_) {
        return {};
    }
    const Cell& c =
        cells_[static_cast<std::size_t>(row) * stride_ + static_cast<std::size_t>(column)];
    return {text_.data() + c.start, c.length};
}

void StationListModel::checkRow(int row) const {
    if (row < 0 || row >= rows_) {
        throw invalidValue();
    }
}

void StationListModel::publish() {
    if (changing_) {
        changing_ = false;
        endResetModel();
    }
}

void StationListModel::change() {
    if (!changing_) {
        beginResetModel();
        changing_ = true;
    }
}

StationListModel::Cell StationListModel::store(std::u16string_view text) {
    // A text that replaces a cell's earlier one leaves that one unused in the buffer until the
    // rows are cleared; the refresh sets every cell once.
    const Cell cell{text_.size(), text.size()};
    text_.insert(text_.end(), text.begin(), text.end());
    return cell;
}

void StationListModel::widenRows(std::size_t stride) {
    if (stride <= stride_) {
        return;
    }
    std::vector<Cell> widened(static_cast<std::size_t>(rows_) * stride);
    for (std::size_t row = 0; row < static_cast<std::size_t>(rows_); ++row) {
        std::copy_n(cells_.begin() + static_cast<std::ptrdiff_t>(row * stride_), stride_,
                    widened.begin() + static_cast<std::ptrdiff_t>(row * stride));
    }
    cells_ = std::move(widened);
    stride_ = stride;
}

} // namespace orvendal::ui
