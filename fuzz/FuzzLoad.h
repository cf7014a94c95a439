#pragma once

#include <cstddef>
#include <cstdint>

// Feeds arbitrary bytes through Orfeo's real load path (as a file on disk, under one of the listed
// extensions chosen by the first byte, which LoadImageFile opens itself and FreeImage reads through its
// handle interface, the header check and the damage checks included) and through both pixel rules, as a
// page and as a mask.
int FuzzLoadAndRules(const std::uint8_t* data, std::size_t size);
