#pragma once

#include <cstdint>

namespace orfeo {

// The bits of a coded strip, first bit first (the highest of each byte), at the top of a 64-bit word,
// refilled eight bytes at a time while there are eight (a strip's walk costs a fraction of its decode).
// Past the last byte come zero bits; `Overran` tells whether a code took any of them. The counts are
// 64-bit, so that no store to a 32-bit run length can be taken to change them.
class MsbBits {
public:
    MsbBits(const std::uint8_t* bytes, std::uint64_t count) : m_next(bytes), m_end(bytes + count) {}

    // The next `bits` (at most 57), left where they are.
    unsigned Peek(unsigned bits) {
        if (m_held < bits) Refill();
        return static_cast<unsigned>(m_buffer >> (64 - bits));
    }
    void Skip(unsigned bits) {
        m_buffer <<= bits;
        m_held -= bits;
    }
    bool Overran() const { return m_held < m_padding; }

private:
    void Refill() {
        if (m_end - m_next >= 8) {
            std::uint64_t word = 0;
            for (int i = 0; i < 8; ++i) word = (word << 8) | m_next[i];
            m_buffer |= word >> m_held;
            m_next += (63 - m_held) >> 3;
            m_held |= 56;
            return;
        }
        for (; m_held <= 56; m_held += 8) {
            if (m_next == m_end) {
                m_padding += 8;
            } else {
                m_buffer |= std::uint64_t{*m_next++} << (56 - m_held);
            }
        }
    }

    const std::uint8_t* m_next;
    const std::uint8_t* m_end;
    std::uint64_t m_buffer = 0, m_held = 0, m_padding = 0;
};

}  // namespace orfeo
