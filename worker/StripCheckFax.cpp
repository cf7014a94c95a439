#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "worker/MsbBits.h"
#include "worker/StripCheck.h"

namespace orfeo {

namespace {

// The code words of T.4 and T.6 (ITU-T), as bit strings.
constexpr std::string_view kWhiteTerminating[64] = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100"};
// 64, 128, ... 1728.
constexpr std::string_view kWhiteMakeUp[27] = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011"};
constexpr std::string_view kBlackTerminating[64] = {
    "0000110111",   "010",          "11",           "10",           "011",          "0011",
    "0010",         "00011",        "000101",       "000100",       "0000100",      "0000101",
    "0000111",      "00000100",     "00000111",     "000011000",    "0000010111",   "0000011000",
    "0000001000",   "00001100111",  "00001101000",  "00001101100",  "00000110111",  "00000101000",
    "00000010111",  "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010", "000011010011",
    "000011010100", "000011010101", "000011010110", "000011010111", "000001101100", "000001101101",
    "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111",
    "000000111000", "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111"};
constexpr std::string_view kBlackMakeUp[27] = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",  "000000110100",
    "000000110101",  "0000001101100", "0000001101101", "0000001001010", "0000001001011", "0000001001100",
    "0000001001101", "0000001110010", "0000001110011", "0000001110100", "0000001110101", "0000001110110",
    "0000001110111", "0000001010010", "0000001010011", "0000001010100", "0000001010101", "0000001011010",
    "0000001011011", "0000001100100", "0000001100101"};
// 1792, 1856, ... 2560, the same for both colours.
constexpr std::string_view kExtendedMakeUp[13] = {
    "00000001000",  "00000001100",  "00000001101",  "000000010010", "000000010011",
    "000000010100", "000000010101", "000000010110", "000000010111", "000000011100",
    "000000011101", "000000011110", "000000011111"};

enum class Mode : std::uint8_t { Invalid, Pass, Horizontal, Vertical, Terminating, MakeUp };

// One entry of a lookup table indexed by the next bits: what the code word there is, how long, and its
// value (a run's length, or a vertical mode's offset).
struct Entry {
    Mode mode = Mode::Invalid;
    std::uint8_t bits = 0;
    std::int16_t value = 0;
};

template <unsigned Bits>
struct Table {
    std::array<Entry, std::size_t{1} << Bits> entries{};

    void Add(std::string_view code, Mode mode, int value) {
        unsigned prefix = 0;
        for (const char c : code) prefix = (prefix << 1) | (c == '1');
        const unsigned free = Bits - static_cast<unsigned>(code.size());
        for (unsigned rest = 0; rest < (1u << free); ++rest)
            entries[(prefix << free) | rest] = {mode, static_cast<std::uint8_t>(code.size()),
                                                static_cast<std::int16_t>(value)};
    }
};

// Run lengths: white codes are at most 12 bits long, black ones 13. The 2-D mode codes at most 7 (the
// extension and the end of line, longer, are never taken here, so they stay invalid).
struct Codes {
    Table<12> white;
    Table<13> black;
    Table<7> modes;

    Codes() {
        for (int run = 0; run < 64; ++run) {
            white.Add(kWhiteTerminating[run], Mode::Terminating, run);
            black.Add(kBlackTerminating[run], Mode::Terminating, run);
        }
        for (int i = 0; i < 27; ++i) {
            white.Add(kWhiteMakeUp[i], Mode::MakeUp, 64 * (i + 1));
            black.Add(kBlackMakeUp[i], Mode::MakeUp, 64 * (i + 1));
        }
        for (int i = 0; i < 13; ++i) {
            white.Add(kExtendedMakeUp[i], Mode::MakeUp, 1792 + 64 * i);
            black.Add(kExtendedMakeUp[i], Mode::MakeUp, 1792 + 64 * i);
        }
        modes.Add("1", Mode::Vertical, 0);
        modes.Add("011", Mode::Vertical, 1);
        modes.Add("000011", Mode::Vertical, 2);
        modes.Add("0000011", Mode::Vertical, 3);
        modes.Add("010", Mode::Vertical, -1);
        modes.Add("000010", Mode::Vertical, -2);
        modes.Add("0000010", Mode::Vertical, -3);
        modes.Add("001", Mode::Horizontal, 0);
        modes.Add("0001", Mode::Pass, 0);
    }
};

const Codes& FaxCodes() {
    static const Codes codes;
    return codes;
}

std::vector<std::uint8_t> Reversed(const std::uint8_t* bytes, std::uint64_t count) {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned r = 0;
        for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (7 - i);
        table[b] = static_cast<std::uint8_t>(r);
    }
    std::vector<std::uint8_t> reversed(bytes, bytes + count);
    for (auto& byte : reversed) byte = table[byte];
    return reversed;
}

// One row of a G4 strip, walked as libtiff's 2-D row decoder walks it, with its arrays of run lengths (the
// row's and the reference row's, each ended by an imaginary empty run) and without its pixels. False on
// anything that decoder would complain about, and on whatever this walk does not follow as it does (an
// extension code, an end of line, a reference run read past the row's end). The positions are 64-bit: a
// store to a run (32 bits) cannot be taken to change them, so the compiler keeps them in registers.
class G4Row {
public:
    G4Row(MsbBits& in, std::int64_t width, std::int32_t* row, std::int32_t* rowEnd, const std::int32_t* ref,
          const std::int32_t* refEnd)
        : m_in(in),
          m_width(width),
          m_row(row),
          m_rowEnd(rowEnd),
          m_ref(ref),
          m_refEnd(refEnd),
          m_pa(row),
          m_pb(ref + 1),
          m_b1(*ref) {}

    // The row walked; `end` is then just past its runs, the imaginary one included.
    bool Walk(std::int32_t*& end) {
        while (m_a0 < m_width) {
            const unsigned next = m_in.Peek(7);
            // V0, most codes of a page: the change right under the one above.
            const Entry code = next >= 64 ? Entry{Mode::Vertical, 1, 0} : FaxCodes().modes.entries[next];
            m_in.Skip(code.bits);
            if (!Step(code)) return false;
        }
        // The row's last run, its length checked, and the imaginary run the next row refers to.
        if ((m_run && !Set(0)) || m_a0 != m_width || !Set(0) || m_in.Overran()) return false;
        end = m_pa;
        return true;
    }

private:
    bool Step(const Entry& code) {
        switch (code.mode) {
            case Mode::Vertical:
                if (!CheckB1()) return false;
                if (code.value >= 0) return Set(m_b1 - m_a0 + code.value) && NextB1();
                return LeftOfB1(m_b1 + code.value);
            case Mode::Horizontal: {
                const bool black = (m_pa - m_row) & 1;
                return Horizontal(black) && Horizontal(!black) && CheckB1();
            }
            case Mode::Pass:
                if (!CheckB1() || m_pb >= m_refEnd) return false;
                m_b1 += *m_pb++;
                m_run += m_b1 - m_a0;
                m_a0 = m_b1;
                return NextB1();
            default:
                return false;
        }
    }

    // A run of `length` pixels ends at a0 + length.
    bool Set(std::int64_t length) {
        if (length < 0 || m_pa == m_rowEnd || m_a0 + length > m_width) return false;
        *m_pa++ = static_cast<std::int32_t>(m_run + length);
        m_a0 += length;
        m_run = 0;
        return true;
    }

    // A vertical mode to the left: the change at a1, never before a0; b1 back to the change before it.
    bool LeftOfB1(std::int64_t a1) {
        if (a1 < m_a0 || m_pb <= m_ref || !Set(a1 - m_a0)) return false;
        m_b1 -= *--m_pb;
        return true;
    }

    // b1 moved past a0, a pair of reference runs at a time (not before the row's first run).
    bool CheckB1() {
        if (m_pa == m_row) return true;
        while (m_b1 <= m_a0 && m_b1 < m_width) {
            if (m_refEnd - m_pb < 2) return false;
            m_b1 += m_pb[0] + m_pb[1];
            m_pb += 2;
        }
        return true;
    }

    // b1 on to the next change, which a row that has just ended does not need (libtiff reads it all the
    // same, from what its arrays held before).
    bool NextB1() {
        if (m_pb < m_refEnd) {
            m_b1 += *m_pb++;
            return true;
        }
        return m_a0 >= m_width;
    }

    // Make-up codes and their terminating code, in one colour.
    bool Horizontal(bool black) {
        const Codes& codes = FaxCodes();
        std::int64_t length = 0;
        for (;;) {
            const Entry code =
                black ? codes.black.entries[m_in.Peek(13)] : codes.white.entries[m_in.Peek(12)];
            m_in.Skip(code.bits);
            if (code.mode == Mode::Terminating) return Set(length + code.value);
            if (code.mode != Mode::MakeUp || m_a0 + (length += code.value) > m_width) return false;
        }
    }

    MsbBits& m_in;
    const std::int64_t m_width;
    std::int32_t* const m_row;
    std::int32_t* const m_rowEnd;
    const std::int32_t* const m_ref;
    const std::int32_t* const m_refEnd;
    std::int32_t* m_pa;
    const std::int32_t* m_pb;
    std::int64_t m_a0 = 0, m_run = 0, m_b1;
};

}  // namespace

bool G4StripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint32_t width, std::uint32_t rows,
                    bool lowBitFirst) {
    if (width == 0 || rows == 0 || width > (1u << 30)) return false;
    // Room for as many runs as libtiff's decoder keeps for a row; only what a row writes is read.
    const std::size_t room = 2 * ((std::size_t{width} + 1 + 31) / 32 * 32);
    const std::unique_ptr<std::int32_t[]> runs(new std::int32_t[2 * room]);
    std::int32_t* ref = runs.get() + room;
    // The row above the strip's first is white.
    ref[0] = static_cast<std::int32_t>(width);
    ref[1] = 0;
    // Fill order 2 (rare) is walked from a copy with each byte's bits the other way round.
    const std::vector<std::uint8_t> reversed =
        lowBitFirst ? Reversed(bytes, count) : std::vector<std::uint8_t>{};
    MsbBits in(lowBitFirst ? reversed.data() : bytes, count);
    std::int32_t* row = runs.get();
    const std::int32_t* refEnd = ref + 2;
    for (std::uint32_t y = 0; y < rows; ++y) {
        std::int32_t* end = nullptr;
        if (!G4Row(in, width, row, row + room, ref, refEnd).Walk(end)) return false;
        refEnd = end;
        std::swap(row, ref);
    }
    return true;
}

}  // namespace orfeo
