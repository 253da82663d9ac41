#pragma once

#include <QAbstractTableModel>

#include <cstddef>
#include <string_view>
#include <vector>

namespace orvendal::ui {

// The station list's headings and rows as a flat table. A refresh rewrites thousands of rows twice
// a second, so the texts of all cells live in one buffer and become QStrings only when a view asks
// for a cell it paints. Changes are not announced one by one: the first change opens a model reset
// and publish() closes it, so a whole refill reaches the views as one reset.
class StationListModel final : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    int headingCount() const { return static_cast<int>(headings_.size()); }
    void clearHeadings();
    void addHeading(std::u16string_view text);

    int rows() const { return rows_; }
    void clearRows();
    // Appends a row whose first cell is `text` and returns its position.
    int addRow(std::u16string_view text);
    // Sets a cell of an existing row under an existing heading; throws Error otherwise.
    void setCell(int row, int column, std::u16string_view text);
    std::u16string_view cell(int row, int column) const;
    // Throws Error unless `row` is a row of the list.
    void checkRow(int row) const;

    // True between the first change and publish(): the views do not see the table meanwhile.
    bool changing() const { return changing_; }
    void publish();

private:
    struct Cell {
        std::size_t start = 0;
        std::size_t length = 0;
    };

    void change();
    Cell store(std::u16string_view text);
    // Cells kept per row; it grows with the headings so that every heading has a cell.
    void widenRows(std::size_t stride);

    std::vector<QString> headings_;
    std::vector<char16_t> text_;
    std::vector<Cell> cells_;
    std::size_t stride_ = 1;
    int rows_ = 0;
    bool changing_ = false;
};

} // namespace orvendal::ui
