#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvendal::ui {

// The list of stations as the monitor uses it: a report list of column headings and rows, each row
// a first-column text and sub-items 1 to 6. These members and nothing more; any member may throw
// Error. The window provides it on a real list widget.
class StationList {
public:
    using Item = int; // a row, by its position in the list

    // Display modes for setView(); the monitor uses the report view only.
    static constexpr int kReportView = 3;
    // Modes for setLabelEdit(): manual means the user cannot edit a row's text in place.
    static constexpr int kLabelEditManual = 1;

    virtual ~StationList() = default;

    virtual int columnHeaderCount() const = 0;
    virtual void clearColumnHeaders() = 0;
    virtual void addColumnHeader(std::u16string_view text) = 0;

    virtual void clearListItems() = 0;
    virtual Item addListItem(std::u16string_view text) = 0;
    virtual void setSubItem(Item item, int index, std::u16string_view text) = 0;

    virtual void setView(int view) = 0;
    virtual void setLabelEdit(int mode) = 0;
    // The further display option the list is set up with: the selection and focus take the whole
    // row.
    virtual void setFullRowSelect(bool on) = 0;

    virtual void setSelectedItem(Item item) = 0;
    virtual std::optional<Item> selectedItem() const = 0;
    virtual void ensureVisible(Item item) = 0;
    virtual std::u16string itemText(Item item) const = 0;
};

// What the refresh needs of the window besides its list.
class MonitorWindow {
public:
    virtual ~MonitorWindow() = default;

    virtual void setCaption(const std::u16string& caption) = 0;
    // Shows the window non-modally, without an owner; nothing when it is visible already.
    virtual void showWindow() = 0;
    // A modal box with the text and an OK button only, titled with the application's name.
    virtual void messageBox(const std::u16string& text) = 0;
    // Whether the marker file "out.vrl" exists as a regular file in the current folder.
    virtual bool markerFileExists() const = 0;
};

} // namespace orvendal::ui
