#include "worker/StripCheck.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

#include "worker/MsbBits.h"

namespace orfeo {

namespace {

constexpr unsigned kClear = 256, kEnd = 257, kFirstFree = 258;
// libtiff's decoder has room for 1024 entries past the 4096 that 12-bit codes can name (old files went on
// past a full table before they cleared it): entries are added there, unnamed, and only a code after the
// room is full fails.
constexpr int kTableRoom = 4096 + 1023;

// The next code of an LZW stream, `bits` wide. A code whose last bit lies past the end is not there:
// libtiff stops there, whatever the bits left over.
bool NextCode(MsbBits& in, unsigned bits, unsigned& code) {
    code = in.Peek(bits);
    in.Skip(bits);
    return !in.Overran();
}

}  // namespace

bool IsOldStyleLzw(const std::uint8_t* bytes, std::uint64_t count) {
    return count >= 2 && bytes[0] == 0 && (bytes[1] & 1);
}

// libtiff's LZWDecode without its strings: each entry's length is all that tells how far the output gets.
// Codes 0-255 stand for one byte; an entry is one longer than the code before it. The code width grows
// when the next free entry passes 2^bits - 2 (one code early, as libtiff writes), and stays at 12.
bool LzwStripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint64_t size) {
    if (size == 0) return true;
    std::array<std::uint16_t, kTableRoom> length;
    std::fill(length.begin(), length.begin() + kFirstFree, std::uint16_t{1});
    MsbBits in(bytes, count);
    // -1 while no entry may be made: at the start, which must be a clear, and once the table is full; then
    // only a clear or the end may come.
    int free = -1;
    unsigned bits = 9, previous = 0, code = 0;
    int last = (1 << bits) - 2;
    std::uint64_t made = 0;
    for (;;) {
        if (!NextCode(in, bits, code) || code == kEnd) return false;
        if (code == kClear) {
            free = kFirstFree;
            bits = 9;
            last = (1 << bits) - 2;
            do {
                if (!NextCode(in, bits, code)) return false;
            } while (code == kClear);
            // After a clear only a byte's code makes sense: libtiff refuses the others.
            if (code >= kEnd) return false;
            previous = code;
            if (++made >= size) return true;
            continue;
        }
        // A code may name the entry being made (the string that repeats its first byte), never one past it.
        if (free < 0 || code > static_cast<unsigned>(free)) return false;
        length[free] = static_cast<std::uint16_t>(length[previous] + 1);
        if (++free > last) {
            bits = std::min(bits + 1, 12u);
            last = (1 << bits) - 2;
            if (free >= kTableRoom) free = -1;
        }
        made += length[code];
        previous = code;
        if (made >= size) return true;
    }
}

// libtiff hands a whole strip to libdeflate, which stops as soon as the output would pass the strip's
// size (and libtiff takes that), and otherwise wants the stream whole, its checksum right and exactly the
// size made. zlib finds the same, a scratch buffer at a time, but for what libdeflate does near the end of
// its input, where it reads ahead: a stream that passes the size within its last bytes is left to libtiff.
bool DeflateStripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint64_t size) {
    constexpr std::uint64_t kReadAhead = 32;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    std::array<Bytef, 16384> scratch;
    stream.next_in = const_cast<Bytef*>(bytes);
    std::uint64_t left = count, made = 0;
    bool whole = false;
    for (;;) {
        if (stream.avail_in == 0 && left > 0) {
            stream.avail_in =
                static_cast<uInt>(std::min<std::uint64_t>(left, std::numeric_limits<uInt>::max()));
            left -= stream.avail_in;
        }
        // Never more than one byte past the size, so that what is left of the input is known there.
        const auto room = static_cast<uInt>(std::min<std::uint64_t>(scratch.size(), size + 1 - made));
        stream.next_out = scratch.data();
        stream.avail_out = room;
        const int state = inflate(&stream, Z_NO_FLUSH);
        made += room - stream.avail_out;
        if (made > size) {
            whole = stream.avail_in + left >= kReadAhead;
            break;
        }
        if (state == Z_STREAM_END) {
            whole = made == size;
            break;
        }
        // Damaged data, or a stream cut short (no progress with all its bytes given).
        if (state != Z_OK) break;
    }
    inflateEnd(&stream);
    return whole;
}

// libtiff's PackBitsDecode: a header byte n, then n + 1 bytes as they are (n < 128) or one byte 257 - n
// times (n > 128); 128 is skipped. A run past `size` is cut (libtiff warns, and decodes the strip); a run
// whose bytes are not all there ends the strip short.
bool PackBitsStripDecodes(const std::uint8_t* bytes, std::uint64_t count, std::uint64_t size) {
    std::uint64_t at = 0, made = 0;
    while (at < count && made < size) {
        const int n = static_cast<std::int8_t>(bytes[at++]);
        if (n == -128) continue;
        if (n < 0) {
            if (at == count) return false;
            ++at;
            made += static_cast<std::uint64_t>(1 - n);
        } else {
            const std::uint64_t run = std::min<std::uint64_t>(static_cast<std::uint64_t>(n) + 1, size - made);
            if (count - at < run) return false;
            at += run;
            made += run;
        }
    }
    return made >= size;
}

}  // namespace orfeo
