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
    for (std::string& cell : cells) {
        cell = printable(cell);
    }
    widen(cells);
    lines_.push_back({std::move(cells), {}});
}

void Columns::addNote(const std::string& note) {
    lines_.push_back({{}, printable(note)});
}

void Columns::print(std::ostream& out) const {
    for (const Line& l : lines_) {
        if (l.cells.empty()) {
            out << l.note << '\n';
        } else {
            printPrintable(out, l.cells);
        }
    }
}

void Columns::widen(const std::vector<std::string>& cells) {
    for (std::size_t c = 0; c < cells.size(); ++c) {
        widths_[c] = std::max(widths_[c], characters(printable(cells[c])));
    }
}

void Columns::printRow(std::ostream& out, const std::vector<std::string>& cells) const {
    std::vector<std::string> shown;
    for (const std::string& cell : cells) {
        shown.push_back(printable(cell));
    }
    printPrintable(out, shown);
}

void Columns::printNote(std::ostream& out, const std::string& note) {
    out << printable(note) << '\n';
}

void Columns::printPrintable(std::ostream& out, const std::vector<std::string>& cells) const {
    std::string line;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        // A row never widened overflows its column rather than pad it.
        const std::size_t length = characters(cells[c]);
        const std::string pad(std::max(widths_[c], length) - length, ' ');
        line += rightAligned_[c] ? pad + cells[c] : cells[c] + pad;
        line += c + 1 < cells.size() ? "  " : "";
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << '\n';
}

} // namespace orvendal::stationctl
