#include "columns.h"

#include "escape.h"

#include <algorithm>

namespace orvendal::stationctl {
namespace {

// Characters of valid UTF-8, as printable() leaves it: the bytes that begin one.
std::size_t characters(const std::string& utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

Columns::Columns(std::vector<std::string> headings, std::vector<bool> rightAligned)
    : rightAligned_(std::move(rightAligned)), widths_(headings.size()) {
    addRow(std::move(headings));
}

void Columns::addRow(std::vector<std::string> cells) {
    for (std::size_t c = 0; c < cells.size(); ++c) {
        cells[c] = printable(cells[c]);
        widths_[c] = std::max(widths_[c], characters(cells[c]));
    }
    lines_.push_back({std::move(cells), {}});
}

void Columns::addNote(const std::string& note) {
    lines_.push_back({{}, printable(note)});
}

void Columns::print(std::ostream& out) const {
    for (const Line& l : lines_) {
        if (l.cells.empty()) {
            out << l.note << '\n';
            continue;
        }
        std::string line;
        for (std::size_t c = 0; c < l.cells.size(); ++c) {
            const std::string pad(widths_[c] - characters(l.cells[c]), ' ');
            line += rightAligned_[c] ? pad + l.cells[c] : l.cells[c] + pad;
            line += c + 1 < l.cells.size() ? "  " : "";
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    }
}

} // namespace orvendal::stationctl
