#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "scan/ScanEntry.h"

namespace orfeo {

// Compares two file names byte by byte as unsigned values, folding only the ASCII capitals A-Z to lower
// case; the first differing byte decides and a prefix sorts first. Digits are not read as numbers
// ("page10" < "page2") and '_' (0x5F) sorts before the letters. Returns <0, 0 or >0.
int CompareNames(std::string_view a, std::string_view b);

// The ordered list of images that one folder scan found. Positions run from 0 to GetSize()-1 without gaps;
// the processing jobs pair the entries of two lists by position, so the order is part of the contract.
class CScanList {
public:
    // Empties the list and releases its storage.
    void RemoveAll();
    // Appends a copy of `entry`; returns its position.
    std::size_t Add(const ScanEntry& entry);
    std::size_t GetSize() const { return m_entries.size(); }
    bool IsEmpty() const { return m_entries.empty(); }
    // The entry at `index`; 0 <= index < GetSize() is the caller's to ensure.
    const ScanEntry& GetAt(std::size_t index) const { return m_entries[index]; }
    void SetAt(std::size_t index, const ScanEntry& entry) { m_entries[index] = entry; }
    // Orders the entries by name with CompareNames. Stable: names that compare equal keep the order in
    // which they were added. Name and path always travel together.
    void SortByName();

    auto begin() const { return m_entries.begin(); }
    auto end() const { return m_entries.end(); }

private:
    std::vector<ScanEntry> m_entries;
};

}  // namespace orfeo
