#pragma once

#include "stationlist.h"
#include "stationtexts.h"

#include <array>
#include <string>
#include <vector>

namespace orvendal::ui {

// The monitor's list without a window: the headings and rows a refresh makes, kept as plain
// text. Nothing is ever selected.
class CollectedList final : public StationList {
public:
    // The row's text and its six sub-items.
    using Row = std::array<std::u16string, 7>;

    const std::vector<std::u16string>& headings() const { return headings_; }
    const std::vector<Row>& rows() const { return rows_; }

    int columnHeaderCount() const override { return static_cast<int>(headings_.size()); }
    void clearColumnHeaders() override { headings_.clear(); }
    void addColumnHeader(std::u16string_view text) override { headings_.emplace_back(text); }
    void clearListItems() override { rows_.clear(); }
    Item addListItem(std::u16string_view text) override {
        rows_.push_back(Row{std::u16string(text)});
        return static_cast<Item>(rows_.size() - 1);
    }
    void setSubItem(Item item, int index, std::u16string_view text) override {
        rows_.at(static_cast<std::size_t>(item)).at(static_cast<std::size_t>(index)) = text;
    }
    void setView(int) override {}
    void setLabelEdit(int) override {}
    void setFullRowSelect(bool) override {}
    void setSelectedItem(Item) override {}
    std::optional<Item> selectedItem() const override { return std::nullopt; }
    void ensureVisible(Item) override {}
    std::u16string itemText(Item item) const override {
        return rows_.at(static_cast<std::size_t>(item))[0];
    }

private:
    std::vector<std::u16string> headings_;
    std::vector<Row> rows_;
};

// The window's side of a refresh without a window: the caption and the boxes it would show.
class CollectedWindow final : public MonitorWindow {
public:
    const std::vector<std::u16string>& messages() const { return messages_; }

    const std::u16string& caption() const { return caption_; }
    void setCaption(const std::u16string& caption) override { caption_ = caption; }
    void showWindow() override {}
    void messageBox(const std::u16string& text) override { messages_.push_back(text); }
    bool markerFileExists() const override { return lockMarkerExists(); }

private:
    std::u16string caption_;
    std::vector<std::u16string> messages_;
};

} // namespace orvendal::ui
