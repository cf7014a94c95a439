#include "scan/CScanList.h"

#include <algorithm>

namespace orfeo {

namespace {

unsigned char FoldAsciiCapital(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace

int CompareNames(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const unsigned char ca = FoldAsciiCapital(static_cast<unsigned char>(a[i]));
        const unsigned char cb = FoldAsciiCapital(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

void CScanList::RemoveAll() { std::vector<ScanEntry>().swap(m_entries); }

std::size_t CScanList::Add(const ScanEntry& entry) {
    m_entries.push_back(entry);
    return m_entries.size() - 1;
}

void CScanList::SortByName() {
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const ScanEntry& x, const ScanEntry& y) { return CompareNames(x.name, y.name) < 0; });
}

}  // namespace orfeo
