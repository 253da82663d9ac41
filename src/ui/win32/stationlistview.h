#pragma once

#include "stationlist.h"

#include <windows.h>

#include <commctrl.h>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace orvendal::ui {

// The station list control: a common-controls ListView that provides the members the station
// monitor uses. The list is virtual: a refresh rewrites thousands of rows twice a second, so the
// texts of all cells live in one buffer here and the control asks for the few it paints. A refill
// is published to the control as one new row count, so the list never flickers and keeps the
// user's scroll position; the selection and scrolling asked for during the refill are applied
// when it is published.
class StationListView final : public StationList {
public:
    // Creates the control, in the icon view until the report view is asked for.
    void create(HWND parent, int id, RECT place);
    HWND handle() const { return list_; }
    // A new heading's width, in pixels.
    void setColumnWidth(int pixels) { columnWidth_ = pixels; }
    // The widths the headings get when they are added, first to last, in pixels, as the user
    // left them; a heading past the last gets the width above.
    void setColumnWidths(std::vector<int> pixels) { columnWidths_ = std::move(pixels); }
    // The headings' widths now, first to last, in pixels.
    std::vector<int> columnWidths() const;
    // Scales the headings' widths, as the window moves to a monitor of another DPI.
    void scaleColumns(UINT fromDpi, UINT toDpi);

    int columnHeaderCount() const override { return columns_; }
    void clearColumnHeaders() override;
    void addColumnHeader(std::u16string_view text) override;

    void clearListItems() override;
    Item addListItem(std::u16string_view text) override;
    void setSubItem(Item item, int index, std::u16string_view text) override;

    void setView(int view) override;
    void setLabelEdit(int mode) override;
    // Maps to the whole-row selection of the control (LVS_EX_FULLROWSELECT).
    void setFullRowSelect(bool on) override;

    void setSelectedItem(Item item) override;
    std::optional<Item> selectedItem() const override;
    void ensureVisible(Item item) override;
    std::u16string itemText(Item item) const override;

    // Shows the changes made since the last call, then selects and scrolls as the refill asked.
    // Must run before the window's events run again: a message box or the end of a refresh.
    void publishRows();
    // Answers the control's request for a cell's text (LVN_GETDISPINFOW).
    void supplyText(NMLVDISPINFOW& request) const;
    // Answers the control's type-ahead search (LVN_ODFINDITEMW): the first row from the start
    // row on whose first-column text is, or with LVFI_PARTIAL starts with, the text searched for,
    // in any case; wrapping past the last row with LVFI_WRAP. -1 when no row matches.
    int findItem(const NMLVFINDITEMW& request) const;

private:
    // The rows are about to change: the control's selection is noted first, as the refill
    // replaces it.
    void changeRows();
    void checkRow(Item item) const;
    std::size_t store(std::u16string_view text);
    // Cells kept per row; it grows with the headings so that every heading has a cell.
    void widenRows(std::size_t stride);
    void selectInControl(std::optional<Item> item);
    std::optional<Item> controlSelection() const;

    HWND list_ = nullptr;
    int columnWidth_ = 96;
    std::vector<int> columnWidths_;
    int columns_ = 0;
    // Every cell's text, each followed by a NUL; the first character is the empty text.
    std::vector<wchar_t> text_{L'\0'};
    // Per row, `stride_` positions in text_.
    std::vector<std::size_t> cells_;
    std::size_t stride_ = 1;
    int rows_ = 0;
    bool changing_ = false;
    std::optional<Item> pendingSelection_;
    std::optional<Item> pendingVisible_;
};

} // namespace orvendal::ui
