#include "stationlistview.h"

#include "error.h"
#include "win32error.h"

#include <algorithm>
#include <string>

namespace orvendal::ui {

void StationListView::create(HWND parent, int id, RECT place) {
    // Clipped by its siblings: the "AutoRefresh" box lies in front of the headings.
    list_ = ::CreateWindowExW(
        WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS | LVS_ICON | LVS_OWNERDATA |
            LVS_SINGLESEL | LVS_SHOWSELALWAYS,
        place.left, place.top, place.right - place.left, place.bottom - place.top, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
    if (list_ == nullptr) {
        throw files::lastWindowsError("CreateWindowExW " WC_LISTVIEWA);
    }
    ListView_SetExtendedListViewStyleEx(list_, LVS_EX_DOUBLEBUFFER, LVS_EX_DOUBLEBUFFER);
}

void StationListView::scaleColumns(UINT fromDpi, UINT toDpi) {
    for (int column = 0; column < columns_; ++column) {
        const int width = ListView_GetColumnWidth(list_, column);
        ListView_SetColumnWidth(
            list_, column, ::MulDiv(width, static_cast<int>(toDpi), static_cast<int>(fromDpi)));
    }
    columnWidth_ = ::MulDiv(columnWidth_, static_cast<int>(toDpi), static_cast<int>(fromDpi));
    for (int& width : columnWidths_) {
        width = ::MulDiv(width, static_cast<int>(toDpi), static_cast<int>(fromDpi));
    }
}

std::vector<int> StationListView::columnWidths() const {
    std::vector<int> widths;
    for (int column = 0; column < columns_; ++column) {
        widths.push_back(ListView_GetColumnWidth(list_, column));
    }
    return widths;
}

void StationListView::clearColumnHeaders() {
    while (columns_ > 0) {
        ListView_DeleteColumn(list_, --columns_);
    }
}

void StationListView::addColumnHeader(std::u16string_view text) {
    std::wstring heading(text.begin(), text.end());
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = static_cast<std::size_t>(columns_) < columnWidths_.size()
                    ? columnWidths_[static_cast<std::size_t>(columns_)]
                    : columnWidth_;
    column.pszText = heading.data();
    if (::SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(columns_),
                       reinterpret_cast<LPARAM>(&column)) < 0) {
        // The control sets no system error for this.
        throw Error::of(errc::Unexpected, "LVM_INSERTCOLUMNW");
    }
    ++columns_;
    widenRows(static_cast<std::size_t>(columns_));
}

void StationListView::clearListItems() {
    changeRows();
    text_.resize(1);
    cells_.clear();
    rows_ = 0;
    pendingSelection_.reset();
    pendingVisible_.reset();
}

StationListView::Item StationListView::addListItem(std::u16string_view text) {
    changeRows();
    const std::size_t position = store(text);
    cells_.resize(cells_.size() + stride_, 0);
    cells_[static_cast<std::size_t>(rows_) * stride_] = position;
    return rows_++;
}

void StationListView::setSubItem(Item item, int index, std::u16string_view text) {
    // Sub-item 0 would be the row's own text, which only addListItem() sets; every other one
    // belongs under a heading.
    checkRow(item);
    if (index < 1 || index >= columns_) {
        throw Error::of(errc::InvalidValue);
    }
    changeRows();
    const std::size_t position = store(text);
    cells_[static_cast<std::size_t>(item) * stride_ + static_cast<std::size_t>(index)] = position;
}

void StationListView::setView(int view) {
    // The report view is the only view this list has.
    if (view != kReportView) {
        throw Error::of(errc::InvalidValue);
    }
    const LONG_PTR style = ::GetWindowLongPtrW(list_, GWL_STYLE);
    ::SetWindowLongPtrW(list_, GWL_STYLE, (style & ~LVS_TYPEMASK) | LVS_REPORT);
}

void StationListView::setLabelEdit(int mode) {
    // Rows are never edited in place (the control has no LVS_EDITLABELS): manual is the only
    // mode this list has.
    if (mode != kLabelEditManual) {
        throw Error::of(errc::InvalidValue);
    }
}

void StationListView::setFullRowSelect(bool on) {
    ListView_SetExtendedListViewStyleEx(list_, LVS_EX_FULLROWSELECT, on ? LVS_EX_FULLROWSELECT : 0);
}

void StationListView::setSelectedItem(Item item) {
    checkRow(item);
    if (changing_) {
        pendingSelection_ = item;
    } else {
        selectInControl(item);
    }
}

std::optional<StationListView::Item> StationListView::selectedItem() const {
    return changing_ ? pendingSelection_ : controlSelection();
}

void StationListView::ensureVisible(Item item) {
    checkRow(item);
    if (changing_) {
        pendingVisible_ = item;
    } else {
        ListView_EnsureVisible(list_, item, FALSE);
    }
}

std::u16string StationListView::itemText(Item item) const {
    checkRow(item);
    const wchar_t* text = &text_[cells_[static_cast<std::size_t>(item) * stride_]];
    return std::u16string(text, text + std::char_traits<wchar_t>::length(text));
}

void StationListView::publishRows() {
    if (!changing_) {
        return;
    }
    changing_ = false;
    // The same rows as far as the control knows: it keeps its scroll position and repaints.
    ListView_SetItemCountEx(list_, rows_, LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
    ::InvalidateRect(list_, nullptr, FALSE);
    selectInControl(std::exchange(pendingSelection_, std::nullopt));
    if (const auto item = std::exchange(pendingVisible_, std::nullopt)) {
        ListView_EnsureVisible(list_, *item, FALSE);
    }
}

void StationListView::supplyText(NMLVDISPINFOW& request) const {
    if ((request.item.mask & LVIF_TEXT) == 0) {
        return;
    }
    // A row or column the control knows of before a refill reaches it reads as empty.
    const auto row = static_cast<std::size_t>(request.item.iItem);
    const auto column = static_cast<std::size_t>(request.item.iSubItem);
    std::size_t position = 0;
    if (request.item.iItem >= 0 && request.item.iSubItem >= 0 &&
        row < static_cast<std::size_t>(rows_) && column < stride_) {
        position = cells_[row * stride_ + column];
    }
    request.item.pszText = const_cast<wchar_t*>(&text_[position]);
}

int StationListView::findItem(const NMLVFINDITEMW& request) const {
    const LVFINDINFOW& what = request.lvfi;
    if ((what.flags & (LVFI_STRING | LVFI_PARTIAL)) == 0 || what.psz == nullptr || rows_ == 0) {
        return -1;
    }
    const bool wrap = (what.flags & LVFI_WRAP) != 0;
    const bool prefix = (what.flags & LVFI_PARTIAL) != 0;
    const int wantedLength = static_cast<int>(std::char_traits<wchar_t>::length(what.psz));
    int start = request.iStart;
    if (start < 0 || start >= rows_) {
        if (!wrap && start >= rows_) {
            return -1;
        }
        start = 0;
    }
    const int candidates = wrap ? rows_ : rows_ - start;
    for (int i = 0; i < candidates; ++i) {
        const int row = (start + i) % rows_;
        const wchar_t* text = &text_[cells_[static_cast<std::size_t>(row) * stride_]];
        const int length = static_cast<int>(std::char_traits<wchar_t>::length(text));
        if (length < wantedLength || (!prefix && length != wantedLength)) {
            continue;
        }
        if (::CompareStringOrdinal(text, wantedLength, what.psz, wantedLength, TRUE) ==
            CSTR_EQUAL) {
            return row;
        }
    }
    return -1;
}

void StationListView::changeRows() {
    if (!changing_) {
        pendingSelection_ = controlSelection();
        pendingVisible_.reset();
        changing_ = true;
    }
}

void StationListView::checkRow(Item item) const {
    if (item < 0 || item >= rows_) {
        throw Error::of(errc::InvalidValue);
    }
}

std::size_t StationListView::store(std::u16string_view text) {
    const std::size_t position = text_.size();
    text_.insert(text_.end(), text.begin(), text.end());
    text_.push_back(L'\0');
    return position;
}

void StationListView::widenRows(std::size_t stride) {
    if (stride <= stride_) {
        return;
    }
    std::vector<std::size_t> wider(static_cast<std::size_t>(rows_) * stride, 0);
    for (std::size_t row = 0; row < static_cast<std::size_t>(rows_); ++row) {
        std::copy_n(cells_.begin() + static_cast<std::ptrdiff_t>(row * stride_), stride_,
                    wider.begin() + static_cast<std::ptrdiff_t>(row * stride));
    }
    cells_ = std::move(wider);
    stride_ = stride;
}

void StationListView::selectInControl(std::optional<Item> item) {
    ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    if (item) {
        // Selecting does not scroll; ensureVisible() does, when it is asked to.
        ListView_SetItemState(list_, *item, LVIS_SELECTED | LVIS_FOCUSED,
                              LVIS_SELECTED | LVIS_FOCUSED);
    }
}

std::optional<StationListView::Item> StationListView::controlSelection() const {
    const int item = ListView_GetNextItem(list_, -1, LVNI_SELECTED);
    return item < 0 ? std::nullopt : std::optional<Item>(item);
}

} // namespace orvendal::ui
